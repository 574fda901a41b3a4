#!/usr/bin/env bash
# Drives the real provisioning dialog of the 64-bit Windows program under
# wine64 on an Xvfb display:
#   - the dialog procedure's tests (win32_dialog_tests.exe), which need a
#     display;
#   - with no adapter, the first paint shows the "Orvanta not detected" box
#     once, the SSID box then shows "ERROR", and Escape ends the program
#     without writing anything;
# then with orvanta-adapter-sim as Wine's COM7:
#   - the dialog appears with the title set at its first paint;
#   - a second start ends by itself and creates no second dialog;
#   - an SSID and a password typed into boxes 108 and 109 and "Provision"
#     pressed give the "SUCCESS" box, and "IOT.NET" (length byte, SSID,
#     length byte, password) is in the current directory and in the
#     emulated adapter's store;
#   - confirming the box ends the program.
# Screenshots of the filled-in dialog and of the success box go to
# ARTIFACT_DIR.
#
#   wine_dialog.sh WIN_BUILD_DIR SIM_PROGRAM [ARTIFACT_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
sim=$2
artifacts=${3:-$build/ci-artifacts}
# shellcheck source=wine_common.sh
source "$here/wine_common.sh"

program="$build/app/win32/OrvantaIOTProvision.exe"
[ -f "$program" ] || fail "missing $program"
title='^Quellix LLC   Orvanta-IOT Manual Provision App v1\.02$'
ssid="Harbor-Lab"
password="tide-2024-wave"

wine_begin dialog "$artifacts"

fresh_adapter_key

log "dialog procedure tests (stand-in provisioning core)"
"$WINE64" "$build/tests/windows/win32_dialog_tests.exe" --gtest_brief=1 2>&1 | tr -d '\r' ||
  fail "dialog procedure tests"

log "no adapter: the not-detected box and ERROR in the SSID box"
rm -f "$WINEPREFIX/dosdevices/com7"
start_bg "$work/no-adapter.log" "$WINE64" "$program"
program_pid=$BG_PID
box=$(wait_window '^ERROR$' 1200) || fail "no not-detected box"
dialog=$(wait_window "$title" 100) || fail "no dialog behind the box"
answer_box "$box"
sleep 1
screenshot "$dialog" "$artifacts/wine-provision-no-adapter.png"
! has_window '^ERROR$' || fail "a second box came up"
log "Escape closes the link and ends the program"
xdotool mousemove --window "$dialog" 120 8 click 1
sleep 0.3
xdotool key Escape
wait_exit "$program_pid" 600 || fail "the program did not end on Escape"
[ ! -e "$work/run/IOT.NET" ] || fail "IOT.NET written although nothing was provisioned"

start_sim_on_com7 "$sim"

log "starting the provisioning program"
start_bg "$work/program.log" "$WINE64" "$program"
program_pid=$BG_PID
dialog=$(wait_window "$title" 900) || fail "the dialog did not appear"
sleep 1  # the first paint runs discovery

log "a second start ends without a second dialog"
start_bg "$work/second.log" "$WINE64" "$program"
wait_exit "$BG_PID" 300 || fail "the second instance is still running"
[ "$(window_count "$title")" = 1 ] || fail "more than one dialog"

log "typing the network and pressing Provision"
# The second start made the first instance's hidden main window the
# foreground window; a click on the caption activates the dialog again,
# with the focus back on the button, the first tab stop.
xdotool mousemove --window "$dialog" 120 8 click 1
sleep 0.5
xdotool key Tab
xdotool type --delay 40 "$ssid"
xdotool key Tab
xdotool type --delay 40 "$password"
sleep 0.5
screenshot "$dialog" "$artifacts/wine-provision-dialog.png"
xdotool key Tab space

box=$(wait_window '^SUCCESS$' 600) || fail "no SUCCESS box"
sleep 0.5
screenshot "$box" "$artifacts/wine-provision-success.png"

expected="$work/expected.bin"
network_file "$ssid" "$password" >"$expected"
cmp "$expected" "$work/run/IOT.NET" || fail "local IOT.NET differs"
cmp "$expected" "$work/store/IOT.NET" || fail "the adapter's IOT.NET differs"
log "IOT.NET on the adapter: $(od -An -tx1 "$work/store/IOT.NET" | tr -s ' \n' ' ')"

answer_box "$box"
wait_exit "$program_pid" 300 || fail "the program did not end after the success box"
log "dialog test passed"
