#!/usr/bin/env bash
# The Windows serial port under Wine against korvath-sim: the simulator's pseudo-terminal is
# mapped to COM5 in a Wine prefix of our own and registered as a port, then the Windows test
# program talks to it. Every Wine step runs under a hard time limit.
# Usage: tests/serial/wine_com_port.sh [windows-build] [linux-build]
#        (defaults build/windows-core and build/release)
set -euo pipefail
cd "$(dirname "$0")/../.."
windows_build=${1:-build/windows-core}
linux_build=${2:-build/release}
wine=/usr/lib/wine/wine64
test_program=$windows_build/tests/serial/korvath_windows_serial_tests.exe
sim=$linux_build/tools/sim/korvath-sim
for needed in "$wine" "$test_program" "$sim"; do
  [[ -e $needed ]] || { echo "wine_com_port.sh: $needed is missing" >&2; exit 2; }
done

prefix=$(mktemp -d "${TMPDIR:-/tmp}/korvath-wine-com.XXXXXX")
export WINEPREFIX=$prefix HOME=$prefix/home WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
mkdir -p "$HOME"
sim_pid=""
cleanup() {
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null || true
  timeout 30 "$(dirname "$wine")/wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

timeout 180 "$wine" wineboot --init </dev/null >/dev/null 2>&1
exec 3< <("$sim" --no-pacing)
sim_pid=$!
read -r -t 20 pts <&3
[[ $pts == /dev/pts/* ]] || { echo "wine_com_port.sh: korvath-sim printed '$pts'" >&2; exit 1; }

ln -s "$pts" "$prefix/dosdevices/com5"
# Listings see a port only when it is registered; the server reads that when it starts.
timeout 60 "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$pts" /f \
  </dev/null >/dev/null 2>&1
timeout 30 "$(dirname "$wine")/wineserver" -k >/dev/null 2>&1 || true
timeout 30 "$(dirname "$wine")/wineserver" -w >/dev/null 2>&1 || true
# A server of our own, quiet: one started by the test would dump its state into the test's
# output when it is stopped.
"$(dirname "$wine")/wineserver" -p </dev/null >/dev/null 2>&1

KORVATH_TEST_COM=COM5 timeout 180 "$wine" "$test_program" </dev/null
