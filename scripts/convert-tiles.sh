#!/usr/bin/env bash
# Converts every tile of a directory with Pelmora, several at a time.
#
#   scripts/convert-tiles.sh DIR [JOBS]
#
# DIR     directory holding the tiles: every regular file DIR/*.las (lower
#         case, as Pelmora requires; subdirectories are not searched);
#         each gives NAME.shp, NAME.shx and NAME.dbf beside it.
# JOBS    conversions at a time (default: the number of processors).
#
# Runs the conversions with GNU parallel when it is installed, otherwise with
# xargs -P. Then prints a summary: how many tiles converted, and for each
# tile that failed its exit status and Pelmora's last message. Each tile's
# console text is kept in a log directory when any tile failed.
#
# Environment:
#   PELMORA   the converter (default: Pelmora on the PATH, else build/Pelmora
#             of this source tree)
#   RUNNER    parallel or xargs, to choose instead of the default
#
# Exit status: 0 when every tile converted, 1 when any failed or there was no
# tile, 2 on a usage error.
set -uo pipefail

if [ "${1:-}" = --one ]; then
  # One tile, run by parallel or xargs: its console text and status go to
  # the log directory.
  tile=$2
  log=$TILES_LOG_DIR/$(printf '%s' "$tile" | md5sum | cut -c1-16)
  "$PELMORA" "$tile" >"$log.log" 2>&1
  status=$?
  printf '%s\t%s\n' "$status" "$tile" >"$log.status"
  # Not Pelmora's 255: xargs would stop starting tiles after one.
  [ "$status" -eq 0 ] || exit 1
  exit 0
fi

usage() { echo "usage: $0 DIR [JOBS]" >&2; exit 2; }
[ $# -ge 1 ] && [ $# -le 2 ] || usage
dir=$1
jobs=${2:-$(nproc)}
[ -d "$dir" ] || { echo "$dir is not a directory" >&2; exit 2; }
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "JOBS must be a positive whole number, not '$jobs'" >&2; exit 2; }

self=$(realpath "$0")
if [ -z "${PELMORA:-}" ]; then
  PELMORA=$(command -v Pelmora || echo "$(dirname "$self")/../build/Pelmora")
fi
[ -x "$PELMORA" ] || { echo "Pelmora not found at $PELMORA: set PELMORA, or build first" >&2; exit 2; }
PELMORA=$(realpath "$PELMORA")

runner=${RUNNER:-}
if [ -z "$runner" ]; then
  # moreutils also has a "parallel", with other options: only GNU's will do.
  if parallel --version 2>/dev/null | grep '^GNU parallel' >/dev/null; then runner='parallel'; else runner='xargs'; fi
fi
case $runner in parallel | xargs) ;; *) echo "RUNNER must be parallel or xargs" >&2; exit 2 ;; esac

tiles=()
while IFS= read -r -d '' tile; do tiles+=("$tile"); done \
  < <(find "$dir" -mindepth 1 -maxdepth 1 -type f -name '*.las' -print0 | sort -z)
if [ ${#tiles[@]} -eq 0 ]; then
  echo "No *.las tiles in $dir"
  exit 1
fi

TILES_LOG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/convert-tiles.XXXXXX")
export TILES_LOG_DIR PELMORA
started=$SECONDS
echo "Converting ${#tiles[@]} tiles in $dir, $jobs at a time ($runner)"
if [ "$runner" = parallel ]; then
  printf '%s\0' "${tiles[@]}" | parallel --will-cite -0 -q -j "$jobs" "$self" --one {} >/dev/null 2>&1
else
  printf '%s\0' "${tiles[@]}" | xargs -0 -n 1 -P "$jobs" "$self" --one >/dev/null 2>&1
fi

# The summary, from the status each conversion left behind.
failed=()
for tile in "${tiles[@]}"; do
  log=$TILES_LOG_DIR/$(printf '%s' "$tile" | md5sum | cut -c1-16)
  status=$(cut -f1 "$log.status" 2>/dev/null)
  if [ "$status" != 0 ]; then
    # The last message: console lines end in newlines or carriage returns.
    message=$(tr '\r' '\n' <"$log.log" 2>/dev/null | sed '/^[[:space:]]*$/d' | tail -1)
    failed+=("  $(basename "$tile") (${status:+exit }${status:-not run}): $message")
    cp "$log.log" "$TILES_LOG_DIR/$(basename "$tile").log" 2>/dev/null
  fi
done
rm -f "$TILES_LOG_DIR"/*.status
echo "Converted $((${#tiles[@]} - ${#failed[@]})) of ${#tiles[@]} tiles in $((SECONDS - started)) s"
if [ ${#failed[@]} -eq 0 ]; then
  rm -rf "$TILES_LOG_DIR"
  exit 0
fi
find "$TILES_LOG_DIR" -maxdepth 1 -name '????????????????.log' -delete
echo "Failed (${#failed[@]}):"
printf '%s\n' "${failed[@]}"
echo "Console text of the failed tiles: $TILES_LOG_DIR"
exit 1
