#!/usr/bin/env bash
# Integration test of the 64-bit Windows build under wine64 against
# orvanta-adapter-sim, whose pseudo-terminal is Wine's COM7 (a
# dosdevices/com7 link). The host program orvanta-wine-host loads
# orvanta_passthru.dll and checks:
#   - the registration files import into the native and the WOW6432Node
#     views of the registry;
#   - the serial driver on \\.\COM7: line settings, a version request and
#     its answer, receive count, break, purge;
#   - discovery (ports 1000 down to 7) and a file written to the adapter's
#     store, with the registry value "Debug" set: the debug trace arrives on
#     TCP port 8609.
# (The "not detected" box is shown in wine_dialog.sh; SuppressPopups is read
# by the Win32 backend's tests and acts in the unit tests.)
#
#   wine_integration.sh WIN_BUILD_DIR SIM_PROGRAM [ARTIFACT_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
sim=$2
artifacts=${3:-$build/ci-artifacts}
# shellcheck source=wine_common.sh
source "$here/wine_common.sh"

host="$build/tests/windows/orvanta-wine-host.exe"
[ -f "$host" ] || fail "missing $host"
[ -x "$sim" ] || fail "missing $sim"

wine_begin it "$artifacts"

start_sim_on_com7 "$sim"

key='HKLM\Software\PassThruSupport.04.04\Orvanta-IOT'
log "registration files: the native and the 32-bit (WOW6432Node) view"
root=$(cd "$here/../.." && pwd)
for file in orvanta-iot-x86.reg orvanta-iot-wow64.reg; do
  "$WINE64" regedit /S "$("$WINE64" winepath -w "$root/packaging/windows/$file")" ||
    fail "regedit could not import $file"
done
"$WINE64" reg query "$key" /v FunctionLibrary | tr -d '\r' |
  grep -qF 'C:\Program Files\Orvanta\orvanta_passthru.dll' || fail "native view not registered"
"$WINE64" reg query "$key" /v FunctionLibrary /reg:32 | tr -d '\r' |
  grep -qF 'C:\Program Files (x86)\Orvanta\orvanta_passthru.dll' || fail "WOW6432Node view not registered"
"$WINE64" reg query "$key" /v Name /reg:32 | tr -d '\r' | grep -q 'REG_SZ *Orvanta-IOT$' ||
  fail "32-bit view lacks the Name"

fresh_adapter_key
"$WINE64" reg add "$key" /v Debug /d "" /f >/dev/null

python3 "$here/trace_listener.py" 8609 "$work/trace.txt" "$work/trace.ready" &
remember_pid $!
retry 50 test -s "$work/trace.ready" || fail "trace listener not ready"

run_host() {
  "$WINE64" "$host" "$@" 2>&1 | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

log "serial driver on COM7"
run_host serial 7 | tee "$work/serial.txt" || fail "serial driver checks"

log "discovery and a file written to the adapter (trace on)"
text="written from Wine"
run_host write-file IOT.NET "$text" | tee "$work/write.txt" || fail "write-file"
grep -qx 'device 7' "$work/write.txt" || fail "device ID is not 7"
[ "$(cat "$work/store/IOT.NET")" = "$text" ] || fail "the adapter's IOT.NET differs"
sleep 0.5  # let the listener write what arrived
tr -d '\r' <"$work/trace.txt" >"$work/trace-lines.txt"
cp "$work/trace-lines.txt" "$artifacts/wine-debug-trace.txt"
for pattern in '^D 7 [0-9]+ Looking for Orvanta on COM7 port$' \
               '^A 7 [0-9]+ PassThruOpen$' \
               '^A 7 [0-9]+ PassThruWriteFile\(IOT\.NET, IOT\.NET, 0\)$' \
               '^C 7 [0-9]+ 00 00 F0 02 00 0D \(00000000\)$'; do
  grep -Eq "$pattern" "$work/trace-lines.txt" || fail "trace lacks a line matching $pattern"
done
grep -q $'\r$' "$work/trace.txt" || fail "trace lines do not end in CR LF"
log "trace: $(wc -l <"$work/trace-lines.txt") lines"

log "Wine integration test passed"
