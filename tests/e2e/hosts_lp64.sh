#!/usr/bin/env bash
# Host programs of the unsigned long flavour against orvanta-adapter-sim
# with 11-bit and 29-bit bus traffic on COM7:
#  - can_monitor_lp64 (built from the ORVANTA_J2534_LP64 header) receives
#    both, and its frames reach the simulated bus;
#  - lp64_limits: values beyond 32 bits refused, lists of many records;
#  - Qt's pass-thru CAN plugin: canbusutil -l shows the frames; sending
#    goes through qt_can_send, as canbusutil writes before that plugin has
#    connected (it connects on a thread of its own) and so never sends.
# A missing canbusutil or qt_can_send skips the Qt part (fails with
# ORVANTA_HOSTS_REQUIRED=1).
set -euo pipefail
build=${1:?build directory}
sim=$build/emulator/orvanta-adapter-sim
lib=$build/passthru/liborvanta_passthru_lp64.so
monitor=$build/examples/can_monitor_lp64
limits=$build/tests/lp64_limits
for f in "$sim" "$lib" "$monitor" "$limits"; do
  [ -e "$f" ] || { echo "SKIP: hosts_lp64: $f is not built"; exit 0; }
done

# shellcheck source=../common.sh
source "$(dirname "$0")/../common.sh"
begin_work hosts
export ORVANTA_COM_DIR=$work/com
start_sim "$sim" "$ORVANTA_COM_DIR" --port 7 --log \
  --bus-traffic 10:07E8064100BE1FA813:20 --bus-traffic 10:18DAF110024100:20:x

# Runs a host program into $out, again (up to five times) when it found no
# adapter: discovery gives the version answer 200 ms, which a loaded machine
# can miss.
run_host() {
  for _ in 1 2 3 4 5; do
    if out=$("$@" 2>&1); then return 0; fi
    grep -q "not detected" <<<"$out" || return 1
    sleep 2
  done
  return 1
}

# Both directions, both identifier lengths.
expect_traffic() { # name output
  grep -q '7E8.*06 *41 *00 *BE *1F *A8 *13' <<<"$2" || fail "$1 shows no 11-bit frame: $2"
  grep -q '18DAF110.*02 *41 *00' <<<"$2" || fail "$1 shows no 29-bit frame: $2"
}
expect_sent() { # name
  grep -q '^IN .* 07 E0 02 01$' "$work/sim.log" || fail "$1: 7E0#0201 not on the bus"
  grep -q '^IN .* 18 DA 10 F1 02 09$' "$work/sim.log" || fail "$1: 18DA10F1#0209 not on the bus"
  : >"$work/sim.log"
}

run_host "$monitor" COM7 500 7E0#0201 18DA10F1#0209 || fail "can_monitor_lp64: $out"
expect_traffic can_monitor_lp64 "$out"
grep -q '^VBATT [1-9][0-9]*$' <<<"$out" || fail "can_monitor_lp64 read no battery voltage: $out"
expect_sent can_monitor_lp64
run_host "$limits" || fail "lp64_limits: $out"

export QT_QPA_PLATFORM=offscreen
canbusutil=$(command -v canbusutil || echo /usr/lib/qt5/bin/canbusutil)
plugins=$("$canbusutil" --list-plugins 2>/dev/null || true)
# (nm first: grep -q would end the pipe early, and pipefail would take that as a miss)
if grep -q __asan_ <<<"$(nm -D --undefined-only "$lib")"; then
  echo "SKIP: hosts_lp64: Qt part (a sanitizer build cannot be loaded by canbusutil)"
  exit 0
fi
if ! grep -qx passthrucan <<<"$plugins" || [ ! -x "$build/examples/qt_can_send" ]; then
  [ "${ORVANTA_HOSTS_REQUIRED:-0}" = 1 ] && fail "canbusutil, Qt's passthrucan plugin or qt_can_send is missing"
  echo "SKIP: hosts_lp64: Qt part (needs libqt5serialbus5-bin, -plugins and -dev)"
  exit 0
fi
listen() { # canbusutil -l ends by the signal, so it is judged by its output
  local o
  o=$(timeout -k 2 -s INT 3 "$canbusutil" -l -b 500000 passthrucan "$lib%COM7" 2>&1) || true
  echo "$o"
  grep -q 7E8 <<<"$o"
}
run_host listen || true
expect_traffic "canbusutil -l" "$out"
run_host timeout 20 "$build/examples/qt_can_send" passthrucan "$lib%COM7" 7E0#0201 18DA10F1#0209 ||
  fail "qt_can_send: $out"
expect_sent "Qt's passthrucan plugin"
echo "hosts_lp64: can_monitor_lp64, lp64_limits, canbusutil and qt_can_send passed"
