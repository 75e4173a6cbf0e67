#!/bin/sh
# Instructions per report on the per-report path (pipeline_bench: a touch
# report appended under the device's Lock, the ParseDpc, the DeliveryDpc and
# the class service, with the grid and the filter on), counted by callgrind,
# which is stable where times are not. Runs 20,000 and 120,000 reports and
# divides the difference by 100,000, so set-up and teardown cancel out.
# Prints the driver's own instructions per report and the total.
#
# Then the same for the real images: vornsim --image runs a scenario of
# 2,000 and of 12,000 touch reports through build/sys-x86_64/vorn.sys (with
# build/vornsim) and build/sys-i686/vorn.sys (with build-i686/vornsim), and
# the instructions executed inside each image's own mapping, divided per
# report, are printed beside the hosted build's driver files on the same
# scenario. The i686 image's share includes its 64-bit division helpers.
#
#   bench/count_instructions.sh [BUILD_DIR]    (default build-callgrind)
#
# BUILD_DIR is configured Release with -g (debug information does not change
# the code, and callgrind needs it to tell the driver's files from the rest).
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build-callgrind}
command -v valgrind >/dev/null || { echo "count_instructions: valgrind is not installed" >&2; exit 1; }

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS=-g -DVORN_TARGET=OFF >/dev/null
cmake --build "$build_dir" --target pipeline_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Self cost by function of callgrind file $1, as
# "instructions<TAB>file<TAB>function" lines into $work/$2.self.
self_costs() {
    callgrind_annotate --auto=no --threshold=100 "$1" 2>/dev/null |
        sed -n 's/^ *\([0-9,]*\) ([ 0-9.]*%)  \([^:]*\):\(.*\)$/\1\t\2\t\3/p' |
        sed 's/ \[[^]]*\]$//; s/,//' | tr -d ',' >"$work/$2.self"
}

profile() {
    valgrind --tool=callgrind --callgrind-out-file="$work/$1.out" \
        "$build_dir/bench/pipeline_bench" --benchmark_filter="iterations:$1\$" \
        >/dev/null 2>"$work/$1.log" || { cat "$work/$1.log" >&2; exit 1; }
    self_costs "$work/$1.out" "$1"
}

# Sums the self cost of the driver's files (config, control, driver,
# pipeline, serial) and of everything. Code inlined from a header counts for
# the function it was inlined into, found by the function's own file.
sums() {
    awk -F '\t' -v src="$source_dir/" '
        function home(f) { sub("^" src, "", f); return f }
        { n[NR] = $1; file[NR] = home($2); fn[NR] = $3
          if (file[NR] ~ /\.cpp$/) fileOf[$3] = file[NR] }
        END {
            for (i = 1; i <= NR; ++i) {
                total += n[i]
                f = file[i]
                if (f !~ /\.cpp$/ && (fn[i] in fileOf)) f = fileOf[fn[i]]
                if (f ~ /^(config|control|driver|pipeline|serial)\//) driver += n[i]
            }
            printf "%d %d\n", driver, total
        }' "$work/$1.self"
}

profile 20000
profile 120000
set -- $(sums 20000) $(sums 120000)
driver=$(( ($3 - $1) / 100000 ))
total=$(( ($4 - $2) / 100000 ))
echo "driver instructions per report: $driver"
echo "total instructions per report: $total"

# --- The real images, through vornsim --image ---------------------------

# A scenario of N touch reports on the demo's calibrated controller.
touch_scenario() {
    sed -n '1,/^sleep 50$/p' "$source_dir/scenarios/demo.vsim"
    awk -v n="$1" 'BEGIN { for (i = 0; i < n; ++i)
        printf "port touch COM1 %d %d\n", 2000 + (i * 7) % 12000, 3000 + (i * 13) % 10000
        print "port touch COM1 8000 8000 up"; print "sleep 600" }'
}

# An awk function: the number a hex text (with or without 0x) stands for;
# mawk reads no hex by itself.
awk_hex='function hex(s,   v, i) { v = 0; s = tolower(s); sub(/^0x/, "", s)
    for (i = 1; i <= length(s); ++i) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return v }'

# Sums the Ir cost of instructions in [lo, hi) from a callgrind file written
# with --dump-instr=yes (positions are addresses, perhaps relative to the
# previous line, then perhaps a line number, then the cost; the line after
# calls= is a call's inclusive cost, not self).
sum_range() {
    awk -v lo="$2" -v hi="$3" "$awk_hex"'
        BEGIN { lo = hex(lo); hi = hex(hi); cost = 2 }
        /^positions:/ { cost = NF + 0 }
        /^calls=/ { inclusive = 1; next }
        /^(0x|\+|-|\*)/ {
            p = $1
            if (p ~ /^0x/) pos = hex(p); else if (p ~ /^\+/) pos += substr(p, 2); else if (p ~ /^-/) pos -= substr(p, 2)
            if (inclusive) { inclusive = 0; next }
            if (pos >= lo && pos < hi) sum += $cost
        }
        END { printf "%d\n", sum }' "$1"
}

