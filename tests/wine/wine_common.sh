# What both Wine tests do alike: their messages, the registry table as a .reg
# file, paths as Wine sees them, and a prefix booted with the driver
# installed from its INF. Sourced; uses the caller's `began`, `wine`,
# `wineserver`, `helper`, `dist` and `logs`, and its `registry_table`.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

step() {
    printf '[%3ds] %s\n' $((SECONDS - began)) "$*"
}

registry_as_reg_file() {
    echo "REGEDIT4"
    local key name type value last=""
    while IFS='|' read -r key name type value; do
        if [[ $key != "$last" ]]; then
            printf '\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\%s]\n' "$key"
            last=$key
        fi
        if [[ $type == dword ]]; then
            printf '"%s"=dword:%08x\n' "$name" "$value"
        else
            printf '"%s"="%s"\n' "$name" "$value"
        fi
    done < <(registry_table)
}

# Sets `wine` and `wineserver` (empty when missing). Debian keeps the wine64
# launcher in its lib folder, off PATH.
find_wine() {
    wine=""
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
        if [[ -n $candidate && -x $candidate ]]; then
            wine=$candidate
            break
        fi
    done
    wineserver=""
    for candidate in "$(dirname "${wine:-/usr/lib/wine/wine64}")/wineserver" \
        "$(command -v wineserver || true)"; do
        if [[ -n $candidate && -x $candidate ]]; then
            wineserver=$candidate
            break
        fi
    done
}

# A Unix path as Wine's Z: drive sees it.
windows_path() {
    local path
    path=$(realpath "$1")
    echo "Z:${path//\//\\}"
}

# Runs a Wine program with no standard input: a Wine process that outlives the
# command (wineserver, services, winedevice) must hold no pipe of ours either.
wine_run() {
    nice -n 10 "$wine" "$@" </dev/null
}

# The server stays up between commands, so services.exe and the driver host
# live on from one command to the next. The first program in a new prefix
# makes Wine run wineboot --init by itself; running `wineboot -i` as that
# program inits twice and leaves two services.exe answering the service
# manager's pipe in turn, and every other OpenService then fails. So the
# first program is a no-op. Its environment (WINEDEBUG included) is inherited
# by services.exe and so by every winedevice.exe.
boot_prefix() {
    "$wineserver" -p >/dev/null 2>&1 </dev/null
    step "booting a fresh prefix in $WINEPREFIX"
    wine_run cmd /c exit >"$logs/boot.log" 2>&1 ||
        fail "Wine could not boot the prefix (see $logs/boot.log)"
}

import_registry() {
    registry_as_reg_file >"$logs/vorn.reg"
    wine_run regedit /S "$(windows_path "$logs/vorn.reg")" >"$logs/regedit.log" 2>&1 ||
        fail "regedit could not import $logs/vorn.reg"
}

# Installs the device from the INF through setupapi and newdev, as devcon
# does.
install_from_inf() {
    step "installing $(windows_path "$dist/vorn.inf") on Root\\VORN2000"
    wine_run "$helper" install "$(windows_path "$dist/vorn.inf")" 'Root\VORN2000' \
        >"$logs/install.log" 2>&1 || {
        cat "$logs/install.log" >&2
        fail "the INF install failed"
    }
}

# True once \\.\VORN opens (the driver loaded), false after 20 s.
wait_for_driver() {
    for _ in $(seq 100); do
        wine_run "$helper" probe >"$logs/probe.log" 2>&1 && return 0
        sleep 0.2
    done
    return 1
}

# A fresh prefix in a scratch folder (`run`), Wine headless and quiet; the
# server, its processes and the folder go when the test ends.
new_prefix() {
    run=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    export WINEPREFIX=$run/prefix
    mkdir -p "$WINEPREFIX"
    export DISPLAY=
    export WINEDEBUG=-all
    # No Mono or Gecko: nothing here needs them, and their installers would ask.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    trap remove_prefix EXIT
}

remove_prefix() {
    "$wineserver" -k >/dev/null 2>&1 </dev/null || true
    # The prefix goes once its server and processes have.
    "$wineserver" -w >/dev/null 2>&1 </dev/null || true
    rm -rf "$run"
}

# ... and waits until \\.\VORN opens.
install_driver() {
    install_from_inf
    wait_for_driver || {
        cat "$logs/probe.log" >&2
        fail "\\\\.\\VORN does not open: the driver did not load"
    }
    step "driver loaded: \\\\.\\VORN opens"
}
