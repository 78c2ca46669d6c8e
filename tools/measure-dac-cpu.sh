#!/usr/bin/env bash
# Usage: tools/measure-dac-cpu.sh <program> [seconds] [DAC]
# How much of one core the whole program uses while a device paces its
# output: starts the program on a private virtual X display, picks the DAC
# (default "EZLase", our emulated card), clicks "Start", and reads the
# process's CPU time (user + system, /proc/<pid>/stat) over the given wall
# time (default 10 s) at the start-up values. Target: under 5 %.
set -euo pipefail

unset QT_QPA_PLATFORM  # an exported offscreen platform would draw nowhere X can see

# Centres of the controls in the client area (layout positions in pixels),
# below the menu bar.
declare -A DAC_ROW_Y=([SoundCard]=359 [EZLase]=373 [RIYA]=387)
DAC_LIST_X=76
START_X=416
START_Y=288
STOP_X=296

measure() {
  local program=$1 seconds=$2 dac=$3
  cd "$(dirname "$program")"
  "$program" 2>/dev/null &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
  local window
  if ! window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Whorlgen$' | head -n 1); then
    echo "measure-dac-cpu: the window did not appear within 30 s" >&2
    exit 1
  fi
  sleep 1
  local height menu
  height=$(xdotool getwindowgeometry --shell "$window" | sed -n 's/^HEIGHT=//p')
  menu=$((height - 599))
  xdotool mousemove --window "$window" "$DAC_LIST_X" $((menu + DAC_ROW_Y[$dac])) click 1
  sleep 0.5
  xdotool mousemove --window "$window" "$START_X" $((menu + START_Y)) click 1
  sleep 2  # the run settles

  local library
  case $dac in
    SoundCard) library=libEZAudDac.so ;;
    EZLase) library=libEasyLase.so ;;
    RIYA) library=libRiyaNetServer_stdcall.so ;;
  esac
  if ! grep -q "$library" "/proc/$pid/maps"; then
    echo "measure-dac-cpu: $library is not loaded, so no $dac run started" >&2
    exit 1
  fi

  local ticks_per_s start_ticks end_ticks start_ns end_ns
  ticks_per_s=$(getconf CLK_TCK)
  cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
  start_ticks=$(cpu_ticks)
  start_ns=$(date +%s%N)
  sleep "$seconds"
  end_ticks=$(cpu_ticks)
  end_ns=$(date +%s%N)
  xdotool mousemove --window "$window" "$STOP_X" $((menu + START_Y)) click 1

  awk -v t=$((end_ticks - start_ticks)) -v hz="$ticks_per_s" -v ns=$((end_ns - start_ns)) \
    -v dac="$dac" 'BEGIN {
      cpu = t / hz; wall = ns / 1e9
      printf "%s at the start-up values: %.2f s CPU in %.2f s = %.1f %% of one core\n",
             dac, cpu, wall, 100 * cpu / wall
    }'
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
[[ -n ${DAC_ROW_Y[$dac]:-} ]] || { echo "$0: unknown DAC $dac" >&2; exit 2; }

xvfb-run -a -s "-screen 0 1024x768x24" bash "$(realpath "$0")" --inside-display "$program" "$seconds" "$dac"
