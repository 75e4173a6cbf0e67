#!/usr/bin/env bash
# Runs every example scenario many times in a row, two at a time so that the
# runs load each other, and fails if any run's output differs from the
# checked-in output: vornsim's output must not depend on the thread schedule.
set -uo pipefail
vornsim=$1 scenarios=$2 runs=${3:-20}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
for scenario in "$scenarios"/*.vsim; do
  expected=${scenario%.vsim}.out
  for ((i = 0; i < runs; i += 2)); do
    "$vornsim" "$scenario" >"$work/a" 2>&1 &
    "$vornsim" "$scenario" >"$work/b" 2>&1
    wait
    for out in "$work/a" "$work/b"; do
      if ! cmp -s "$expected" "$out"; then
        echo "FAIL: a run of $scenario differs:"
        diff -u "$expected" "$out" | head -20
        failures=$((failures + 1))
      fi
    done
  done
done
[[ $failures -eq 0 ]] && echo "ok: every scenario gave the same output $runs times"
exit $((failures > 0))
