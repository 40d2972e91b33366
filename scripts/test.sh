#!/usr/bin/env bash
# Quick start 2: install what is missing, build, run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
cd build
ctest --output-on-failure -j2 --timeout 900
