#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded time.
# A crash, a leak, an out-of-bounds access or an input that takes over a second fails.
# Usage: scripts/fuzz.sh [seconds per target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/setup.sh fuzz >/dev/null

out=build/fuzz/runs
mkdir -p "$out"
: >"$out/summary.tsv"
status=0
for target in build/fuzz/tests/fuzz/fuzz_*; do
  [[ -x "$target" ]] || continue
  name="${target##*/fuzz_}"
  corpus="$out/corpus-$name"
  mkdir -p "$corpus"
  echo "== fuzzing $name for ${seconds}s"
  if "$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/$name-" "$corpus" "tests/fuzz/corpus/$name" >"$out/$name.log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -40 "$out/$name.log"
  fi
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$out/$name.log" | grep -Eo '[0-9]+$' || echo 0)
  printf '%s\t%s\t%s\t%s\n' "$name" "$seconds" "$runs" "$result" >>"$out/summary.tsv"
  echo "   $result, $runs inputs"
done
exit $status
