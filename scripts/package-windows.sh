#!/usr/bin/env bash
# Builds korvath.exe and korvath-cli.exe with the windows preset and writes into build/package/
#   korvath-<version>-setup.exe         the setup program (NSIS): Program Files\Korvath, a Start
#                                       Menu shortcut, an uninstaller; /S runs it silently
#   korvath-<version>-windows-x64.zip   the same files in a folder korvath-<version>, to unzip
# and prints the two paths as its last lines. Usage: scripts/package-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-missing.sh cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  googletest nsis >&2

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
done
cp examples/demo.shx "$stage/examples/"
# Notepad and every Windows editor read the README with CR LF line ends.
sed 's/$/\r/' README.md >"$stage/README.txt"

setup=$out/korvath-$version-setup.exe
zip=$out/korvath-$version-windows-x64.zip
rm -f "$setup" "$zip"
makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$stage" -DICON="$PWD/dist/windows/korvath.ico" \
  -DOUTFILE="$PWD/$setup" dist/windows/korvath.nsi >&2
(cd "$out" && cmake -E tar cf "korvath-$version-windows-x64.zip" --format=zip "korvath-$version")
echo "$setup"
echo "$zip"
