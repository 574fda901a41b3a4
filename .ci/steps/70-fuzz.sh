#!/usr/bin/env bash
# Fuzzing step: builds the libFuzzer targets with clang (address and
# undefined-behaviour sanitizers) in build/fuzz, replays each target's seed
# corpus (which holds the inputs of every fault found so far), then fuzzes
# each target for a bounded time. Any crash, sanitizer report, broken
# invariant or timeout fails the step; the input that caused it is left in
# build/fuzz/findings/<target>/.
#
# FUZZ_SECONDS overrides the time per target (default 30, which keeps the
# whole CI run within its hour; longer runs by hand find more).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${FUZZ_SECONDS:-30}
build=build/fuzz
targets=(receive transmit services)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DORV_BUILD_FUZZ=ON -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
  exe=$build/fuzz/fuzz_$t
  findings=$build/findings/$t
  work=$(mktemp -d)
  rm -rf "$findings"
  mkdir -p "$findings"
  echo "-- fuzz_$t: seed corpus"
  "$exe" -runs=0 fuzz/corpus/"$t"
  echo "-- fuzz_$t: ${seconds} s"
  # New inputs go to a scratch directory; the corpus in the tree stays as it is.
  if ! "$exe" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$work" fuzz/corpus/"$t" 2>"$findings/log.txt"; then
    tail -n 60 "$findings/log.txt" >&2
    echo "FAIL: fuzz_$t found a fault; the input is in $findings" >&2
    rm -rf "$work"
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
    "$findings/log.txt" || true
  rm -rf "$work"
done
echo "fuzzing passed"
