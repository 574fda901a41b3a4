#!/usr/bin/env bash
# The bus frames in Wireshark's tshark: VIN sessions of vin_reader against
# orvanta-adapter-sim with the debug trace on,
#  - recorded by `orvanta-adapter trace --pcap`: tshark, with the decode-as
#    settings of the README, reassembles the ISO 15765 answer and shows the
#    OBD-II request and the VIN (09 02), and the UDS request and answer
#    (22 F1 90) with the VIN's bytes; the packets carry their direction;
#  - captured live through the extcap interface orvanta-trace
#    (`tshark -i`): the same frames. Needs orvanta-extcap, as built, in
#    Wireshark's extcap folder (the README's install step).
# Without tshark, or without the installed extcap program for the live
# part, the check is skipped (exit 77); ORVANTA_WIRESHARK_REQUIRED=1 makes
# that a failure.
set -euo pipefail
build=${1:?build directory}
sim=$build/emulator/orvanta-adapter-sim
tool=$build/app/orvanta-adapter
extcap=$build/app/orvanta-extcap
vin=$build/examples/vin_reader
required=${ORVANTA_WIRESHARK_REQUIRED:-0}
skip() {
  [ "$required" = 1 ] && { echo "FAIL: wireshark: $*" >&2; exit 1; }
  echo "SKIP: wireshark: $*"
  exit 77
}
for f in "$sim" "$tool" "$extcap" "$vin"; do [ -x "$f" ] || skip "$f is not built"; done
command -v tshark >/dev/null || skip "no tshark (apt-get install tshark)"

# shellcheck source=../common.sh
source "$(dirname "$0")/../common.sh"
begin_work wireshark
export ORVANTA_COM_DIR=$work/com ORVANTA_REGISTRY=$work/registry.ini
printf '[Orvanta]\nName=Orvanta-IOT\nDebug=\n' >"$ORVANTA_REGISTRY"
start_sim "$sim" "$ORVANTA_COM_DIR" --port 7
decode=(-d 'can.subdissector,iso15765' -d 'iso15765.subdissector,obd-ii')
decode_uds=(-d 'can.subdissector,iso15765' -d 'iso15765.subdissector,uds')
vin_text=1ORV4NTA0SIM12345
vin_hex=314f5256344e54413053494d3132333435

# Runs vin_reader with ARGS into $out, again (up to five times) when it
# found no adapter: discovery gives the version answer 200 ms, which a loaded
# machine can miss.
read_vin() {
  for _ in 1 2 3 4 5; do
    if out=$("$vin" COM7 "$@" 2>&1); then
      grep -q "VIN: $vin_text" <<<"$out" || fail "vin_reader $*: $out"
      return 0
    fi
    grep -q PassThruOpen <<<"$out" || fail "vin_reader $*: $out"
    sleep 2
  done
  fail "vin_reader $*: $out"
}

# Port 8609 is one for the whole machine: a listener of another program
# (another test run) makes ours fail at its start, which is tried again.
busy() { grep -q 'cannot listen on TCP port 8609' "$1" 2>/dev/null; }

# Records sessions with trace --pcap FILE; prints nothing.
record() { # file args...
  local file=$1 pid
  shift
  for _ in $(seq 30); do
    "$tool" trace --pcap "$file" >"$work/trace.out" 2>"$work/trace.err" &
    pid=$!
    remember_pid "$pid"
    retry 100 grep -q Listening "$work/trace.err" 2>/dev/null && break
    wait_exit "$pid" 50 || fail "trace neither listens nor ends: $(cat "$work/trace.err")"
    busy "$work/trace.err" || fail "trace: $(cat "$work/trace.err")"
    sleep 1
  done
  grep -q Listening "$work/trace.err" || fail "port 8609 stayed taken: $(cat "$work/trace.err")"
  read_vin "$@"
  sleep 0.3
  kill -INT "$pid"
  wait_exit "$pid" 50 || fail "trace did not stop"
  [ "$WAITED_RC" = 0 ] || fail "trace ended with $WAITED_RC: $(cat "$work/trace.err")"
}

tshark_q() { tshark "$@" 2>/dev/null; }

