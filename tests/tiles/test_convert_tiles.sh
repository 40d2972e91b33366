#!/usr/bin/env bash
# scripts/convert-tiles.sh, with GNU parallel and with xargs -P:
#   - a directory of good and bad .las and .laz tiles (LAS 1.0-1.4, names in
#     any letter case, with spaces, a newline, a leading dash): every good
#     tile gives the same outputs as pelmora-convert on it alone, the bad
#     ones (several, so that one failure cannot stop the rest) are listed
#     with their status and pelmora-convert's message, a warning is listed,
#     a .laz beside a .las of its name is skipped, hidden files (another
#     run's temporaries) are left alone, and nothing else is on disk after;
#   - progress lines, exit status 1 with a failure and 0 without, no more
#     than JOBS conversions at once and more than one;
#   - SIGTERM, SIGINT and SIGHUP: the running conversions stopped and waited
#     for (their temporaries gone), no more started, the summary printed,
#     status 128+N;
# and once: options handed to every conversion (-o, --index, a selection,
# parts, fields and coordinate systems, -n; -q), symbolic links, a directory that cannot be read, one named
# "-odd", usage errors.
# Usage: test_convert_tiles.sh SOURCE_DIR WORK_DIR PELMORA_CONVERT LASGEN
set -euo pipefail
source=$1 work=$2 convert=$3 lasgen=$4
script=$source/scripts/convert-tiles.sh
data=$source/tests/data
unset PELMORA PELMORA_LAZ PELMORA_CONVERT RUNNER
fail() { echo "FAIL: $*"; exit 1; }
command -v parallel >/dev/null || fail "GNU parallel not installed (Debian package parallel)"
# run NAME [VAR=VALUE]... ARG...: the script, its output in $work/NAME.out,
# its exit status in $status.
run() {
  local name=$1
  shift
  out=$work/$name.out
  status=0
  env TMPDIR="$work/tmp" "$@" >"$out" 2>&1 || status=$?
}
expect() { # STATUS WHAT
  [ "$status" -eq "$1" ] || fail "$2: exit status $status, expected $1: $(cat "$out")"
}
# Every name under DIR (NUL-safe), one a line, sorted.
files() { (cd "$1" && find . -mindepth 1 -print0 | LC_ALL=C sort -z | tr '\0' '\n'); }
no_logs() { [ -z "$(ls -A "$work/tmp")" ] || fail "$1: left in TMPDIR: $(ls -A "$work/tmp")"; }

[ ! -d "$work/locked" ] || chmod 755 "$work/locked" # from a run that failed
rm -rf "$work"
mkdir -p "$work/reference" "$work/bin" "$work/tmp"

# A wrapper around pelmora-convert that counts the conversions running at once.
cat >"$work/bin/pelmora-convert" <<EOF
#!/usr/bin/env bash
mkdir -p "$work/running"
touch "$work/running/\$\$"
ls "$work/running" | wc -l >>"$work/concurrency"
sleep 0.4
"$convert" "\$@"
status=\$?
rm -f "$work/running/\$\$"
exit \$status
EOF
chmod +x "$work/bin/pelmora-convert"

