#!/usr/bin/env bash
# Chaos soak step: builds chaos_soak and the simulator in build/default and
# runs the soak for 60 s, then builds both with the thread sanitizer (preset
# tsan, build/tsan) and runs it once for 30 s. Host threads share one
# adapter link while the simulator's control socket injects stalls,
# replugs, split and delayed answers and a slow line; any violated
# invariant or data race fails the step. Each run prints its seed first:
# `chaos_soak --seed S` repeats its faults (docs/RELIABILITY.md). CI uses
# fixed seeds, so that a red run can be repeated as it was; longer runs with
# fresh seeds are for the reliability notes.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
if ! dpkg -s clang libclang-rt-14-dev gdb >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev gdb >/dev/null
fi

# Both runs run even when the first fails; either failing fails the step.
status=0
cmake --preset default >/dev/null
cmake --build build/default -j2 --target chaos_soak orvanta-adapter-sim
build/default/bench/soak/chaos_soak --seconds 60 --seed 1 || status=1

cmake --preset tsan >/dev/null
cmake --build --preset tsan --target chaos_soak orvanta-adapter-sim
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/bench/soak/chaos_soak --seconds 30 --seed 7 ||
  status=1
[ "$status" -eq 0 ] && echo "chaos soak passed"
exit "$status"
