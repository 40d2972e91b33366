#!/usr/bin/env bash
# Writes the fuzzing seed corpus with our LAS generator: small files of all
# eight variants (typical and edge values, variable-length records, long
# headers, gaps, wrong header boxes) and the usual ways a file is broken.
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
echo "$(ls "$out" | wc -l) seeds in $out"
