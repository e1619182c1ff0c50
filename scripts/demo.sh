#!/usr/bin/env bash
# Sets up, builds the programs, and downloads the bundled example image into the built-in simulated
# controller with the command-line downloader.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only the three programs: the tests and benchmarks are built by scripts/test.sh.
scripts/setup.sh release korvath korvath-cli korvath-sim
echo
echo "korvath-cli --port sim examples/demo.shx"
status=0
build/release/cli/korvath-cli --port sim examples/demo.shx || status=$?
echo
echo "Next: build/release/app/korvath examples/demo.shx (the window; port sim), or build/release/cli/korvath-cli --help"
exit "$status"
