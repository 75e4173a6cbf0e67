#!/usr/bin/env bash
# Shows that the kernel-mode build refuses driver code that leans on hosted
# facilities: each probe is compiled into a real i686 image build and must
# fail either the build or the image check.
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
for probe in "$root"/cmake/probes/*.cpp; do
  name=$(basename "$probe" .cpp)
  build=$work/$name
  cmake -S "$root/cmake/sys" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DVORN_EXTRA_SOURCE="$probe" >"$work/$name.log" 2>&1 || true
  if cmake --build "$build" >>"$work/$name.log" 2>&1 &&
     "$root/cmake/check_driver_image.sh" i686 "$build" >>"$work/$name.log" 2>&1; then
    echo "FAIL: probe $name was accepted as driver code"
    failures=$((failures + 1))
  else
    echo "ok: probe $name rejected"
  fi
done
exit $failures
