#!/usr/bin/env bash
# docs/calibration.svg is exactly what the command that the README's
# "Calibration" section gives for it produces. The command is taken from the
# README (the indented line that names docs/calibration.svg and vornsim) and
# run in a scratch copy of the repository's layout, so the tree is left alone.
#
# usage: check_calibration_picture.sh SOURCE_DIR VORNSIM
set -euo pipefail
source_dir=$1
vornsim=$2

command=$(awk '/^## Calibration/ { inside = 1; next } /^## / { inside = 0 }
    inside && /^    / && /vornsim/ && /docs\/calibration\.svg/ { sub(/^    /, ""); print }' \
    "$source_dir/README.md")
if [[ -z $command || $(wc -l <<<"$command") -ne 1 ]]; then
    echo "FAIL: the README's Calibration section gives no single command for docs/calibration.svg" >&2
    exit 1
fi
[[ $command == *./build/vornsim* ]] || {
    echo "FAIL: the command does not run ./build/vornsim: $command" >&2
    exit 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vorn-picture.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/docs" "$scratch/build"
cp -r "$source_dir/scenarios" "$scratch/"
ln -s "$(realpath "$vornsim")" "$scratch/build/vornsim"
(cd "$scratch" && bash -c "$command" >"$scratch/output.txt")
[[ -f $scratch/docs/calibration.svg ]] || {
    echo "FAIL: '$command' wrote no docs/calibration.svg" >&2
    exit 1
}
if ! diff -u --label docs/calibration.svg --label "what '$command' draws" \
    "$source_dir/docs/calibration.svg" "$scratch/docs/calibration.svg" >"$scratch/diff.txt"; then
    head -n 40 "$scratch/diff.txt" >&2
    echo "FAIL: docs/calibration.svg is not what the README's command draws; run it from the repository's root" >&2
    exit 1
fi
echo "docs/calibration.svg matches: $command"
