#!/bin/sh
# run.sh - runs the benchmark suite (medians of interleaved repetitions) and writes the JSON,
# the open and cache reports and the Markdown summary into one directory.
#
# Usage: bench/run.sh [-g GROUP]... [BUILD_DIR] [OUT_DIR]
#   BUILD_DIR  the build tree configured with -DNOX_BUILD_BENCH=ON (default build/bench, the
#              bench preset's tree, else build-bench)
#   OUT_DIR    where the results go (default BUILD_DIR/bench-results)
#   -g GROUP   run only these groups (repeatable; default all):
#              utf        UTF-8/UTF-16 per script and per level, LATIN_1, UTF-32 and short
#                         UTF strings
#              codepages  the code pages against the peers (long inputs, short strings) and
#                         per level
#              levels     only the per-level rows, UTF and code pages (static copy)
#              opens      converter opens: time and heap, in fresh processes
#              process    whole noxconv runs on tiny files against the iconv program
#              cache      cache memory and construction time of every shipped code page
# NOX_BENCH_MIN_TIME sets --benchmark_min_time in seconds per repetition (default 0.05),
# NOX_BENCH_REPETITIONS the repetitions whose median is reported (default 15),
# NOX_BENCH_OPEN_ROUNDS the fresh processes per open row (default 21) and
# NOX_BENCH_PROCESS_RUNS the runs per command of the process benchmark (default 101). The
# defaults keep a whole run within about 15 to 20 minutes on a shared two-core machine.
# NOX_BENCH_BASELINE names the medians.json of an earlier run to compare with (rows more than
# 5% slower are listed and fail the run).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
groups=""
while getopts g: opt; do
    case $opt in
    g) groups="$groups $OPTARG" ;;
    *) sed -n '2,24p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ -n "${1:-}" ]; then
    build=$1
elif [ -d build/bench ]; then
    build=build/bench
else
    build=build-bench
fi
out=${2:-$build/bench-results}
groups=${groups:-" utf codepages opens process cache"}
for g in $groups; do
    case $g in
    utf | codepages | levels | opens | process | cache) ;;
    *) echo "run.sh: unknown group '$g'" >&2; exit 2 ;;
    esac
done
has() { case " $groups " in *" $1 "*) return 0 ;; esac; return 1; }
min_time=${NOX_BENCH_MIN_TIME:-0.05}
repetitions=${NOX_BENCH_REPETITIONS:-15}
mkdir -p "$out"
rm -f "$out/nox_bench.json" "$out/nox_bench_levels.json" "$out/open.json" "$out/open.md" \
    "$out/cache_report.md" "$out/summary.md"

# Repetitions of all cases are interleaved in random order, so that a burst of load from
# other processes spreads over many cases instead of spoiling every repetition of one.
common="--benchmark_min_time=$min_time --benchmark_repetitions=$repetitions --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true --benchmark_out_format=json"

filter=""
levels_filter=""
if has utf; then
    filter="$filter|^utf|^short_utf|^latin1_"
    levels_filter="$levels_filter|^levels_utf"
fi
if has codepages; then
    filter="$filter|^toU/|^fromU/|^short_toU/|^short_fromU/"
    levels_filter="$levels_filter|^levels_toU/|^levels_fromU/"
fi
has levels && levels_filter="|^levels_"
if [ -n "$filter" ]; then
    # shellcheck disable=SC2086
    "$build/bench/nox_bench" $common --benchmark_filter="${filter#|}" \
        --benchmark_out="$out/nox_bench.json"
fi
if [ -n "$levels_filter" ]; then
    # shellcheck disable=SC2086
    "$build/bench/nox_bench_levels" $common --benchmark_filter="${levels_filter#|}" \
        --benchmark_out="$out/nox_bench_levels.json"
fi
only=""
if has opens && ! has process; then only="--only opens"; fi
if has process && ! has opens; then only="--only process"; fi
if has opens || has process; then
    # shellcheck disable=SC2086
    "$build/bench/nox_bench_open" $only --rounds "${NOX_BENCH_OPEN_ROUNDS:-21}" \
        --runs "${NOX_BENCH_PROCESS_RUNS:-101}" --json "$out/open.json" > "$out/open.md"
fi
if has cache; then
    "$build/bench/nox_cache_report" > "$out/cache_report.md"
fi

status=0
set --
for f in nox_bench.json nox_bench_levels.json open.json; do
    [ -f "$out/$f" ] && set -- "$@" "$out/$f"
done
if [ -n "${NOX_BENCH_BASELINE:-}" ]; then
    set -- "$@" --baseline "$NOX_BENCH_BASELINE"
fi
python3 "$here/summarize.py" "$@" --output "$out/summary.md" \
    --save-medians "$out/medians.json" || status=$?
for f in summary.md open.md cache_report.md; do
    [ -f "$out/$f" ] && cat "$out/$f"
done
exit "$status"
