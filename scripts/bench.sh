#!/usr/bin/env bash
# Builds the release preset, runs the performance measurements, prints the table and writes
# docs/performance.md.
# Usage: scripts/bench.sh [--quick] [--scale | --usb | --skip-erased] [--build-dir DIR]
#   (default)        3 repetitions of each download, korvath-cli, the window and the reference
#                    client at the same moment in each (about 13 minutes)
#   --quick          small images and 2 repetitions (about 2 minutes); writes
#                    DIR/performance-quick.md
#   --scale          instead: many units at once, 1 to 64 ports in one korvath-cli run against one
#                    paced korvath-sim, and the reference client, the series 3 times (about 14
#                    minutes; 2 times and smaller images with --quick, about 4); writes only that
#                    section of the same file
#   --usb            instead: 2048-record downloads through a played USB latency timer (16 and
#                    1 ms) beside the reference client, 3 repetitions, and system calls a record
#                    (about 15 minutes; 256 records and 2 repetitions with --quick); writes
#                    only that section
#   --skip-erased    instead: a 2048-record image that is half 0xFF padding, korvath-cli with and
#                    without --skip-erased and the reference client at the same moment, 3
#                    repetitions, the flash dumps compared with the image (about 4 minutes; 256
#                    records and 2 repetitions with --quick); writes only that section
#   --build-dir DIR  use an already configured build folder: only the needed targets are built
set -euo pipefail
cd "$(dirname "$0")/.."

quick=()
scale=false
usb=false
padded=false
build_dir=""
while (($#)); do
  case "$1" in
    --quick) quick=(--quick) ;;
    --scale) scale=true ;;
    --usb) usb=true ;;
    --skip-erased) padded=true ;;
    --build-dir) build_dir="$2"; shift ;;
    *)
      echo "usage: scripts/bench.sh [--quick] [--scale | --usb | --skip-erased] [--build-dir DIR]" >&2
      exit 2
      ;;
  esac
  shift
done

targets=(korvath-cli korvath-sim korvath korvath_bench_window korvath_bench_image korvath_ref_client
  korvath_bench_link)
if $scale || $usb || $padded; then targets=(korvath-cli korvath-sim korvath_ref_client); fi
# srec_cat makes the padded image.
if $padded; then scripts/install-missing.sh srecord; fi
if [[ -z "$build_dir" ]]; then
  build_dir=build/release
  if ! scripts/setup.sh release; then
    # Measuring needs only the programs and the benchmarks, not every test.
    echo "bench.sh: the full release build failed; building only what is measured" >&2
    cmake --build "$build_dir" --target "${targets[@]}"
  fi
else
  cmake --build "$build_dir" --target "${targets[@]}"
fi

out=docs/performance.md
if ((${#quick[@]})); then out="$build_dir/performance-quick.md"; fi
if $scale; then exec python3 bench/scale.py --build "$build_dir" --out "$out" "${quick[@]}"; fi
if $usb; then
  if ((${#quick[@]})); then
    exec python3 bench/usb_latency.py --build "$build_dir" --out "$out" --records 256 --repeats 2
  fi
  exec python3 bench/usb_latency.py --build "$build_dir" --out "$out"
fi
if $padded; then
  if ((${#quick[@]})); then
    exec python3 bench/skip_erased.py --build "$build_dir" --out "$out" --records 256 --repeats 2
  fi
  exec python3 bench/skip_erased.py --build "$build_dir" --out "$out"
fi
exec python3 bench/perf.py --build "$build_dir" --out "$out" "${quick[@]}"
