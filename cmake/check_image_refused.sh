#!/usr/bin/env bash
# vornsim --image refuses an image it cannot run with one line on standard
# error and exit status 2, before any scenario line runs: no file, a file
# that is no image, a truncated image, the other architecture's image.
set -uo pipefail
vornsim=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# The image for vornsim's own architecture, by its ELF class.
if [[ $(od -An -tx1 -j4 -N1 "$vornsim" | tr -d ' ') == 02 ]]; then
  own=$build/sys-x86_64/vorn.sys other=$build/sys-i686/vorn.sys
else
  own=$build/sys-i686/vorn.sys other=$build/sys-x86_64/vorn.sys
fi

# refused IMAGE REASON
refused() {
  local image=$1 reason=$2 errors status
  errors=$(printf 'load\n' | "$vornsim" --image "$image" - 2>&1 >/dev/null)
  status=$?
  if [[ $status -eq 2 && $(wc -l <<<"$errors") -eq 1 && $errors == "vornsim: $image: "*"$reason"* ]]; then
    echo "ok: $image refused: $errors"
  else
    echo "FAIL: $image: status $status, not 2 with one line naming '$reason': $errors"
    failures=$((failures + 1))
  fi
}

refused "$work/missing.sys" "cannot open"
printf 'not an image\n' >"$work/text.sys"
refused "$work/text.sys" "no MZ header"
head -c 1024 "$own" >"$work/truncated.sys"
refused "$work/truncated.sys" "truncated"
refused "$other" "machine type"
errors=$("$vornsim" --image 2>&1 >/dev/null)
status=$?
[[ $status -eq 2 && $errors == usage:* ]] || { echo "FAIL: --image without a path: $status"; failures=$((failures + 1)); }
exit $failures