# The OBD-II session: request 09 02 on 0x7E0, a three-frame answer on 0x7E8.
check_obd() { # file
  local text
  text=$(tshark_q -r "$1" "${decode[@]}" -V)
  grep -q 'Reassembled length: 20' <<<"$text" || fail "no ISO 15765 reassembly in $1: $text"
  grep -q "VIN: $vin_text" <<<"$text" || fail "no decoded VIN in $1: $text"
  grep -q 'Mode: Request vehicle information (0x09)' <<<"$text" || fail "no OBD-II mode in $1"
  # The request: a single frame 09 02 sent to 0x7E0, outbound.
  text=$(tshark_q -r "$1" "${decode[@]}" -T fields -e frame.number -e can.id -e frame.p2p_dir \
    -e iso15765.message_type -e data.data)
  grep -qP '^1\t2016\t0\t0x00\t0902$' <<<"$text" || fail "request 09 02 not first, outbound: $text"
  [ "$(grep -cP '\t2024\t1\t' <<<"$text")" = 3 ] || fail "not three inbound answers: $text"
}

# The UDS session: ReadDataByIdentifier F190 and its answer with the VIN.
check_uds() { # file
  local text
  text=$(tshark_q -r "$1" "${decode_uds[@]}" -T fields -e uds.sid -e uds.reply -e uds.rdbi.data_identifier \
    -e uds.rdbi.data_record -Y uds)
  grep -qP '^0x22\t0x00\t0xf190\t$' <<<"$text" || fail "no UDS request 22 F1 90 in $1: $text"
  grep -qP "^0x22\t0x01\t0xf190\t$vin_hex\$" <<<"$text" || fail "no UDS answer with the VIN in $1: $text"
}

record "$work/obd.pcapng"
check_obd "$work/obd.pcapng"
record "$work/uds.pcapng" --uds
check_uds "$work/uds.pcapng"
log "trace --pcap: OBD-II and UDS sessions decoded by tshark"

installed=$(tshark -D 2>/dev/null | grep -c 'orvanta-trace' || true)
[ "$installed" != 0 ] || skip "live part: orvanta-trace is not in tshark -D (install orvanta-extcap, see README)"
folder=$(dirname "$(command -v tshark)")/../lib/$(gcc -dumpmachine 2>/dev/null || echo x86_64-linux-gnu)/wireshark/extcap
if [ -e "$folder/orvanta-extcap" ] && ! cmp -s "$folder/orvanta-extcap" "$extcap"; then
  skip "live part: the installed $folder/orvanta-extcap is not the one built"
fi
# The extcap program listens once tshark has started it; an empty
# connection (no frame) tells when.
address=$(sed -n 's/.* on \([0-9.]*\):8609.*/\1/p' "$work/trace.err")
listening() { bash -c "exec 3<>/dev/tcp/$address/8609" 2>/dev/null; }
for _ in $(seq 30); do
  tshark -i orvanta-trace -a duration:12 -w "$work/live.pcapng" >"$work/tshark.out" \
    2>"$work/tshark.err" &
  tshark_pid=$!
  remember_pid "$tshark_pid"
  started() { grep -q 'Capture started' "$work/tshark.err" || ended "$tshark_pid"; }
  retry 100 started || fail "tshark -i: $(cat "$work/tshark.err")"
  if ! ended "$tshark_pid"; then
    retry 100 listening || fail "orvanta-trace does not listen"
    sleep 0.5
    if ! ended "$tshark_pid" && ! busy "$work/tshark.err"; then break; fi
  fi
  wait_exit "$tshark_pid" 50 || fail "tshark -i did not end"
  busy "$work/tshark.err" || fail "tshark -i: $(cat "$work/tshark.err")"
  sleep 1
done
read_vin --uds
wait_exit "$tshark_pid" 200 || fail "tshark -i did not end"
[ "$WAITED_RC" = 0 ] || fail "tshark -i ended with $WAITED_RC: $(cat "$work/tshark.err")"
check_uds "$work/live.pcapng"
log "tshark -i orvanta-trace: the UDS session live"
echo "wireshark: --pcap and the extcap interface passed"
