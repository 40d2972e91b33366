#!/usr/bin/env bash
# Converts every LAS and LAZ tile of a directory with pelmora-convert, several
# at a time.
#
#   convert-tiles.sh [OPTION]... DIR [JOBS]
#
# DIR     directory holding the tiles: every file DIR/NAME.las and
#         DIR/NAME.laz, LAS 1.0-1.4, the extension in any letter case
#         (C_15GN2.LAZ); symbolic links to regular files count, hidden names
#         (.NAME, such as the temporaries of another run) and subdirectories
#         are not looked at. Each tile gives NAME.shp, NAME.shx, NAME.dbf and,
#         with a coordinate system, NAME.prj beside it (or in OUT, with -o).
# JOBS    conversions at a time (default: the number of processors).
#
# Options (anywhere before "--"; a DIR that begins with "-" goes after "--",
# or write it ./-odd), handed to every conversion as pelmora-convert takes
# them (see pelmora-convert --help):
#   -o, --output-dir=OUT  write the outputs into OUT instead of beside the tiles
#   -n, --no-clobber      a tile whose outputs already exist fails, untouched
#       --index           also write NAME.qix, the spatial index GDAL and QGIS use
#       --max-size=SIZE   no output file larger than SIZE (default 2 GB, the
#                         largest ArcGIS opens whole): larger tiles in parts
#       --fields=LIST, --drop-fields=LIST
#                         the table's fields to write, or to leave out
#       --t_srs=CRS, --s_srs=CRS, --a_srs=CRS
#                         move every tile's points into CRS; the tiles' own CRS;
#                         the CRS to write as .prj, moving no point
#       --class=LIST, --drop-class=LIST, --returns=WHICH, --drop-withheld,
#       --bounds=XMIN,YMIN,XMAX,YMAX, --thin-grid=SIZE, --every=N
#                         keep only the points selected, in every tile
# and the script's own:
#   -q, --quiet           no progress lines (the summary is still printed)
#   -h, --help            show this text and exit
# Option values are checked once, by pelmora-convert, before any tile starts.
#
# Runs the conversions with GNU parallel when it is installed, otherwise with
# xargs -P, and shows how many tiles are done while they run. Then prints a
# summary: how many tiles converted; the files it skipped and why (a .laz
# beside a .las of the same name, or two names that differ only in the
# extension's letter case, which would write the same outputs: one is
# converted; links to what is not a regular file; names like tiles that are
# not regular files); the warnings of the converted tiles; and for each tile
# that failed its exit status and pelmora-convert's message. The messages of
# the failed tiles are kept in a log directory.
#
# On SIGINT, SIGTERM or SIGHUP the batch starts no more tiles, stops the
# conversions running (each removes its own unfinished outputs; a stopped
# tile keeps the outputs it had before), prints the summary of what was done
# and ends by that signal (status 130, 143 or 129).
#
# Environment:
#   PELMORA_CONVERT  the converter (default: pelmora-convert on the PATH, else
#                    the one installed beside this script, else
#                    build/pelmora-convert of this source tree)
#   RUNNER           parallel or xargs, to choose instead of the default
#
# Exit status: 0 when every tile converted, 1 when any failed or was skipped,
# when there was no tile or DIR cannot be read, 2 on a usage error, 128+N when
# stopped by signal N.
set -uo pipefail