nl=$'\n'
make_tiles() { # DIR
  local d=$1
  mkdir -p "$d/sub"
  "$lasgen" --version 1.2 --format 3 --points 1500 --seed 1 "$d/a.las" >/dev/null
  "$lasgen" --version 1.0 --format 1 --points 1200 --seed 2 "$d/b 2.las" >/dev/null
  "$lasgen" --version 1.1 --format 0 --points 0 "$d/c-empty.las" >/dev/null
  "$lasgen" --version 1.3 --format 4 --points 300 --seed 3 "$d/d13.las" >/dev/null
  "$lasgen" --version 1.4 --format 7 --points 400 --seed 4 "$d/-dash${nl}line.las" >/dev/null
  cp "$data/pasture_10_points_format_6.las" "$d/p14.las"
  cp "$data/pdal_1.2-with-color.las" "$d/UPPER.LAS"
  cp "$data/liblas_1.2-with-color.laz" "$d/e.laz"
  cp "$data/pdal_autzen_trim.laz" "$d/f g.laz"
  cp "$data/pasture_10_points_format_6.laz" "$d/C_15GN2.LAZ" # LAZ 1.4, named as AHN does
  "$lasgen" --version 1.2 --format 1 --points 100 --announce 101 "$d/bad-short.las" >/dev/null
  "$lasgen" --version 1.2 --format 3 --points 10 --signature LASX "$d/bad-signature.las" >/dev/null
  echo "not lidar" >"$d/bad${nl}text.las"
  head -c 300000 "$data/pdal_autzen_trim.laz" >"$d/bad-cut.laz"
  cp "$data/liblas_1.2-with-color.laz" "$d/a.laz" # beside a.las: skipped
  cp "$d/a.las" "$d/a.LAS"                        # the same outputs again: skipped
  echo "another run's temporary" >"$d/.a.pelmora-laz-123.las"
  chmod u+w "$d"/*
  echo "notes" >"$d/readme.txt"
  "$lasgen" --points 10 "$d/sub/nested.las" >/dev/null # not searched
}
good=("a.las" "b 2.las" "c-empty.las" "d13.las" "-dash${nl}line.las" "p14.las" "UPPER.LAS" "e.laz" "f g.laz" "C_15GN2.LAZ")
# Each with its line of the summary, as far as it is the same in every run.
declare -A bad=(
  [bad-short.las]="bad-short.las (exit 1): pelmora-convert: DIR/bad-short.las announces 101 point records but holds only 100"
  [bad-signature.las]="bad-signature.las (exit 1): pelmora-convert: DIR/bad-signature.las is not a LAS file"
  [bad${nl}text.las]="bad?text.las (exit 1): pelmora-convert: DIR/bad\\ntext.las is not a LAS file"
  [bad-cut.laz]="bad-cut.laz (exit 1): pelmora-convert: DIR/bad-cut.laz is damaged or cut short"
)
skipped=("a.LAS: a.las gives the same outputs and is converted instead"
  "a.laz: a.las gives the same outputs and is converted instead")

make_tiles "$work/reference"
for t in "${good[@]}"; do
  "$convert" -q "$work/reference/$t" 2>"$work/reference.err" || fail "reference conversion of $t: $(cat "$work/reference.err")"
done
# The tiles as the batch must leave them: the reference's files.
files "$work/reference" >"$work/reference.files"

for runner in parallel xargs; do
  d=$work/$runner
  make_tiles "$d"
  rm -f "$work/concurrency"
  run "$runner" PELMORA_CONVERT="$work/bin/pelmora-convert" RUNNER=$runner bash "$script" "$d" 2
  cat "$out"
  expect 1 "$runner with failed tiles"
  total=$((${#good[@]} + ${#bad[@]}))
  grep -qxF "Converting $total tiles in $d (10 .las, 4 .laz), 2 at a time ($runner)" "$out" || fail "$runner: first line wrong"
  grep -q "^Converted ${#good[@]} of $total tiles in [0-9]* s\$" "$out" || fail "$runner: summary count wrong"
  grep -q "^[0-9]* of $total tiles done\$" "$out" || fail "$runner: no progress line"
  grep -qxF "Failed (${#bad[@]}):" "$out" || fail "$runner: failure count wrong"
  for t in "${!bad[@]}"; do
    grep -qF "  ${bad[$t]//DIR/$d}" "$out" || fail "$runner: $t not reported with its status and message"
  done
  grep -qxF "Skipped (${#skipped[@]}):" "$out" || fail "$runner: skipped count wrong"
  for t in "${skipped[@]}"; do grep -qxF "  $t" "$out" || fail "$runner: not reported as skipped: $t"; done
  grep -qxF "Warnings (1):" "$out" &&
    grep -qxF "  pelmora-convert: warning: $d/d13.las: the 29-byte waveform packets of point format 4 are not written" \
      "$out" || fail "$runner: the warning of d13.las not listed"
  [ "$(grep -c '^  ' "$out")" -eq $((${#bad[@]} + ${#skipped[@]} + 1)) ] ||
    fail "$runner: other tiles reported as failed, skipped or warned about"
  # Exactly the reference's files, the hidden one untouched, the good tiles'
  # outputs as a conversion of each alone gives them.
  files "$d" | diff -u "$work/reference.files" - || fail "$runner: other files on disk than converting each good tile gives"
  for t in "${good[@]}"; do
    for s in shp shx dbf prj; do
      [ ! -e "$work/reference/${t%.*}.$s" ] || cmp -s "$work/reference/${t%.*}.$s" "$d/${t%.*}.$s" ||
        fail "$runner: ${t%.*}.$s differs from a single conversion"
    done
  done
  peak=$(sort -n "$work/concurrency" | tail -1)
  [ "$peak" -eq 2 ] || fail "$runner: $peak conversions at once, expected 2"
  logs=$(sed -n 's/^Console text of the failed tiles: //p' "$out")
  grep -q "bad-short.las announces" "$logs/bad-short.las.log" || fail "$runner: no log kept for a failed tile"
  rm -rf "$logs"

  # Only good tiles: status 0, nothing listed, no log directory left.
  rm -f "$d"/bad* "$d"/*.shp "$d"/*.shx "$d"/*.dbf "$d"/*.prj "$d/a.laz" "$d/a.LAS" "$d/d13.las"
  run "$runner-good" PELMORA_CONVERT="$convert" RUNNER=$runner bash "$script" "$d" 1
  expect 0 "$runner with every tile good"
  grep -q "^Converted $((${#good[@]} - 1)) of $((${#good[@]} - 1)) tiles" "$out" || fail "$runner: all-good summary"
  [ "$(grep -c '^  ' "$out")" -eq 0 ] || fail "$runner: all good, yet tiles listed: $(cat "$out")"
  no_logs "$runner: a clean run"
done

# Signals: a converter that takes long, with a hidden temporary beside its
# tile that it removes (taking its time) when stopped, then ends by the
# signal as pelmora-convert does.
cat >"$work/bin/slow-convert" <<EOF
#!/usr/bin/env bash
tile=\${!#}
[ -n "\$tile" ] || exit 1 # the batch checking its options
echo \$\$ >>"$work/started"
temporary=\$(mktemp "\${tile%/*}/.\${tile##*/}.pelmora-XXXXXX")
stop() { kill \$sleeper; sleep 0.3; rm -f "\$temporary"; trap - \$1; kill -s \$1 \$\$; }
for s in INT TERM HUP; do trap "stop \$s" \$s; done
sleep 30 &
sleeper=\$!
wait
EOF
chmod +x "$work/bin/slow-convert"
mkdir -p "$work/signals"
for t in 1 2 3 4; do "$lasgen" --points 10 "$work/signals/t$t.las" >/dev/null; done
files "$work/signals" >"$work/signals.files"
for runner in parallel xargs; do
  for signal in TERM INT HUP; do
    rm -f "$work/started"
    # INT as a terminal's Ctrl-C would deliver it: not ignored, as a
    # background job's would be.
    env --default-signal=INT TMPDIR="$work/tmp" PELMORA_CONVERT="$work/bin/slow-convert" RUNNER=$runner \
      bash "$script" "$work/signals" 2 >"$work/signal.out" 2>&1 &
    batch=$!
    for _ in $(seq 100); do [ "$(cat "$work/started" 2>/dev/null | wc -l)" -lt 2 ] || break; sleep 0.05; done
    kill -s "$signal" "$batch"
    status=0
    wait "$batch" 2>/dev/null || status=$?
    out=$work/signal.out what="$runner, SIG$signal"
    expect $((128 + $(kill -l "$signal"))) "$what"
    grep -qxF "Stopped by SIG$signal: 2 conversions stopped, 2 tiles not started" "$out" &&
      grep -q "^Converted 0 of 4 tiles in" "$out" && grep -qxF "Stopped (2):" "$out" ||
      fail "$what: no summary: $(cat "$out")"
    for pid in $(cat "$work/started"); do ! kill -0 "$pid" 2>/dev/null || fail "$what: conversion $pid still running"; done
    files "$work/signals" | diff -u "$work/signals.files" - || fail "$what: files left on disk"
    no_logs "$what"
    sleep 0.5 # time for a tile started late to show
    [ "$(wc -l <"$work/started")" -eq 2 ] || fail "$what: $(wc -l <"$work/started") conversions started, expected 2"
  done
