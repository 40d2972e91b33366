#!/usr/bin/env bash
# scripts/convert-tiles.sh on a directory of good and bad .las and .laz
# tiles, once with GNU parallel and once with xargs -P:
#   - every good tile gives the same .shp/.shx/.dbf/.prj as converting it
#     alone (with Pelmora or pelmora-laz);
#   - the bad ones (several, so that one failure cannot stop the rest) are
#     listed in the summary with their status and the line giving the reason
#     (not Pelmora's generic last line), nothing else is;
#   - upper-case names and a .laz beside a .las of its name are listed as
#     skipped, and so are .laz files when the codec is missing;
#   - progress lines count the tiles done;
#   - the exit status is 1 with a failure, 0 without;
#   - no more than JOBS conversions run at a time, and more than one does;
#   - names with spaces, other files and subdirectories are handled;
#   - usage errors and a converter that is not there end with status 2.
# Usage: test_convert_tiles.sh SOURCE_DIR WORK_DIR PELMORA LASGEN
set -euo pipefail
source=$1 work=$2 pelmora=$3 lasgen=$4
script=$source/scripts/convert-tiles.sh
data=$source/tests/data
export PELMORA_LAZ=$(dirname "$pelmora")/pelmora-laz
fail() { echo "FAIL: $*"; exit 1; }
command -v parallel >/dev/null || fail "GNU parallel not installed (Debian package parallel)"

rm -rf "$work"
mkdir -p "$work/reference" "$work/bin"

# A wrapper around Pelmora that counts the conversions running at once.
cat >"$work/bin/Pelmora" <<EOF
#!/usr/bin/env bash
mkdir -p "$work/running"
touch "$work/running/\$\$"
ls "$work/running" | wc -l >>"$work/concurrency"
sleep 0.4
"$pelmora" "\$@"
status=\$?
rm -f "$work/running/\$\$"
exit \$status
EOF
chmod +x "$work/bin/Pelmora"

