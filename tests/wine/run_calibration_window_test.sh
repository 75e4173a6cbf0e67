#!/usr/bin/env bash
# vornctl.exe calibrate under Wine on a virtual X display, with the real
# x86_64 vorn.sys installed from its INF and one configured device:
#   1. Xvfb, xdotool and ImageMagick (and Wine) from Debian when missing;
#   2. Xvfb at a fixed size on a display it picks itself, black root, so
#      whatever is white on the screenshot is our window;
#   3. `vornctl.exe calibrate port:0`: Wine binds no serial port, so the
#      device's port is not open (list says open=no) and calibrate must refuse
#      at once with its line and exit status 1, show no window, and leave
#      `show port:0` and `globals` as they were;
#   4. calibrate's window itself, shown by calibration_window.exe (the same
#      window code, for one target): once it printed its first target and the
#      window is mapped, a screenshot of the root window is checked by its
#      pixels: crosshair, ring, and white everywhere away from them, at the
#      pixel computed from the printed position and the screen size; then Esc
#      typed into the window must cancel with exit status 1 and the cancel line;
#   5. the window for a 4-point run with the line that explains a refused
#      touch: the line is drawn above the instruction; left alone, after 15 s
#      without a touch it cancels the same way.
# No touch can reach the window: Wine never runs the driver's DPCs, so the
# event request never completes and the window waits until Esc.
#
# usage: run_calibration_window_test.sh BUILD_DIR INSTALL_DEVICE_EXE
set -euo pipefail
build=$1
helper=$2
dist=$build/dist/x86_64
window_exe=$build/sys-x86_64/calibration_window.exe
logs=$build/wine-calibration
began=$SECONDS
# shellcheck source=wine_common.sh
source "$(dirname "$0")/wine_common.sh"
width=1024
height=768
points=25

# The registry: one configured device on COM1 with its own corners, and
# globals that the procedure changes while it runs (mouse mode, rotation), so
# that restoring them shows. KEY|NAME|TYPE|VALUE, as in run_wine_test.sh.
registry_table() {
    cat <<'EOF'
VORN2000|MouseMode|dword|1
VORN2000|DoubleClickSpeed|dword|3
VORN2000|DoubleClickSize|dword|8
VORN2000|Language|dword|1
VORN2000|Filter Threshold|dword|200
VORN2000|Filter|dword|1
VORN2000|Rotation|dword|0
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
VORN2000\Device0|XDeviation|dword|30
VORN2000\Device0|YDeviation|dword|30
EOF
}

for f in "$dist/vorn.sys" "$dist/vorn.inf" "$dist/vornctl.exe" "$window_exe" "$helper"; do
    [[ -f $f ]] || fail "$f is missing; build first"
done

