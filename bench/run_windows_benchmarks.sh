#!/usr/bin/env bash
# The Windows figures: orvanta-win-bench (bench/win_bench.cpp) of the
# mingw-x86_64 build runs under wine64 against orvanta-adapter-sim on COM7
# (--answer-latency 0), and its rows, each against its goal, replace the
# "Windows x86_64" rows of docs/PERFORMANCE.md (bench/run_benchmarks.sh calls
# this after writing the Linux figures). Exits 1 when a goal is missed.
# --smoke runs each part briefly and only checks that the harness works
# (the Windows CI step); docs/PERFORMANCE.md is left alone.
#
# Usage: bench/run_windows_benchmarks.sh [--smoke] WIN_BUILD_DIR SIM_PROGRAM
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
smoke=""
if [ "${1:-}" = --smoke ]; then
  smoke=--smoke
  shift
fi
build=$(cd "${1:?usage: $0 [--smoke] WIN_BUILD_DIR SIM_PROGRAM}" && pwd)
sim=$(realpath "${2:?usage: $0 [--smoke] WIN_BUILD_DIR SIM_PROGRAM}")
out=$root/docs/PERFORMANCE.md
# shellcheck source=../tests/windows/wine_common.sh
source "$root/tests/windows/wine_common.sh"

cmake --build "$build" -j2 --target orvanta-win-bench >/dev/null
harness="$build/tests/windows/orvanta-win-bench.exe"
wine_begin bench
mkdir -p "$work/store" "$WINEPREFIX/dosdevices"
start_sim "$sim" "$work/com" --port 7 --store "$work/store" --answer-latency 0
ln -sfn "$work/com/com7" "$WINEPREFIX/dosdevices/com7"
"$WINE64" "$harness" $smoke | tr -d '\r' >"$work/figures.json" ||
  fail "orvanta-win-bench: $(cat "$work/figures.json")"
stop_sim
log "Windows figures: $(cat "$work/figures.json")"
[ -z "$smoke" ] || exit 0

python3 - "$work/figures.json" "$out" "$(date -u '+%Y-%m-%d %H:%M UTC')" \
  "$("$WINE64" --version 2>/dev/null | cut -d' ' -f1 || echo wine)" <<'EOF'
import json
import sys

figures_path, out_path, date, wine = sys.argv[1:]
with open(figures_path) as f:
    w = json.load(f)

rows = []  # (text, value, goal, passed)
passed_all = True


def figure(text, value, unit, goal, at_most=True, digits=2):
    global passed_all
    passed = value <= goal if at_most else value >= goal
    passed_all &= passed
    bound = "at most" if at_most else "at least"
    rows.append(f"| Windows x86_64 under {wine}: {text} | {value:.{digits}f} {unit} | "
                f"{bound} {goal:g} {unit} | {'pass' if passed else '**FAIL**'} |")


figure("PassThruReadMsgs with Timeout 0 on a quiet channel, median",
       w["timeout0_median_ms"], "ms", 1.5)
figure("PassThruReadMsgs with Timeout 0 on a quiet channel, 99th percentile",
       w["timeout0_p99_ms"], "ms", 2.5)
figure(f"Wake-up of a blocked PassThruReadMsgs: median request to answer through the library "
       f"({w['wakeup_lib_median_us']:.0f} µs) above the same by WriteFile and ReadFile "
       f"({w['wakeup_raw_median_us']:.0f} µs)", w["wakeup_above_raw_us"], "µs", 500, digits=0)
figure(f"CPU while PassThruReadMsgs waits out {w['idle_wall_s']:.1f} s with nothing arriving",
       w["idle_cpu_percent"], "% of one core", 1)
figure(f"VIN reader beside a voltage reader, against alone ({w['vin_alone_per_s']:.0f} VINs/s "
       f"alone)", w["vin_share"], "of alone", 0.4, at_most=False)
figure(f"Voltage reader beside a VIN reader, against alone ({w['volts_alone_per_s']:.0f} "
       f"readings/s alone)", w["volts_share"], "of alone", 0.4, at_most=False)
figure(f"PassThruWriteMsgs while another thread waits in a 1 s PassThruReadMsgs, median of 20 "
       f"(slowest {w['write_beside_read_max_ms']:.3f} ms)", w["write_beside_read_median_ms"], "ms",
       2, digits=3)

how = (f"- Windows x86_64: `bench/run_windows_benchmarks.sh` ({date}) runs orvanta-win-bench "
       "(`bench/win_bench.cpp`, a plain program timed with the performance counter) of the "
       "mingw-x86_64 build under wine64, the simulator's pseudo-terminal as Wine's COM7; the "
       "same measurements as the Linux ones above (Timeout 0 of 1000 calls, 100 wake-ups, "
       "2 s idle wait, 1 s and 2 s rates, 20 writes), the wake-up's baseline being WriteFile "
       "of the request and ReadFile of its answer on the port. Wine cannot wait for a comm "
       "event on a pseudo-terminal, so there the library looks at the port every millisecond "
       "(the idle CPU); on Windows it sleeps on the port's EV_RXCHAR event. Wine's timer is "
       "fine-grained; the 64 Hz timer of a default Windows is covered by the Win32 backend's "
       "tests (`platform/win32/tests/win32_wait_test.cpp`).")

with open(out_path) as f:
    lines = [line for line in f.read().split("\n")
             if not line.startswith("| Windows x86_64") and not line.startswith("- Windows x86_64")]
last_row = max(i for i, line in enumerate(lines) if line.startswith("| "))
lines[last_row + 1:last_row + 1] = rows
how_at = lines.index("## How the figures are taken") + 2
while how_at < len(lines) and lines[how_at].strip():
    how_at += 1
lines.insert(how_at, how)
with open(out_path, "w") as f:
    f.write("\n".join(lines))
print("\n".join(rows))
sys.exit(0 if passed_all else 1)
EOF
