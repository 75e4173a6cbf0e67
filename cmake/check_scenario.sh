#!/usr/bin/env bash
# Runs one scenario through vornsim and compares its output with the
# expected output checked in beside it.
#   check_scenario.sh VORNSIM SCENARIO EXPECTED
set -uo pipefail
vornsim=$1 scenario=$2 expected=$3
actual=$("$vornsim" "$scenario")
status=$?
if [[ $status -ne 0 ]]; then
  echo "FAIL: vornsim exited with $status"
  exit 1
fi
if ! diff -u "$expected" <(printf '%s\n' "$actual"); then
  # The first line that differs, by number, so a failure says where at once.
  where=$(cmp <(cat "$expected") <(printf '%s\n' "$actual") 2>&1)
  line=$(sed -n 's/.* differ: .* line \([0-9]*\)$/\1/p' <<<"$where")
  # One output is the other's beginning: the first line only one has.
  [[ -z $line ]] && line=$(sed -n 's/.*EOF on .* line \([0-9]*\).*$/\1/p' <<<"$where") &&
    [[ -n $line ]] && line=$((line + 1))
  echo "FAIL: output of $scenario differs from $expected${line:+ first at line $line}"
  [[ -n $line ]] && echo "  expected: $(sed -n "${line}p" "$expected")" &&
    echo "  actual:   $(printf '%s\n' "$actual" | sed -n "${line}p")"
  exit 1
fi
echo "ok: $scenario"
