#!/usr/bin/env bash
# Checks install/INSTALL.txt, what a Windows user reads first: it covers what
# such a user needs (calibrate, map, open, what open=no means, the unsigned
# driver prompt, uninstalling from Device Manager), and every vornctl command
# it shows is one vornctl knows.
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
exit $failures
