#!/usr/bin/env bash
# Quick start 2: install what is missing, build, run every test: the whole
# suite in the normal build, the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails the test that caused it), and a
# short bounded run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
(cd build && ctest --output-on-failure -j2 --timeout 900)

echo "== The suite under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -DPELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$(nproc)"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j2 --timeout 1800)

echo "== Fuzzing, 30 s per target (build-fuzz/)"
bash scripts/fuzz.sh 30
