#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each in turn
# (one process at a time) for SECONDS seconds.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
#     targets: fuzz_conversion (Pelmora) fuzz_convert (pelmora-convert) fuzz_check_las
# Seeds come from our generator (build-fuzz/fuzz/corpus); what a run learns is
# kept in build-fuzz/fuzz/work-TARGET for the next run; an input that finds a
# fault is written to build-fuzz/fuzz/findings/TARGET/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_conversion fuzz_convert fuzz_check_las)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPELMORA_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}" fuzz_corpus >/dev/null

dir=build-fuzz/fuzz
status=0
for target in "${targets[@]}"; do
  mkdir -p "$dir/work-$target" "$dir/findings/$target"
  echo "== $target: ${seconds} s"
  "$dir/$target" -max_total_time="$seconds" -max_len=4096 -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$target/" "$dir/work-$target" "$dir/corpus" \
    >"$dir/$target.log" 2>&1 || status=1
  grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb" "$dir/$target.log" || true
  if [ $status -ne 0 ]; then
    echo "$target found a fault; see $dir/$target.log and $dir/findings/$target/"
    tail -40 "$dir/$target.log"
    exit 1
  fi
done
