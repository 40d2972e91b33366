#!/usr/bin/env bash
# Quick start 2: install what is missing, build, run every test but the long
# ones (ctest label "long": the Debian package, ten million keys sorted).
#
#   bash scripts/test.sh        the suite in the normal build, under 6 minutes on two cores
#   bash scripts/test.sh --ci   what CI runs (.ci/run): the whole suite, long tests too;
#                               then the suite again under AddressSanitizer and
#                               UndefinedBehaviorSanitizer (any report fails the test that
#                               caused it); then 30 s of each fuzz target
set -euo pipefail
cd "$(dirname "$0")/.."
ci=false
[ "${1:-}" = --ci ] && ci=true
bash scripts/install-deps.sh
bash scripts/build.sh
if ! $ci; then
  (cd build && ctest --output-on-failure -j2 --timeout 900 -LE long)
  exit 0
fi
(cd build && ctest --output-on-failure -j2 --timeout 900)

echo "== The suite under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -DPELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$(nproc)"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j2 --timeout 1800 -LE long)

echo "== Fuzzing, 30 s per target (build-fuzz/)"
bash scripts/fuzz.sh 30
