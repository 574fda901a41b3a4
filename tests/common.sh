# shellcheck shell=bash
# Shared helpers of the test scripts (tests/e2e, tests/install,
# tests/windows); sourced, not run.
#
# begin_work makes the work directory `work` and ends it with the script:
# the script's own on_exit hook runs (given the exit status), every process
# started through remember_pid (start_sim, start_xvfb) is ended by its id,
# and the directory is removed, or kept for inspection when the script
# failed.

log() { echo "[$(date +%H:%M:%S)] $*"; }

# Ends the script with a failure line and the tail of the emulator's log.
fail() {
  echo "FAIL: $*" >&2
  if [ -s "${work:-}/sim.log" ]; then
    echo "--- orvanta-adapter-sim log (tail)" >&2
    tail -n 20 "$work/sim.log" >&2
  fi
  exit 1
}

# Runs COMMAND every tenth of a second until it succeeds, at most TENTHS
# times. Usage: retry TENTHS COMMAND...
retry() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  return 1
}

_remembered_pids=()
remember_pid() { _remembered_pids+=("$1"); }

# Usage: begin_work TAG
begin_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-$1.XXXXXX")
  trap _end_work EXIT
}

_end_work() {
  local status=$? pid
  if declare -F on_exit >/dev/null; then on_exit "$status" || true; fi
  for pid in "${_remembered_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${_remembered_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$status" -eq 0 ]; then rm -rf "$work"; else echo "--- kept for inspection: $work" >&2; fi
  exit "$status"
}

ended() { ! kill -0 "$1" 2>/dev/null; }

# Waits up to TENTHS tenths of a second for process PID to end; its exit
# code is then in WAITED_RC. Usage: wait_exit PID TENTHS
wait_exit() {
  retry "$2" ended "$1" || return 1
  WAITED_RC=0
  wait "$1" 2>/dev/null || WAITED_RC=$?
}

_sim_ready() {
  [ -s "$work/sim.ready" ] && return 0
  ended "$SIM_PID" && fail "orvanta-adapter-sim ended at start"
  return 1
}

# Starts the emulator SIM with its port links in COM_DIR and the given
# options (its log in $work/sim.log) and waits until it serves them; sets
# SIM_PID. Usage: start_sim SIM COM_DIR [options]
start_sim() {
  local sim=$1 com_dir=$2
  shift 2
  rm -f "$work/sim.ready"
  "$sim" --com-dir "$com_dir" --ready-file "$work/sim.ready" "$@" >>"$work/sim.log" 2>&1 &
  SIM_PID=$!
  remember_pid "$SIM_PID"
  retry 100 _sim_ready || fail "orvanta-adapter-sim did not come up"
}

# Ends the emulator; its exit code is then in SIM_RC.
stop_sim() {
  kill "$SIM_PID" 2>/dev/null || true
  SIM_RC=0
  wait "$SIM_PID" 2>/dev/null || SIM_RC=$?
}

# An Xvfb display of its own, as DISPLAY.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  remember_pid $!
  retry 100 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  DISPLAY=":$(head -n1 "$work/display")"
  export DISPLAY
}

# The id of the first visible window whose name matches REGEX (none: empty).
window_id() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 || true; }
has_window() { [ -n "$(window_id "$1")" ]; }
window_count() { xdotool search --onlyvisible --name "$1" 2>/dev/null | wc -l; }

# Waits up to TENTHS tenths of a second for such a window; prints its id.
# Usage: wait_window REGEX TENTHS
wait_window() { retry "$2" has_window "$1" && window_id "$1"; }

# Gives WINDOW the focus (through the window manager, when one runs).
focus() {
  xdotool windowactivate --sync "$1" 2>/dev/null || xdotool windowfocus --sync "$1" 2>/dev/null ||
    true
  sleep 0.2
}

# Confirms the message box WINDOW with Return.
answer_box() {
  focus "$1"
  xdotool key Return
}

# Saves what the screen shows of WINDOW, with its frame and any box over
# it, in FILE (skipped without ImageMagick's import).
screenshot() {
  command -v import >/dev/null || { echo "no import: screenshot $2 skipped"; return 0; }
  mkdir -p "$(dirname "$2")"
  import -window "$1" -frame -screen "$2" 2>/dev/null || import -window root "$2"
}

# The bytes of IOT.NET: length byte, SSID, length byte, password.
network_file() {
  printf "\\$(printf '%03o' ${#1})%s\\$(printf '%03o' ${#2})%s" "$1" "$2"
}
