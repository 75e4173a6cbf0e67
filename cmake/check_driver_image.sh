#!/usr/bin/env bash
# Checks one built vorn.sys against the oldest Windows it is for: a
# native-subsystem image that imports, by name, only routines that kernel's
# ntoskrnl.exe and hal.dll export (lists under cmake/kernel_exports/), exports
# nothing, carries the product's version resource, and whose objects carry
# no static constructors; on x86_64 every function has its unwind entry.
# The objects are looked for under the image's folder unless a third
# argument names theirs.
set -euo pipefail
export LC_ALL=C
arch=$1 dir=$2 objdir=${3:-$2}
image=$dir/vorn.sys
case $arch in
  i686) objdump=i686-w64-mingw32-objdump exports=win2000-i686 oldest="Windows 2000" ;;
  x86_64) objdump=x86_64-w64-mingw32-objdump exports=ws03sp1-x86_64 oldest="Windows Server 2003 SP1 x64" ;;
  *) echo "unknown architecture $arch"; exit 2 ;;
esac
source "$(dirname "$0")/image_checks.sh"
[[ -f $image ]] || { echo "FAIL: $image was not built"; exit 1; }

headers=$($objdump -p "$image")
grep -q 'Subsystem.*(NT native)' <<<"$headers" || { echo "FAIL: $image is not a native image"; exit 1; }

# Every import by name, from a DLL of the kernel, on the list of what the
# oldest target kernel exports: a newer routine would stop the driver from
# loading there at all.
exports_list=$vorn_root/cmake/kernel_exports/$exports.txt
imports=$(imported_routines "$image")
[[ -n $imports ]] || { echo "FAIL: $image imports nothing"; exit 1; }
known=$(grep -v -e '^#' -e '^$' "$exports_list" | awk '{print $1, $2}')
missing=$(grep -v -x -F -f <(cat <<<"$known") <<<"$imports" || true)
if [[ -n $missing ]]; then
  while read -r dll routine; do
    case $dll in
      ntoskrnl.exe | hal.dll) ;;
      *) echo "FAIL: $image imports $routine from $dll, which is not the kernel"; continue ;;
    esac
    if [[ $routine == \#* ]]; then
      echo "FAIL: $image imports ordinal ${routine#\#} of $dll; import by name"
    else
      echo "FAIL: $image imports $routine from $dll, which $oldest does not export" \
        "(${exports_list#"$vorn_root"/})"
    fi
  done <<<"$missing"
  exit 1
fi

check_no_exports "$image" || exit 1
check_version_resource "$image" || exit 1

# x64 Windows finds a frame's unwind data by the function's start address in
# .pdata; a function without an entry breaks exception dispatch and stack
# walks through it. Every function symbol of .text must start an entry, but
# the linker's import thunks (one jump through the import address table,
# named like the routine whose __imp_ pointer they use), which touch no stack.
if [[ $arch == x86_64 ]]; then
  text=$($objdump -h "$image" | awk '$2 == ".text" {print $1 + 1, $4}')
  text_index=${text% *} text_base=${text#* }
  [[ -n $text_base ]] || { echo "FAIL: $image has no .text"; exit 1; }
  # "begin end" of each entry, in table order.
  entries=$($objdump -p "$image" | awk '
    /^The Function Table/ {f = 1; next}
    f && /^ [0-9a-f]+:/ {print $2, $3}
    f && /^$/ {f = 0}')
  # The unwinder finds an entry by binary search: the table must be sorted,
  # each entry ending before the next begins.
  unsorted=$(awk '{begin = $1; end = $2}
    NR > 1 && begin < last_end {print last_begin "-" last_end, begin "-" end}
    {last_begin = begin; last_end = end}' <<<"$entries")
  if [[ -n $unsorted ]]; then
    echo "FAIL: $image has unwind entries out of order or overlapping:" $unsorted
    exit 1
  fi
  begins=$(awk '{print $1}' <<<"$entries" | sort -u)
  symbols=$($objdump -t "$image")
  thunks=$(sed -n 's/.* __imp_\(.*\)$/\1/p' <<<"$symbols" | sort -u)
  functions=$(awk -v sec="(sec +$text_index)" '$0 ~ sec && /\(ty +20\)/ {print $(NF - 1), $NF}' \
    <<<"$symbols" | while read -r value name; do
    printf '%016x %s\n' $((16#$text_base + value)) "$name"
  done | sort)
  [[ -n $functions ]] || { echo "FAIL: $image has no function symbols to check"; exit 1; }
  without=$(join -v 1 <(cat <<<"$functions") <(cat <<<"$begins") |
    awk '{print $2}' | grep -v -x -F -f <(cat <<<"$thunks") || true)
  if [[ -n $without ]]; then
    echo "FAIL: $image has functions without an unwind entry:" $without
    exit 1
  fi
fi

# The kernel runs no static initialisers: a constructor table in any object
# would be silently skipped.
mapfile -t objects < <(find "$objdir" -name '*.obj')
[[ ${#objects[@]} -gt 0 ]] || { echo "FAIL: no objects under $objdir"; exit 1; }
for object in "${objects[@]}"; do
  # Captured first: with pipefail, grep -q quitting early would let objdump's
  # SIGPIPE turn a match into a miss.
  sections=$($objdump -h "$object")
  if grep -q -E '\.ctors|\.init_array|\.CRT\$XC' <<<"$sections"; then
    echo "FAIL: $object has static constructors"
    exit 1
  fi
done
echo "ok: $image imports $(wc -l <<<"$imports") routines, each exported by $oldest;" \
  "exports nothing; carries version $(version_macro VORN_VERSION_TEXT)"
