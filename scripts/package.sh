#!/usr/bin/env bash
# Builds the Debian package of korvath, korvath-cli and korvath-sim and prints the path of the
# .deb as its last line. No test-only dependency is needed: the build has BUILD_TESTING=OFF.
# Usage: scripts/package.sh [build folder]   (default: build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/package}"

scripts/install-missing.sh cmake ninja-build g++ pkg-config qt6-base-dev libudev-dev libssl-dev nlohmann-json3-dev \
  libgl-dev libcli11-dev help2man librsvg2-bin dpkg-dev fakeroot file >&2

# Debian's hardening flags. Warnings stay warnings here: a newer compiler must not stop a
# distribution build, while the development presets keep them fatal.
cxxflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
cppflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DKORVATH_WERROR=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
cmake --build "$build" >&2
rm -f "$build"/korvath_*.deb
(cd "$build" && cpack -G DEB) >&2
ls "$build"/korvath_*.deb
