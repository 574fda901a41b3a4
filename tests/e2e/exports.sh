#!/usr/bin/env bash
# The shared library exports exactly the pass-thru API and the serial
# driver, with C linkage and no decoration.
set -euo pipefail
build=${1:?build directory}
lib=$(find "$build/passthru" -maxdepth 1 -name 'liborvanta_passthru.so*' -type f | head -n 1)
[ -n "$lib" ] || { echo "liborvanta_passthru.so not found under $build/passthru"; exit 1; }

expected="PassThruClose PassThruConnect PassThruDeleteFile PassThruDisconnect PassThruGetLastError
PassThruGetPointer PassThruIoctl PassThruOpen PassThruReadDir PassThruReadFile PassThruReadMem
PassThruReadMsgs PassThruReadRTC PassThruReadVersion PassThruResumePeriodic PassThruSecurity
PassThruSetProgrammingVoltage PassThruStartMsgFilter PassThruStartPeriodicMsg PassThruStopMsgFilter
PassThruStopPeriodicMsg PassThruSuspendPeriodic PassThruUpdateFirmware PassThruUpdatePeriodicMsg
PassThruWriteFile PassThruWriteMem PassThruWriteMsgs PassThruWriteRTC VerifyORVXBuild
com_close com_ioctl com_open com_read com_rx_count com_set_dtr com_set_rts com_set_timeout com_write"

actual=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }' | sort)
want=$(printf '%s\n' $expected | sort)
if [ "$actual" != "$want" ]; then
  echo "export table of $lib differs from the expected API:"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) functions, as expected"

# The unsigned long flavour (Linux): the same pass-thru API, no serial driver.
lp64=$(find "$build/passthru" -maxdepth 1 -name 'liborvanta_passthru_lp64.so*' -type f | head -n 1)
[ -n "$lp64" ] || exit 0
actual=$(nm -D --defined-only "$lp64" | awk '$2 == "T" { print $3 }' | sort)
if [ "$actual" != "$(grep -v '^com_' <<<"$want")" ]; then
  echo "export table of $lp64 differs from the pass-thru API:"
  diff <(grep -v '^com_' <<<"$want") <(echo "$actual") || true
  exit 1
fi
echo "exports (lp64): $(echo "$actual" | wc -l) functions, as expected"
