#!/usr/bin/env bash
# Builds the release preset, runs the performance measurements and prints them.
# Usage: scripts/bench.sh [--quick] [--downloads | --scale | --usb | --skip-erased] [--build-dir DIR]
#   (default)        the figures of docs/performance.md, each ratio from clients running at the same
#                    moment on simulators of their own, 3 repetitions (about 15 minutes); writes
#                    its table into docs/performance.md
#   --quick          small images and 1 repetition (about 3 minutes); writes
#                    DIR/performance-quick.md
#   --downloads      instead: whole downloads by korvath-cli, the window and the reference client
#                    at the same moment, the image layer, start-up and the serial port alone (about
#                    13 minutes; smaller with --quick)
#   --scale          instead: many units at once, 1 to 64 ports in one korvath-cli run against one
#                    paced korvath-sim, and the reference client, the series 3 times (about 14
#                    minutes; 2 times and smaller images with --quick)
#   --usb            instead: 2048-record downloads through a played USB latency timer (16 and
#                    1 ms) beside the reference client, 3 repetitions, and system calls a record
#                    (about 15 minutes; 256 records and 2 repetitions with --quick)
#   --skip-erased    instead: a 2048-record image that is half 0xFF padding, korvath-cli with and
#                    without --skip-erased and the reference client at the same moment, 3
#                    repetitions, the flash dumps compared with the image (about 4 minutes; 256
#                    records and 2 repetitions with --quick)
#   The four detailed reports go to DIR/performance-<name>.md, beside the build: the one table
#   of figures is docs/performance.md.
#   --build-dir DIR  use an already configured build folder: only the needed targets are built
set -euo pipefail
cd "$(dirname "$0")/.."

quick=()
downloads=false
scale=false
usb=false
padded=false
build_dir=""
while (($#)); do
  case "$1" in
    --quick) quick=(--quick) ;;
    --downloads) downloads=true ;;
    --scale) scale=true ;;
    --usb) usb=true ;;
    --skip-erased) padded=true ;;
    --build-dir) build_dir="$2"; shift ;;
    *)
      echo "usage: scripts/bench.sh [--quick] [--downloads | --scale | --usb | --skip-erased] [--build-dir DIR]" >&2
      exit 2
      ;;
  esac
  shift
done

targets=(korvath-cli korvath-sim korvath korvath_bench_window korvath_ref_client)
if $downloads; then targets+=(korvath_bench_image korvath_bench_link); fi
if $scale || $usb || $padded; then targets=(korvath-cli korvath-sim korvath_ref_client); fi
# srec_cat makes the images.
scripts/install-missing.sh srecord
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

report() { echo "$build_dir/performance-$1.md"; }
if $scale; then exec python3 bench/scale.py --build "$build_dir" --out "$(report scale)" "${quick[@]}"; fi
if $usb; then
  if ((${#quick[@]})); then
    exec python3 bench/usb_latency.py --build "$build_dir" --out "$(report usb)" --records 256 --repeats 2
  fi
  exec python3 bench/usb_latency.py --build "$build_dir" --out "$(report usb)"
fi
if $padded; then
  if ((${#quick[@]})); then
    exec python3 bench/skip_erased.py --build "$build_dir" --out "$(report skip-erased)" --records 256 --repeats 2
  fi
  exec python3 bench/skip_erased.py --build "$build_dir" --out "$(report skip-erased)"
fi
if $downloads; then
  exec python3 bench/perf.py --build "$build_dir" --out "$(report downloads)" "${quick[@]}"
fi
if ((${#quick[@]})); then
  exec python3 bench/figures.py --build "$build_dir" --out "$(report quick)" --records 512 \
    --unit-records 256 --padded-records 256 --repeats 1 --startup-runs 5
fi
exec python3 bench/figures.py --build "$build_dir" --out docs/performance.md
