#!/usr/bin/env bash
# Runs the end-to-end faults and the bad-file matrix (the real korvath-cli against korvath-sim
# over pseudo-terminals) and writes docs/reliability.md from what they measured, with the fuzzing
# figures of the last scripts/fuzz.sh run. A few minutes of real time, mostly waiting.
# Usage: scripts/reliability.sh [build folder]   (default: the release preset, set up and built)
# Exits non-zero when a row did not end as expected; the document is written either way.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-}"
if [[ -z "$build" ]]; then
  scripts/setup.sh release >/dev/null
  build=build/release
fi
exec /usr/bin/python3 -B -m pytest tests/e2e/test_e2e.py -k "test_fault or test_file" -q \
  --cli "$build/cli/korvath-cli" --sim "$build/tools/sim/korvath-sim" --basetemp "$build/reliability" \
  --report docs/reliability.md \
  --fuzz-summary build/fuzz/runs/summary.tsv --regressions tests/fuzz/regressions
