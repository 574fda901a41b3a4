# shellcheck shell=bash
# Shared helpers of the Wine-driven checks; sourced, not run. The general
# ones (work directory, emulator, windows, waits) are tests/common.sh's.
#
# wine_begin: a throw-away Wine prefix (unless WINEPREFIX is already set)
# and an Xvfb display (unless DISPLAY is set), both torn down at exit.

# shellcheck source=../common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

WINE64=/usr/lib/wine/wine64
[ -x "$WINE64" ] || WINE64=$(command -v wine64 || command -v wine)
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

_wine_own_prefix=""

wine_setup() {
  [ -n "${DISPLAY:-}" ] || start_xvfb
  if [ -z "${WINEPREFIX:-}" ]; then
    _wine_own_prefix=$(mktemp -d /tmp/orvanta-wine.XXXXXX)
    export WINEPREFIX="$_wine_own_prefix/prefix"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "creating Wine prefix $WINEPREFIX"
    DISPLAY= "$WINE64" wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -w
  # Keeps the server up between the many short runs; its object dump at
  # shutdown is noise.
  wineserver -p >/dev/null 2>&1 || true
  # Without a window manager Wine draws the window frames itself, so the
  # captions show in screenshots.
  "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
}

# The start of a Wine check: the work directory, Wine set up, ARTIFACTS
# (when given) made, and WORK/run as the current directory.
# Usage: wine_begin TAG [ARTIFACTS]
wine_begin() {
  begin_work "wine-$1"
  wine_setup
  mkdir -p "$work/run" ${2:+"$2"}
  cd "$work/run"
}

on_exit() {
  wineserver -k 2>/dev/null || true
  [ -z "$_wine_own_prefix" ] || rm -rf "$_wine_own_prefix"
}

# Starts orvanta-adapter-sim SIM with its store in WORK/store, its port 7
# being Wine's COM7 (a dosdevices link).
start_sim_on_com7() {
  mkdir -p "$work/store" "$WINEPREFIX/dosdevices"
  start_sim "$1" "$work/com" --port 7 --store "$work/store"
  ln -sfn "$work/com/com7" "$WINEPREFIX/dosdevices/com7"
}

# Starts COMMAND in the background with its output in LOG; sets BG_PID.
start_bg() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  BG_PID=$!
  remember_pid "$BG_PID"
}

# Only the adapter's subkey under PassThruSupport.04.04, with its Name.
fresh_adapter_key() {
  "$WINE64" reg delete 'HKLM\Software\PassThruSupport.04.04' /f >/dev/null 2>&1 || true
  "$WINE64" reg add 'HKLM\Software\PassThruSupport.04.04\Orvanta-IOT' /v Name /d Orvanta-IOT \
    /f >/dev/null
}
