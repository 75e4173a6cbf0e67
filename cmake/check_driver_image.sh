#!/usr/bin/env bash
# Checks one built vorn.sys: a native-subsystem image whose only imports are
# ntoskrnl.exe and hal.dll, and whose objects carry no static constructors.
# The objects are looked for under the image's folder unless a third
# argument names theirs.
set -euo pipefail
arch=$1 dir=$2 objdir=${3:-$2}
image=$dir/vorn.sys
case $arch in
  i686) objdump=i686-w64-mingw32-objdump ;;
  x86_64) objdump=x86_64-w64-mingw32-objdump ;;
  *) echo "unknown architecture $arch"; exit 2 ;;
esac
[[ -f $image ]] || { echo "FAIL: $image was not built"; exit 1; }

headers=$($objdump -p "$image")
grep -q 'Subsystem.*(NT native)' <<<"$headers" || { echo "FAIL: $image is not a native image"; exit 1; }
imports=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u)
[[ -n $imports ]] || { echo "FAIL: $image imports nothing"; exit 1; }
bad=$(grep -v -x -E 'ntoskrnl\.exe|hal\.dll' <<<"$imports" || true)
if [[ -n $bad ]]; then
  echo "FAIL: $image imports from: $bad"
  exit 1
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
echo "ok: $image imports only $(tr '\n' ' ' <<<"$imports")"
