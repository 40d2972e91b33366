#!/usr/bin/env bash
# Converts every tile of a directory with Pelmora (.las) and pelmora-laz
# (.laz), several at a time.
#
#   convert-tiles.sh [--help] DIR [JOBS]
#
# DIR     directory holding the tiles: every regular file DIR/*.las and
#         DIR/*.laz (subdirectories are not searched); each gives NAME.shp,
#         NAME.shx, NAME.dbf and, with a coordinate system, NAME.prj beside it.
# JOBS    conversions at a time (default: the number of processors).
#
# Runs the conversions with GNU parallel when it is installed, otherwise with
# xargs -P, and shows how many tiles are done while they run. Then prints a
# summary: how many tiles converted, the files it skipped and why (names in
# upper case, which the converters refuse; a .laz beside a .las of the same
# name, which would give the same outputs; .laz files when pelmora-laz or its
# codec is missing), and for each tile that failed its exit status and the
# line of its console text that gives the reason. Each failed tile's console
# text is kept in a log directory.
#
# Environment:
#   PELMORA      the converter (default: Pelmora on the PATH, else the one
#                installed beside this script, else build/Pelmora of this
#                source tree)
#   PELMORA_LAZ  the LAZ companion (default: pelmora-laz beside PELMORA, else
#                on the PATH, else build/pelmora-laz); it is given PELMORA
#   RUNNER       parallel or xargs, to choose instead of the default
#
# Exit status: 0 when every tile converted, 1 when any failed or was skipped
# or there was no tile, 2 on a usage error.
set -uo pipefail

if [ "${1:-}" = --one ]; then
  # One tile, run by parallel or xargs: its console text and status go to
  # the log directory.
  tile=$2
  log=$TILES_LOG_DIR/$(printf '%s' "$tile" | md5sum | cut -c1-16)
  case $tile in
    *.laz) "$PELMORA_LAZ" "$tile" >"$log.log" 2>&1 ;;
    *) "$PELMORA" "$tile" >"$log.log" 2>&1 ;;
  esac
  status=$?
  printf '%s\t%s\n' "$status" "$tile" >"$log.status"
  # Not the converters' 255: xargs would stop starting tiles after one.
  [ "$status" -eq 0 ] || exit 1
  exit 0
fi

usage() {
  echo "usage: $0 [--help] DIR [JOBS]" >&2
  exit 2
}
if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
  sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "$0"
  exit 0
fi
[ $# -ge 1 ] && [ $# -le 2 ] || usage
dir=$1
jobs=${2:-$(nproc)}
[ -d "$dir" ] || { echo "$dir is not a directory" >&2; exit 2; }
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "JOBS must be a positive whole number, not '$jobs'" >&2; exit 2; }

self=$(realpath "$0")
here=$(dirname "$self")
if [ -z "${PELMORA:-}" ]; then
  # On the PATH, else bin/ of the prefix this script is installed in
  # (<prefix>/share/pelmora/scripts), else the source tree's build/.
  PELMORA=$(command -v Pelmora || true)
  [ -n "$PELMORA" ] || { [ -x "$here/../../../bin/Pelmora" ] && PELMORA=$here/../../../bin/Pelmora; }
  [ -n "$PELMORA" ] || PELMORA=$here/../build/Pelmora
fi
[ -x "$PELMORA" ] || { echo "Pelmora not found at $PELMORA: set PELMORA, or build first" >&2; exit 2; }
PELMORA=$(realpath "$PELMORA")
if [ -z "${PELMORA_LAZ:-}" ]; then
  PELMORA_LAZ=$(dirname "$PELMORA")/pelmora-laz
  [ -x "$PELMORA_LAZ" ] || PELMORA_LAZ=$(command -v pelmora-laz || echo "$here/../build/pelmora-laz")
fi

runner=${RUNNER:-}
if [ -z "$runner" ]; then
  # moreutils also has a "parallel", with other options: only GNU's will do.
  if parallel --version 2>/dev/null | grep '^GNU parallel' >/dev/null; then runner='parallel'; else runner='xargs'; fi
fi
case $runner in parallel | xargs) ;; *) echo "RUNNER must be parallel or xargs" >&2; exit 2 ;; esac

# Whether pelmora-laz can run: the command, Node.js and the codec.
laz_problem=
if [ ! -x "$PELMORA_LAZ" ]; then
  laz_problem="pelmora-laz not found (set PELMORA_LAZ)"
elif ! version=$("$PELMORA_LAZ" --version 2>&1); then
  laz_problem="pelmora-laz does not run: ${version##*$'\n'}"
