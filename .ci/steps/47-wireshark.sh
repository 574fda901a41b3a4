#!/usr/bin/env bash
# Wireshark step: installs Debian's tshark (without the capture group
# question), builds the adapter tool, its extcap program, the simulator and
# vin_reader in build/default, installs orvanta-extcap into Wireshark's
# extcap folder as the README shows, and runs the tshark checks for real
# (a missing tool fails them instead of skipping): VIN sessions recorded
# with `orvanta-adapter trace --pcap` and decoded by tshark, and captured
# live through the extcap interface with `tshark -i orvanta-trace`.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
if ! dpkg -s tshark >/dev/null 2>&1; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends tshark
fi

build=build/default
cmake --preset default
cmake --build "$build" -j2 --target orvanta-adapter orvanta-extcap orvanta-adapter-sim vin_reader
extcap_dir=/usr/lib/$(gcc -dumpmachine)/wireshark/extcap
install -m 755 "$build/app/orvanta-extcap" "$extcap_dir/"
tshark -D 2>/dev/null | grep orvanta-trace
ORVANTA_WIRESHARK_REQUIRED=1 ctest --test-dir "$build" -R '^e2e_wireshark$' \
  --output-on-failure --no-tests=error
