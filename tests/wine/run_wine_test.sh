#!/usr/bin/env bash
# The real x86_64 vorn.sys under Wine, installed the way a Windows user installs
# it, compared with the hosted driver:
#   1. Wine from Debian's packages when it is missing; a fresh prefix;
#   2. the registry of the table below imported with regedit;
#   3. the device installed from build/dist/x86_64/vorn.inf through setupapi and
#      newdev (install_device.exe), then shown to have reached AddDevice and the
#      start request, and \\.\VORN opened;
#   4. vornctl_script.txt run line by line with vornctl.exe, and as `ctl` lines
#      of a vornsim scenario over the same registry; the outputs, and the
#      registry keys the driver wrote back, must match line for line;
#   5. the script's refused commands (`!N COMMAND`, after every accepted one):
#      vornctl.exe must exit with N and print the reason vornsim's `ctl` gives
#      for the same command after the same accepted ones.
# The i686 image is checked by its build only: 32-bit Wine cannot run here.
#
# usage: run_wine_test.sh SOURCE_DIR BUILD_DIR INSTALL_DEVICE_EXE
set -euo pipefail
src=$1
build=$2
helper=$3
dist=$build/dist/x86_64
script=$src/tests/wine/vornctl_script.txt
logs=$build/wine-test
began=$SECONDS
# shellcheck source=wine_common.sh
source "$src/tests/wine/wine_common.sh"

# The registry the test runs on, one value a line: KEY|NAME|TYPE|VALUE. The
# .reg file for Wine and the `reg set` lines for vornsim are both made from it.
# Every global value is given, so the INF adds none of its defaults and the
# written-back keys can be compared whole.
registry_table() {
    cat <<'EOF'
VORN2000|MouseMode|dword|0
VORN2000|DoubleClickSpeed|dword|3
VORN2000|DoubleClickSize|dword|8
VORN2000|Language|dword|1
VORN2000|A0|dword|4
VORN2000|A1|dword|5
VORN2000|A2|dword|6
VORN2000|A3|dword|12
VORN2000|Uppper|dword|40
VORN2000|Low|dword|2
VORN2000|Filter Threshold|dword|200
VORN2000|Filter|dword|1
VORN2000|Rotation|dword|1
VORN2000\Device0|COMM|sz|COM1
VORN2000\Device0|BaudRate|dword|9600
VORN2000\Device0|LLX|dword|1210
VORN2000\Device0|LLY|dword|1330
VORN2000\Device0|LRX|dword|15120
VORN2000\Device0|LRY|dword|1290
VORN2000\Device0|URX|dword|15160
VORN2000\Device0|URY|dword|15010
VORN2000\Device0|ULX|dword|1180
VORN2000\Device0|ULY|dword|15050
VORN2000\Device0|SelDelay|dword|10
VORN2000\Device0|ClickDelay|dword|10
VORN2000\Device0|XDeviation|dword|30
VORN2000\Device0|YDeviation|dword|30
VORN2000\Device1|COMM|sz|COM2
VORN2000\Device1|BaudRate|dword|19200
VORN2000\Device1|Mode|dword|1
EOF
}

registry_as_scenario() {
    local key name type value
    while IFS='|' read -r key name type value; do
        echo "reg set $key $name $type $value"
    done < <(registry_table)
}

# The commands of the script: blank lines and comments dropped.
all_script_lines() {
    grep -v -e '^[[:space:]]*$' -e '^[[:space:]]*#' "$script"
}

# The commands the driver accepts, and those it refuses ("!N COMMAND": vornctl
# exits with N), which all come last: a refusal changes nothing, so each is
# compared with vornsim after the same accepted commands.
script_lines() {
    all_script_lines | grep -v '^!' || true
}
refused_lines() {
    all_script_lines | grep '^!' || true
}
if all_script_lines | awk '/^!/ { refused = 1; next } refused { bad = 1 } END { exit !bad }'; then
    fail "$script: an accepted command follows a refused one"
