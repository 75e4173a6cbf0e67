#!/usr/bin/env bash
# Fault sweep: runs every example scenario once per injectable call it makes
# (pool allocations, requests, devices, links, threads, registry writes),
# with `fail KIND N` before its first line, so that exactly that call fails.
# Passing means no crash, no leak, no verifier failure and no hang, and an
# exit status of 0, or 2 only where a later line names a device the failure
# kept from existing.
#   sweep_faults.sh VORNSIM SCENARIO_DIR [JOBS]
set -uo pipefail
vornsim=$1
scenarios=$2
jobs=${3:-2}
# A scenario runs in well under a second of wall time (hosted time jumps), so
# a run still going after this is a hang.
timeout_s=30

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# One point: prints "OUTCOME KIND N SCENARIO [WHY]".
run_point() {
    local vornsim=$1 timeout_s=$2 scenario=$3 kind=$4 n=$5
    local err status first
    err=$(mktemp)
    { echo "fail $kind $n"; cat "$scenario"; } | timeout "$timeout_s" "$vornsim" - >/dev/null 2>"$err"
    status=$?
    first=$(grep -m1 -E '^(verifier|teardown|error)' "$err")
    local name
    name=$(basename "$scenario" .vsim)
    if grep -q '^teardown: ' "$err"; then
        echo "leak $kind $n $name $(grep -m1 '^teardown: ' "$err")"
    elif [[ $status -eq 0 ]]; then
        echo "ok $kind $n $name"
    elif [[ $status -eq 2 ]]; then
        if grep -qE '^error [0-9]+: (no device (port|dyn):[0-9]+|no device on [^ ]+ \(vornctl list shows the port of each\)|no control device|no mouse-port device.*|no such device .*|cannot open \\\\\.\\VORN: the driver is not running.*|\{gone\}: no device has been removed yet)$' "$err"; then
            echo "refused $kind $n $name $first"
        elif grep -qE '^error [0-9]+: (cannot add a device for .*: the driver made none.*|cannot open the port of (port|dyn):[0-9]+ .*|cannot set the port of (port|dyn):[0-9]+: .*|calibration cancelled \(no record reached the class driver\).*|cannot calibrate (port|dyn):[0-9]+: .* \(list shows open=no\).*)$' "$err"; then
            # vornctl refusing a device the failed call left without its
            # object, its port name or its reader: the line names that device.
            echo "refused $kind $n $name $first"
        elif [[ $kind == alloc ]] &&
            grep -qE '^error [0-9]+: cannot remove (port|dyn):[0-9]+: the driver answered 0xC0000001( \(.*\))?$' "$err"; then
            # A removal refused for want of the work item that carries it
            # to the system process: the device stays, whole.
            echo "refused $kind $n $name $first"
        else
            echo "bad-exit $kind $n $name status 2: $first"
        fi
    elif [[ $status -eq 3 ]]; then
        if [[ $first == verifier:\ *-leak:* ]]; then
            echo "leak $kind $n $name $first"
        else
            echo "verifier $kind $n $name $first"
        fi
    elif [[ $status -eq 124 ]]; then
        echo "hang $kind $n $name"
    else
        echo "crash $kind $n $name status $status $(tail -n 3 "$err" | tr '\n' ' ')"
    fi
    rm -f "$err"
}
export -f run_point

points="$work/points"
: >"$points"
for scenario in "$scenarios"/*.vsim; do
    counts=$("$vornsim" --injectable "$scenario" 2>&1 >/dev/null | grep '^injectable ')
    [[ -n $counts ]] || { echo "FAIL: $scenario gave no injectable counts"; exit 1; }
    for pair in ${counts#injectable }; do
        kind=${pair%%=*}
        for ((n = 1; n <= ${pair#*=}; n++)); do
            echo "$scenario $kind $n" >>"$points"
        done
    done
done

results="$work/results"
xargs -P "$jobs" -L 1 bash -c 'run_point "$0" "$1" "$2" "$3" "$4"' "$vornsim" "$timeout_s" \
    <"$points" >"$results"

total=$(wc -l <"$results")
count() { grep -c "^$1 " "$results"; }
echo "fault sweep: $total injection points swept over $(ls "$scenarios"/*.vsim | wc -l) scenarios"
for kind in alloc irp device link thread key; do
    echo "  $kind: $(grep -c "^[a-z-]* $kind " "$results") points"
done
echo "  outcomes: $(count ok) ran to the end, $(count refused) stopped at a line naming a" \
    "device the failure kept from existing"
echo "  crashes $(count crash), leaks $(count leak), verifier failures $(count verifier)," \
    "hangs $(count hang), other exit statuses $(count bad-exit)"
if grep -vE '^(ok|refused) ' "$results" | sort -k4,4 -k2,2 -k3,3n | head -40 | grep .; then
    echo "FAIL: the sweep found faults"
    exit 1
fi
[[ $total -gt 0 ]] || { echo "FAIL: no injection points"; exit 1; }
echo "ok: every injected failure handled"
