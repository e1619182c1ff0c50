#!/usr/bin/env bash
# The plain C++ layers cross-built for 64-bit Windows with MinGW-w64, their tests run under Wine:
# installs what is missing on Debian 12, configures and builds the windows-core preset, runs its
# tests and prints how many ran. Usage: scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# googletest: GoogleTest's sources, built for Windows with the tests; srecord: the srec_cat test
# image; libclang-rt-14-dev: the input header of the fuzz replays.
packages=(
  cmake ninja-build util-linux g++-mingw-w64-x86-64-posix wine64 googletest srecord
  libclang-rt-14-dev
)
scripts/install-missing.sh "${packages[@]}"

build=build/windows-core
cmake --preset windows-core >/dev/null
cmake --build --preset windows-core

# Wine's first start in a fresh prefix takes seconds; it is done and timed here, once, so that
# no test's time-out pays for it.
started=$(date +%s%N)
(cd "$build" && ../../cmake/wine-run.sh cmd /c exit 0)
ms=$((($(date +%s%N) - started) / 1000000))
printf 'Wine ready in %d.%03d s\n' $((ms / 1000)) $((ms % 1000))

log=$build/test-windows.log
status=0
ctest --preset windows-core 2>&1 | tee "$log" || status=$?
run=$(grep -oE 'tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
echo "Windows build: $run tests run under Wine"
exit "$status"
