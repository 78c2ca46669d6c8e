#!/usr/bin/env bash
# The command lines of whorlgen and whorlgen-dac-emulator as an operator
# meets them, with no display at all: what goes to which stream, and the
# exit status.
# Usage: command_line_check.sh <whorlgen> <whorlgen-dac-emulator>
set -uo pipefail
whorlgen=$1
emulator=$2
export QT_QPA_PLATFORM=no-such-platform DISPLAY= WAYLAND_DISPLAY=
work=$(mktemp -d)
unit_pid=
trap '[[ -n "$unit_pid" ]] && kill "$unit_pid" 2>/dev/null; rm -rf "$work"' EXIT
failures=0

# expect <status> <stdout pattern> <stderr pattern> <command...>; an empty
# pattern means the stream must be empty.
expect() {
  local status=$1 out_pattern=$2 err_pattern=$3
  shift 3
  timeout 10 "$@" >"$work/out" 2>"$work/err"
  local got=$?
  local problem=
  [[ $got -eq $status ]] || problem="exit status $got, not $status"
  for stream in out err; do
    local pattern=$out_pattern
    [[ $stream == err ]] && pattern=$err_pattern
    if [[ -z "$pattern" ]]; then
      [[ -s "$work/$stream" ]] && problem+=" std$stream not empty"
    else
      grep -Eq -- "$pattern" "$work/$stream" || problem+=" std$stream lacks /$pattern/"
    fi
  done
  if [[ -n "$problem" ]]; then
    echo "FAIL: $*:$problem"
    sed 's/^/  stdout: /' "$work/out" | head -5
    sed 's/^/  stderr: /' "$work/err" | head -5
    failures=$((failures + 1))
  fi
}

# whorlgen: answers without a display; a mistake gets the usage and status 2.
expect 0 '^usage: whorlgen ' '' "$whorlgen" --help
expect 0 '^usage: whorlgen ' '' "$whorlgen" -h
expect 0 '^whorlgen [0-9]' '' "$whorlgen" -platform offscreen --version
expect 2 '' 'unknown option --bogus' "$whorlgen" --bogus
expect 2 '' '^usage: whorlgen ' "$whorlgen" stray-argument
expect 2 '' '-platform needs a value' "$whorlgen" -platform

# The emulator: --help says what it is for; numbers are numbers.
expect 0 'without hardware' '' "$emulator" --help
expect 0 '^usage: whorlgen-dac-emulator' '' "$emulator" --etherdream --help
expect 2 '' '--port needs a whole number' "$emulator" --etherdream --port abc
expect 2 '' '--capacity needs a whole number' "$emulator" --etherdream --capacity -5
expect 2 '' 'unknown option --prot' "$emulator" --idn --prot 7000

# Started without --announce-to, it says how Whorlgen will see it. A port
# someone else holds ends the emulator at once: another is tried.
noted=
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  "$emulator" --etherdream --port "$port" >/dev/null 2>"$work/unit_err" &
  unit_pid=$!
  for _ in $(seq 100); do
    grep -q 'added by address' "$work/unit_err" && break
    kill -0 "$unit_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$unit_pid" 2>/dev/null
  wait "$unit_pid" 2>/dev/null
  unit_pid=
  grep -q 'cannot listen' "$work/unit_err" && continue
  grep -q "only once 127.0.0.1:$port is added by address" "$work/unit_err" && noted=yes
  break
done
if [[ -z "$noted" ]]; then
  echo "FAIL: the emulator without --announce-to does not say it must be added by address"
  sed 's/^/  stderr: /' "$work/unit_err"
  failures=$((failures + 1))
fi

[[ $failures -eq 0 ]] && echo "command lines as expected"
exit $((failures > 0))
