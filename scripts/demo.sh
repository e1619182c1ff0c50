#!/usr/bin/env bash
# Sets up, builds, and downloads the bundled example image into the built-in simulated
# controller with the command-line downloader.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release
echo
echo "korvath-cli --port sim examples/demo.shx"
exec build/release/cli/korvath-cli --port sim examples/demo.shx
