#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time (default 60 s) from its seed
# corpus, and prints the executions each made. A crash fails the run and its
# input lands in fuzz/regression/TARGET/, which ctest replays from then on:
# commit it with the mend.
#   run-fuzzers.sh [BUILD_DIR] [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-60}
status=0 passed=0 failed=0
# The image target runs the real x86_64 vorn.sys the Release build made.
export VORN_FUZZ_IMAGE=${VORN_FUZZ_IMAGE:-$PWD/build/sys-x86_64/vorn.sys}
for target in byte_stream control registry scenario image_byte_stream; do
    work=$(mktemp -d)
    log="$work/log"
    "$build/fuzz/${target}_fuzzer" "$work" "fuzz/corpus/$target" \
        -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="fuzz/regression/$target/" >"$log" 2>&1
    result=$?
    runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    if [[ $result -eq 0 ]]; then
        echo "fuzz $target: ${runs:-?} executions in ${seconds} s, no crash"
        passed=$((passed + 1))
    else
        echo "fuzz $target: FAILED after ${runs:-?} executions (exit $result):"
        grep -E 'ERROR|check failed|verifier|teardown|Test unit written' "$log" | head -n 10
        status=1
        failed=$((failed + 1))
    fi
    rm -rf "$work"
done
# The last line of the whole test run.
echo "fuzzers: $passed passed, $failed failed"
exit $status
