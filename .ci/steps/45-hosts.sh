#!/usr/bin/env bash
# Host programs step: installs python-can, pip's build tools and Qt's
# serial-bus plugins with canbusutil, builds the simulator and both flavours
# of the library in build/default, and runs the host tests for real (a
# missing tool fails them instead of skipping):
#  - hosts_python_can: the python-can interface "orvanta" sends, receives,
#    filters, notifies and logs through the 32-bit library;
#  - e2e_hosts_lp64: a C host built from the unsigned long header, the
#    unsigned long flavour's limits, and canbusutil receiving and sending
#    11-bit and 29-bit frames through Qt's pass-thru CAN plugin.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
needed=(python3-can python3-pip python3-setuptools python3-wheel
  libqt5serialbus5-plugins libqt5serialbus5-bin binutils)
if ! dpkg -s "${needed[@]}" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${needed[@]}"
fi

build=build/default
[ -f "$build/CMakeCache.txt" ] || cmake --preset default
cmake --build "$build" -j2 --target orvanta-adapter-sim orvanta_passthru orvanta_passthru_lp64 \
  can_monitor_lp64 lp64_limits
ORVANTA_HOSTS_REQUIRED=1 ctest --test-dir "$build" -R '^(hosts_python_can|e2e_hosts_lp64)$' \
  --output-on-failure --no-tests=error