done

# Options handed to every conversion: the outputs in -o, as pelmora-convert
# with the same options gives them; -q: no progress lines.
mkdir -p "$work/options" "$work/options-out" "$work/options-reference"
"$lasgen" --version 1.4 --format 6 --points 3000 --seed 5 "$work/options/g.las" >/dev/null
"$lasgen" --version 1.2 --format 1 --points 2000 --seed 6 "$work/options/h.las" >/dev/null
files "$work/options" >"$work/options.files"
for t in g h; do
  "$convert" -q --class 2 --every 2 --index --max-size=4K --fields=Intensity,Classifica \
    --s_srs=EPSG:32617 --t_srs=EPSG:4326 -o "$work/options-reference" "$work/options/$t.las" || fail "reference conversion of $t.las with options"
done
run options PELMORA_CONVERT="$convert" bash "$script" -q --class=2 "$work/options" --every 2 --index \
  --max-size 4K --fields=Intensity,Classifica --s_srs EPSG:32617 --t_srs=EPSG:4326 -o "$work/options-out"
expect 0 "options"
[ "$(sed 's/in [0-9]* s$/in # s/' "$out")" = "Converting 2 tiles in $work/options (2 .las, 0 .laz), $(nproc) at a time (parallel)
Converted 2 of 2 tiles in # s" ] || fail "options: output: $(cat "$out")"
files "$work/options-out" | diff -u <(files "$work/options-reference") - || fail "options: other outputs than pelmora-convert's"
[ -e "$work/options-out/g_part2.shp" ] || fail "options: --max-size not handed to the conversions"
grep -q "^GEOGCS\[\"GCS_WGS_1984\"" "$work/options-out/g_part1.prj" || fail "options: --t_srs not handed to the conversions"
for f in "$work/options-reference"/*; do
  cmp -s "$f" "$work/options-out/${f##*/}" || fail "options: ${f##*/} differs from pelmora-convert's"
done
files "$work/options" | diff -u "$work/options.files" - || fail "options: files written beside the tiles"
# -n: every tile fails, its outputs untouched.
run no-clobber PELMORA_CONVERT="$convert" bash "$script" -n -o "$work/options-out" "$work/options"
expect 1 "-n with outputs there"
grep -qxF "  h.las (exit 1): pelmora-convert: $work/options-out/h.shp already exists (--no-clobber): nothing written" "$out" ||
  fail "-n: $(cat "$out")"
grep -qxF "  g.las (exit 1): pelmora-convert: $work/options-out/g_part1.dbf already exists (--no-clobber): nothing written" \
  "$out" || fail "-n: $(cat "$out")"
cmp -s "$work/options-reference/g_part1.shp" "$work/options-out/g_part1.shp" || fail "-n: g_part1.shp replaced"
rm -rf "$work"/tmp/convert-tiles.*

# Symbolic links, and DIR itself one: a link to a file is a tile (its
# outputs beside the link), links to anything else are skipped, with why.
mkdir -p "$work/links/real" "$work/elsewhere"
"$lasgen" --points 20 --seed 7 "$work/elsewhere/target.las" >/dev/null
ln -s ../../elsewhere/target.las "$work/links/real/linked.las"
ln -s missing.las "$work/links/real/dangling.las"
ln -s ../../elsewhere "$work/links/real/folder.laz"
mkdir "$work/links/real/folder.las"
ln -s real "$work/links/dir"
run links PELMORA_CONVERT="$convert" bash "$script" "$work/links/dir"
expect 1 "links"
grep -q "^Converted 1 of 1 tiles" "$out" && [ "$(sed -n '/^Skipped (3):$/,$p' "$out")" = "Skipped (3):
  dangling.las: a symbolic link to missing.las, which does not exist
  folder.las: a directory, not a regular file
  folder.laz: a symbolic link to a directory, not a regular file" ] || fail "links: $(cat "$out")"
[ -e "$work/links/real/linked.shp" ] && [ "$(ls "$work/elsewhere")" = target.las ] ||
  fail "links: outputs not beside the link"

# A directory that cannot be read says so, and writes nothing. Root reads
# every directory: run that one as nobody.
mkdir -p "$work/locked" "$work/locked-tmp"
"$lasgen" --points 10 "$work/locked/t.las" >/dev/null
chmod 000 "$work/locked"
chmod 1777 "$work/locked-tmp"
as=()
[ "$(id -u)" -ne 0 ] || as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ ${#as[@]} -gt 0 ] && ! "${as[@]}" true 2>/dev/null; then
  echo "NOTE: the unreadable directory case is skipped: running as root, and setpriv cannot become nobody"
else
  status=0
  out=$work/locked.out
  env TMPDIR="$work/locked-tmp" PELMORA_CONVERT="$convert" "${as[@]}" bash "$script" "$work/locked" >"$out" 2>&1 || status=$?
  expect 1 "unreadable directory"
  [ "$(cat "$out")" = "convert-tiles.sh: cannot read the directory $work/locked: Permission denied" ] ||
    fail "unreadable directory: $(cat "$out")"
  [ -z "$(ls -A "$work/locked-tmp")" ] || fail "unreadable directory: files left in TMPDIR"
fi
chmod 755 "$work/locked"
[ "$(ls -A "$work/locked")" = t.las ] || fail "unreadable directory: files written"

# A directory named -odd, after "--".
mkdir -p "$work/-odd"
"$lasgen" --points 10 "$work/-odd/t.las" >/dev/null
status=0
(cd "$work" && env TMPDIR="$work/tmp" PELMORA_CONVERT="$convert" bash "$script" -- -odd 1) >"$work/odd.out" 2>&1 || status=$?
out=$work/odd.out
expect 0 "-odd"
grep -qxF "Converting 1 tiles in -odd (1 .las, 0 .laz), 1 at a time (parallel)" "$out" && [ -e "$work/-odd/t.shp" ] ||
  fail "-odd: $(cat "$out")"

run help bash "$script" --help
expect 0 "--help"
grep -qF "convert-tiles.sh [OPTION]... DIR [JOBS]" "$out" || fail "--help: no usage line"

# Usage errors (2, with the reason and nothing written) and an empty directory (1).
mkdir -p "$work/empty"
run empty PELMORA_CONVERT="$convert" bash "$script" "$work/empty"
expect 1 "empty directory"
grep -qxF "No *.las or *.laz tiles to convert in $work/empty" "$out" || fail "empty directory: $(cat "$out")"
usage_error() { # MESSAGE ARG...
  local message=$1
  shift
  run usage PELMORA_CONVERT="$convert" "$@"
  expect 2 "$*"
  [ "$(head -1 "$out")" = "$message" ] || fail "$*: $(cat "$out")"
  no_logs "$*"
}
usage_error "convert-tiles.sh: $work/none is not a directory" bash "$script" "$work/none"
usage_error "convert-tiles.sh: JOBS must be a positive whole number, not '0'" bash "$script" "$work/empty" 0
usage_error "convert-tiles.sh: unrecognized option '--bogus'" bash "$script" --bogus "$work/options"
usage_error "pelmora-convert: invalid value for --class: 'x' is not a number from 0 to 255 nor a range of them (A-B)" \
  bash "$script" --class x "$work/options"
usage_error "convert-tiles.sh: pelmora-convert not found at $work/no-such-program: set PELMORA_CONVERT, or build first" \
  PELMORA_CONVERT="$work/no-such-program" bash "$script" "$work/options"
files "$work/options" | diff -u "$work/options.files" - || fail "usage errors: files written"
echo "convert-tiles test passed"
