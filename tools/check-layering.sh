#!/usr/bin/env bash
# Usage: tools/check-layering.sh [source root]
# Fails when an include goes against the direction the folders depend on:
# ui -> (audio, discovery) -> output -> engine and preview -> engine, never
# back; devices use the engine's shared numbers only; the music's analysis
# and the modulation matrix stand on the engine at most; Qt only in ui/ and
# the preview's upload.
set -uo pipefail
root=${1:-$(dirname "$(realpath "$0")")/..}
cd "$root" || exit 2

status=0
# forbid <folder> <regex of what it must not include> <why>
forbid() {
  local folder=$1 pattern=$2 why=$3 hits
  [[ -d $folder ]] || return 0
  hits=$(grep -rnE --include='*.h' --include='*.cpp' "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($pattern)" "$folder" \
    | grep -vE '^preview/preview_surface\.(h|cpp):' || true)
  if [[ -n $hits ]]; then
    echo "$why:" >&2
    echo "$hits" >&2
    status=1
  fi
}

forbid engine 'output/|ui/|preview/|devices/|audio/|control/|projection/|emulators/|discovery/|analysis/|modulation/|Q' "engine/ depends on nothing of ours but itself, and not on Qt"
forbid output 'lasers/|ui/|preview/|audio/|control/|projection/|discovery/|analysis/|modulation/|Q' "output/ may use engine/ and devices/ only, and not Qt"
forbid lasers 'ui/|preview/|audio/|control/|projection/|discovery/|analysis/|modulation/|devices/|emulators/|Q' "lasers/ may use output/ and engine/ only, and not Qt"
forbid discovery 'ui/|preview/|audio/|control/|projection/|devices/|emulators/|analysis/|modulation/|Q' "discovery/ may use output/ and engine/ only (the families are handed to it), and not Qt"
forbid preview 'output/|ui/|Q' "preview/ may use engine/ only; Qt only in its upload"
forbid devices 'output/|ui/|preview/|Q' "devices/ may use the engine's shared numbers only"
forbid projection 'output/|ui/|preview/|audio/|control/|Q' "projection/ may use engine/ only, and not Qt"
forbid control 'output/|ui/|preview/|audio/|projection/|Q' "control/ may use engine/ only, and not Qt"
forbid audio 'ui/|preview/|control/|projection/|discovery/|analysis/|modulation/|Q' "audio/ may use output/ and engine/ only, and not Qt"
forbid analysis 'output/|ui/|preview/|devices/|audio/|control/|projection/|emulators/|modulation/|discovery/|Q' "analysis/ may use engine/ only, and not Qt"
forbid modulation 'output/|ui/|preview/|devices/|audio/|control/|projection/|emulators/|analysis/|discovery/|Q' "modulation/ may use engine/ only, and not Qt"
forbid emulators 'ui/|preview/|control/|projection/|audio/|discovery/|analysis/|modulation/|Q' "emulators/ stand apart from the program's window and controls"
exit $status
