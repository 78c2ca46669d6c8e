#!/usr/bin/env bash
# Usage: tools/screenshot.sh <program> <out.png> [running]
# Starts the program on a private virtual X display, waits for its window and
# saves a PNG of that window (menu bar and client area, no frame: Xvfb has no
# window manager). With "running", it first picks "EZLase" (the emulated
# card) and clicks "Start", so the picture shows a figure being drawn.
set -euo pipefail

# An exported QT_QPA_PLATFORM (offscreen in test shells) would make the
# program draw nowhere that X can see.
unset QT_QPA_PLATFORM

# Second half, run by this script again inside the virtual display.
# Centres of the controls in the client area, below the menu bar.
EZLASE_ROW=(76 373)
START_BUTTON=(416 288)

capture() {
  local program=$1 out=$2 mode=$3
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
  if [[ $mode == running ]]; then
    local height menu
    height=$(xdotool getwindowgeometry --shell "$window" | sed -n 's/^HEIGHT=//p')
    menu=$((height - 599))
    xdotool mousemove --window "$window" "${EZLASE_ROW[0]}" $((menu + EZLASE_ROW[1])) click 1
    sleep 0.5
    xdotool mousemove --window "$window" "${START_BUTTON[0]}" $((menu + START_BUTTON[1])) click 1
    sleep 2
  fi
  import -window "$window" "$out"
}

if [[ ${1:-} == --inside-display ]]; then
  capture "$2" "$3" "${4:-}"
  exit 0
fi

if [[ $# -lt 2 || $# -gt 3 ]]; then
  echo "usage: $0 <program> <out.png> [running]" >&2
  exit 2
fi
program=$(realpath "$1")
out=$(realpath -m "$2")
[[ -x "$program" ]] || { echo "$0: $1 is not an executable program" >&2; exit 1; }
mkdir -p "$(dirname "$out")"

xvfb-run -a -s "-screen 0 1024x768x24" bash "$(realpath "$0")" --inside-display "$program" "$out" "${3:-}"
echo "saved $out"
