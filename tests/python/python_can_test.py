"""python-can's "orvanta" interface against orvanta-adapter-sim.

Usage: python_can_test.py SIM LIBRARY BINDINGS_DIR
Installs the package with pip into a scratch directory (so python-can finds
it through its entry point) and exits 77 (skipped) when python-can, pip or
wheel is missing, unless ORVANTA_HOSTS_REQUIRED=1.
"""

import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SIM, LIB, BINDINGS = sys.argv[1:4]
WORK = tempfile.mkdtemp(prefix="orv-pycan-")
SITE = os.path.join(WORK, "site")
FD_DATA = bytes(range(64))
TRAFFIC = ["10:07E8064100BE1FA813:20", "10:07E9024100:20", "10:18DAF110024100:20:x",
           "10:07EA" + FD_DATA.hex() + ":50:f"]


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(1 if os.environ.get("ORVANTA_HOSTS_REQUIRED") == "1" else 77)


def install_package():
    if importlib.util.find_spec("can") is None:  # not imported yet: it reads entry points once
        skip("python3-can is not installed")
    pip = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                          "--no-deps", "--target", SITE, BINDINGS], capture_output=True, text=True)
    if pip.returncode != 0:
        skip(f"pip cannot build the package (python3-pip, python3-wheel?): {pip.stderr[-400:]}")
    sys.path.insert(0, SITE)


class PythonCanTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        com = os.path.join(WORK, "com")
        ready = os.path.join(WORK, "ready")
        cls.log_path = os.path.join(WORK, "sim.log")
        traffic = [arg for t in TRAFFIC for arg in ("--bus-traffic", t)]
        with open(cls.log_path, "w") as log:
            cls.sim = subprocess.Popen([SIM, "--com-dir", com, "--ready-file", ready, "--port", "7",
                                        "--log", *traffic], stderr=log)
        deadline = time.monotonic() + 5
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert os.path.exists(ready), "the simulator did not start"
        os.environ["ORVANTA_COM_DIR"] = com

    @classmethod
    def tearDownClass(cls):
        cls.sim.terminate()
        cls.sim.wait(5)

    def sim_log(self):
        with open(self.log_path) as log:
            return log.read()

    def bus(self, **options):
        """Opens the bus, again when no adapter was found: discovery gives the
        version answer 200 ms, which a loaded machine can miss."""
        import can
        for attempt in range(3):
            try:
                return can.Bus(interface="orvanta", channel="COM7", bitrate=500000, library=LIB,
                               **options)
            except can.CanInitializationError:
                if attempt == 2:
                    raise
                time.sleep(1)

    def test_send_receive_filters_and_errors(self):
        import can
        with self.bus(can_filters=[{"can_id": 0x7E8, "can_mask": 0x7FF, "extended": False}]) as bus:
            got = [bus.recv(1.0) for _ in range(3)]
            self.assertEqual([m.arbitration_id for m in got], [0x7E8] * 3)
            self.assertEqual(got[0].data, bytes.fromhex("064100BE1FA813"))
            self.assertFalse(got[0].is_extended_id)
            gap = got[2].timestamp - got[1].timestamp  # frames come every 20 ms
            self.assertTrue(0.005 < gap < 0.2, gap)

            bus.set_filters([{"can_id": 0x18DAF110, "can_mask": 0x1FFFFFFF, "extended": True}])
            bus.recv(0.1)  # a frame that passed the old filters may still be queued
            got = bus.recv(1.0)
            self.assertEqual((got.arbitration_id, got.is_extended_id), (0x18DAF110, True))
            self.assertEqual(got.data, bytes.fromhex("024100"))

            bus.set_filters([{"can_id": 0x123, "can_mask": 0x7FF}])
            bus.recv(0.1)
            start = time.monotonic()
            self.assertIsNone(bus.recv(0.2))
            self.assertGreaterEqual(time.monotonic() - start, 0.19)

            bus.send(can.Message(arbitration_id=0x7E0, data=[2, 1, 0], is_extended_id=False))
            bus.send(can.Message(arbitration_id=0x18DA10F1, data=[2, 9, 2]))
            with self.assertRaisesRegex(can.CanOperationError, "PassThruWriteMsgs: .+"):
                bus.send(can.Message(arbitration_id=0x7E0, data=bytes(200), is_fd=True))
        time.sleep(0.1)
        self.assertIn("07 E0 02 01 00", self.sim_log())
        self.assertIn("18 DA 10 F1 02 09 02", self.sim_log())
        with self.assertRaisesRegex(can.CanInitializationError, "PassThruOpen: .+"):
            can.Bus(interface="orvanta", channel="COM9", library=LIB)

    def test_can_fd_and_notifier(self):
        import can
        with self.bus(fd=True, can_filters=[{"can_id": 0x7EA, "can_mask": 0x7FF}]) as bus:
            reader = can.BufferedReader()
            notifier = can.Notifier(bus, [reader])
            try:
                got = reader.get_message(2.0)
                bus.send(can.Message(arbitration_id=0x7E0, data=FD_DATA[::-1], is_fd=True,
                                     bitrate_switch=True, is_extended_id=False))
            finally:
                notifier.stop()
        self.assertEqual((got.arbitration_id, got.is_fd, got.data), (0x7EA, True, FD_DATA))
        time.sleep(0.1)
        self.assertIn("07 E0 " + FD_DATA[::-1].hex(" ").upper(), self.sim_log())

    def test_logger_records_traffic_through_the_registration(self):
        import can
        home = os.path.join(WORK, "home")
        os.makedirs(os.path.join(home, ".passthru"))
        with open(os.path.join(home, ".passthru", "orvanta-iot.json"), "w") as entry:
            json.dump({"NAME": "Orvanta-IOT", "FUNCTION_LIB": os.path.abspath(LIB)}, entry)
        out = os.path.join(WORK, "bus.asc")
        env = dict(os.environ, HOME=home, PYTHONPATH=SITE)
        for _ in range(3):  # again when no adapter was found, as in bus()
            logger = subprocess.Popen([sys.executable, "-m", "can.logger", "-i", "orvanta", "-c",
                                       "COM7", "-f", out], env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT)
            started = logger.stdout.readline() + logger.stdout.readline()  # "Connected", "Started"
            time.sleep(0.5)
            logger.send_signal(signal.SIGINT)
            output = started.decode() + logger.communicate(timeout=10)[0].decode()
            if "not detected" not in output:
                break
        frames = {(m.arbitration_id, bytes(m.data)) for m in can.LogReader(out)}
        self.assertIn((0x7E8, bytes.fromhex("064100BE1FA813")), frames, output)
        self.assertIn((0x18DAF110, bytes.fromhex("024100")), frames, output)


if __name__ == "__main__":
    install_package()
    try:
        unittest.main(argv=sys.argv[:1], verbosity=2)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
