#!/usr/bin/env bash
# Sets up, builds and runs every test: a Release build (unit tests, the
# Python module's tests, the examples and a test of the installed package),
# then the unit tests and the examples under AddressSanitizer and
# UndefinedBehaviorSanitizer, then every fuzzing harness briefly with its
# saved regression inputs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_TESTS=ON -DKX_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The sanitizer build catches out-of-bounds reads on damaged model files.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_BUILD_TESTS=ON -DKX_BUILD_BENCH=OFF \
  -DKX_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# Every saved regression input, then 30 s of fuzzing per harness.
scripts/fuzz.sh 30
