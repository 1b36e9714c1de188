#!/bin/sh
# run.sh - runs the benchmark suite (medians of repeated runs) and writes JSON, the cache
# report and the Markdown summary into one directory.
#
# Usage: bench/run.sh [BUILD_DIR] [OUT_DIR]
#   BUILD_DIR  the build tree configured with -DNOX_BUILD_BENCH=ON (default build-bench)
#   OUT_DIR    where the results go (default BUILD_DIR/bench-results)
# NOX_BENCH_MIN_TIME sets --benchmark_min_time in seconds per repetition (default 0.1) and
# NOX_BENCH_REPETITIONS the repetitions whose median is reported (default 9); the defaults
# keep the whole run within about 6 to 10 minutes on a shared two-core machine.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build-bench}
out=${2:-$build/bench-results}
min_time=${NOX_BENCH_MIN_TIME:-0.1}
repetitions=${NOX_BENCH_REPETITIONS:-9}
mkdir -p "$out"

# Repetitions of all cases are interleaved in random order, so that a burst of load from
# other processes spreads over many cases instead of spoiling every repetition of one.
common="--benchmark_min_time=$min_time --benchmark_repetitions=$repetitions --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true --benchmark_out_format=json"
# shellcheck disable=SC2086
"$build/bench/nox_bench" $common --benchmark_out="$out/nox_bench.json"
# shellcheck disable=SC2086
"$build/bench/nox_bench_paths" $common --benchmark_out="$out/nox_bench_paths.json"
"$build/bench/nox_cache_report" > "$out/cache_report.md"

status=0
python3 "$here/summarize.py" "$out/nox_bench.json" "$out/nox_bench_paths.json" \
    --output "$out/summary.md" || status=$?
cat "$out/summary.md" "$out/cache_report.md"
exit "$status"