# The [start, end) runtime addresses of the image's 64-bit division helpers
# (libgcc's __divdi3 and its kin, which the i686 image carries), from its
# COFF symbols: each runs to the next symbol.
division_helpers() {
    image=$1 base=$2 nm=$3
    image_base=$(${nm%nm}objdump -p "$image" | awk '$1 == "ImageBase" { print $2 }')
    "$nm" -n "$image" | awk -v base="$base" -v ib="$image_base" "$awk_hex"'
        { a = hex($1) }
        open { printf "0x%x 0x%x\n", hex(base) + open - hex(ib), hex(base) + a - hex(ib); open = 0 }
        $3 ~ /^_*(u?divdi3|u?moddi3|u?divmoddi4)$/ { open = a }'
}

# Instructions inside the image per report, for one vornsim and image;
# with a MinGW-w64 nm, also those of its 64-bit division helpers.
image_per_report() {
    vornsim=$1 image=$2 label=$3 nm=${4:-}
    for n in 2000 12000; do
        touch_scenario $n >"$work/touch$n.vsim"
        VORN_IMAGE_MAP=1 valgrind --tool=callgrind --dump-instr=yes \
            --callgrind-out-file="$work/image$n.out" "$vornsim" --image "$image" \
            "$work/touch$n.vsim" >/dev/null 2>"$work/image$n.log" ||
            { cat "$work/image$n.log" >&2; return 1; }
        range=$(sed -n 's/^image: .* at \(0x[0-9a-fA-F]*\) to \(0x[0-9a-fA-F]*\)$/\1 \2/p' "$work/image$n.log")
        [ -n "$range" ] || { echo "count_instructions: vornsim did not say where the image is" >&2; return 1; }
        eval "count$n=\$(sum_range \"\$work/image\$n.out\" $range)"
        helpers=0
        if [ -n "$nm" ]; then
            for helper in $(division_helpers "$image" "${range%% *}" "$nm" | tr ' ' ':'); do
                helpers=$((helpers + $(sum_range "$work/image$n.out" ${helper%:*} ${helper#*:})))
            done
        fi
        eval "helpers$n=$helpers"
    done
    echo "scenario of touch reports, $label: $(( (count12000 - count2000) / 10000 )) instructions per report"
    if [ -n "$nm" ]; then
        echo "  of which its 64-bit division helpers: $(( (helpers12000 - helpers2000) / 10000 ))"
    fi
}

# The hosted build's driver files on the same scenario, for comparison.
hosted_per_report() {
    for n in 2000 12000; do
        touch_scenario $n >"$work/touch$n.vsim"
        valgrind --tool=callgrind --callgrind-out-file="$work/hosted$n.out" \
            "$build_dir/vornsim" "$work/touch$n.vsim" >/dev/null 2>"$work/hosted$n.log" ||
            { cat "$work/hosted$n.log" >&2; return 1; }
        self_costs "$work/hosted$n.out" "$n"
        set -- $(sums $n)
        eval "hosted$n=$1"
    done
    echo $(( (hosted12000 - hosted2000) / 10000 ))
}

cmake --build "$build_dir" --target vornsim >/dev/null
echo "scenario of touch reports, hosted build's driver files: $(hosted_per_report) instructions per report"
x86_64_image=${VORN_X86_64_IMAGE:-$source_dir/build/sys-x86_64/vorn.sys}
i686_image=${VORN_I686_IMAGE:-$source_dir/build/sys-i686/vorn.sys}
i686_vornsim=${VORN_I686_VORNSIM:-$source_dir/build-i686/vornsim}
if [ -f "$x86_64_image" ]; then
    image_per_report "$build_dir/vornsim" "$x86_64_image" "x86_64 vorn.sys"
else
    echo "count_instructions: no x86_64 image at $x86_64_image (build the project first)" >&2
fi
if [ -f "$i686_image" ] && [ -x "$i686_vornsim" ]; then
    image_per_report "$i686_vornsim" "$i686_image" "i686 vorn.sys" i686-w64-mingw32-nm
else
    echo "count_instructions: no i686 image or 32-bit vornsim (build the project first)" >&2
fi
