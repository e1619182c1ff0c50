#!/usr/bin/env bash
# Installs what is missing on Debian 12, then configures and builds one preset: all of it, or only
# the named targets.
# Usage: scripts/setup.sh [preset [target...]]   (default: release, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
targets=("${@:2}")

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libudev-dev libssl-dev nlohmann-json3-dev libgl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
  srecord clang libclang-rt-14-dev python3 python3-pytest python3-pytest-timeout strace
  xvfb xauth xdotool fonts-dejavu-core
)

scripts/install-missing.sh "${packages[@]}"

cmake --preset "$preset" >/dev/null
if ((${#targets[@]})); then
  cmake --build --preset "$preset" --target "${targets[@]}"
else
  cmake --build --preset "$preset"
fi
