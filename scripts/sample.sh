#!/usr/bin/env bash
# Quick start 1: install what is missing, build, make a sample LAS 1.4 file
# (point format 6, as surveys deliver them) with the project's own generator
# and convert it with pelmora-convert.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
mkdir -p out
build/lasgen --version 1.4 --format 6 --points 250000 out/sample.las
build/pelmora-convert out/sample.las
echo
ls -l out/sample.*
ogrinfo -so -al out/sample.shp 2>/dev/null | sed -n '/Feature Count/,/GPSTime/p' || true
