#!/usr/bin/env bash
# Sets up, builds and runs every test of one preset (default: release).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/setup.sh "$preset"
export QT_QPA_PLATFORM=offscreen
ctest --preset "$preset"
