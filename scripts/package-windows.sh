#!/usr/bin/env bash
# Builds korvath.exe and korvath-cli.exe with the windows preset and writes into build/package/
#   korvath-<version>-setup.exe         the setup program (NSIS): Program Files\Korvath, a Start
#                                       Menu shortcut, .shx opening in the window, an optional
#                                       PATH entry, an uninstaller; /S runs it silently
#   korvath-<version>-windows-x64.zip   the same files in a folder korvath-<version>, to unzip
# and prints the two paths as its last lines. Usage: scripts/package-windows.sh
#
# Signing: with KORVATH_SIGN_PFX (a PKCS#12 file with the code-signing certificate and its key)
# and KORVATH_SIGN_PASSWORD (its password) set, korvath.exe, korvath-cli.exe, the uninstaller
# and the setup program are signed with osslsigncode (SHA-256), and time-stamped by the RFC 3161
# server KORVATH_SIGN_TIMESTAMP when that is set. Without them the programs stay unsigned, and
# the script says so.
set -euo pipefail

# Signs FILE in place; makensis calls this for the uninstaller and the setup program it writes.
sign_file() {
  local file=$1 signed=$1.signed pass
  pass=$(mktemp)
  trap 'rm -f "$pass"' RETURN
  printf '%s' "$KORVATH_SIGN_PASSWORD" >"$pass"
  local stamp=()
  if [[ -n ${KORVATH_SIGN_TIMESTAMP-} ]]; then stamp=(-ts "$KORVATH_SIGN_TIMESTAMP"); fi
  rm -f "$signed"
  osslsigncode sign -pkcs12 "$KORVATH_SIGN_PFX" -readpass "$pass" -h sha256 \
    -n "Korvath" "${stamp[@]}" -in "$file" -out "$signed" >&2
  mv -f "$signed" "$file"
}
if [[ ${1-} == --sign-file ]]; then
  sign_file "$2"
  exit 0
fi

signing=false
if [[ -n ${KORVATH_SIGN_PFX-} && -n ${KORVATH_SIGN_PASSWORD-} ]]; then
  [[ -r $KORVATH_SIGN_PFX ]] || { echo "package-windows.sh: cannot read $KORVATH_SIGN_PFX" >&2; exit 2; }
  # makensis signs from folders of its own.
  KORVATH_SIGN_PFX=$(realpath "$KORVATH_SIGN_PFX")
  export KORVATH_SIGN_PFX KORVATH_SIGN_PASSWORD
  signing=true
fi
cd "$(dirname "$0")/.."

needed=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest nsis)
if $signing; then needed+=(osslsigncode); fi
scripts/install-missing.sh "${needed[@]}" >&2

build=build/windows
cmake --preset windows >&2
cmake --build --preset windows --target korvath korvath-cli >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
out=build/package
stage=$out/korvath-$version
rm -rf "$stage"
mkdir -p "$stage/examples"
for program in app/windows/korvath.exe cli/korvath-cli.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$(basename "$program")" "$build/$program"
  if $signing; then sign_file "$stage/$(basename "$program")"; fi
done
cp examples/demo.shx "$stage/examples/"
# The users' README, with CR LF line ends for Notepad and every Windows editor.
sed 's/\r*$/\r/' dist/windows/README.txt >"$stage/README.txt"

setup=$out/korvath-$version-setup.exe
zip=$out/korvath-$version-windows-x64.zip
rm -f "$setup" "$zip"
sign=()
if $signing; then
  sign=(-DSIGN="$PWD/scripts/package-windows.sh --sign-file")
else
  echo "package-windows.sh: the programs are not signed (KORVATH_SIGN_PFX and KORVATH_SIGN_PASSWORD are not set)" >&2
fi
makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$stage" -DICON="$PWD/dist/windows/korvath.ico" \
  -DOUTFILE="$PWD/$setup" "${sign[@]}" dist/windows/korvath.nsi >&2
(cd "$out" && cmake -E tar cf "korvath-$version-windows-x64.zip" --format=zip "korvath-$version")
echo "$setup"
echo "$zip"
