#!/usr/bin/env bash
# Host programs of the unsigned long flavour against orvanta-adapter-sim
# with 11-bit and 29-bit bus traffic on COM7:
#  - can_monitor_lp64 (built from the ORVANTA_J2534_LP64 header) receives
#    both, and its frames reach the simulated bus;
#  - lp64_limits: values beyond 32 bits refused, chunked record counts;
#  - Qt's pass-thru CAN plugin through canbusutil: listening shows the
#    frames, sending puts 11-bit and 29-bit frames on the bus.
# A missing canbusutil skips the Qt part (fails with ORVANTA_HOSTS_REQUIRED=1).
set -euo pipefail
build=${1:?build directory}
sim=$build/emulator/orvanta-adapter-sim
lib=$build/passthru/liborvanta_passthru_lp64.so
monitor=$build/examples/can_monitor_lp64
limits=$build/tests/lp64_limits
for f in "$sim" "$lib" "$monitor" "$limits"; do
  [ -e "$f" ] || { echo "SKIP: hosts_lp64: $f is not built"; exit 0; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-hosts.XXXXXX")
sim_pid=""
cleanup() {
  [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  echo "--- simulator log (tail)" >&2
  tail -n 20 "$work/sim.log" >&2
  exit 1
}

export ORVANTA_COM_DIR=$work/com
"$sim" --com-dir "$ORVANTA_COM_DIR" --ready-file "$work/ready" --port 7 --log \
  --bus-traffic 10:07E8064100BE1FA813:20 --bus-traffic 10:18DAF110024100:20:x 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 100); do [ -f "$work/ready" ] && break; sleep 0.05; done
[ -f "$work/ready" ] || fail "the simulator did not start"

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

out=$("$monitor" COM7 500 7E0#0201 18DA10F1#0209) || fail "can_monitor_lp64: $out"
expect_traffic can_monitor_lp64 "$out"
grep -q '^VBATT [1-9][0-9]*$' <<<"$out" || fail "can_monitor_lp64 read no battery voltage: $out"
expect_sent can_monitor_lp64
"$limits" || fail "lp64_limits"

export QT_QPA_PLATFORM=offscreen
canbusutil=$(command -v canbusutil || echo /usr/lib/qt5/bin/canbusutil)
plugins=$("$canbusutil" --list-plugins 2>/dev/null || true)
if nm -D --undefined-only "$lib" | grep -q __asan_; then
  echo "SKIP: hosts_lp64: Qt part (a sanitizer build cannot be loaded by canbusutil)"
  exit 0
fi
if ! grep -qx passthrucan <<<"$plugins"; then
  [ "${ORVANTA_HOSTS_REQUIRED:-0}" = 1 ] && fail "canbusutil or Qt's passthrucan plugin is missing"
  echo "SKIP: hosts_lp64: Qt part (install libqt5serialbus5-bin and libqt5serialbus5-plugins)"
  exit 0
fi
out=$(timeout -s INT 3 "$canbusutil" -l -b 500000 passthrucan "$lib%COM7" 2>&1) || true
expect_traffic "canbusutil -l" "$out"
for frame in 7E0#0201 18DA10F1#0209; do
  timeout 10 "$canbusutil" -b 500000 passthrucan "$lib%COM7" "$frame" >"$work/qt.log" 2>&1 ||
    fail "canbusutil sending $frame: $(cat "$work/qt.log")"
done
expect_sent canbusutil
echo "hosts_lp64: can_monitor_lp64, lp64_limits and canbusutil passed"
