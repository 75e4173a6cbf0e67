#!/usr/bin/env bash
# Settings survive a restart with the real x86_64 vorn.sys under Wine:
#   1. a fresh prefix, the driver installed from its INF;
#   2. `vornctl add COM1`, then `vornctl set` of corners, grid corners, grid
#      offsets and CalFlags, and `vornctl show COM1`;
#   3. the Wine server stopped and started again: every process goes, the
#      driver loads anew from the registry it wrote;
#   4. `vornctl show COM1` must print what it printed before.
#
# usage: run_restart_test.sh SOURCE_DIR BUILD_DIR INSTALL_DEVICE_EXE
set -euo pipefail
src=$1
build=$2
helper=$3
dist=$build/dist/x86_64
logs=$build/wine-restart
began=$SECONDS
# shellcheck source=wine_common.sh
source "$src/tests/wine/wine_common.sh"

# The INF writes the global defaults; no device is configured beforehand.
registry_table() {
    echo 'VORN2000|MouseMode|dword|0'
}

for f in "$dist/vorn.sys" "$dist/vorn.inf" "$dist/vornctl.exe" "$helper"; do
    [[ -f $f ]] || fail "$f is missing; build first"
done
find_wine
if [[ -z $wine || -z $wineserver ]]; then
    echo "SKIP: Wine is not installed (wine_real_driver installs it)"
    exit 77
fi

rm -rf "$logs"
mkdir -p "$logs"
new_prefix vorn-wine-restart

vornctl() {
    wine_run "$dist/vornctl.exe" "$@" 2>&1 | tr -d '\r'
}

# 1.
boot_prefix
import_registry
install_driver

# 2.
vornctl add COM1 >"$logs/add.out"
vornctl set COM1 LLX=1100 LLY=1300 LRX=15000 LRY=1250 URX=15200 URY=14900 ULX=1180 ULY=15050 \
    CalFlags=1 GridLLX=1589 GridURY=14088 GridX3=-7 GridY24=15 >"$logs/set.out"
vornctl show COM1 >"$logs/before.out"
grep -qx 'GridX3=-7' "$logs/before.out" || {
    cat "$logs/add.out" "$logs/set.out" "$logs/before.out" >&2
    fail "the settings were not taken before the restart"
}

# 3.
step "stopping and starting the Wine server"
"$wineserver" -k >/dev/null 2>&1 </dev/null || true
"$wineserver" -w >/dev/null 2>&1 </dev/null || true
"$wineserver" -p >/dev/null 2>&1 </dev/null
wine_run cmd /c exit >"$logs/reboot.log" 2>&1 || fail "Wine did not come back (see $logs/reboot.log)"
wait_for_driver || fail "\\\\.\\VORN does not open after the restart: the driver did not load again"
step "driver loaded again"

# 4.
vornctl show COM1 >"$logs/after.out"
if ! diff -u --label "show before the restart" --label "show after the restart" \
    "$logs/before.out" "$logs/after.out"; then
    fail "the settings changed across the restart (above)"
fi
step "show prints the same $(wc -l <"$logs/after.out") lines after the restart"
echo "PASS in $((SECONDS - began))s"
