#!/usr/bin/env bash
# Checks install/INSTALL.txt, what a Windows user reads first: it covers what
# such a user needs (calibrate, map, open, what open=no means, the unsigned
# driver prompt, uninstalling from Device Manager), every vornctl command it
# shows is one vornctl knows, and vorn.inf gives the driver the version its
# image carries.
set -uo pipefail
vornsim=$1 root=$2
text=$root/install/INSTALL.txt
failures=0
for topic in 'vornctl calibrate' 'vornctl map' 'vornctl open' 'open=no' \
  'is not present; it opens when it appears' 'Continue Anyway' 'Device Manager' \
  'vornctl version'; do
  if ! grep -q -F -- "$topic" "$text"; then
    echo "FAIL: INSTALL.txt does not cover '$topic'"
    failures=$((failures + 1))
  fi
done
for command in $(grep -o -E 'vornctl [a-z][a-z-]*' "$text" | awk '{print $2}' | sort -u); do
  # A command vornctl does not know is refused as unknown, whatever follows.
  out=$(printf 'ctl %s\n' "$command" | "$vornsim" - 2>&1)
  if grep -q "unknown command $command" <<<"$out"; then
    echo "FAIL: INSTALL.txt shows 'vornctl $command', which vornctl does not know"
    failures=$((failures + 1))
  else
    echo "ok: vornctl $command"
  fi
done
version=$(sed -n 's/^#define VORN_VERSION_TEXT "\(.*\)"$/\1/p' "$root/resources/version.h")
driver_ver=$(sed -n 's/^DriverVer=[^,]*,\([0-9.]*\).*/\1/p' "$root/install/vorn.inf" | tr -d '\r')
if [[ -z $version || $driver_ver != "$version" ]]; then
  echo "FAIL: vorn.inf says DriverVer ${driver_ver:-nothing}, the images carry ${version:-nothing}"
  failures=$((failures + 1))
else
  echo "ok: vorn.inf DriverVer $driver_ver"
fi
exit $failures