fi

for f in "$dist/vorn.sys" "$dist/vorn.inf" "$dist/vornctl.exe" "$helper" "$build/vornsim"; do
    [[ -f $f ]] || fail "$f is missing; build first"
done

# The i686 folder is checked by what it holds: its images cannot run here.
pe_machine() {
    local offset
    offset=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
    od -An -t x2 -j $((offset + 4)) -N 2 "$1" | tr -d ' '
}
for f in vorn.sys vornctl.exe vorn.inf INSTALL.txt; do
    [[ -f $build/dist/i686/$f ]] || fail "dist/i686/$f is missing"
done
for f in vorn.sys vornctl.exe; do
    [[ $(pe_machine "$build/dist/i686/$f") == 014c ]] || fail "dist/i686/$f is not an i386 image"
    [[ $(pe_machine "$dist/$f") == 8664 ]] || fail "dist/x86_64/$f is not an x86_64 image"
done

# 1. Wine.
find_wine
if [[ -z $wine || -z $wineserver ]]; then
    if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
        echo "SKIP: Wine is not installed and this user cannot install it"
        exit 77
    fi
    echo "installing wine64 and wine"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq wine64 wine >/dev/null || true
    find_wine
    [[ -n $wine && -n $wineserver ]] || fail "Wine is still missing after apt-get install wine64 wine"
fi

rm -rf "$logs"
mkdir -p "$logs"
new_prefix vorn-wine

# The driver host's Plug and Play and kernel traces land in boot.log.
WINEDEBUG=+plugplay,+ntoskrnl boot_prefix

# 2. The registry.
import_registry
registry_as_scenario >"$logs/registry.vsim"

# 3. Install through setupapi and newdev, as devcon does.
install_from_inf

# DriverEntry ran when \\.\VORN opens. AddDevice and the start request are seen
# in the traces of Wine's Plug and Play manager and kernel (the device node's
# status cannot be asked: Wine 8's CM_Locate_DevNode answers CR_FAILURE): AddDevice returned
# success after creating an unnamed FILE_DEVICE_SERIAL_MOUSE_PORT (26) device
# and attaching it to the root device; the start request went to that device,
# whose Plug and Play dispatch took its remove lock ("pnp", line 270) and sent
# the start (minor function 0) down to the root device.
proof=""
for _ in $(seq 100); do
    if wine_run "$helper" probe >"$logs/probe.log" 2>&1; then
        added=$(sed -n '/Adding new root-enumerated device L"ROOT\\\\VORN2000\\\\0000"/,$p' \
            "$logs/boot.log")
        ours=$(grep -m1 -o 'IoAttachDeviceToDeviceStack [0-9A-F]*, [0-9A-F]*' <<<"$added" || true)
        if [[ -n $ours ]]; then
            device=$(awk '{print $2}' <<<"$ours" | tr -d ,)
            root=$(awk '{print $3}' <<<"$ours")
            if grep -q 'load_function_driver AddDevice routine [0-9A-F]* returned 0\.' <<<"$added" &&
                grep -q 'IoCreateDevice ([0-9A-F]*, [0-9]*, <null>, 26, ' <<<"$added" &&
                grep -q "IoBuildSynchronousFsdRequest (27 $device " <<<"$added" &&
                grep -q 'IoAcquireRemoveLockEx .* file "pnp", line 270' <<<"$added" &&
                grep -q "pnp_manager_device_pnp device $root, irp [0-9A-F]*, minor function 0\." \
                    <<<"$added"; then
                proof="mouse-port device $device on root device $root"
                break
            fi
        fi
    fi
    sleep 0.2
done
if [[ -z $proof ]]; then
    cat "$logs/probe.log" >&2
    grep -i 'vorn\|plugplay' "$logs/boot.log" | tail -n 40 >&2 || true
    fail "the driver did not load, or AddDevice and the start request did not reach it"
