#!/usr/bin/env bash
# Usage: tests/layering/check_refuses.sh <source root>
# tools/check-layering.sh must refuse each include against the layers, put
# into a copy of the folder it would sit in.
set -uo pipefail
root=$(realpath "$1")
status=0
for probe in "output/run_loop.cpp emulators/emulator_support.h" \
  "devices/riya_emulation.cpp audio/jack_dac.h" \
  "emulators/idn_emulator.cpp lasers/wire_point.h"; do
  read -r file header <<<"$probe"
  copy=$(mktemp -d)
  cp -r "$root/${file%%/*}" "$copy/"
  sed -i "1a #include \"$header\"" "$copy/$file"
  if said=$(bash "$root/tools/check-layering.sh" "$copy" 2>&1) || [[ $said != *"$header"* ]]; then
    echo "the check let $file include $header" >&2
    status=1
  fi
  rm -rf "$copy"
done
exit $status
