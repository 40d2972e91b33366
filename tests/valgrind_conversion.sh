#!/usr/bin/env bash
# Resource use of a small conversion under valgrind: no memory errors, no
# leaks, nothing left allocated at exit but the three coordinate vectors
# (which live until the process ends), and no file descriptor left open
# other than those inherited from the caller.
#   valgrind_conversion.sh VALGRIND LASGEN PELMORA
set -euo pipefail
valgrind=$1 lasgen=$2 pelmora=$3
dir=$(mktemp -d /tmp/pelmora-valgrind-XXXXXX)
trap 'rm -rf "$dir"' EXIT

check() {  # check NAME LASGEN-OPTIONS...
  local name=$1
  shift
  "$lasgen" "$@" "$dir/$name.las"
  local status=0
  "$valgrind" --leak-check=full --errors-for-leak-kinds=definite,indirect,possible --track-fds=yes \
    --error-exitcode=99 --log-file="$dir/$name.log" "$pelmora" "$dir/$name.las" >"$dir/$name.out" || status=$?
  if [ $status -ne 0 ]; then
    echo "$name: status $status"; cat "$dir/$name.out" "$dir/$name.log"; exit 1
  fi
  # The coordinate vectors: 3 blocks of 1,000,000 doubles, each rounded up
  # to whole 2 MiB huge pages (8,388,608 bytes).
  if ! grep -q "in use at exit: 25,165,824 bytes in 3 blocks" "$dir/$name.log"; then
    echo "$name: more than the coordinate vectors left at exit"; cat "$dir/$name.log"; exit 1
  fi
  # Every descriptor valgrind lists must have come from the caller.
  local leaked
  leaked=$(awk '/Open file descriptor/ { fd = $0; getline; if ($0 !~ /inherited from parent/) print fd }' \
    "$dir/$name.log")
  if [ -n "$leaked" ]; then
    echo "$name: file descriptors left open:"; echo "$leaked"; cat "$dir/$name.log"; exit 1
  fi
  echo "$name: clean ($(grep -o 'total heap usage.*' "$dir/$name.log"))"
}

check format3_edge --format 3 --points 3000 --values edge --vlrs 2 --header-size 240
check las10_format0 --version 1.0 --format 0 --points 2500 --box small
check no_points --format 1 --points 0
