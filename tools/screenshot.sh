#!/usr/bin/env bash
# Usage: tools/screenshot.sh <program> <out.png>
# Starts the program on a private virtual X display, waits for its window and
# saves a PNG of that window (menu bar and client area, no frame: Xvfb has no
# window manager).
set -euo pipefail

# An exported QT_QPA_PLATFORM (offscreen in test shells) would make the
# program draw nowhere that X can see.
unset QT_QPA_PLATFORM

# Second half, run by this script again inside the virtual display.
capture() {
  local program=$1 out=$2
  cd "$(dirname "$program")"
  "$program" &
  program_pid=$!
  trap 'kill "$program_pid" 2>/dev/null || true; wait "$program_pid" 2>/dev/null || true' EXIT
  local window
  if ! window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Whorlgen$' | head -n 1); then
    echo "screenshot: the window did not appear within 30 s" >&2
    exit 1
  fi
  sleep 1  # let the first paint finish
  import -window "$window" "$out"
}

if [[ ${1:-} == --inside-display ]]; then
  capture "$2" "$3"
  exit 0
fi

if [[ $# -ne 2 ]]; then
  echo "usage: $0 <program> <out.png>" >&2
  exit 2
fi
program=$(realpath "$1")
out=$(realpath -m "$2")
[[ -x "$program" ]] || { echo "$0: $1 is not an executable program" >&2; exit 1; }
mkdir -p "$(dirname "$out")"

xvfb-run -a -s "-screen 0 1024x768x24" bash "$(realpath "$0")" --inside-display "$program" "$out"
echo "saved $out"