fi
step "driver loaded: \\\\.\\VORN opens; AddDevice and start reached the $proof"

# 4. The script through vornctl.exe ...
step "running $(all_script_lines | wc -l) vornctl commands under Wine, $(refused_lines | wc -l) of them refused"
: >"$logs/wine.out"
while read -r -a args; do
    status=0
    wine_run "$dist/vornctl.exe" "${args[@]}" >"$logs/command.out" 2>"$logs/command.err" ||
        status=$?
    if [[ $status -ne 0 ]]; then
        tr -d '\r' <"$logs/command.out" >>"$logs/wine.out"
        cat "$logs/wine.out" "$logs/command.err" >&2
        # Once seen under load with all its output printed and nothing on
        # standard error: the status and the driver host's state tell more.
        pgrep -a winedevice >&2 || echo "no winedevice.exe is running" >&2
        fail "vornctl ${args[*]} failed under Wine with exit status $status"
    fi
    tr -d '\r' <"$logs/command.out" >>"$logs/wine.out"
done < <(script_lines)
# Refusals: the lines vornctl.exe printed, its reason and its exit status.
while read -r mark rest; do
    read -r -a args <<<"$rest"
    expected=${mark#!}
    code=0
    wine_run "$dist/vornctl.exe" "${args[@]}" >"$logs/command.out" 2>"$logs/command.err" || code=$?
    tr -d '\r' <"$logs/command.out" >>"$logs/wine.out"
    tr -d '\r' <"$logs/command.err" >>"$logs/wine.out"
    echo "exit $code" >>"$logs/wine.out"
    [[ $code == "$expected" ]] ||
        echo "vornctl $rest under Wine exited with $code, not $expected" >>"$logs/wrong-exits"
done < <(refused_lines)
wine_run reg query 'HKLM\System\CurrentControlSet\Services\VORN2000' /s \
    >"$logs/wine.reg.raw" 2>&1 || fail "reg query of the service key failed"

# ... and through vornsim over the same registry.
{
    cat "$logs/registry.vsim"
    echo "load"
    echo "pnp add"
    echo "pnp start"
    script_lines | sed 's/^/ctl /'
    echo "reg dump VORN2000"
} >"$logs/compare.vsim"
"$build/vornsim" "$logs/compare.vsim" >"$logs/vornsim.raw" 2>"$logs/vornsim.err" || {
    cat "$logs/vornsim.err" >&2
    fail "vornsim could not run $logs/compare.vsim"
}
grep -qx 'pnp start status=0x00000000' "$logs/vornsim.raw" || fail "vornsim did not start the device"
# What vornctl prints, out of vornsim's output. Wine cannot tell an absent
# port: its IoGetDeviceObjectPointer answers every name with a fake device,
# so the driver never learns that COM3 is not there, and vornctl.exe has no
# note to print under it.
ctl_output() {
    grep -v -e '^dbg ' -e '^pnp add status=' -e '^pnp start status=' -e '^reg ' \
        -e '^  port .* is not present; it opens when it appears$' "$1" || true
}
ctl_output "$logs/vornsim.raw" >"$logs/vornsim.out"

# Each refusal after the accepted commands: vornsim stops at the refused `ctl`
# line with "error LINE: WHY", where vornctl prints "vornctl: WHY".
accepted=$(wc -l <"$logs/vornsim.out")
while read -r mark rest; do
    grep -v '^reg dump ' "$logs/compare.vsim" >"$logs/refusal.vsim"
    echo "ctl $rest" >>"$logs/refusal.vsim"
    line=$(wc -l <"$logs/refusal.vsim")
    code=0
    "$build/vornsim" "$logs/refusal.vsim" >"$logs/refusal.raw" 2>"$logs/refusal.err" || code=$?
    [[ $code == 2 ]] && grep -q "^error $line: " "$logs/refusal.err" ||
        fail "vornsim did not refuse ctl $rest (exit $code): $(cat "$logs/refusal.err")"
    ctl_output "$logs/refusal.raw" | tail -n +$((accepted + 1)) >>"$logs/vornsim.out"
    sed -n "s/^error $line: /vornctl: /p" "$logs/refusal.err" >>"$logs/vornsim.out"
    echo "exit ${mark#!}" >>"$logs/vornsim.out"
done < <(refused_lines)

# The keys the driver wrote, in vornsim's dump format. The service manager's
# own values are left out: the hosted registry has no service manager.
tr -d '\r' <"$logs/wine.reg.raw" | awk -F '    ' '
    function number(text,    i, n) {
        text = tolower(text)
        sub(/^0x/, "", text)
        n = 0
        for (i = 1; i <= length(text); i++)
            n = n * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
        return n
    }
    /^HKEY_LOCAL_MACHINE\\/ { key = $0; sub(/^.*\\Services\\/, "", key); next }
    NF >= 4 && $3 == "REG_DWORD" { printf "reg %s %s dword %.0f\n", key, $2, number($4); next }
    NF >= 3 && $3 == "REG_SZ" { printf "reg %s %s sz %s\n", key, $2, $4; next }
' | grep -v -E '^reg VORN2000 (DisplayName|ErrorControl|ImagePath|ObjectName|PreshutdownTimeout|Start|Type) ' |
    LC_ALL=C sort >"$logs/wine.reg" || true
grep '^reg ' "$logs/vornsim.raw" | LC_ALL=C sort >"$logs/vornsim.all.reg" || true
# Every key the driver wrote is compared, those it created included: the
# driver creates a device's key itself before writing to it, since Wine 8's
# RtlWriteRegistryValue, unlike Windows', does not create a missing key.
cp "$logs/vornsim.all.reg" "$logs/vornsim.reg"

# A port that is refused: Wine 8's IoGetDeviceObjectPointer hands the driver a
# fake device for any name, and ObReferenceObjectByPointer then answers
# STATUS_NOT_IMPLEMENTED (0xC0000002), where Windows and vornsim answer
# STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034) for a port that is not there. What
# is compared is that vornctl.exe shows the driver's own refusal, never the
# STATUS_PENDING (0x00000103) an unwritten status block holds.
status=0
if grep -n 'answered 0x00000103' "$logs/wine.out" >&2; then
    echo "FAIL: vornctl.exe showed a status block the refusal never wrote" >&2
    status=1
fi
sed 's/^\(vornctl: cannot open the port of .*the driver answered \)0xC0000002 (not implemented);/\10xC0000034 (object name not found: there is no port of that name);/' \
    "$logs/wine.out" >"$logs/wine.compared"
if ! diff -u --label "vornsim ctl" --label "vornctl.exe under Wine" \
    "$logs/vornsim.out" "$logs/wine.compared"; then
    echo "FAIL: vornctl.exe under Wine and vornsim's ctl differ (above)" >&2
    status=1
fi
if ! diff -u --label "vornsim registry" --label "Wine registry" \
    "$logs/vornsim.reg" "$logs/wine.reg"; then
    echo "FAIL: the keys the driver wrote back differ (above)" >&2
    status=1
fi
if [[ -s $logs/wrong-exits ]]; then
    cat "$logs/wrong-exits" >&2
    status=1
fi
[[ -s $logs/wine.out && -s $logs/wine.reg ]] || fail "nothing was compared"
elapsed=$((SECONDS - began))
step "compared $(wc -l <"$logs/wine.out") output lines and $(wc -l <"$logs/wine.reg") registry values"
if ((elapsed >= 300)); then
    echo "FAIL: the test took ${elapsed}s, over its 300s budget" >&2
    status=1
fi
[[ $status -eq 0 ]] && echo "PASS in ${elapsed}s"
exit $status
