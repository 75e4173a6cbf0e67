#!/usr/bin/env bash
# Builds everything and runs vornsim on its embedded demo scenario.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
./build/vornsim
