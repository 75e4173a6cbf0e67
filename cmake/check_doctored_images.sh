#!/usr/bin/env bash
# Shows that the image checks refuse what no build of ours should ship: each
# built image is copied, doctored one way (a debug section added, the
# version resource removed) and must then fail its check with the reason
# named. The untouched copies must pass, so a failure is the doctoring's.
set -uo pipefail
root=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# refused ARCH FILE CHECK REASON OBJCOPY-ARGS...
refused() {
  local arch=$1 file=$2 check=$3 reason=$4
  shift 4
  local case=$work/$arch-$file-$RANDOM
  mkdir -p "$case"
  cp "$build/sys-$arch/"{vorn.sys,vornctl.exe} "$case/"
  if [[ $# -gt 0 ]] && ! "$arch-w64-mingw32-objcopy" "$@" "$case/$file" 2>"$case/objcopy.log"; then
    cat "$case/objcopy.log"
    echo "FAIL: could not doctor $arch $file"
    return 1
  fi
  local out status
  out=$("$root/cmake/$check" "$arch" "$case" "$build/sys-$arch/CMakeFiles/vorn.dir" 2>&1)
  status=$?
  if [[ -z $reason ]]; then
    [[ $status -eq 0 ]] && return 0
    echo "$out"
    echo "FAIL: untouched $arch $file did not pass"
    return 1
  fi
  if [[ $status -ne 0 ]] && grep -q -F -- "$reason" <<<"$out"; then
    echo "ok: $arch $file doctored ($*) refused: $reason"
    return 0
  fi
  echo "$out"
  echo "FAIL: doctored $arch $file ($*) was not refused for '$reason'"
  return 1
}

debug_section=$work/debug.bin
printf 'debug' >"$debug_section"
for arch in i686 x86_64; do
  refused "$arch" vorn.sys check_driver_image.sh "" || failures=$((failures + 1))
  refused "$arch" vornctl.exe check_vornctl_image.sh "" || failures=$((failures + 1))
  refused "$arch" vornctl.exe check_vornctl_image.sh "carries debug sections" \
    --add-section ".debug_info=$debug_section" || failures=$((failures + 1))
  refused "$arch" vornctl.exe check_vornctl_image.sh "no resources" \
    --remove-section .rsrc || failures=$((failures + 1))
  refused "$arch" vorn.sys check_driver_image.sh "no resources" \
    --remove-section .rsrc || failures=$((failures + 1))
done
exit $failures
