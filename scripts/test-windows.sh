#!/usr/bin/env bash
# Windows under Wine: builds the windows preset (MinGW-w64: korvath.exe, korvath-cli.exe and
# the tests), runs the unit tests, packages the setup program and the zip, then runs the
# end-to-end tests (tests/windows) against korvath-sim built for Linux in build/release
# (scripts/test.sh builds it): downloads through a COM port mapped to the simulator, the window
# on an X display of its own (its picture goes to docs/windows-window.png), and the setup
# program, signed with a throw-away certificate, installed and uninstalled in a new prefix.
# Prints how many tests ran.
# Usage: scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# googletest: GoogleTest's sources, built for Windows with the tests; srecord: the test images;
# libclang-rt-14-dev: the input header of the fuzz replays; nsis: the setup program; xvfb,
# openbox, xdotool and imagemagick: the window's display, frame and picture.
packages=(
  cmake ninja-build util-linux g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  googletest srecord libclang-rt-14-dev libcli11-dev nlohmann-json3-dev nsis xvfb openbox xdotool
  imagemagick python3-pytest python3-pytest-timeout osslsigncode openssl
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
# Now and then a program under Wine ends at its start, before any output of its own: Wine's, not
# the test's. A test that fails is run once more, so such a start is told from a real failure,
# which fails both times.
ctest --preset windows --repeat until-pass:2 2>&1 | tee "$log" || status=$?
run=$(grep -oE 'tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)

sim=build/release/tools/sim/korvath-sim
if [[ ! -x $sim ]]; then
  cmake --preset release >/dev/null
  cmake --build build/release --target korvath-sim
fi
# The Win32 serial port's own test against the simulator through a mapped COM port.
serial_status=0
timeout 300 tests/serial/wine_com_port.sh "$build" build/release || serial_status=$?

# The package is signed with a throw-away certificate made here (a CA of its own and a
# code-signing certificate from it), and every signature is checked against that CA.
signing=$build/signing
rm -rf "$signing"
mkdir -p "$signing"
sign_password=$(openssl rand -hex 16)
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvath throw-away CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
  -keyout "$signing/ca.key" -out "$signing/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Korvath throw-away signing" \
  -keyout "$signing/sign.key" -out "$signing/sign.csr" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  >"$signing/sign.ext"
openssl x509 -req -days 2 -in "$signing/sign.csr" -CA "$signing/ca.pem" -CAkey "$signing/ca.key" \
  -CAcreateserial -extfile "$signing/sign.ext" -out "$signing/sign.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$signing/sign.key" -in "$signing/sign.pem" \
  -certfile "$signing/ca.pem" -passout "pass:$sign_password" -out "$signing/korvath.pfx"
packaged=$(KORVATH_SIGN_PFX=$signing/korvath.pfx KORVATH_SIGN_PASSWORD=$sign_password \
  scripts/package-windows.sh)
setup=$(sed -n 1p <<<"$packaged")
stage=${setup%-setup.exe}
sign_status=0
signed=0
for program in "$stage/korvath.exe" "$stage/korvath-cli.exe" "$setup"; do
  if verified=$(osslsigncode verify -CAfile "$signing/ca.pem" -in "$program" 2>&1); then
    signed=$((signed + 1))
  else
    echo "$program: signature not verified" >&2
    echo "$verified" >&2
    sign_status=1
  fi
done
echo "Signatures verified: $signed"
# The installer test checks the uninstaller it installs against the same CA.
export KORVATH_SIGN_CA=$PWD/$signing/ca.pem

e2e_status=0
timeout 480 /usr/bin/python3 -B -m pytest tests/windows -q -p no:cacheprovider \
  --basetemp "$build/e2e-work" --build "$build" --sim "$sim" --package build/package \
  --picture docs/windows-window.png --junitxml "$build/e2e.xml" || e2e_status=$?
report=$(cat "$build/e2e.xml" 2>/dev/null || true)
e2e=0
if [[ $report =~ tests=\"([0-9]+)\" ]]; then e2e=${BASH_REMATCH[1]}; fi

echo "Windows build: $run unit tests and $e2e end-to-end tests run under Wine"
for later in "$serial_status" "$sign_status" "$e2e_status"; do
  if ((status == 0)); then status=$later; fi
done
exit "$status"