if [ "${1:-}" = --one ]; then
  # One tile, run by parallel or xargs: --one INDEX TILE. The converter's
  # messages, its process id and its status go to the log directory.
  [ $# -eq 3 ] && [ -n "${TILES_LOG_DIR:-}" ] || { echo "${0##*/}: --one is for the batch itself" >&2; exit 2; }
  tile=$3 log=$TILES_LOG_DIR/$2
  # Held shared while this tile runs: the batch, stopping, takes it whole to
  # know that every conversion it started has ended. A tile started after
  # the stop finds no "go" and converts nothing.
  exec 9<"$TILES_LOG_DIR/lock" || exit 0
  flock -s 9 || exit 0
  [ -e "$TILES_LOG_DIR/go" ] || exit 0
  mapfile -d '' -t options <"$TILES_LOG_DIR/options"
  # The converter runs in the foreground, so that its status is known for
  # sure; the batch signals it by the pid it writes. A signal to this shell
  # waits for the converter's end (the converter gets its own).
  trap : TERM HUP INT
  bash -c 'echo $$ >"$1" && [ -e "$2" ] || { rm -f "$1"; exit 0; }; shift 2; exec "$@"' convert-tile \
    "$log.pid" "$TILES_LOG_DIR/go" "$PELMORA_CONVERT" -q "${options[@]}" -- "$tile" \
    </dev/null >/dev/null 2>"$log.err" 9<&-
  status=$?
  # No pid file: the batch stopped before the conversion began.
  [ -e "$log.pid" ] && echo "$status" >"$log.status"
  # Always 0: xargs would stop starting tiles after a status of 255.
  exit 0
fi

prog=${0##*/}
usage_error() {
  [ $# -eq 0 ] || printf '%s: %s\n' "$prog" "$1" >&2
  echo "Try '$prog --help' for more information." >&2
  exit 2
}
# A name as the summary shows it: control characters (a newline in a file
# name) as "?", as ls shows them, so that each entry stays one line.
render() { # VAR TEXT
  printf -v "$1" '%s' "${2//[[:cntrl:]]/?}"
}

parsed=$(getopt -o hqo:n -n "$prog" \
  --long help,quiet,output-dir:,no-clobber,index,class:,drop-class:,returns:,drop-withheld,bounds:,thin-grid:,every:,max-size:,fields:,drop-fields:,t_srs:,s_srs:,a_srs: \
  -- "$@") || usage_error
eval set -- "$parsed"
quiet='' outdir=''
options=()
while :; do
  case $1 in
    -h | --help)
      sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "$0"
      exit 0
      ;;
    -q | --quiet) quiet=1; shift ;;
    -o | --output-dir) outdir=$2; options+=(--output-dir "$2"); shift 2 ;;
    -n | --no-clobber | --index | --drop-withheld) options+=("$1"); shift ;;
    --) shift; break ;;
    *) options+=("$1" "$2"); shift 2 ;; # the options with a value
  esac
done
[ $# -ge 1 ] || usage_error "no DIR given"
[ $# -le 2 ] || usage_error "too many operands: expected DIR [JOBS], got $#"
dir=$1
jobs=${2:-$(nproc)}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage_error "JOBS must be a positive whole number, not '$jobs'"
[ -d "$dir" ] || usage_error "$dir is not a directory"
[[ $dir == *[!/]* ]] && dir=${dir%"${dir##*[!/]}"} # trailing slashes off: "tiles/" names tiles/a.las

self=$(realpath -- "$0")
here=$(dirname -- "$self")
# shellcheck source=find-converter.sh
. "$here/find-converter.sh"
[ -f "$PELMORA_CONVERT" ] && [ -x "$PELMORA_CONVERT" ] ||
  usage_error "pelmora-convert not found at $PELMORA_CONVERT: set PELMORA_CONVERT, or build first"
PELMORA_CONVERT=$(realpath -- "$PELMORA_CONVERT")

# The options are checked once by the converter itself (it refuses a bad
# value or a missing output directory with status 2 before it looks at any
# file), so that a typo is one usage error rather than a failure per tile.
check=$("$PELMORA_CONVERT" -q "${options[@]}" -- "" 2>&1 >/dev/null </dev/null)
if [ $? -eq 2 ]; then
  grep -v "^Try '" <<<"$check" >&2
  usage_error
fi

runner=${RUNNER:-}
if [ -z "$runner" ]; then
  # moreutils also has a "parallel", with other options: only GNU's will do.
  if parallel --version 2>/dev/null | grep '^GNU parallel' >/dev/null; then runner='parallel'; else runner='xargs'; fi
fi
case $runner in parallel | xargs) ;; *) usage_error "RUNNER must be parallel or xargs, not '$runner'" ;; esac

