#!/usr/bin/env bash
# Takes a picture of the main window under a virtual X server and writes docs/screenshot.png.
# Usage: scripts/screenshot.sh [build directory]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
program="$build/app/korvath"
if [[ ! -x $program ]]; then
  echo "No $program: build it first (cmake --build --preset release)." >&2
  exit 1
fi
mkdir -p docs
if [[ -z ${XDG_RUNTIME_DIR:-} ]]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
  trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
KORVATH_SCREENSHOT="$PWD/docs/screenshot.png" \
  xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24 -dpi 96" "$program"
echo "docs/screenshot.png"
