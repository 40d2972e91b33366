#!/usr/bin/env bash
# The README's quick-look picture: scripts/quicklook.sh, run as documented on
# a copy of a real file, must give the committed image pixel for pixel
# (GDAL's band checksums; the PNG bytes themselves may be compressed
# differently).
# Usage: test_quicklook.sh SOURCE_DIR WORK_DIR PELMORA
set -euo pipefail
source=$1 work=$2 pelmora=$3
name=pdal_1.2-with-color
committed=$source/docs/quicklook-$name.png
rm -rf "$work"
mkdir -p "$work"
cp "$source/tests/data/$name.las" "$work/"
chmod u+w "$work/$name.las"
PELMORA=$pelmora bash "$source/scripts/quicklook.sh" "$work/$name.las" "$work/$name.png"
describe() { GDAL_PAM_ENABLED=NO gdalinfo -checksum "$1" | grep -E '^Size is|Checksum=|ColorInterp'; }
describe "$committed" >"$work/committed.txt"
describe "$work/$name.png" >"$work/made.txt"
rm -f "$work"/*.aux.xml
diff -u "$work/committed.txt" "$work/made.txt" || { echo "FAIL: the picture differs from $committed"; exit 1; }
echo "quick-look picture reproduced"
