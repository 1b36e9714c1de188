#!/usr/bin/env bash
# run.sh - runs every fuzz target over its committed corpus, then fuzzes it for a fixed time
# with a fixed seed. Builds nothing: give it a build directory configured with
# NOX_BUILD_FUZZ=ON (clang) and built.
#
# Usage: fuzz/run.sh [SECONDS] [BUILD_DIR [WORK_DIR]]   (SECONDS may also come last)
#   SECONDS    fuzzing time per target (default 60): the one argument that is a number
#   BUILD_DIR  the fuzz build (default: $NOX_FUZZ_BUILD_DIR, else build/fuzz in the repository,
#              where the fuzz preset puts it)
#   WORK_DIR   where new inputs and crash reproducers go (default: a temporary directory,
#              removed afterwards unless something crashed). The committed corpus is only read;
#              to keep what a run found, merge WORK_DIR/<target> into fuzz/corpus/<target>
#              with the target's -merge=1 (see docs/reliability.md).
# Environment:
#   NOX_FUZZ_JOBS     targets fuzzed at the same time (default 1; 2 uses both cores)
#   NOX_FUZZ_TARGETS  the targets to run (default: parser loader convert utf)
#   NOX_FUZZ_SEED     the seed (default 1)
# Exits non-zero when any input crashes or breaks an invariant, and leaves the reproducer
# (WORK_DIR/<target>-crash-*) and the log (WORK_DIR/<target>.log) in place.
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
seconds=60
paths=()
for arg in "$@"; do
    if [[ "$arg" =~ ^[0-9]+$ ]]; then
        seconds="$arg"
    else
        paths+=("$arg")
    fi
done
build="${paths[0]:-${NOX_FUZZ_BUILD_DIR:-$repo/build/fuzz}}"
work="${paths[1]:-}"
jobs="${NOX_FUZZ_JOBS:-1}"
seed="${NOX_FUZZ_SEED:-1}"
read -r -a targets <<< "${NOX_FUZZ_TARGETS:-parser loader convert utf}"

keepWork=1
if [ -z "$work" ]; then
    work="$(mktemp -d "${TMPDIR:-/tmp}/nox_fuzz.XXXXXX")"
    keepWork=0
fi
mkdir -p "$work"

# Longest input per target: long enough for whole UCM files and long texts, short enough to
# keep each execution fast.
maxLen() {
    case "$1" in
        parser) echo 512 ;;
        loader) echo 4096 ;;
        *) echo 2048 ;;
    esac
}

for t in "${targets[@]}"; do
    if [ ! -x "$build/fuzz/fuzz_$t" ]; then
        echo "run.sh: $build/fuzz/fuzz_$t is missing; configure with NOX_BUILD_FUZZ=ON and build" >&2
        exit 2
    fi
    if [ ! -d "$here/corpus/$t" ]; then
        echo "run.sh: no corpus $here/corpus/$t" >&2
        exit 2
    fi
done

# Runs one target: the committed corpus once, then fuzzing for $seconds. The library's own
# messages (no mapping, cannot access) go to the target's standard error, which
# -close_fd_mask=2 silences; libFuzzer and the sanitizers keep reporting.
runTarget() {
    local t="$1"
    local bin="$build/fuzz/fuzz_$t"
    local log="$work/$t.log"
    mkdir -p "$work/$t"
    {
        echo "== $t: committed corpus"
        "$bin" -runs=0 -close_fd_mask=2 -artifact_prefix="$work/$t-" "$here/corpus/$t" || return 1
        echo "== $t: fuzzing ${seconds}s, seed $seed"
        "$bin" -seed="$seed" -max_total_time="$seconds" -max_len="$(maxLen "$t")" -timeout=20 \
            -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 \
            -artifact_prefix="$work/$t-" "$work/$t" "$here/corpus/$t" || return 1
    } > "$log" 2>&1
}

# Each target leaves its outcome in WORK_DIR/<target>.status.
running=0
for t in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    ( if runTarget "$t"; then echo ok; else echo FAILED; fi > "$work/$t.status" ) &
    running=$((running + 1))
done
wait
declare -A status=()
passed=0
failed=0
for t in "${targets[@]}"; do
    status[$t]="$(cat "$work/$t.status" 2>/dev/null || echo FAILED)"
    if [ "${status[$t]}" = ok ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done

printf '%-8s %-7s %12s %8s %10s %s\n' target result executions exec/s coverage "new inputs"
for t in "${targets[@]}"; do
    log="$work/$t.log"
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
    cov="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)"
    found="$(find "$work/$t" -type f | wc -l)"
    printf '%-8s %-7s %12s %8s %10s %s\n' "$t" "${status[$t]}" "${execs:--}" "${rate:--}" \
        "${cov:--}" "$found"
    if [ "${status[$t]}" != ok ]; then
        echo "---- $log (last lines)"
        tail -n 40 "$log"
        ls "$work/$t"-* 2>/dev/null
    fi
done

if [ "$failed" -ne 0 ]; then
    echo "fuzzing FAILED; logs and reproducers in $work"
    echo "fuzz: $passed passed, $failed failed"
    exit 1
fi
if [ "$keepWork" -eq 0 ]; then
    rm -rf "$work"
else
    echo "new inputs and logs in $work"
fi
echo "fuzz: $passed passed, 0 failed"
