#!/usr/bin/env bash
# The shared library exports exactly the pass-thru API and the serial
# driver, with C linkage and no decoration: the names of the Windows
# export table (tests/windows/expected_exports.txt) without their stdcall
# suffixes. The unsigned long flavour exports the same pass-thru API
# without the serial driver.
set -euo pipefail
build=${1:?build directory}
want=$(grep -v '^#' "$(dirname "$0")/../windows/expected_exports.txt" | sed 's/@.*//' | sort)

# Usage: check_exports LIBRARY-NAME EXPECTED-NAMES
check_exports() {
  local lib actual
  lib=$(find "$build/passthru" -maxdepth 1 -name "$1.so*" -type f | head -n 1)
  [ -n "$lib" ] || { echo "$1.so not found under $build/passthru"; return 1; }
  actual=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }' | sort)
  if [ "$actual" != "$2" ]; then
    echo "export table of $lib differs from the expected API:"
    diff <(echo "$2") <(echo "$actual") || true
    return 1
  fi
  echo "exports of $1: $(echo "$actual" | wc -l) functions, as expected"
}
check_exports liborvanta_passthru "$want"
# The unsigned long flavour (Linux only).
[ -z "$(find "$build/passthru" -maxdepth 1 -name 'liborvanta_passthru_lp64.so*')" ] ||
  check_exports liborvanta_passthru_lp64 "$(grep -v '^com_' <<<"$want")"
