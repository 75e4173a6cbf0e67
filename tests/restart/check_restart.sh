#!/usr/bin/env bash
# A restart keeps a calibration: a first run calibrates (4, 9 or 25 points,
# or `ctl set`), taps and dumps the registry; a second run is given exactly
# that registry (the dump's lines as `reg set`), loads the driver afresh and
# taps the same points, once with the controller silent and once with it
# answering its parameter read with other corners and flags. Both must give
# the first run's records, and the dump must recreate the registry exactly.
set -euo pipefail
vornsim=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

panel='port panel COM1 1100 1300 15000 1250 15200 14900 1180 15050 bow 300 -250'
taps='port tap COM1 32768 32768 reports 1
port tap COM1 3000 62000 reports 1
port tap COM1 60000 5000 reports 1
sleep 600'

first_run() { # calibration commands
    cat <<EOS
reg set VORN2000\\Device0 COMM sz COM1
reg set VORN2000\\Device0 BaudRate dword 9600
port add COM1
port answers COM1 0
$panel
load
pnp add
pnp start
class connect
sleep 50
$1
$taps
reg dump VORN2000
EOS
}

second_run() { # registry lines, controller: silent | answers
    echo "$1"
    echo "port add COM1"
    if [[ $2 == silent ]]; then
        echo "port answers COM1 0"
    else
        for i in 0 1 2 3 4 5 6 7; do echo "port param COM1 $i $((500 + i * 100))"; done
        echo "port param COM1 58 2"
    fi
    cat <<EOS
$panel
load
reg dump VORN2000
pnp add
pnp start
class connect
sleep 3000
$taps
EOS
}

check() { # name, calibration commands
    local name=$1 first="$work/$1-first.out"
    first_run "$2" | "$vornsim" - >"$first"
    local registry
    registry=$(grep '^reg VORN2000' "$first" | sed 's/^reg /reg set /')
    grep -q 'CalFlags' <<<"$registry" || { echo "FAIL $name: no CalFlags stored"; failures=$((failures + 1)); }
    for controller in silent answers; do
        local second="$work/$name-$controller.out"
        second_run "$registry" "$controller" | "$vornsim" - >"$second"
        if ! diff <(grep '^record' "$first") <(grep '^record' "$second") >"$work/diff"; then
            echo "FAIL $name ($controller controller): records differ after the restart"
            head -8 "$work/diff"
            failures=$((failures + 1))
        elif ! diff <(grep '^reg VORN2000' "$first") <(grep '^reg VORN2000' "$second") >"$work/diff"; then
            echo "FAIL $name: the dump did not recreate the registry"
            head -8 "$work/diff"
            failures=$((failures + 1))
        else
            echo "ok: $name ($controller controller): $(grep -c '^record' "$second") records as before"
        fi
    done
}

check 'calibrate-4' 'ctl calibrate port:0 4 by=COM1'
check 'calibrate-9' 'ctl calibrate port:0 9 by=COM1'
check 'calibrate-25' 'ctl calibrate port:0 25 by=COM1'
check 'set' 'ctl set port:0 LLX=1100 LLY=1300 LRX=15000 LRY=1250 URX=15200 URY=14900 ULX=1180 ULY=15050 CalFlags=2'
[[ $failures -eq 0 ]]