elif [[ $version == *"not installed"* ]]; then
  laz_problem="the LAZ codec is not installed (run scripts/install-deps.sh, then build or install again)"
fi

tiles=()
skipped=()
las_count=0
while IFS= read -r -d '' file; do
  name=$(basename "$file")
  case $name in
    *.las) tiles+=("$file"); las_count=$((las_count + 1)) ;;
    *.laz)
      if [ -e "${file%.laz}.las" ]; then
        skipped+=("  $name: ${name%.laz}.las gives the same outputs and is converted instead")
      elif [ -n "$laz_problem" ]; then
        skipped+=("  $name: $laz_problem")
      else
        tiles+=("$file")
      fi
      ;;
    *) skipped+=("  $name: the converters read only names ending in lower-case .las or .laz; rename it") ;;
  esac
done < <(find "$dir" -mindepth 1 -maxdepth 1 -type f \( -iname '*.las' -o -iname '*.laz' \) -print0 | sort -z)

report_skipped() {
  [ ${#skipped[@]} -eq 0 ] && return
  echo "Skipped (${#skipped[@]}):"
  printf '%s\n' "${skipped[@]}"
}
if [ ${#tiles[@]} -eq 0 ]; then
  echo "No *.las or *.laz tiles to convert in $dir"
  report_skipped
  exit 1
fi

TILES_LOG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/convert-tiles.XXXXXX")
export TILES_LOG_DIR PELMORA PELMORA_LAZ
started=$SECONDS
total=${#tiles[@]}
echo "Converting $total tiles in $dir ($las_count .las, $((total - las_count)) .laz), $jobs at a time ($runner)"
if [ "$runner" = parallel ]; then
  printf '%s\0' "${tiles[@]}" | parallel --will-cite -0 -q -j "$jobs" "$self" --one {} >/dev/null 2>&1 &
else
  printf '%s\0' "${tiles[@]}" | xargs -0 -n 1 -P "$jobs" "$self" --one >/dev/null 2>&1 &
fi
batch=$!

# Progress while the batch runs, from the status files the tiles leave: on
# a terminal one line rewritten in place, otherwise a line per second in
# which the count changed.
shopt -s nullglob
progress() {
  local statuses=("$TILES_LOG_DIR"/*.status)
  echo "${#statuses[@]}"
}
shown=-1
last_line=0
while kill -0 "$batch" 2>/dev/null; do
  done_count=$(progress)
  if [ -t 1 ]; then
    printf '\r%s of %s tiles done' "$done_count" "$total"
  elif [ "$done_count" != "$shown" ] && [ $SECONDS -gt $last_line ]; then
    echo "$done_count of $total tiles done"
    shown=$done_count
    last_line=$SECONDS
  fi
  sleep 0.2
done
wait "$batch"
[ -t 1 ] && printf '\r%s of %s tiles done\n' "$(progress)" "$total"

# The reason a tile failed: the first line of its console text that is not
# one a run prints anyway (banner, names, progress). Pelmora's last line is
# often the generic "... is not a valid LAS file" after the real reason.
reason() { # LOG
  tr '\r' '\n' <"$1" 2>/dev/null | sed -E \
    -e '/^[[:space:]]*$/d' \
    -e '/^(Ostrine LiDAR Utilities|Developed by |Pelmora -- |Pelmora Project, |\*\* .* \*\*$)/d' \
    -e '/^(Input LAS file: |Output Shapefile: |Processing \.\.\.|Decompressing \.\.\.)/d' | sed -n 1p
}

# The summary, from the status each conversion left behind.
failed=()
for tile in "${tiles[@]}"; do
  log=$TILES_LOG_DIR/$(printf '%s' "$tile" | md5sum | cut -c1-16)
  status=$(cut -f1 "$log.status" 2>/dev/null)
  if [ "$status" != 0 ]; then
    failed+=("  $(basename "$tile") (${status:+exit }${status:-not run}): $(reason "$log.log")")
    cp "$log.log" "$TILES_LOG_DIR/$(basename "$tile").log" 2>/dev/null
  fi
done
rm -f "$TILES_LOG_DIR"/*.status
echo "Converted $((total - ${#failed[@]})) of $total tiles in $((SECONDS - started)) s"
report_skipped
if [ ${#failed[@]} -eq 0 ]; then
  rm -rf "$TILES_LOG_DIR"
  [ ${#skipped[@]} -eq 0 ] || exit 1
  exit 0
fi
find "$TILES_LOG_DIR" -maxdepth 1 -name '????????????????.log' -delete
echo "Failed (${#failed[@]}):"
printf '%s\n' "${failed[@]}"
echo "Console text of the failed tiles: $TILES_LOG_DIR"
exit 1