make_tiles() { # DIR
  local d=$1
  mkdir -p "$d/sub"
  "$lasgen" --version 1.2 --format 3 --points 1500 --seed 1 "$d/a.las" >/dev/null
  "$lasgen" --version 1.0 --format 1 --points 1200 --seed 2 "$d/b 2.las" >/dev/null
  "$lasgen" --version 1.1 --format 0 --points 0 "$d/c-empty.las" >/dev/null
  "$lasgen" --version 1.2 --format 2 --points 2000 --seed 3 "$d/d.las" >/dev/null
  "$lasgen" --version 1.2 --format 1 --points 100 --announce 101 "$d/bad-short.las" >/dev/null
  "$lasgen" --version 1.2 --format 3 --points 10 --signature LASX "$d/bad-signature.las" >/dev/null
  echo "not lidar" >"$d/bad-text.las"
  cp "$data/pasture_10_points_format_3.las" "$d/bad-14.las"
  cp "$data/liblas_1.2-with-color.laz" "$d/e.laz"
  cp "$data/pdal_autzen_trim.laz" "$d/f g.laz"
  head -c 300000 "$data/pdal_autzen_trim.laz" >"$d/bad-cut.laz"
  cp "$data/liblas_1.2-with-color.laz" "$d/a.laz"        # beside a.las: skipped
  cp "$data/pdal_1.2-with-color.las" "$d/UPPER.LAS"      # skipped
  chmod u+w "$d"/*
  echo "notes" >"$d/readme.txt"
  "$lasgen" --points 10 "$d/sub/nested.las" >/dev/null   # not searched
}
good=("a.las" "b 2.las" "c-empty.las" "d.las" "e.laz" "f g.laz")
# Each with the line that gives its reason.
declare -A bad=(
  [bad-short.las]="announces 101 point records but holds only 100"
  [bad-signature.las]="bad-signature.las is not a valid .las file"
  [bad-text.las]="bad-text.las is not a valid .las file"
  [bad-14.las]="Cannot handle las files of version 1.4"
  [bad-cut.laz]="bad-cut.laz is damaged or cut short: its chunk table is said to be at byte"
)
skipped=("a.laz: a.las gives the same outputs" "UPPER.LAS: the converters read only names ending in lower-case")

make_tiles "$work/reference"
for t in "${good[@]}"; do
  case $t in
    *.laz) "$PELMORA_LAZ" -q "$work/reference/$t" || fail "reference conversion of $t" ;;
    *) "$pelmora" "$work/reference/$t" >/dev/null || fail "reference conversion of $t" ;;
  esac
done

for runner in parallel xargs; do
  d=$work/$runner
  make_tiles "$d"
  rm -f "$work/concurrency"
  status=0
  PELMORA=$work/bin/Pelmora RUNNER=$runner TMPDIR=$work bash "$script" "$d" 2 >"$work/$runner.out" 2>&1 || status=$?
  cat "$work/$runner.out"
  [ "$status" -eq 1 ] || fail "$runner: exit status $status with failed tiles, expected 1"
  total=$(( ${#good[@]} + ${#bad[@]} ))
  grep -q "^Converting $total tiles in $d (8 .las, 3 .laz), 2 at a time ($runner)" "$work/$runner.out" \
    || fail "$runner: first line wrong"
  grep -q "^Converted ${#good[@]} of $total tiles" "$work/$runner.out" || fail "$runner: summary count wrong"
  grep -q "^[0-9]* of $total tiles done\$" "$work/$runner.out" || fail "$runner: no progress line"
  grep -q "^Failed (${#bad[@]}):" "$work/$runner.out" || fail "$runner: failure count wrong"
  for t in "${!bad[@]}"; do
    line=$(grep -F "  $t (exit 255): " "$work/$runner.out") || fail "$runner: $t not reported with its status"
    [[ $line == *"${bad[$t]}"* ]] || fail "$runner: $t not reported with its reason: $line"
    [ ! -e "$d/${t%.la?}.shp" ] || fail "$runner: $t left a .shp"
  done
  grep -q "^Skipped (${#skipped[@]}):" "$work/$runner.out" || fail "$runner: skipped count wrong"
  for t in "${skipped[@]}"; do grep -qF "  $t" "$work/$runner.out" || fail "$runner: not reported as skipped: $t"; done
  [ "$(grep -c '^  ' "$work/$runner.out")" -eq $(( ${#bad[@]} + ${#skipped[@]} )) ] \
    || fail "$runner: other tiles reported as failed or skipped"
  for t in "${good[@]}"; do
    for s in shp shx dbf prj; do
      [ -e "$work/reference/${t%.la?}.$s" ] || [ ! -e "$d/${t%.la?}.$s" ] || fail "$runner: $t gave a .$s alone it does not"
      [ ! -e "$work/reference/${t%.la?}.$s" ] || cmp -s "$work/reference/${t%.la?}.$s" "$d/${t%.la?}.$s" \
        || fail "$runner: ${t%.la?}.$s differs from a single conversion"
    done
  done
  [ -z "$(find "$d" -name '.*')" ] || fail "$runner: hidden files left: $(find "$d" -name '.*')"
  [ ! -e "$d/sub/nested.shp" ] || fail "$runner: converted a tile in a subdirectory"
  peak=$(sort -n "$work/concurrency" | tail -1)
  [ "$peak" -eq 2 ] || fail "$runner: $peak conversions at once, expected 2"
  logs=$(sed -n 's/^Console text of the failed tiles: //p' "$work/$runner.out")
  [ -f "$logs/bad-text.las.log" ] || fail "$runner: no log kept for a failed tile"

  # Only good tiles: status 0, nothing listed, no log directory left.
  rm -f "$d"/bad-*.la? "$d"/*.shp "$d"/*.shx "$d"/*.dbf "$d"/*.prj "$d/a.laz" "$d/UPPER.LAS"
  rm -rf "$work"/convert-tiles.*
  status=0
  PELMORA=$pelmora RUNNER=$runner TMPDIR=$work bash "$script" "$d" 1 >"$work/$runner-good.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "$runner: exit status $status with every tile good: $(cat "$work/$runner-good.out")"
  grep -q "^Converted ${#good[@]} of ${#good[@]} tiles" "$work/$runner-good.out" || fail "$runner: all-good summary"
  [ -z "$(ls -d "$work"/convert-tiles.* 2>/dev/null)" ] || fail "$runner: log directory left after a clean run"
done

# Without the codec: the .laz tiles are skipped, and say why; the .las converted.
mkdir -p "$work/nocodec"
cp "$data/liblas_1.2-with-color.laz" "$work/nocodec/t.laz"
"$lasgen" --points 10 "$work/nocodec/u.las" >/dev/null
printf '#!/bin/sh\necho "pelmora-laz 0.1.0 (laz-perf not installed, Node.js v20)"\n' >"$work/bin/pelmora-laz"
chmod +x "$work/bin/pelmora-laz"
status=0
PELMORA=$pelmora PELMORA_LAZ=$work/bin/pelmora-laz bash "$script" "$work/nocodec" >"$work/nocodec.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "no codec: status $status, expected 1"
grep -q "^Converted 1 of 1 tiles" "$work/nocodec.out" || fail "no codec: $(cat "$work/nocodec.out")"
grep -qF "  t.laz: the LAZ codec is not installed" "$work/nocodec.out" || fail "no codec: $(cat "$work/nocodec.out")"
[ ! -e "$work/nocodec/t.shp" ] && [ -e "$work/nocodec/u.shp" ] || fail "no codec: wrong tiles converted"

status=0; bash "$script" --help >"$work/help.out" 2>&1 || status=$?
[ "$status" -eq 0 ] && grep -q "convert-tiles.sh \[--help\] DIR \[JOBS\]" "$work/help.out" || fail "--help: $status"

# Usage errors and an empty directory.
mkdir -p "$work/empty"
status=0; PELMORA=$pelmora bash "$script" "$work/empty" >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "empty directory: status $status, expected 1"
status=0; PELMORA=$pelmora bash "$script" "$work/none" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "missing directory: status $status, expected 2"
status=0; PELMORA=$pelmora bash "$script" "$work/empty" 0 >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "JOBS 0: status $status, expected 2"
status=0; PELMORA=$work/no-such-program bash "$script" "$work/reference" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "missing converter: status $status, expected 2"
echo "convert-tiles test passed"
