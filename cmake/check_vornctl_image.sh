#!/usr/bin/env bash
# Checks one built vornctl.exe: a console program that imports only system
# DLLs present since Windows 2000, (i686) asks for no newer subsystem,
# carries the product's version resource and ships without debug sections.
set -euo pipefail
arch=$1 dir=$2
image=$dir/vornctl.exe
objdump=$arch-w64-mingw32-objdump
source "$(dirname "$0")/image_checks.sh"
[[ -f $image ]] || { echo "FAIL: $image was not built"; exit 1; }
headers=$($objdump -p "$image")
grep -q 'Subsystem.*(Windows CUI)' <<<"$headers" || { echo "FAIL: $image is not a console program"; exit 1; }
imports=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u)
bad=$(grep -v -x -E 'kernel32\.dll|msvcrt\.dll|user32\.dll|gdi32\.dll' <<<"$imports" || true)
if [[ -n $bad ]]; then
  echo "FAIL: $image imports from: $bad"
  exit 1
fi
if [[ $arch == i686 ]]; then
  major=$(awk '/MajorSubsystemVersion/ {print $2}' <<<"$headers")
  [[ $major -le 5 ]] || { echo "FAIL: $image needs subsystem $major"; exit 1; }
fi
check_version_resource "$image" || exit 1
check_no_debug_sections "$image" || exit 1
echo "ok: $image carries version $(version_macro VORN_VERSION_TEXT), no debug sections, imports only $(tr '\n' ' ' <<<"$imports")"
