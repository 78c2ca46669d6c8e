#!/usr/bin/env bash
# Usage: tools/measure-dac-cpu.sh <program> [seconds] [DAC]
# How much of one core the whole program uses while a device paces its
# output: starts the program on a private virtual X display, picks the DAC
# (default "EZLase", our emulated card), clicks "Start", and reads the
# process's CPU time (user + system, /proc/<pid>/stat) over the given wall
# time (default 10 s) at the start-up values. Target: under 5 %.
#
# DAC "EtherDream" streams to the Ether Dream emulator built beside the
# program instead: the script starts it on 127.0.0.1 (port
# WHORLGEN_EMULATOR_PORT, default 17765), gives the program a private
# settings file with that address added, picks the first DAC after the three
# library ones, and reports the emulator's underruns at the end.
# Target: under 3 %, no underrun.
set -euo pipefail
export WHORLGEN_SCAN_ADDRESSES=127.0.0.1

source "$(dirname "$(realpath "$0")")/panel-on-xvfb.sh"

measure() {
  local program=$1 seconds=$2 dac=$3
  emulator_pid="" stats=""
  if [[ $dac == EtherDream ]]; then
    start_etherdream_emulator "$program"
  fi
  panel_start "$program"
  if [[ $dac == EtherDream ]]; then
    # The network DACs follow the three library DACs: the first of them.
    trap 'kill "$panel_pid" "$emulator_pid" 2>/dev/null || true; wait 2>/dev/null || true' EXIT
    panel_click SoundCard
    sleep 0.3
    xdotool key Down Down Down
  else
    panel_click "$dac"
  fi
  sleep 0.5
  panel_click Start
  sleep 2  # the run settles

  if [[ $dac == EtherDream ]]; then
    if ! grep -q '^connected=1' "$stats"; then
      [[ -n ${MEASURE_DEBUG_SHOT:-} ]] && import -window root "$MEASURE_DEBUG_SHOT"
      echo "measure-dac-cpu: the program did not connect to the Ether Dream emulator" >&2
      exit 1
    fi
  else
    local library
    case $dac in
      SoundCard) library=libEZAudDac.so ;;
      EZLase) library=libEasyLase.so ;;
      RIYA) library=libRiyaNetServer_stdcall.so ;;
    esac
    if ! grep -q "$library" "/proc/$panel_pid/maps"; then
      echo "measure-dac-cpu: $library is not loaded, so no $dac run started" >&2
      exit 1
    fi
  fi

  local share
  share=$(panel_cpu_share "$dac at the start-up values" "$seconds")
  panel_click Stop

  if [[ $dac == EtherDream ]]; then
    sleep 1  # the lead-out plays, the unit stops
    kill "$emulator_pid"
    wait "$emulator_pid" || true
    grep -E '^(points_played|underruns|underruns_after_points|naks|longest_pause_ms|underruns_in_own_pause)=' "$stats" | tr '\n' ' '
    echo
  fi

  echo "$share"
}

# The emulator on 127.0.0.1, and a private settings file that adds it.
start_etherdream_emulator() {
  local program=$1 port=${WHORLGEN_EMULATOR_PORT:-17765}
  local dir
  dir=$(mktemp -d)
  stats=$dir/emulator-stats
  mkdir -p "$dir/config/whorlgen"
  printf '[network]\netherdream_addresses=127.0.0.1:%s\n' "$port" >"$dir/config/whorlgen/whorlgen.conf"
  export XDG_CONFIG_HOME=$dir/config
  "$(dirname "$program")/whorlgen-dac-emulator" --etherdream --port "$port" --stats "$stats" \
    >/dev/null 2>&1 &
  emulator_pid=$!
  for _ in $(seq 50); do [[ -f $stats ]] && break; sleep 0.1; done
  [[ -f $stats ]] || { echo "measure-dac-cpu: the emulator did not start" >&2; exit 1; }
}

if [[ ${1:-} == --inside-display ]]; then
  measure "$2" "$3" "$4"
  exit 0
fi

if [[ $# -lt 1 || $# -gt 3 ]]; then
  echo "usage: $0 <program> [seconds] [SoundCard|EZLase|RIYA|EtherDream]" >&2
  exit 2
fi
program=$(realpath "$1")
seconds=${2:-10}
dac=${3:-EZLase}
[[ -x "$program" ]] || { echo "$0: $1 is not an executable program" >&2; exit 1; }
[[ $dac =~ ^(SoundCard|EZLase|RIYA|EtherDream)$ ]] || { echo "$0: unknown DAC $dac" >&2; exit 2; }

panel_on_xvfb "$(realpath "$0")" --inside-display "$program" "$seconds" "$dac"