# 1. What the test needs. ImageMagick is called by its own name: another
# `convert` may come first on PATH.
find_tools() {
    find_wine
    magick=""
    for candidate in /usr/bin/convert-im6.q16 /usr/bin/convert; do
        if [[ -x $candidate ]] && "$candidate" -version 2>/dev/null | grep -q ImageMagick; then
            magick=$candidate
            break
        fi
    done
    missing=()
    [[ -n $wine && -n $wineserver ]] || missing+=(wine64 wine)
    command -v Xvfb >/dev/null || missing+=(xvfb)
    command -v xdotool >/dev/null || missing+=(xdotool)
    command -v xwd >/dev/null || missing+=(x11-apps)
    [[ -n $magick ]] || missing+=(imagemagick)
}
find_tools
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
        echo "SKIP: ${missing[*]} missing and this user cannot install them"
        exit 77
    fi
    echo "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Another test may be installing at the same time: wait for its lock.
    apt-get -o DPkg::Lock::Timeout=120 update -qq || true
    apt-get -o DPkg::Lock::Timeout=120 install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null || true
    find_tools
    ((${#missing[@]} == 0)) || fail "still missing after apt-get install: ${missing[*]}"
fi

rm -rf "$logs"
mkdir -p "$logs"
run=$(mktemp -d "${TMPDIR:-/tmp}/vorn-wine-cal.XXXXXX")
export WINEPREFIX=$run/prefix
mkdir -p "$WINEPREFIX"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=""
calibrate_pid=""

finish() {
    if [[ -n $calibrate_pid ]]; then
        kill "$calibrate_pid" 2>/dev/null || true
    fi
    "$wineserver" -k >/dev/null 2>&1 </dev/null || true
    # The prefix goes once its server and processes have, and so does the
    # server's folder, which Debian's wineserver makes as /tmp/wine-XXXXXX,
    # named inside for the prefix's device and inode.
    "$wineserver" -w >/dev/null 2>&1 </dev/null || true
    local server
    server=$(printf 'server-%s-%x' "$(stat -c %D "$WINEPREFIX")" \
        "$(stat -c %i "$WINEPREFIX")" 2>/dev/null) || server=none
    for folder in /tmp/wine-*/"$server"; do
        [[ -d $folder ]] || continue
        rm -rf "$folder"
        rmdir "$(dirname "$folder")" 2>/dev/null || true
    done
    if [[ -n $xvfb_pid ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$run"
}
trap finish EXIT

# 2. The virtual display. Xvfb picks a free display number itself and writes
# it to the descriptor it is given. The root is black (-br), the window's
# background white: a white pixel is a pixel of the window.
step "starting Xvfb at ${width}x${height}"
Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp -br -noreset \
    3>"$run/display" </dev/null >"$logs/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s $run/display ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
done
[[ -s $run/display ]] || {
    cat "$logs/xvfb.log" >&2
    fail "Xvfb did not start"
}
DISPLAY=:$(tr -d '[:space:]' <"$run/display")
export DISPLAY
step "Xvfb on display $DISPLAY"

boot_prefix
import_registry
install_driver

# vornctl.exe's standard output, without Windows line ends.
vornctl() {
    local out=$1
    shift
    wine_run "$dist/vornctl.exe" "$@" >"$out.raw" 2>"$out.err" || {
        cat "$out.err" >&2
        fail "vornctl $* failed under Wine"
    }
    tr -d '\r' <"$out.raw" >"$out"
}
vornctl "$logs/show.before" show port:0
vornctl "$logs/globals.before" globals
[[ -s $logs/show.before && -s $logs/globals.before ]] || fail "show or globals printed nothing"

# 3. calibrate on the device whose port Wine cannot open: refused at once.
step "vornctl calibrate port:0 $points on a port that is not open"
refused_after=$SECONDS
refused_status=0
wine_run "$dist/vornctl.exe" calibrate port:0 "$points" \
    >"$logs/refused.out" 2>"$logs/refused.err" || refused_status=$?
refused_after=$((SECONDS - refused_after))
refused_window=$(xdotool search --onlyvisible --name '^vorn calibration$' 2>/dev/null | head -n 1 || true)
vornctl "$logs/show.refused" show port:0
vornctl "$logs/globals.refused" globals

# 4. calibrate's window, in the background: it waits for a touch that never comes.
step "starting calibration_window.exe $points"
: >"$logs/calibrate.out"
nice -n 10 "$wine" "$window_exe" "$points" \
    </dev/null >"$logs/calibrate.out" 2>"$logs/calibrate.err" &
calibrate_pid=$!

# The first target's line, then the window mapped. Both within 60 s.
target=""
window=""
deadline=$((SECONDS + 60))
while ((SECONDS < deadline)); do
    if [[ -z $target ]]; then
        target=$(tr -d '\r' <"$logs/calibrate.out" |
            sed -n "s|^target 1/$points at \([0-9]*\) \([0-9]*\)\$|\1 \2|p" | head -n 1)
    fi
    if [[ -n $target ]]; then
        window=$(xdotool search --onlyvisible --name '^vorn calibration$' 2>/dev/null |
            head -n 1 || true)
        [[ -n $window ]] && break
    fi
    kill -0 "$calibrate_pid" 2>/dev/null || break
    sleep 0.2
done
if [[ -z $target || -z $window ]]; then
    cat "$logs/calibrate.out" "$logs/calibrate.err" >&2
    [[ -n $target ]] || fail "calibration_window.exe did not print 'target 1/$points at X Y' within 60 s"
    fail "the calibration window (title 'vorn calibration') was not mapped within 60 s"
fi
read -r tx ty <<<"$target"
# The pixel vornctl draws at: the printed position scaled to the monitor,
# truncating.
px=$((tx * width / 65536))
py=$((ty * height / 65536))
step "target 1/$points at $tx $ty: expected at pixel $px,$py; window $window mapped"

# The screenshot is taken once the window shows the target (mapped is not yet
# painted: the centre black and the ring red), and well within the 15 s
# vornctl waits for a touch.
shot=$logs/calibration-target-1.png
pixels=$run/shot.rgb
painted=""
for _ in $(seq 20); do
    xwd -root -silent >"$run/shot.xwd" || fail "xwd could not take a screenshot of $DISPLAY"
    "$magick" "$run/shot.xwd" -depth 8 "rgb:$pixels" || fail "cannot read the screenshot"
    if [[ $(od -An -tu1 -j $(((py * width + px) * 3)) -N3 "$pixels" | tr -s ' ') == " 0 0 0" &&
        $(od -An -tu1 -j $(((py * width + px + 12) * 3)) -N3 "$pixels" | tr -s ' ') == " 255 0 0" ]]; then
        painted=yes
        break
    fi
    sleep 0.3
done
"$magick" "$run/shot.xwd" "$shot" || fail "cannot save the screenshot as $shot"
geometry=$(xdotool getwindowgeometry "$window" 2>/dev/null | tr -s ' ' | tr '\n' ' ' || true)

# Esc, typed on the X keyboard (XTEST) as a user does. No window manager
# runs and Wine leaves X's focus at PointerRoot for this popup, so the key goes
# to the window under the pointer: put it in the middle of the screen.
xdotool mousemove $((width / 2)) $((height / 2)) key Escape ||
    fail "xdotool could not type Esc on $DISPLAY"
step "screenshot taken ($shot); Esc typed"
exited=""
for _ in $(seq 150); do
    if ! kill -0 "$calibrate_pid" 2>/dev/null; then
        exited=yes
        break
    fi
    sleep 0.2
done
status=0
if [[ -n $exited ]]; then
    wait "$calibrate_pid" || status=$?
    calibrate_pid=""
else
    fail "the calibration window was still waiting 30 s after Esc"
fi
tr -d '\r' <"$logs/calibrate.out" >"$logs/calibrate.txt"
tr -d '\r' <"$logs/calibrate.err" >"$logs/calibrate.err.txt"

failures=0
check() {
    if ! "$@"; then
        failures=$((failures + 1))
    fi
}
bad() {
    echo "FAIL: $*" >&2
    return 1
}

# What the screen shows. Colours are exact: Wine draws 1-pixel lines, the ring
# and the background without smoothing on a 24-bit display.
[[ -n $painted ]] || bad "no target appeared at pixel $px,$py in 20 screenshots" ||
    failures=$((failures + 1))
[[ $geometry == *"Position: 0,0 "*"Geometry: ${width}x${height}"* ]] ||
    bad "the window does not cover the screen: $geometry" || failures=$((failures + 1))

# Every pixel to look at, one line each: X Y COLOUR WHAT.
wanted=$run/wanted.txt
: >"$wanted"
want() {
    if (($1 >= 0 && $1 < width && $2 >= 0 && $2 < height)); then
        echo "$1 $2 $3 $4" >>"$wanted"
    fi
}
want "$px" "$py" black "the crosshair's centre"
# The arms are 30 pixels long each way; the ring (radius 11..13) is drawn over
# them, so the band around it is left to the ring checks. The text line at the
# top may cross the upper arm: its glyphs are black too.
for d in $(seq 1 30); do
    ((d >= 10 && d <= 14)) && continue
    want $((px - d)) "$py" black "the left arm at $d"
    want $((px + d)) "$py" black "the right arm at $d"
    want "$px" $((py - d)) black "the upper arm at $d"
    want "$px" $((py + d)) black "the lower arm at $d"
done
want $((px - 31)) "$py" white "just past the left arm"
want $((px + 31)) "$py" white "just past the right arm"
want "$px" $((py + 31)) white "just past the lower arm"
want $((px + 5)) $((py + 5)) white "inside the ring, off the arms"
want $((px - 5)) $((py + 5)) white "inside the ring, off the arms"
want $((px + 12)) "$py" red "the ring, right"
want $((px - 12)) "$py" red "the ring, left"
want "$px" $((py + 12)) red "the ring, below"
want $((px + 8)) $((py + 8)) red "the ring, lower right"
want $((px - 8)) $((py + 8)) red "the ring, lower left"
want $((width - 1 - px)) $((height - 1 - py)) white "the point opposite the target"
want $((width - 1)) $((height - 1)) white "the bottom right corner"
want 0 $((height - 1)) white "the bottom left corner"
want $((width - 1)) 0 white "the top right corner"
want 0 0 white "the top left corner"
want $((width / 2)) $((height / 2)) white "the screen's centre"

# One pass over the pixels: pixel I is line I+1 of od's output.
pixels_as_wanted() {
    od -An -v -tu1 -w3 "$pixels" | awk -v width="$width" -v list="$wanted" '
    BEGIN {
        rgb["black"] = "0 0 0"; rgb["white"] = "255 255 255"; rgb["red"] = "255 0 0"
        while ((getline line < list) > 0) {
            split(line, f, " ")
            i = f[2] * width + f[1]
            expect[i] = f[3]
            what[i] = substr(line, index(line, f[4]))
            where[i] = f[1] "," f[2]
            n++
        }
    }
    (NR - 1) in expect {
        i = NR - 1
        $1 = $1
        if ($0 != rgb[expect[i]]) {
            printf "FAIL: pixel %s (%s) is %s, not %s\n", where[i], what[i], $0, expect[i] > "/dev/stderr"
            bad++
        }
        seen++
    }
    END {
        if (seen != n) { print "FAIL: the screenshot is too small" > "/dev/stderr"; exit 1 }
        exit bad > 0
    }'
}
check pixels_as_wanted

# The red pixels, wherever they are, form the one ring around the target.
red_box=$("$magick" "$shot" -fill black +opaque 'rgb(255,0,0)' -format '%@' info:)
if [[ $red_box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]]; then
    rw=${BASH_REMATCH[1]} rh=${BASH_REMATCH[2]} rx=${BASH_REMATCH[3]} ry=${BASH_REMATCH[4]}
    # Centre within a pixel of the target, 27 pixels across give or take two.
    cx2=$((2 * rx + rw - 1)) cy2=$((2 * ry + rh - 1))
    ((cx2 >= 2 * px - 2 && cx2 <= 2 * px + 2 && cy2 >= 2 * py - 2 && cy2 <= 2 * py + 2 &&
        rw >= 25 && rw <= 29 && rh >= 25 && rh <= 29)) ||
        check bad "the red pixels span $red_box, not a ring around $px,$py"
else
    check bad "no red ring anywhere on the screen ($red_box)"
fi
# Below the crosshair nothing is drawn but the instruction, a line of text
# centred in the half of the screen away from the target: all else is the
# window's white, and the text stays in its band.
below=$((py + 31))
text_top=$((height * 3 / 4 - 30)) text_bottom=$((height * 3 / 4 + 10))
non_white=0
for band in "$below:$text_top" "$text_bottom:$height"; do
    from=${band%:*} to=${band#*:}
    ((to > from)) || continue
    n=$("$magick" "$shot" -crop "${width}x$((to - from))+0+$from" +repage \
        -fill black +opaque white -format '%[fx:round(w*h*(1-mean))]' info:)
    non_white=$((non_white + n))
done
text=$("$magick" "$shot" -crop "${width}x$((text_bottom - text_top))+0+$text_top" +repage \
    -fill black +opaque white -format '%[fx:round(w*h*(1-mean))]' info:)
[[ $non_white == 0 ]] ||
    check bad "$non_white pixels below row $below, outside the text's band, are not white"
((text > 0)) || check bad "no instruction text in the lower half, away from the target"
step "screenshot checked at pixel $px,$py"

# The refusal: at once, in words, nothing shown and nothing changed.
refusal="vornctl: cannot calibrate port:0: its port COM1 is not open (list shows open=no), so no touch can reach the driver"
[[ $refused_status -eq 1 && $(tr -d '\r' <"$logs/refused.err") == "$refusal" ]] ||
    check bad "on a closed port calibrate exited $refused_status with '$(tr -d '\r' <"$logs/refused.err")'," \
        "not 1 with '$refusal'"
[[ ! -s $logs/refused.out ]] || check bad "on a closed port calibrate printed $(cat "$logs/refused.out")"
[[ -z $refused_window ]] || check bad "on a closed port calibrate showed its window"
((refused_after < 15)) || check bad "the refusal took ${refused_after}s: it waited for a touch"
diff -u --label before --label after "$logs/show.before" "$logs/show.refused" ||
    check bad "show port:0 differs after the refusal"
diff -u --label before --label after "$logs/globals.before" "$logs/globals.refused" ||
    check bad "globals differ after the refusal"

# The window's cancel.
printf 'target 1/%s at %s %s\n' "$points" "$tx" "$ty" |
    diff -u --label expected --label "calibration_window.exe's output" - "$logs/calibrate.txt" ||
    check bad "calibration_window.exe printed something else"
cancel="vornctl: calibration cancelled (Esc pressed); the settings are as they were"
[[ $status -eq 1 && $(cat "$logs/calibrate.err.txt") == "$cancel" ]] ||
    check bad "after Esc the window exited $status with '$(cat "$logs/calibrate.err.txt")'," \
        "not 1 with '$cancel'"

# 5. The window with the line that says why a touch was refused, above the
# instruction; left alone, 15 s without a touch cancels too.
note="target 1/4: the touch is far from where the other touches put it; touch target 1/4 again"
step "calibration_window.exe 4 with a refusal's line, left alone"
: >"$logs/timeout.out"
deadline=$((SECONDS + 45))
status=0
nice -n 10 "$wine" "$window_exe" 4 "$note" \
    </dev/null >"$logs/timeout.out" 2>"$logs/timeout.err" &
calibrate_pid=$!
# The instruction's baseline is at three quarters of the height for a target
# in the upper half; the note's a line above it, its glyphs in this band.
note_top=$((height * 3 / 4 - 48)) note_bottom=$((height * 3 / 4 - 30))
noted=""
while kill -0 "$calibrate_pid" 2>/dev/null && ((SECONDS < deadline)); do
    if [[ -z $noted ]] && tr -d '\r' <"$logs/timeout.out" | grep -qx 'target 1/4 at [0-9]* [0-9]*'; then
        xwd -root -silent >"$run/note.xwd" 2>/dev/null && "$magick" "$run/note.xwd" "$logs/note.png" &&
            n=$("$magick" "$logs/note.png" -crop "${width}x$((note_bottom - note_top))+0+$note_top" \
                +repage -fill black +opaque white -format '%[fx:round(w*h*(1-mean))]' info:) &&
            ((n > 0)) && noted=yes
    fi
    sleep 0.5
done
[[ -n $noted ]] || check bad "no line above the instruction: the refusal is not shown ($logs/note.png)"
if kill -0 "$calibrate_pid" 2>/dev/null; then
    check bad "the 4-point window was still waiting after 45 s"
else
    wait "$calibrate_pid" || status=$?
    calibrate_pid=""
    timeout_line="vornctl: calibration cancelled (no touch for 15 seconds); the settings are as they were"
    [[ $status -eq 1 && $(tr -d '\r' <"$logs/timeout.err") == "$timeout_line" ]] ||
        check bad "left alone, the window exited $status with '$(tr -d '\r' <"$logs/timeout.err")'," \
            "not 1 with '$timeout_line'"
    tr -d '\r' <"$logs/timeout.out" | grep -qx 'target 1/4 at [0-9]* [0-9]*' ||
        check bad "the 4-point window showed no first target"
fi

elapsed=$((SECONDS - began))
if ((elapsed >= 300)); then
    check bad "the test took ${elapsed}s, over its 300s budget"
fi
((failures == 0)) || fail "$failures check(s) failed; the screenshot is $shot"
echo "PASS in ${elapsed}s (screenshot: $shot)"
