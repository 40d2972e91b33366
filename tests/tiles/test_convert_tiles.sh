#!/usr/bin/env bash
# scripts/convert-tiles.sh on a directory of good and bad tiles, once with
# GNU parallel and once with xargs -P:
#   - every good tile gives the same .shp/.shx/.dbf as converting it alone;
#   - the bad ones (several, so that one failure cannot stop the rest) are
#     listed in the summary with their status and message, nothing else is;
#   - the exit status is 1 with a failure, 0 without;
#   - no more than JOBS conversions run at a time, and more than one does;
#   - names with spaces, other files and subdirectories are handled;
#   - usage errors and a converter that is not there end with status 2.
# Usage: test_convert_tiles.sh SOURCE_DIR WORK_DIR PELMORA LASGEN
set -euo pipefail
source=$1 work=$2 pelmora=$3 lasgen=$4
script=$source/scripts/convert-tiles.sh
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
  echo "notes" >"$d/readme.txt"
  "$lasgen" --points 10 "$d/sub/nested.las" >/dev/null   # not searched
}
good=("a" "b 2" "c-empty" "d")
bad=("bad-short" "bad-signature" "bad-text")

make_tiles "$work/reference"
for t in "${good[@]}"; do "$pelmora" "$work/reference/$t.las" >/dev/null || fail "reference conversion of $t"; done

for runner in parallel xargs; do
  d=$work/$runner
  make_tiles "$d"
  rm -f "$work/concurrency"
  status=0
  PELMORA=$work/bin/Pelmora RUNNER=$runner TMPDIR=$work bash "$script" "$d" 2 >"$work/$runner.out" 2>&1 || status=$?
  cat "$work/$runner.out"
  [ "$status" -eq 1 ] || fail "$runner: exit status $status with failed tiles, expected 1"
  grep -q "^Converted ${#good[@]} of $(( ${#good[@]} + ${#bad[@]} )) tiles" "$work/$runner.out" \
    || fail "$runner: summary count wrong"
  grep -q "^Failed (${#bad[@]}):" "$work/$runner.out" || fail "$runner: failure count wrong"
  for t in "${bad[@]}"; do
    grep -q "^  $t.las (exit 255): .*\(is not a valid\|announces\)" "$work/$runner.out" \
      || fail "$runner: $t not reported with status and message"
    [ ! -e "$d/$t.shp" ] || fail "$runner: $t left a .shp"
  done
  [ "$(grep -c '^  ' "$work/$runner.out")" -eq ${#bad[@]} ] || fail "$runner: other tiles reported as failed"
  for t in "${good[@]}"; do
    for s in shp shx dbf; do
      cmp -s "$work/reference/$t.$s" "$d/$t.$s" || fail "$runner: $t.$s differs from a single conversion"
    done
  done
  [ ! -e "$d/sub/nested.shp" ] || fail "$runner: converted a tile in a subdirectory"
  peak=$(sort -n "$work/concurrency" | tail -1)
  [ "$peak" -eq 2 ] || fail "$runner: $peak conversions at once, expected 2"
  logs=$(sed -n 's/^Console text of the failed tiles: //p' "$work/$runner.out")
  [ -f "$logs/bad-text.las.log" ] || fail "$runner: no log kept for a failed tile"

  # Only good tiles: status 0, nothing listed, no log directory left.
  rm -f "$d"/bad-*.las "$d"/*.shp "$d"/*.shx "$d"/*.dbf
  rm -rf "$work"/convert-tiles.*
  status=0
  PELMORA=$pelmora RUNNER=$runner TMPDIR=$work bash "$script" "$d" 1 >"$work/$runner-good.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "$runner: exit status $status with every tile good: $(cat "$work/$runner-good.out")"
  grep -q "^Converted ${#good[@]} of ${#good[@]} tiles" "$work/$runner-good.out" || fail "$runner: all-good summary"
  [ -z "$(ls -d "$work"/convert-tiles.* 2>/dev/null)" ] || fail "$runner: log directory left after a clean run"
done

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
