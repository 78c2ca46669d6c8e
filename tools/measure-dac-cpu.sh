#!/usr/bin/env bash
# Usage: tools/measure-dac-cpu.sh <program> [seconds] [DAC]
# How much of one core the whole program uses while a device paces its
# output: starts the program on a private virtual X display, picks the DAC
# (default "EZLase", our emulated card), clicks "Start", and reads the
# process's CPU time (user + system, /proc/<pid>/stat) over the given wall
# time (default 10 s) at the start-up values. Target: under 5 %.
set -euo pipefail

source "$(dirname "$(realpath "$0")")/panel-on-xvfb.sh"

measure() {
  local program=$1 seconds=$2 dac=$3
  panel_start "$program"
  local pid=$panel_pid
  panel_click "$dac"
  sleep 0.5
  panel_click Start
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
  panel_click Stop

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
[[ $dac =~ ^(SoundCard|EZLase|RIYA)$ ]] || { echo "$0: unknown DAC $dac" >&2; exit 2; }

panel_on_xvfb "$(realpath "$0")" --inside-display "$program" "$seconds" "$dac"
