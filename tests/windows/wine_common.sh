# Shared helpers of the Wine-driven checks; sourced, not run.
#
# wine_setup: a throw-away Wine prefix (unless WINEPREFIX is already set) and
# an Xvfb display (unless DISPLAY is set); both are torn down by
# wine_teardown, which the caller runs from its EXIT trap. Processes started
# here are remembered by id and ended by id.

WINE64=/usr/lib/wine/wine64
[ -x "$WINE64" ] || WINE64=$(command -v wine64 || command -v wine)
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

_wine_own_prefix=""
_wine_xvfb_pid=""
_wine_pids=()

log() { echo "[$(date +%H:%M:%S)] $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# Remembers a background process so that teardown ends it.
remember_pid() { _wine_pids+=("$1"); }

wine_setup() {
  if [ -z "${DISPLAY:-}" ]; then
    local n
    for n in 91 92 93 94 95 96 97 98 99; do
      [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      _wine_xvfb_pid=$!
      export DISPLAY=":$n"
      break
    done
    [ -n "$_wine_xvfb_pid" ] || fail "no free X display number for Xvfb"
    local i
    for i in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break
      sleep 0.1
    done
  fi
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

# The start of a Wine check: a work directory removed at exit, Wine set up,
# ARTIFACTS (when given) made, and WORK/run as the current directory; sets work.
# Usage: wine_begin TAG [ARTIFACTS]
wine_begin() {
  work=$(mktemp -d "/tmp/orvanta-wine-$1.XXXXXX")
  trap 'wine_teardown; rm -rf "$work"' EXIT
  wine_setup
  mkdir -p "$work/run" ${2:+"$2"}
  cd "$work/run"
}

wine_teardown() {
  local pid
  for pid in "${_wine_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  [ -n "$_wine_xvfb_pid" ] && kill "$_wine_xvfb_pid" 2>/dev/null || true
  [ -n "$_wine_own_prefix" ] && rm -rf "$_wine_own_prefix"
  return 0
}

# Starts orvanta-adapter-sim serving COM port PORT with its store in STORE;
# sets SIM_COM_DIR and SIM_PID. Usage: start_sim SIM WORKDIR PORT STORE [options]
start_sim() {
  local sim=$1 work=$2 port=$3 store=$4
  shift 4
  SIM_COM_DIR="$work/com"
  mkdir -p "$store"
  rm -f "$work/sim.ready"
  "$sim" --com-dir "$SIM_COM_DIR" --port "$port" --store "$store" \
    --ready-file "$work/sim.ready" "$@" >"$work/sim.log" 2>&1 &
  SIM_PID=$!
  remember_pid "$SIM_PID"
  local i
  for i in $(seq 1 100); do
    [ -s "$work/sim.ready" ] && return 0
    kill -0 "$SIM_PID" 2>/dev/null || fail "orvanta-adapter-sim ended: $(cat "$work/sim.log")"
    sleep 0.1
  done
  fail "orvanta-adapter-sim not ready"
}

# Makes Wine's COM port PORT the emulator's pseudo-terminal.
link_wine_com_port() {
  local port=$1
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$SIM_COM_DIR/com$port" "$WINEPREFIX/dosdevices/com$port"
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

# Confirms the message box BOX with Return.
answer_box() {
  xdotool windowfocus --sync "$1" 2>/dev/null || true
  xdotool key Return
}

# The bytes of IOT.NET: length byte, SSID, length byte, password.
network_file() {
  printf "\\$(printf '%03o' ${#1})%s\\$(printf '%03o' ${#2})%s" "$1" "$2"
}

stop_sim() {
  kill "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
}

# Waits up to SECONDS for a top-level window whose name matches REGEX;
# prints its id.
wait_for_window() {
  local regex=$1 seconds=$2 i id
  for i in $(seq 1 $((seconds * 5))); do
    id=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -1) || true
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  return 1
}

# Waits up to SECONDS for process PID to end; its exit code is in WAITED_RC.
wait_for_exit() {
  local pid=$1 seconds=$2 i
  for i in $(seq 1 $((seconds * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      WAITED_RC=0
      wait "$pid" || WAITED_RC=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}

screenshot() {
  local window=$1 file=$2
  mkdir -p "$(dirname "$file")"
  import -window "$window" "$file" 2>/dev/null || import -window root "$file"
}
