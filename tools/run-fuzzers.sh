#!/usr/bin/env bash
# Runs every libFuzzer program of the fuzz build (cmake --preset fuzz) for a
# bounded time, two at a time, each starting from its seed corpus and the
# inputs that once broke it. Prints the executions of each run; fails on any
# crash, leak, sanitizer report, time-out or broken invariant, and then says
# where the input that did it was kept.
#   tools/run-fuzzers.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=build/fuzz/fuzz
work=build/fuzz/runs
targets=(setup_dat profile registry lz creg)

rm -rf "$work"
mkdir -p "$work"

run_target() {
    local target=$1
    local dir=$work/$target
    mkdir -p "$dir/corpus" "$dir/artifacts"
    local seeds=(fuzz/corpus/$target)
    [ -d "fuzz/regressions/$target" ] && seeds+=("fuzz/regressions/$target")
    "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$dir/artifacts/" "$dir/corpus" "${seeds[@]}" >"$dir/log" 2>&1
}

status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    pids=()
    for target in "${targets[@]:i:2}"; do
        run_target "$target" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || status=1
    done
done

printf '%-10s %12s %8s %12s  %s\n' target executions seconds "corpus now" result
for target in "${targets[@]}"; do
    log=$work/$target/log
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    time=$(sed -n 's/^stat::.*//; s/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    size=$(find "$work/$target/corpus" "fuzz/corpus/$target" -type f | wc -l)
    result=ok
    if ls "$work/$target/artifacts/"* >/dev/null 2>&1 || ! grep -q '^Done ' "$log"; then
        result="FAILED: see $log"
        status=1
    fi
    printf '%-10s %12s %8s %12s  %s\n' "$target" "${runs:-?}" "${time:-?}" "$size" "$result"
done

if [ "$status" -ne 0 ]; then
    for target in "${targets[@]}"; do
        for artifact in "$work/$target/artifacts/"*; do
            [ -e "$artifact" ] || continue
            echo
            echo "== $target: $artifact"
            grep -E 'broken:|ERROR|SUMMARY' "$work/$target/log" | head -5 || true
            echo "Keep it as a test: cp '$artifact' fuzz/regressions/$target/<what it shows>"
        done
    done
    exit 1
fi
