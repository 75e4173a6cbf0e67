#!/usr/bin/env bash
# Shows that the kernel-mode build refuses driver code that leans on hosted
# facilities: each probe is compiled with the image's own flags into an image
# of its own and must fail either the build or the image check. The bare
# entry built the same way must pass both, so a failure is the probe's.
# One configuration serves every probe, and no probe rebuilds the driver.
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
probes=$(printf '%s;' "$root"/cmake/probes/*.cpp)
if ! cmake -S "$root/cmake/sys" -B "$work" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DVORN_PROBES="${probes%;}" >"$work/configure.log" 2>&1; then
  cat "$work/configure.log"
  echo "FAIL: the probe build could not be configured"
  exit 1
fi

accepted() {
  local name=$1
  cmake --build "$work" --target "probe_$name" >>"$work/$name.log" 2>&1 &&
    "$root/cmake/check_driver_image.sh" i686 "$work/probe-$name" \
      "$work/CMakeFiles/probe_$name.dir" >>"$work/$name.log" 2>&1
}

if ! accepted entry_only; then
  cat "$work/entry_only.log"
  echo "FAIL: the bare entry was rejected; the probes would prove nothing"
  exit 1
fi
echo "ok: the bare entry builds and passes the image check"
failures=0
for probe in "$root"/cmake/probes/*.cpp; do
  name=$(basename "$probe" .cpp)
  if accepted "$name"; then
    echo "FAIL: probe $name was accepted as driver code"
    failures=$((failures + 1))
  else
    echo "ok: probe $name rejected"
  fi
done
exit $failures
