# Checks shared by the image checks of vorn.sys and vornctl.exe; sourced, with
# $objdump set to the architecture's objdump (its strings is used beside it).
# Each prints one FAIL line and returns 1 when the image falls short.

vorn_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# A macro's string value from resources/version.h.
version_macro() {
  sed -n "s/^#define $1 \"\(.*\)\"\$/\1/p" "$vorn_root/resources/version.h"
}

# The image carries the product's version resource: the strings of its
# StringFileInfo block (UTF-16), each key followed by its value.
check_version_resource() {
  local image=$1 version product strings key expected
  version=$(version_macro VORN_VERSION_TEXT)
  product=$(version_macro VORN_PRODUCT_NAME)
  if ! $objdump -h "$image" | grep -q ' \.rsrc '; then
    echo "FAIL: $image has no resources (no version resource)"
    return 1
  fi
  strings=$("${objdump%objdump}strings" -el "$image")
  grep -qx 'VS_VERSION_INFO' <<<"$strings" || { echo "FAIL: $image has no version resource"; return 1; }
  for key in FileVersion:$version ProductVersion:$version ProductName:$product FileDescription:; do
    expected=${key#*:}
    key=${key%%:*}
    # The line after the key is its value.
    local value
    value=$(grep -x -A1 "$key" <<<"$strings" | sed -n 2p)
    if [[ -z $value || (-n $expected && $value != "$expected") ]]; then
      echo "FAIL: $image version resource: $key is '${value}', expected '${expected:-any text}'"
      return 1
    fi
  done
}

# The image has no debug sections.
check_no_debug_sections() {
  local image=$1 debug
  debug=$($objdump -h "$image" | awk '$2 ~ /^\.debug/ {print $2}' | tr '\n' ' ')
  if [[ -n $debug ]]; then
    echo "FAIL: $image carries debug sections: $debug"
    return 1
  fi
}

# The image exports nothing: its export directory, if any, lists no address
# and no name.
check_no_exports() {
  local image=$1 counts
  counts=$($objdump -p "$image" | awk '
    /^Number in:/ {n = 1; next}
    n && /Export Address Table/ {print $NF}
    n && /\[Name Pointer\/Ordinal\] Table/ {print $NF; n = 0}')
  if grep -q -v -x '0*' <<<"$counts"; then
    echo "FAIL: $image exports names:"
    $objdump -p "$image" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n '2,11p'
    return 1
  fi
}

# "dll routine" for every routine the image imports, DLL names in lower
# case; a routine imported by ordinal shows as "dll #ordinal".
imported_routines() {
  $objdump -p "$1" | awk '
    /^The Import Tables/ {t = 1; next}
    /^The / {t = 0}
    t && /DLL Name:/ {dll = tolower($3); next}
    t && dll && /^\t[0-9a-f]+\t/ {
      if (NF >= 3 && $3 != "<none>") print dll, $3; else print dll, "#" $2
    }'
}
