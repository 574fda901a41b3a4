#!/usr/bin/env bash
# Provisions an emulated Orvanta-IOT adapter with a wireless network, end
# to end and without hardware:
#   0. installs the build prerequisites it lacks (apt-get, as root or through
#      sudo; scripts/prereqs.sh),
#   1. builds orvanta-provision and orvanta-adapter-sim (CMake preset "default"),
#   2. starts the emulated adapter on a pseudo-terminal, reachable as COM7
#      through a temporary COM directory, with a temporary file store,
#   3. runs orvanta-provision with the SSID and password,
#   4. shows the bytes of IOT.NET as the emulated adapter stored them,
#   5. stops the emulator and removes the temporary files.
#
# Usage: ./demo.sh [SSID [PASSWORD]]   (default: a sample network)
# Exit codes: those of orvanta-provision, 69 when prerequisites are missing
# and cannot be installed, 1 when the emulator does not start.
set -euo pipefail

ssid=${1:-DemoNetwork}
password=${2:-correct-horse-42}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$root/build/default

# shellcheck source=scripts/prereqs.sh
. "$root/scripts/prereqs.sh"
# The default preset also configures the tests, hence GoogleTest.
orv_require_packages demo cmake make g++ libgtest-dev

echo "== Building orvanta-provision and orvanta-adapter-sim"
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default --target orvanta-provision orvanta-adapter-sim >/dev/null

tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-demo.XXXXXX")
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/work"

echo "== Starting the emulated adapter on COM7 ($tmp/com/com7 -> pseudo-terminal)"
"$build/emulator/orvanta-adapter-sim" --com-dir "$tmp/com" --port 7 --store "$tmp/store" \
  --ready-file "$tmp/ready" 2>"$tmp/sim.log" &
sim_pid=$!
for _ in $(seq 200); do
  [[ -e $tmp/ready ]] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$tmp/sim.log" >&2
    echo "demo: the emulator did not start" >&2
    exit 1
  fi
  sleep 0.1
done
[[ -e $tmp/ready ]] || { echo "demo: the emulator did not get ready" >&2; exit 1; }

echo "== Provisioning network \"$ssid\""
status=0
(
  cd "$tmp/work"
  printf '%s\n' "$password" |
    ORVANTA_COM_DIR="$tmp/com" ORVANTA_REGISTRY="$tmp/no-registry.ini" \
      "$build/app/orvanta-provision" --ssid "$ssid" --password-stdin
) || status=$?
if [[ $status -ne 0 ]]; then
  echo "demo: orvanta-provision exited with $status" >&2
  exit "$status"
fi

echo "== IOT.NET as the emulated adapter stored it"
echo "   (length byte, SSID bytes, length byte, password bytes)"
od -A d -t x1z -v "$tmp/store/IOT.NET"