# The entries named like tiles, hidden ones aside, as NAME/TYPES/TARGET: a
# name holds no "/", TYPES is find's type of the entry and of what it leads
# to (ff a file, lf a link to one, lN a link to nothing, ld a link to a
# directory ...), TARGET a link's target. "./" keeps a DIR such as "-odd"
# from being read as an option of find.
case $dir in /*) where=$dir ;; *) where=./$dir ;; esac
listing=
for signal in INT TERM HUP; do
  trap "[ -z \"\$listing\" ] || rm -f \"\$listing\" \"\$listing.err\"; trap - $signal; kill -s $signal \$\$" "$signal"
done
listing=$(mktemp "${TMPDIR:-/tmp}/convert-tiles-list.XXXXXX") || exit 1
LC_ALL=C find -H "$where" -mindepth 1 -maxdepth 1 ! -name '.*' \( -iname '*.las' -o -iname '*.laz' \) \
  -printf '%f/%y%Y/%l\0' >"$listing" 2>"$listing.err"
found=$?
if [ $found -ne 0 ]; then
  why=$(sed -n 's/^find: //p' "$listing.err" | head -1)
  rm -f "$listing" "$listing.err"
  render shown "$dir"
  echo "$prog: cannot read the directory $shown: ${why##*: }" >&2
  exit 1
fi
rm -f "$listing.err"

describe_type() { # LETTER (find's %y)
  case $1 in
    d) echo "a directory" ;; p) echo "a named pipe" ;; s) echo "a socket" ;;
    c) echo "a character device" ;; b) echo "a block device" ;; *) echo "not a regular file" ;;
  esac
}
# Tiles that would write the same outputs (a.las and a.laz, a.las and a.LAS)
# share a stem: one is converted, .las before .laz, lower case before other
# cases, then the first in byte order.
declare -A chosen=() rank_of=()
candidates=()
skipped=()
while IFS= read -r -d '' entry; do
  name=${entry%%/*} rest=${entry#*/}
  types=${rest:0:2} target=${rest:3}
  render shown "$name"
  render shown_target "$target"
  case $types in
    ff | lf) ;;
    lN) skipped+=("  $shown: a symbolic link to $shown_target, which does not exist"); continue ;;
    lL) skipped+=("  $shown: a symbolic link in a loop"); continue ;;
    l?)
      if [ "${types:1}" = '?' ]; then
        skipped+=("  $shown: a symbolic link to $shown_target, which cannot be reached")
      else
        skipped+=("  $shown: a symbolic link to $(describe_type "${types:1}"), not a regular file")
      fi
      continue
      ;;
    *) skipped+=("  $shown: $(describe_type "${types:0:1}"), not a regular file"); continue ;;
  esac
  extension=${name: -4}
  case $extension in .las) rank=0 ;; .laz) rank=2 ;; *) rank=1 ;; esac
  [[ ${extension,,} == .laz && $rank -eq 1 ]] && rank=3
  stem=${name%????}
  if [ -z "${chosen[$stem]+set}" ] || [ "$rank" -lt "${rank_of[$stem]}" ]; then
    chosen[$stem]=$name
    rank_of[$stem]=$rank
  fi
  candidates+=("$name")
done < <(LC_ALL=C sort -z "$listing")
rm -f "$listing"

tiles=()
las_count=0
for name in "${candidates[@]}"; do
  stem=${name%????}
  if [ "${chosen[$stem]}" != "$name" ]; then
    render shown "$name"
    render shown_chosen "${chosen[$stem]}"
    skipped+=("  $shown: $shown_chosen gives the same outputs and is converted instead")
    continue
  fi
  tiles+=("$dir/$name")
  [[ ${name,,} == *.las ]] && las_count=$((las_count + 1))
done

