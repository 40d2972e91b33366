#!/usr/bin/env bash
# Writes the fuzzing seed corpus with our LAS generator: small files of all
# eight LAS 1.0-1.2 variants (typical and edge values, variable-length
# records, long headers, gaps, wrong header boxes), of LAS 1.3/1.4 (formats
# 0-10, extra bytes, extended records) and the usual ways a file is broken.
#   make_corpus.sh LASGEN OUTPUT_DIR
set -euo pipefail
lasgen=$1
out=$2
mkdir -p "$out"
n=0
seed() {  # seed LASGEN-OPTIONS...
  n=$((n + 1))
  "$lasgen" "$@" "$out/seed-$(printf %03d $n).las"
}

for vf in 1.0:0 1.0:1 1.1:0 1.1:1 1.2:0 1.2:1 1.2:2 1.2:3; do
  v=${vf%:*} f=${vf#*:}
  seed --version "$v" --format "$f" --points 3
  seed --version "$v" --format "$f" --points 12 --values edge --seed 7
  seed --version "$v" --format "$f" --points 0
done
seed --format 3 --points 5 --vlrs 2 --header-size 240 --gap 3
seed --format 0 --points 4 --box zero
seed --format 1 --points 4 --box small --values edge
# Broken files.
seed --signature LASG --points 2
seed --version 1.3 --points 2
seed --version 2.0 --points 2
seed --version 0.9 --points 2
seed --format 6 --points 2
seed --format 255 --points 1
seed --format 1 --record-length 27 --points 2
seed --format 1 --record-length 29 --points 2
seed --format 0 --record-length 0 --points 2
seed --version 1.1 --format 2 --points 2
seed --points 3 --truncate 226
seed --points 3 --truncate 300
seed --points 2 --offset-to-data 100
seed --points 2 --offset-to-data 5000
seed --points 2 --announce 3
seed --points 2 --announce 119304645
# Projection records (where the generator supports them).
seed --format 0 --points 2 --geokeys projected:32617 2>/dev/null || true
seed --format 0 --points 2 --geokeys user-tm 2>/dev/null || true
seed --format 0 --points 2 --wkt-vlr 'GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]],PRIMEM["Greenwich",0],UNIT["degree",0.0174532925199433]]' 2>/dev/null || true
# LAS 1.3 and 1.4 (pelmora-convert): every format, extra bytes with their
# descriptors in one record, split over two, or the second one an extended
# record after the points; a WKT in an extended record; the legacy count
# filled, zero or a lie; what the reader must skip or refuse.
wkt='GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]],PRIMEM["Greenwich",0],UNIT["degree",0.0174532925199433]]'
for f in 0 1 2 3 4 5 6 7 8 9 10; do
  seed --version 1.4 --format "$f" --points 3 --values edge --seed "$f"
done
for f in 0 1 4 5; do
  seed --version 1.3 --format "$f" --points 3
done
seed --version 1.4 --format 6 --points 3 --values edge --extra 1:u8 --extra 2:i8:0.5 --extra 3:u16::10 \
  --extra 4:i16:0.1:-5:-1 --extra 5:u32 --extra 6:i32:0.01 --extra 7:u64 --extra 8:i64:::0 --extra 9:f32:::0 \
  --extra 10:f64:0.001:1
seed --version 1.4 --format 3 --points 3 --extra 23:colours --extra 0:7 --extra 12:flags --extra 5:n --extra 7:t
seed --version 1.4 --format 7 --points 3 --extra 3:a --extra 0:2 --extra 5:b --extra-split 1
seed --version 1.4 --format 8 --points 3 --extra 6:a:0.01 --extra 8:b --extra-split 1:evlr --wkt-bit --evlr-wkt "$wkt"
seed --version 1.4 --format 10 --points 2 --extra 1:x --extra 31:reserved --extra 1:y --record-length 69
seed --version 1.4 --format 6 --points 2 --extra 5:past --record-length 32
seed --version 1.4 --format 0 --points 2 --extra 3:a --extra-undescribed
seed --version 1.2 --format 1 --points 3 --extra 4:amp:0.1 --extra 2:w
seed --version 1.4 --format 1 --points 2 --wkt-bit --geokeys projected:32633
seed --version 1.4 --format 6 --points 2 --wkt-bit --wkt-vlr "$wkt"
seed --version 1.4 --format 6 --points 2 --legacy-count 2
seed --version 1.4 --format 1 --points 2 --legacy-count 0
seed --version 1.4 --format 6 --points 2 --legacy-count 3
seed --version 1.4 --format 6 --points 2 --header-size 400 --vlrs 1 --gap 2
seed --version 1.4 --format 11 --points 1
seed --version 1.4 --format 8 --record-length 37 --points 2
seed --version 1.4 --format 6 --points 3 --truncate 400
seed --version 1.5 --format 6 --points 2
echo "$(ls "$out" | wc -l) seeds in $out"
