#!/bin/sh
# Instructions per report on the per-report path (pipeline_bench: a touch
# report appended under the device's Lock, the ParseDpc, the DeliveryDpc and
# the class service, with the grid and the filter on), counted by callgrind,
# which is stable where times are not. Runs 20,000 and 120,000 reports and
# divides the difference by 100,000, so set-up and teardown cancel out.
# Prints the driver's own instructions per report and the total.
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

# Self cost by function, as "instructions<TAB>file<TAB>function" lines.
profile() {
    valgrind --tool=callgrind --callgrind-out-file="$work/$1.out" \
        "$build_dir/bench/pipeline_bench" --benchmark_filter="iterations:$1\$" \
        >/dev/null 2>"$work/$1.log" || { cat "$work/$1.log" >&2; exit 1; }
    callgrind_annotate --auto=no --threshold=100 "$work/$1.out" 2>/dev/null |
        sed -n 's/^ *\([0-9,]*\) ([ 0-9.]*%)  \([^:]*\):\(.*\)$/\1\t\2\t\3/p' |
        sed 's/ \[[^]]*\]$//; s/,//' | tr -d ',' >"$work/$1.self"
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
