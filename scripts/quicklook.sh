#!/usr/bin/env bash
# A quick-look picture of a LAS or LAZ file: converts it with pelmora-convert,
# burns each point's Z into a raster with GDAL, colours the cells by
# elevation and writes a PNG (points on dark grey, low blue to high red by
# percentiles of Z).
#
#   quicklook.sh IN.las|IN.laz OUT.png [CELL [SCALE]]
#
# IN      LAS 1.0-1.4 or LAZ, the extension in any letter case
# CELL    raster cell size in the file's units (default 30)
# SCALE   each cell becomes SCALE x SCALE pixels (default 4)
# Needs gdal-bin (gdal_rasterize, gdaldem, gdal_translate). The shapefile is
# written beside IN (pelmora-convert's rule), so work on a copy of shared
# files. PELMORA_CONVERT names the converter (default: pelmora-convert on the
# PATH, else the one installed beside this script, else
# build/pelmora-convert of this source tree).
set -euo pipefail
[ $# -ge 2 ] && [ $# -le 4 ] || { echo "usage: $0 IN.las|IN.laz OUT.png [CELL [SCALE]]" >&2; exit 2; }
las=$1 png=$2 cell=${3:-30} scale=${4:-4}
here=$(cd "$(dirname "$0")" && pwd)
prog=${0##*/}
# shellcheck source=find-converter.sh
. "$here/find-converter.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Its errors and warnings go to standard error as they are.
"$PELMORA_CONVERT" -q -- "$las" || exit 1
shp=${las%.*}.shp
layer=$(basename -- "${las%.*}")

# Z of the points (the last point of a cell wins); empty cells are nodata.
gdal_rasterize -q -l "$layer" -3d -tr "$cell" "$cell" -tap -ot Float32 -init -9999 -a_nodata -9999 \
  "$shp" "$tmp/z.tif"
# Elevation colours by the points' Z percentiles (2, 25, 50, 75, 98), so that
# a few outliers do not take up the scale; dark grey where there is no point.
ogr2ogr -f CSV /vsistdout/ "$shp" -lco GEOMETRY=AS_XYZ -select "" | tail -n +2 | cut -d, -f3 | sort -g >"$tmp/z.txt"
points=$(wc -l <"$tmp/z.txt")
[ "$points" -gt 0 ] || { echo "$las holds no points" >&2; exit 1; }
pct() { sed -n "$(( ($1 * (points - 1)) / 100 + 1 ))p" "$tmp/z.txt"; }
zmin=$(head -1 "$tmp/z.txt") zmax=$(tail -1 "$tmp/z.txt")
cat >"$tmp/ramp.txt" <<RAMP
nv 40 40 40 0
$zmin 43 131 186
$(pct 2) 43 131 186
$(pct 25) 171 221 164
$(pct 50) 255 255 191
$(pct 75) 253 174 97
$(pct 98) 215 25 28
$zmax 215 25 28
RAMP
gdaldem color-relief -q "$tmp/z.tif" "$tmp/ramp.txt" "$tmp/colour.tif" -alpha
# Enlarged without smoothing, so that each point stays a square of colour;
# the alpha band dropped.
size=$(gdalinfo "$tmp/colour.tif" | sed -n 's/^Size is \([0-9]*\), \([0-9]*\)/\1 \2/p')
read -r width height <<<"$size"
gdal_translate -q -of PNG -b 1 -b 2 -b 3 -r nearest -outsize $((width * scale)) $((height * scale)) \
  "$tmp/colour.tif" "$png"
rm -f "$png.aux.xml"
echo "$png: $points points, ${width}x${height} cells of $cell, elevation $zmin to $zmax (98% below $(pct 98)), $((width * scale))x$((height * scale)) pixels"
