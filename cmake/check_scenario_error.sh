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
expect_error() {
    local input=$1 want=$2 errors status
    errors=$(printf "$input" | "$vornsim" - 2>&1 >/dev/null)
    status=$?
    [[ $status -eq 2 && $errors == "$want" ]] || { echo "FAIL: $input: $status $errors"; exit 1; }
}
expect_error 'load\nload\n' "error 2: the driver is already loaded"
expect_error 'sleep 86400001\n' "error 1: MS must be 0..86400000: 86400001"
expect_error 'load\nioctl 0x80000414 out=2147483647\n' "error 2: out must be 0..1048576: 2147483647"
expect_error 'load\npnp add\nclass attributes len=4294967295\n' \
    "error 3: len must be 0..1048576: 4294967295"
expect_error 'fail alloc 1000001\n' "error 1: N must be 1..1000000: 1000001"
echo "ok: malformed lines are refused"
