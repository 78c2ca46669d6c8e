#!/usr/bin/env bash
# Usage: tools/measure-projection-cpu.sh <program> [seconds] [DAC]
# The Projection window's cost: starts the program on a private virtual X
# display, picks the DAC (default "EZLase", our emulated card), opens the
# Projection window with Ctrl+P (its picture 600 x 600 above the legend),
# clicks "Start", and reads the whole process's CPU time over the given wall
# time (default 10 s) at the start-up values. Target: under 10 % of one core.
# The pictures the window draws a second: build/bin/bench_projection_window.
set -euo pipefail

source "$(dirname "$(realpath "$0")")/panel-on-xvfb.sh"

measure() {
  local program=$1 seconds=$2 dac=$3
  panel_start "$program"
  panel_click "$dac"
  sleep 0.5
  panel_click Start
  # Without a window manager windows open at the top left: the view goes to
  # the bottom right, clear of the panel's Stop button.
  xdotool windowfocus --sync "$panel_window" key ctrl+p
  local view
  if ! view=$(timeout 10 xdotool search --sync --onlyvisible --name '^Whorlgen Projection$' | head -n 1); then
    echo "measure-projection-cpu: the Projection window did not open" >&2
    exit 1
  fi
  # The window opens with its picture at 600 x 600.
  xdotool windowmove --sync "$view" 424 100
  sleep 2  # the run settles

  local share
  share=$(panel_cpu_share "$dac, Projection picture 600 x 600" "$seconds")
  panel_click Stop

  echo "$share"
}

if [[ ${1:-} == --inside-display ]]; then
  measure "$2" "$3" "$4"
  exit 0
fi

if [[ $# -lt 1 || $# -gt 3 ]]; then
  echo "usage: $0 <program> [seconds] [SoundCard|EZLase|RIYA]" >&2
  exit 2
fi
program=$(realpath "$1")
seconds=${2:-10}
dac=${3:-EZLase}
[[ -x "$program" ]] || { echo "$0: $1 is not an executable program" >&2; exit 1; }
[[ $dac =~ ^(SoundCard|EZLase|RIYA)$ ]] || { echo "$0: unknown DAC $dac" >&2; exit 2; }

panel_on_xvfb "$(realpath "$0")" --inside-display "$program" "$seconds" "$dac"
