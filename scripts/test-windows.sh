#!/usr/bin/env bash
# Windows under Wine: builds the windows preset (MinGW-w64: korvath.exe, korvath-cli.exe and
# the tests), runs the unit tests, packages the setup program and the zip, then runs the
# end-to-end tests (tests/windows) against korvath-sim built for Linux in build/release
# (scripts/test.sh builds it): downloads through a COM port mapped to the simulator, the window
# on an X display of its own (its picture goes to docs/windows-window.png), and the setup
# program installed and uninstalled in a new prefix. Prints how many tests ran.
# Usage: scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# googletest: GoogleTest's sources, built for Windows with the tests; srecord: the test images;
# libclang-rt-14-dev: the input header of the fuzz replays; nsis: the setup program; xvfb,
# openbox, xdotool and imagemagick: the window's display, frame and picture.
packages=(
  cmake ninja-build util-linux g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  googletest srecord libclang-rt-14-dev libcli11-dev nlohmann-json3-dev nsis xvfb openbox xdotool
  imagemagick python3-pytest python3-pytest-timeout
)
scripts/install-missing.sh "${packages[@]}"

export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-$(command -v ccache || true)}
build=build/windows
cmake --preset windows >/dev/null
cmake --build --preset windows

# Wine's first start in a fresh prefix takes seconds; it is done and timed here, once, so that
# no test's time-out pays for it.
started=$(date +%s%N)
(cd "$build" && timeout 180 ../../cmake/wine-run.sh cmd /c exit 0)
ms=$((($(date +%s%N) - started) / 1000000))
printf 'Wine ready in %d.%03d s\n' $((ms / 1000)) $((ms % 1000))

log=$build/test-windows.log
status=0
ctest --preset windows 2>&1 | tee "$log" || status=$?
run=$(grep -oE 'tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)

sim=build/release/tools/sim/korvath-sim
if [[ ! -x $sim ]]; then
  cmake --preset release >/dev/null
  cmake --build build/release --target korvath-sim
fi
# The Win32 serial port's own test against the simulator through a mapped COM port.
serial_status=0
timeout 300 tests/serial/wine_com_port.sh "$build" build/release || serial_status=$?

scripts/package-windows.sh >/dev/null

e2e_status=0
timeout 480 /usr/bin/python3 -B -m pytest tests/windows -q -p no:cacheprovider \
  --basetemp "$build/e2e-work" --build "$build" --sim "$sim" --package build/package \
  --picture docs/windows-window.png --junitxml "$build/e2e.xml" || e2e_status=$?
report=$(cat "$build/e2e.xml" 2>/dev/null || true)
e2e=0
if [[ $report =~ tests=\"([0-9]+)\" ]]; then e2e=${BASH_REMATCH[1]}; fi

echo "Windows build: $run unit tests and $e2e end-to-end tests run under Wine"
for later in "$serial_status" "$e2e_status"; do
  if ((status == 0)); then status=$later; fi
done
exit "$status"
