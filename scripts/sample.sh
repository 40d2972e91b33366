#!/usr/bin/env bash
# Quick start 1: install what is missing, build, make a sample LAS file with
# the project's own generator and convert it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
mkdir -p out
build/lasgen --version 1.2 --format 3 --points 250000 out/sample.las
build/Pelmora out/sample.las
echo
ls -l out/sample.*
ogrinfo -so -al out/sample.shp 2>/dev/null | sed -n '/Feature Count/,/Blue/p' || true
