#!/usr/bin/env bash
# Takes pictures of the main window under a virtual X server: docs/screenshot.png with the demo
# image chosen, and docs/refused-image.png with an image whose third record is misaligned, its
# line and reason on the details line. A home of its own keeps the user's settings out.
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
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" "$home/images"
chmod 700 "$XDG_RUNTIME_DIR"

cp examples/demo.shx "$home/images/demo.shx"
# The demo image with its third record moved by 16 bytes, its checksum made right again.
python3 - "$home/images/demo.shx" "$home/images/APP_V2.SHX" <<'PY'
import sys
lines = open(sys.argv[1]).read().splitlines()
record = bytes.fromhex(lines[2][2:-2])
address = int.from_bytes(record[1:4], "big") + 0x10
record = record[:1] + address.to_bytes(3, "big") + record[4:]
checksum = (~sum(record)) & 0xFF
lines[2] = "S2" + record.hex().upper() + "%02X" % checksum
open(sys.argv[2], "w", newline="\r\n").write("\n".join(lines) + "\n")
PY

shoot() {
  KORVATH_SCREENSHOT="$PWD/docs/$1" \
    xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24 -dpi 96" "$program" "$2"
  echo "docs/$1"
}
shoot screenshot.png "$home/images/demo.shx"
shoot refused-image.png "$home/images/APP_V2.SHX"
