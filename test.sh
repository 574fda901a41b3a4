#!/usr/bin/env bash
# The project's tests: installs the test prerequisites it lacks (apt-get, as
# root or through sudo; scripts/prereqs.sh), then configures, builds and runs
# the unit, integration and end-to-end tests (CMake workflow preset
# "default", in build/default), and says why any skipped test did not run.
#
# Usage: ./test.sh
# Exit codes: that of the CMake workflow (0 when every test passed), 69 when
# prerequisites are missing and cannot be installed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$root"

# shellcheck source=scripts/prereqs.sh
. "$root/scripts/prereqs.sh"
orv_require_packages test cmake make g++ libgtest-dev libcli11-dev nlohmann-json3-dev python3-can

# CTest names the skipped tests; their reasons are in its log.
log=build/default/Testing/Temporary/LastTest.log
rm -f "$log"
status=0
cmake --workflow --preset default || status=$?
if [[ -f $log ]]; then
  { grep -A1 -E ': Skipped$' "$log" | grep -v -E '^--$|: Skipped$'; grep '^SKIP: ' "$log"; } |
    sort -u | sed 's/^/Skipped because: /' || true
fi
exit "$status"
