#!/usr/bin/env bash
# Shows that the kernel-mode build refuses driver code that leans on hosted
# facilities or on more than the oldest target Windows offers: each probe is
# compiled with the image's own flags into an image of its own and must fail
# either the build or the image check. The bare entry built the same way must
# pass both, so a failure is the probe's. A probe with a line
# "// Rejected: TEXT" must fail with TEXT in what the build or check said, so
# that it fails for its own reason. Probes under cmake/probes/ are built for
# both architectures, those under cmake/probes/ARCH/ for that one alone.
# One configuration per architecture serves every probe, and no probe
# rebuilds the driver.
set -uo pipefail
# Plain quotes in compiler messages, whatever the caller's locale.
export LC_ALL=C
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# accepted ARCH BUILD NAME: the probe builds and passes the image check.
accepted() {
  local arch=$1 build=$2 name=$3
  cmake --build "$build" --target "probe_$name" >>"$build/$name.log" 2>&1 &&
    "$root/cmake/check_driver_image.sh" "$arch" "$build/probe-$name" \
      "$build/CMakeFiles/probe_$name.dir" >>"$build/$name.log" 2>&1
}

for arch in i686 x86_64; do
  build=$work/$arch
  probes=("$root"/cmake/probes/*.cpp "$root"/cmake/probes/"$arch"/*.cpp)
  list=$(printf '%s;' "${probes[@]}")
  if ! cmake -S "$root/cmake/sys" -B "$build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
      -DVORN_PROBES="${list%;}" >"$work/configure-$arch.log" 2>&1; then
    cat "$work/configure-$arch.log"
    echo "FAIL: the $arch probe build could not be configured"
    exit 1
  fi
  if ! accepted "$arch" "$build" entry_only; then
    cat "$build/entry_only.log"
    echo "FAIL: the bare $arch entry was rejected; the probes would prove nothing"
    exit 1
  fi
  echo "ok: the bare $arch entry builds and passes the image check"
  for probe in "${probes[@]}"; do
    name=$(basename "$probe" .cpp)
    reason=$(sed -n 's|^// Rejected: ||p' "$probe")
    if accepted "$arch" "$build" "$name"; then
      echo "FAIL: $arch probe $name was accepted as driver code"
      failures=$((failures + 1))
    elif [[ -n $reason ]] && ! grep -q -F -- "$reason" "$build/$name.log"; then
      cat "$build/$name.log"
      echo "FAIL: $arch probe $name was rejected, but not for '$reason'"
      failures=$((failures + 1))
    else
      echo "ok: $arch probe $name rejected${reason:+ ($reason)}"
    fi
  done
done
exit $failures
