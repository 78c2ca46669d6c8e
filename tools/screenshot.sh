#!/usr/bin/env bash
# Usage: tools/screenshot.sh <program> <out.png> [running]
# Starts the program on a private virtual X display, waits for its window and
# saves a PNG of that window (menu bar and client area). With "running", it
# first picks "EZLase" (the emulated card) and clicks "Start", so the picture
# shows a figure being drawn.
set -euo pipefail
source "$(dirname "$(realpath "$0")")/panel-on-xvfb.sh"

# Second half, run by this script again inside the virtual display.
capture() {
  local program=$1 out=$2 mode=$3
  panel_start "$program"
  if [[ $mode == running ]]; then
    panel_click EZLase
    sleep 0.5
    panel_click Start
    sleep 2
  fi
  import -window "$panel_window" "$out"
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

panel_on_xvfb "$(realpath "$0")" --inside-display "$program" "$out" "${3:-}"
echo "saved $out"
