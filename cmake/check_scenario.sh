#!/usr/bin/env bash
# Runs one scenario through vornsim and compares its output with the
# expected output checked in beside it.
set -uo pipefail
vornsim=$1 scenario=$2 expected=$3
actual=$("$vornsim" "$scenario")
status=$?
if [[ $status -ne 0 ]]; then
  echo "FAIL: vornsim exited with $status"
  exit 1
fi
if ! diff -u "$expected" <(printf '%s\n' "$actual"); then
  echo "FAIL: output of $scenario differs from $expected"
  exit 1
fi
echo "ok: $scenario"