report_skipped() {
  [ ${#skipped[@]} -eq 0 ] && return
  echo "Skipped (${#skipped[@]}):"
  printf '%s\n' "${skipped[@]}" | LC_ALL=C sort
}
render shown_dir "$dir"
if [ ${#tiles[@]} -eq 0 ]; then
  echo "No *.las or *.laz tiles to convert in $shown_dir"
  report_skipped
  exit 1
fi

# From here a signal stops the batch in order (see stop_batch) instead of
# ending the script with conversions running.
caught=
for signal in INT TERM HUP; do trap "caught=\${caught:-$signal}" "$signal"; done

TILES_LOG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/convert-tiles.XXXXXX") || exit 1
export TILES_LOG_DIR PELMORA_CONVERT
: >"$TILES_LOG_DIR/lock"
: >"$TILES_LOG_DIR/go"
[ ${#options[@]} -eq 0 ] || printf '%s\0' "${options[@]}" >"$TILES_LOG_DIR/options"
: >>"$TILES_LOG_DIR/options"
for i in "${!tiles[@]}"; do printf '%s\0%s\0' "$i" "${tiles[$i]}"; done >"$TILES_LOG_DIR/tiles"

started=$SECONDS
total=${#tiles[@]}
echo "Converting $total tiles in $shown_dir ($las_count .las, $((total - las_count)) .laz), $jobs at a time ($runner)"
batch=
if [ -z "$caught" ]; then
  if [ "$runner" = parallel ]; then
    # Stopped, parallel signals each running tile; it must not follow with
    # SIGKILL a third of a second later (its default) while a converter
    # removes its temporaries. (Versions before --termseq do without.)
    termseq=(--termseq TERM,10000,KILL,25)
    parallel --will-cite "${termseq[@]}" true ::: 1 >/dev/null 2>&1 || termseq=()
    parallel --will-cite -0 -N 2 -q -j "$jobs" "${termseq[@]}" \
      "$BASH" "$self" --one '{1}' '{2}' <"$TILES_LOG_DIR/tiles" >/dev/null 2>&1 &
  else
    xargs -0 -n 2 -P "$jobs" "$BASH" "$self" --one <"$TILES_LOG_DIR/tiles" >/dev/null 2>&1 &
  fi
  batch=$!
fi

# Signals the conversions that have started and not ended.
signal_conversions() { # SIGNAL
  local file
  for file in "$TILES_LOG_DIR"/*.pid; do
    [ -e "${file%.pid}.status" ] || kill -s "$1" "$(<"$file")" 2>/dev/null
  done
}
stopped_by=
stop_batch() {
  stopped_by=$caught
  rm -f "$TILES_LOG_DIR/go"
  signal_conversions TERM
  if [ -n "$batch" ]; then
    kill -TERM "$batch" 2>/dev/null
    while ! wait "$batch" && kill -0 "$batch" 2>/dev/null; do :; done
  fi
  # Each tile holds the lock shared until it has recorded its end (xargs,
  # stopped, leaves its tiles running); a converter gets ten seconds to
  # remove its temporaries. The lock is kept to the end, so that a tile the
  # runner had just started waits for it, then finds no "go".
  exec 8<"$TILES_LOG_DIR/lock"
  if ! flock -x -w 10 8; then
    signal_conversions KILL
    flock -x 8
  fi
}

# Progress while the batch runs, from the status files the tiles leave: on
# a terminal one line rewritten in place, otherwise a line per second in
# which the count changed.
shopt -s nullglob
progress() {
  local statuses=("$TILES_LOG_DIR"/*.status)
  echo "${#statuses[@]}"
}
shown_count=-1
last_line=0
while [ -n "$batch" ] && kill -0 "$batch" 2>/dev/null; do
  if [ -n "$caught" ]; then stop_batch; break; fi
  if [ -z "$quiet" ]; then
    done_count=$(progress)
    if [ -t 1 ]; then
      printf '\r%s of %s tiles done' "$done_count" "$total"
    elif [ "$done_count" != "$shown_count" ] && [ $SECONDS -gt $last_line ]; then
      echo "$done_count of $total tiles done"
      shown_count=$done_count
      last_line=$SECONDS
    fi
  fi
  sleep 0.2
done
[ -n "$caught" ] && [ -z "$stopped_by" ] && stop_batch
[ -z "$batch" ] || while ! wait "$batch" && kill -0 "$batch" 2>/dev/null; do :; done
[ -z "$quiet" ] && [ -t 1 ] && printf '\r%s of %s tiles done\n' "$(progress)" "$total"

# The reason a tile failed: pelmora-convert's message, the first line of
# its standard error that is not a warning, with the tile's name (and its
# outputs' names) shown as the summary shows names.
messages() { # LOG TILE -> the text in $text
  text=
  [ -s "$1" ] && text=$(<"$1")
  local stem=${2%.*} outstem
  render outstem "$stem"
  text=${text//"$stem"/"$outstem"}
  if [ -n "$outdir" ]; then
    stem=$outdir/${stem##*/}
    render outstem "$stem"
    text=${text//"$stem"/"$outstem"}
  fi
}
is_warning() { [[ $1 =~ ^[^:[:space:]]*:\ warning:\  ]]; }
reason() { # STATUS LOG TILE
  local line last=
  messages "$2" "$3"
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    is_warning "$line" || { echo "$line"; return; }
    last=$line
  done <<<"$text"
  if [ -n "$last" ]; then
    echo "$last"
  elif [ "$1" -gt 128 ] && name=$(kill -l "$1" 2>/dev/null); then
    echo "killed by SIG$name"
  else
    echo "no message"
  fi
}

# The summary, from the status each conversion left behind.
failed=() stopped=() warnings=()
not_started=0
for i in "${!tiles[@]}"; do
  tile=${tiles[$i]} log=$TILES_LOG_DIR/$i
  render shown "${tile##*/}"
  status=
  [ -e "$log.status" ] && status=$(<"$log.status")
  if [ -z "$status" ] && [ -z "$stopped_by" ]; then
    failed+=("  $shown (not run): the runner did not start its conversion")
  elif [ -z "$status" ]; then
    if [ -e "$log.pid" ]; then stopped+=("  $shown"); else not_started=$((not_started + 1)); fi
  elif [ -n "$stopped_by" ] && [ "$status" -gt 128 ] && [[ $(kill -l "$status" 2>/dev/null) == @(INT|TERM|HUP|KILL) ]]; then
    stopped+=("  $shown")
  elif [ "$status" -ne 0 ]; then
    failed+=("  $shown (exit $status): $(reason "$status" "$log.err" "$tile")")
    cp "$log.err" "$TILES_LOG_DIR/${tile##*/}.log" 2>/dev/null
  elif [ -s "$log.err" ]; then
    messages "$log.err" "$tile"
    while IFS= read -r line; do [ -z "$line" ] || warnings+=("  $line"); done <<<"$text"
  fi
done
find "$TILES_LOG_DIR" -mindepth 1 -maxdepth 1 ! -name '*.log' -delete
converted=$((total - ${#failed[@]} - ${#stopped[@]} - not_started))
[ -z "$stopped_by" ] || echo "Stopped by SIG$stopped_by: ${#stopped[@]} conversions stopped, $not_started tiles not started"
echo "Converted $converted of $total tiles in $((SECONDS - started)) s"
report_skipped
if [ ${#warnings[@]} -gt 0 ]; then
  echo "Warnings (${#warnings[@]}):"
  printf '%s\n' "${warnings[@]}"
fi
if [ ${#stopped[@]} -gt 0 ]; then
  echo "Stopped (${#stopped[@]}):"
  printf '%s\n' "${stopped[@]}"
fi
if [ ${#failed[@]} -eq 0 ]; then
  rm -rf "$TILES_LOG_DIR"
else
  echo "Failed (${#failed[@]}):"
  printf '%s\n' "${failed[@]}"
  echo "Console text of the failed tiles: $TILES_LOG_DIR"
fi
if [ -n "$caught" ]; then
  # End by the signal, as the conversions did, so that the caller sees it.
  trap - "$caught"
  kill -s "$caught" $$
fi
[ ${#failed[@]} -eq 0 ] && [ ${#skipped[@]} -eq 0 ] || exit 1
exit 0
