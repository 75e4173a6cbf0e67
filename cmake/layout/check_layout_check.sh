#!/bin/bash
# The hosted kernel's layout check against one probe header: it must compile
# with the header as the probe wrote it, and, with one offset of the header
# changed, fail naming that entry of the layout list.
# Usage: check_layout_check.sh CXX SOURCE_DIR HEADER [COMPILER_FLAGS...]
# Exit 77 (skipped) when CXX cannot compile for those flags at all.
set -u
cxx=$1
src=$2
header=$3
shift 3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

compile() {
    "$cxx" "$@" -std=c++17 -Wall -Wextra -Werror -DVORN_HOSTED -I"$tmp" -I"$src" -fsyntax-only \
        "$src/platform/hosted/layout_check.cpp"
}

echo '#include <cstddef>' > "$tmp/probe.cpp"
if ! "$cxx" "$@" -fsyntax-only "$tmp/probe.cpp" 2>/dev/null; then
    echo "$cxx $* compiles nothing here (no multilib?): skipped"
    exit 77
fi

cp "$header" "$tmp/ddk_layout.h"
if ! compile "$@"; then
    echo "FAIL: the hosted layouts differ from the DDK's ($header)"
    exit 1
fi

# The stack location pointer of a request: one entry any change must trip.
name=DDK_OFFSETOF_IRP_Tail_Overlay_CurrentStackLocation
grep -q "^#define $name " "$header" || { echo "FAIL: $name is not in $header"; exit 1; }
awk -v name="$name" '$1 == "#define" && $2 == name { $3 += 8 } { print }' "$header" \
    > "$tmp/ddk_layout.h"
line=$(grep -n 'Tail_Overlay_CurrentStackLocation,' "$src/cmake/layout/ddk_layout_list.h" | cut -d: -f1)
if output=$(compile "$@" 2>&1); then
    echo "FAIL: the check accepted an offset the DDK does not have"
    exit 1
fi
if ! grep -q "ddk_layout_list.h:$line:" <<<"$output"; then
    echo "FAIL: the refusal does not name the entry (ddk_layout_list.h:$line):"
    echo "$output"
    exit 1
fi
echo "the check holds, and refuses a changed offset at ddk_layout_list.h:$line"
