"""Timings of the Python binding against orvanta-adapter-sim (--answer-latency 0).

Usage: python_bench.py SIM LIBRARY BINDINGS_DIR OUT_JSON
Needs python-can (Debian: python3-can). Writes the figures (milliseconds)
as one JSON object; bench/run_benchmarks.sh puts them into
docs/PERFORMANCE.md.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIM, LIB, BINDINGS, OUT = sys.argv[1:5]
sys.path.insert(0, BINDINGS)

import can  # noqa: E402
from orvanta_can import IsoTpChannel, OrvantaBus  # noqa: E402

SENDS = 1000
ROUND_TRIPS = 300
LONG_ANSWERS = 20


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def timed_ms(action, times):
    spent = []
    for _ in range(times):
        start = time.perf_counter()
        action()
        spent.append((time.perf_counter() - start) * 1000)
    return spent


def opened(make):
    """make(), again when no adapter was found (a loaded machine can miss
    discovery's 200 ms version wait)."""
    for attempt in range(3):
        try:
            return make()
        except can.CanInitializationError:
            if attempt == 2:
                raise
            time.sleep(1)


def bus_figures(figures):
    request = can.Message(arbitration_id=0x7E0, data=[2, 1, 0], is_extended_id=False)
    bus = opened(lambda: OrvantaBus(channel="COM7", library=LIB, can_filters=[
        {"can_id": 0x7E8, "can_mask": 0x7FF, "extended": False}]))
    try:
        def round_trip():
            bus.send(request)
            while True:
                answer = bus.recv(1.0)
                if answer is None:
                    sys.exit("no answer to 7E0 02 01 00")
                if answer.arbitration_id == 0x7E8 and answer.data[1:2] == b"\x41":
                    return

        timed_ms(round_trip, 20)  # warm-up
        figures["raw_round_trip_ms"] = statistics.median(timed_ms(round_trip, ROUND_TRIPS))
        # The adapter drops the ECU's answers: the Notifier's reads wait on a
        # quiet bus while the sends go out.
        bus.set_filters([{"can_id": 0x123, "can_mask": 0x7FF, "extended": False}])
        alone = timed_ms(lambda: bus.send(request), SENDS)
        figures["send_alone_median_ms"] = statistics.median(alone)
        received = []
        notifier = can.Notifier(bus, [received.append])
        try:
            time.sleep(0.2)
            beside = timed_ms(lambda: bus.send(request), SENDS)
        finally:
            notifier.stop()
        figures["send_beside_notifier_median_ms"] = statistics.median(beside)
        figures["send_beside_notifier_p99_ms"] = percentile(beside, 0.99)
    finally:
        bus.shutdown()


def isotp_figures(figures):
    with opened(lambda: IsoTpChannel("COM7", library=LIB, padding=0xAA)) as isotp:
        def ask(request, size):
            def once():
                isotp.send(request)
                answer = isotp.recv(2.0)
                if answer is None or len(answer) < size:
                    sys.exit(f"no answer to {request.hex()}")
            return once

        vin = ask(b"\x09\x02", 20)
        timed_ms(vin, 20)
        figures["vin_round_trip_ms"] = statistics.median(timed_ms(vin, ROUND_TRIPS))
        figures["long_answer_ms"] = statistics.median(
            timed_ms(ask(b"\x22\xFF\x00", 4095), LONG_ANSWERS))


def main():
    work = tempfile.mkdtemp(prefix="orv-pybench-")
    com, ready = os.path.join(work, "com"), os.path.join(work, "ready")
    sim = subprocess.Popen([SIM, "--com-dir", com, "--ready-file", ready, "--port", "7",
                            "--answer-latency", "0"])
    try:
        deadline = time.monotonic() + 5
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.01)
        os.environ["ORVANTA_COM_DIR"] = com
        figures = {}
        bus_figures(figures)
        isotp_figures(figures)
        with open(OUT, "w") as out:
            json.dump(figures, out)
        print(json.dumps(figures))
    finally:
        sim.terminate()
        sim.wait(5)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
