#!/usr/bin/env bash
# Builds everything (both vorn.sys images and the hosted build) and runs every
# test, builds the 32-bit hosted vornsim and checks the example scenarios with
# it, then builds the hosted driver and tests again under AddressSanitizer
# and UndefinedBehaviorSanitizer, and once more with clang under
# ThreadSanitizer, and runs the whole suite under each. No sanitizer report
# is suppressed: any report fails its test. Then runs each libFuzzer target
# for a minute. The Release suite includes the fault sweep over the scenarios.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

# The 32-bit hosted build (Debian's multilib compilers, 64-bit members
# aligned as on Windows) and the real i686 vorn.sys loaded into it: every
# scenario the tests run reads exactly as on the 64-bit build, with the
# driver built in and with the image (vornsim --image), and the fault sweep
# runs against the image.
cmake -S . -B build-i686 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake -DVORN_TARGET=OFF -DVORN_BENCH=OFF \
  -DVORN_TEST_IMAGE="$PWD/build/sys-i686/vorn.sys"
cmake --build build-i686 -j "$jobs" --target vornsim
ctest --test-dir build-i686 -j "$jobs" --output-on-failure \
  -R '^(scenario_|scenarios_repeat_identically|restart_keeps|install_text|docs_calibration)' \
  -E '^scenario_fault_sweep$'
diff <(build/vornsim) <(build-i686/vornsim)

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORN_SANITIZE=ON -DVORN_TARGET=OFF -DVORN_BENCH=OFF
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize -j "$jobs" --output-on-failure

CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORN_TSAN=ON -DVORN_TARGET=OFF -DVORN_BENCH=OFF
cmake --build build-tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure

# The libFuzzer targets (fuzz/), built with clang under ASan and UBSan, each
# run for a minute from its seed corpus; ctest above replays the corpora and
# every crash ever found in each build.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORN_FUZZ=ON -DVORN_TARGET=OFF -DVORN_BENCH=OFF
cmake --build build-fuzz -j "$jobs" --target byte_stream_fuzzer control_fuzzer registry_fuzzer \
  scenario_fuzzer image_byte_stream_fuzzer
bash tools/run-fuzzers.sh build-fuzz 60
