#!/usr/bin/env bash
# A malformed scenario line stops the run with "error LINE: WHY" on standard
# error and exit status 2, and nothing after it runs.
set -uo pipefail
vornsim=$1
errors=$(printf 'load\nport frobnicate COM1\nload\n' | "$vornsim" - 2>&1 >/dev/null)
status=$?
[[ $status -eq 2 ]] || { echo "FAIL: exit status $status, not 2"; exit 1; }
[[ $errors == "error 2: unknown port verb frobnicate" ]] || { echo "FAIL: stderr was: $errors"; exit 1; }
errors=$(printf 'ioctl 0x80000420 in={gone}\n' | "$vornsim" - 2>&1 >/dev/null)
status=$?
[[ $status -eq 2 && $errors == error\ 1:* ]] || { echo "FAIL: {gone} with nothing removed: $status $errors"; exit 1; }
echo "ok: malformed lines are refused"
