#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Whorlgen need.
# Quick when everything is there already; asks apt only for what is missing.
set -euo pipefail

packages=(
  make cmake g++ pkg-config clang-format
  qt6-base-dev libxkbcommon-dev
  libasound2-dev libusb-1.0-0-dev libjack-jackd2-dev jackd2 libsamplerate0-dev liblo-dev liblo-tools
  nlohmann-json3-dev libaubio-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool imagemagick
  ccache desktop-file-utils appstream librsvg2-bin dpkg-dev file lintian python3
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
