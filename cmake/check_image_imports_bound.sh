#!/usr/bin/env bash
# Every import of a built driver image is one the hosted kernel exports, under
# the module the image names: what loading it into the hosted system binds.
set -euo pipefail
arch=$1 image=$2 lookup=$3
objdump=$arch-w64-mingw32-objdump
source "$(dirname "$0")/image_checks.sh"
[[ -f $image ]] || { echo "FAIL: $image was not built"; exit 1; }
imports=$(imported_routines "$image")
[[ -n $imports ]] || { echo "FAIL: $image imports nothing"; exit 1; }
"$lookup" <<<"$imports"
