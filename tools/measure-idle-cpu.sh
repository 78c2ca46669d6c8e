#!/usr/bin/env bash
# Usage: tools/measure-idle-cpu.sh <program> [seconds]
# How much of one core the whole program uses while idle: started on a
# private virtual X display with a private settings file, the Devices window
# closed and no run, its CPU time (user + system, /proc/<pid>/stat) is read
# over the given wall time (default 30 s) after a few seconds to settle. The
# device directory's thread and the families' watches are all there is to
# run. Target: under 0.5 %.
set -euo pipefail
export WHORLGEN_SCAN_ADDRESSES=127.0.0.1

source "$(dirname "$(realpath "$0")")/panel-on-xvfb.sh"

measure() {
  local program=$1 seconds=$2
  local config
  config=$(mktemp -d)
  export XDG_CONFIG_HOME=$config
  panel_start "$program"
  sleep 3  # the start settles

  local share
  share=$(panel_cpu_share "idle, Devices window closed" "$seconds")
  rm -rf "$config"

  echo "$share"
}

if [[ ${1:-} == --inside-display ]]; then
  measure "$2" "$3"
  exit 0
fi

if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 <program> [seconds]" >&2
  exit 2
fi
program=$(realpath "$1")
seconds=${2:-30}
[[ -x "$program" ]] || { echo "$0: $1 is not an executable program" >&2; exit 1; }

panel_on_xvfb "$(realpath "$0")" --inside-display "$program" "$seconds"
