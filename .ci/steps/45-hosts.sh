#!/usr/bin/env bash
# Host programs step: installs python-can, pip's build tools and Qt's
# serial-bus plugins with canbusutil, builds the simulator and both flavours
# of the library in build/default, and runs the host tests for real (a
# missing tool fails them instead of skipping):
#  - hosts_python_can: the python-can interface "orvanta" sends, receives,
#    filters, notifies and logs through the 32-bit library;
#  - e2e_hosts_lp64: a C host built from the unsigned long header, the
#    unsigned long flavour's limits, and Qt's pass-thru CAN plugin
#    receiving (canbusutil -l) and sending (qt_can_send) 11-bit and 29-bit
#    frames.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
# libqt5serialbus5-dev builds qt_can_send, which sends through Qt's plugin
# (canbusutil writes before that plugin has connected, so only listens).
needed=(python3-can python3-pip python3-setuptools python3-wheel
  libqt5serialbus5-plugins libqt5serialbus5-bin libqt5serialbus5-dev binutils)
if ! dpkg -s "${needed[@]}" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${needed[@]}"
fi

build=build/default
cmake --preset default  # again: Qt's development files may be new
cmake --build "$build" -j2 --target orvanta-adapter-sim orvanta_passthru orvanta_passthru_lp64 \
  can_monitor_lp64 lp64_limits qt_can_send
ORVANTA_HOSTS_REQUIRED=1 ctest --test-dir "$build" -R '^(hosts_python_can|e2e_hosts_lp64)$' \
  --output-on-failure --no-tests=error
