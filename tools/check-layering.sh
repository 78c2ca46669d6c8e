#!/usr/bin/env bash
# Usage: tools/check-layering.sh [source root]
# Fails when a folder includes from a folder it does not depend on:
#   ui -> (audio, lasers, discovery) -> output -> (devices' header, engine)
#   control, projection, preview, devices, analysis, modulation -> engine at most
#   emulators stand apart: an independent oracle, they use nothing of the program.
# Qt only in ui/ and the preview's upload. The build enforces the same
# through each library's include folders; this names the offending line.
# The tests and benchmarks may include what they test.
set -uo pipefail
root=${1:-$(dirname "$(realpath "$0")")/..}
cd "$root" || exit 2

folders=(engine output lasers devices audio discovery control analysis modulation projection
  preview ui emulators)
# What each folder may include besides its own headers: folders, or single
# headers (devices' header).
declare -A allowed=(
  [engine]=""
  [devices]="engine"
  [output]="engine devices/dac_api.h"
  [lasers]="output engine"
  [audio]="output engine"
  [discovery]="output engine"
  [control]="engine"
  [analysis]="engine"
  [modulation]="engine"
  [projection]="engine"
  [preview]="engine"
  [emulators]=""
  [ui]="audio lasers discovery output engine control analysis modulation projection preview
        devices/dac_api.h devices/sound_card_settings.h"
)
ours="engine|output|lasers|devices|audio|discovery|control|analysis|modulation|projection|preview|ui|emulators|tests|bench|tools|packaging"

status=0
for folder in "${folders[@]}"; do
  [[ -d $folder ]] || continue
  while IFS= read -r hit; do
    [[ -n $hit ]] || continue
    [[ $hit =~ include[[:space:]]*[\<\"]([^\>\"]+) ]] || continue
    header=${BASH_REMATCH[1]}
    file=${hit%%:*}
    if [[ $header == Q* ]]; then
      if [[ $folder != ui && ! $file =~ ^preview/preview_surface\.(h|cpp)$ ]]; then
        echo "$folder/ may not use Qt: $hit" >&2
        status=1
      fi
      continue
    fi
    top=${header%%/*}
    [[ $header == */* && $top =~ ^($ours)$ ]] || continue
    [[ $top == "$folder" ]] && continue
    ok=0
    for entry in ${allowed[$folder]}; do
      [[ $entry == "$top" || $entry == "$header" ]] && ok=1
    done
    if ((!ok)); then
      echo "$folder/ may not include $header (it may use: ${allowed[$folder]:-nothing of ours}): $hit" >&2
      status=1
    fi
  done < <(grep -rnE --include='*.h' --include='*.cpp' \
    '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "$folder")
done
exit $status
