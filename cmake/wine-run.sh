#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator of the windows-core preset.
# The Wine prefix is WINEPREFIX when set, else "wine-prefix" in the build folder that holds the
# program's working directory (found by its CMakeCache.txt), else one in the temporary folder.
# The first start creates the prefix (wineboot, a few seconds).
set -euo pipefail

wine=""
for candidate in "${KORVATH_WINE:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)" \
                 "$(command -v wine || true)"; do
  if [[ -n $candidate && -x $candidate ]]; then wine=$candidate; break; fi
done
if [[ -z $wine ]]; then
  echo "wine-run.sh: no Wine found (Debian: apt-get install wine64)" >&2
  exit 127
fi

if [[ -z ${WINEPREFIX:-} ]]; then
  dir=$PWD
  while [[ $dir != / && ! -f $dir/CMakeCache.txt ]]; do dir=$(dirname "$dir"); done
  if [[ -f $dir/CMakeCache.txt ]]; then
    WINEPREFIX=$dir/wine-prefix
  else
    WINEPREFIX=${TMPDIR:-/tmp}/korvath-wine-$(id -u)
  fi
fi
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# Plain console programs: no Mono or Gecko installer, and no menu entries or file associations
# written into the user's desktop folders.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}
# Wine links the prefix's user folders to HOME's; a home of its own keeps the real one untouched.
export HOME=$WINEPREFIX.home
mkdir -p "$HOME"

# Everything before the program itself runs under a lock, so that tests started side by side
# neither create the prefix twice nor start two servers.
mkdir -p "$WINEPREFIX"
exec 9>"$WINEPREFIX.lock"
flock 9
ready=$WINEPREFIX/.korvath-ready
if [[ ! -f $ready ]]; then
  "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
  touch "$ready"
fi
# One Wine server for a whole test run: it stays 30 s after the last program ends (Wine's own
# default is 3 s) instead of starting again, a few seconds each time, for the next test. A new
# server's first program starts Wine's background services, which live as long as the server and
# hold on to the output they were given: given a test's, ctest would wait for them. They are
# started here with none.
if "$(dirname "$wine")/wineserver" -p30 </dev/null >/dev/null 2>&1 9>&-; then
  "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

exec "$wine" "$@"
