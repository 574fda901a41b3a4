"""python-can's "orvanta" interface, IsoTpChannel and the udsoncan
connection against orvanta-adapter-sim.

Usage: python_can_test.py SIM LIBRARY BINDINGS_DIR
Installs the package with pip into a scratch directory (so python-can finds
it through its entry point) and exits 77 (skipped) when python-can, pip or
wheel is missing, unless ORVANTA_HOSTS_REQUIRED=1.
"""

import fcntl
import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SIM, LIB, BINDINGS = sys.argv[1:4]
WORK = tempfile.mkdtemp(prefix="orv-pycan-")
SITE = os.path.join(WORK, "site")
FD_DATA = bytes(range(64))
VIN = b"1ORV4NTA0SIM12345"  # the simulator's
# Not on 0x7E8 or 0x18DAF110, where the simulated ECUs answer.
TRAFFIC = ["10:07EB064100BE1FA813:20", "10:07E9024100:20", "10:18DAF120024100:20:x",
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


SIM_LOG = os.path.join(WORK, "sim.log")
# A stand-in of udsoncan's connection interface (udsoncan is not packaged
# in Debian): the base class's send and wait_frame call the connection's
# specific_send and specific_wait_frame, as udsoncan's do.
UDSONCAN_STANDIN = {
    "__init__.py": "",
    "exceptions.py": "class TimeoutException(Exception):\n    pass\n",
    "connections.py": """
class BaseConnection:
    def __init__(self, name=None):
        self.name = name
    def send(self, data, timeout=None):
        self.specific_send(bytes(data), timeout=timeout)
    def wait_frame(self, timeout=None, exception=False):
        return self.specific_wait_frame(timeout=timeout)
""",
}
_sim = []


def setUpModule():
    com = os.path.join(WORK, "com")
    ready = os.path.join(WORK, "ready")
    traffic = [arg for t in TRAFFIC for arg in ("--bus-traffic", t)]
    with open(SIM_LOG, "w") as log:
        _sim.append(subprocess.Popen([SIM, "--com-dir", com, "--ready-file", ready, "--port",
                                      "7", "--log", *traffic], stderr=log))
    deadline = time.monotonic() + 5
    while not os.path.exists(ready) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert os.path.exists(ready), "the simulator did not start"
    os.environ["ORVANTA_COM_DIR"] = com


def tearDownModule():
    _sim[0].terminate()
    _sim[0].wait(5)


def sim_log():
    with open(SIM_LOG) as log:
        return log.read()


def opened(make):
    """make(), again when no adapter was found: discovery gives the version
    answer 200 ms, which a loaded machine can miss."""
    import can
    for attempt in range(3):
        try:
            return make()
        except can.CanInitializationError:
            if attempt == 2:
                raise
            time.sleep(1)


class PythonCanTest(unittest.TestCase):
    def sim_log(self):
        return sim_log()

    def bus(self, **options):
        import can
        return opened(lambda: can.Bus(interface="orvanta", channel="COM7", bitrate=500000,
                                      library=LIB, **options))

    def test_send_receive_filters_and_errors(self):
        import can
        with self.bus(can_filters=[{"can_id": 0x7EB, "can_mask": 0x7FF, "extended": False}]) as bus:
            got = [bus.recv(1.0) for _ in range(3)]
            self.assertEqual([m.arbitration_id for m in got], [0x7EB] * 3)
            self.assertEqual(got[0].data, bytes.fromhex("064100BE1FA813"))
            self.assertFalse(got[0].is_extended_id)
            gap = got[2].timestamp - got[1].timestamp  # frames come every 20 ms
            self.assertTrue(0.005 < gap < 0.2, gap)

            bus.set_filters([{"can_id": 0x18DAF120, "can_mask": 0x1FFFFFFF, "extended": True}])
            bus.recv(0.1)  # a frame that passed the old filters may still be queued
            got = bus.recv(1.0)
            self.assertEqual((got.arbitration_id, got.is_extended_id), (0x18DAF120, True))
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
        with self.assertRaisesRegex(can.CanInitializationError, "PassThruOpen: COM9: no such port"):
            can.Bus(interface="orvanta", channel="COM9", library=LIB)
        held = os.open(os.path.join(os.environ["ORVANTA_COM_DIR"], "com7"), os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(held, fcntl.LOCK_EX)  # as another program holding the port does
            with self.assertRaisesRegex(can.CanInitializationError,
                                        "PassThruOpen: COM7: in use by another program"):
                can.Bus(interface="orvanta", channel="COM7", library=LIB)
        finally:
            os.close(held)

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
        self.assertIn((0x7EB, bytes.fromhex("064100BE1FA813")), frames, output)
        self.assertIn((0x18DAF120, bytes.fromhex("024100")), frames, output)

    def test_send_while_reading_and_use_after_shutdown(self):
        import can
        bus = self.bus(can_filters=[{"can_id": 0x123, "can_mask": 0x7FF, "extended": False}])
        real, entered, sent, waits, outcome = bus._lib, threading.Event(), threading.Event(), [], []

        class Library:  # a read waits inside the library until a send has gone through
            def __getattr__(self, name):
                return getattr(real, name)

            def PassThruReadMsgs(self, *args):
                entered.set()
                waits.append(sent.wait(5))
                return real.PassThruReadMsgs(*args)

            def PassThruWriteMsgs(self, *args):
                status = real.PassThruWriteMsgs(*args)
                sent.set()
                return status

        def reader():
            try:
                outcome.append(bus.recv(timeout=5))
            except can.CanOperationError as error:
                outcome.append(error)

        bus._lib = Library()
        thread = threading.Thread(target=reader)
        thread.start()
        self.assertTrue(entered.wait(5))
        bus.send(can.Message(arbitration_id=0x7E0, data=[2, 1, 0], is_extended_id=False))
        self.assertTrue(thread.is_alive())  # the quiet bus's recv(timeout=5) still waits
        bus.shutdown()
        thread.join(5)
        self.assertTrue(waits[0], "the send waited for the read")
        self.assertRegex(str(outcome[0]), "bus is shut down")
        for call in (lambda: bus.recv(0), lambda: bus.send(can.Message(data=[1]))):
            self.assertRaisesRegex(can.CanOperationError, "bus is shut down", call)

        with self.bus() as bus:  # a Notifier still running when the bus shuts down
            notifier = can.Notifier(bus, [can.BufferedReader()], timeout=0.05)
            time.sleep(0.1)
        time.sleep(0.2)
        notifier.stop()
        self.assertIsNone(notifier.exception)

    def test_buses_and_channels_share_the_device(self):
        import can
        from orvanta_can import IsoTpChannel
        first = self.bus()
        with self.assertRaisesRegex(can.CanInitializationError, r"PassThruConnect: .*in use"):
            can.Bus(interface="orvanta", channel="COM7", library=LIB)
        with IsoTpChannel("COM7", library=LIB) as isotp:
            self.assertIsNotNone(first.recv(1.0))  # the failed bus left the first one alone
            first.shutdown()  # and the first one leaves the device to the ISO 15765 channel
            isotp.send(b"\x09\x02")
            self.assertEqual(isotp.recv(1.0), b"\x49\x02\x01" + VIN)


class IsoTpTest(unittest.TestCase):
    def test_messages_addressing_and_errors(self):
        import can
        from orvanta_can import IsoTpChannel
        long_answer = bytes([0x62, 0xFF, 0x00] + [(i * 7 + 1) & 0xFF for i in range(3, 4095)])
        cases = [  # options, request, answer, the request's frame as the simulator logs it
            ({"padding": 0x55}, b"\x09\x02", b"\x49\x02\x01" + VIN,
             "07 E0 02 09 02 55 55 55 55 55"),
            ({"txid": 0x18DA10F1, "rxid": 0x18DAF110, "extended_id": True}, b"\x09\x02",
             b"\x49\x02\x01" + VIN, "18 DA 10 F1 02 09 02"),
            ({"block_size": 8, "st_min": 0}, b"\x22\xFF\x00", long_answer, "07 E0 03 22 FF 00"),
            ({"txid": 0x6F1, "rxid": 0x6F9, "address_extension": 0x10}, b"\x3E\x00", None,
             "06 F1 10 02 3E 00"),  # extended addressing; no ECU answers there
        ]
        for options, request, expected, frame in cases:
            with self.subTest(options=options):
                with opened(lambda: IsoTpChannel("COM7", library=LIB, **options)) as isotp:
                    isotp.send(request)
                    self.assertEqual(isotp.recv(0.5 if expected is None else 2.0), expected)
                time.sleep(0.05)
                self.assertIn(frame, sim_log())
        with IsoTpChannel("COM7", library=LIB) as isotp:
            self.assertRaises(ValueError, isotp.send, bytes(4096))
        self.assertRaises(ValueError, IsoTpChannel, "COM7", txid=0x800, library=LIB)
        for call in (lambda: isotp.send(b"\x3E\x00"), lambda: isotp.recv(0)):
            self.assertRaisesRegex(can.CanOperationError, "closed", call)
        with self.assertRaisesRegex(can.CanInitializationError, "PassThruOpen: COM9: no such port"):
            IsoTpChannel("COM9", library=LIB)

    def test_udsoncan_connection(self):
        standin = os.path.join(WORK, "standin", "udsoncan")
        os.makedirs(standin)
        for name, text in UDSONCAN_STANDIN.items():
            with open(os.path.join(standin, name), "w") as file:
                file.write(text)
        sys.path.insert(0, os.path.dirname(standin))
        from orvanta_can.uds import PassThruConnection
        from udsoncan.exceptions import TimeoutException
        connection = PassThruConnection("COM7", library=LIB, padding=0xAA)
        self.assertFalse(connection.is_open())
        with opened(connection.open):
            self.assertTrue(connection.is_open())
            connection.send(b"\x10\x03")
            time.sleep(0.1)
            connection.empty_rxqueue()
            self.assertRaises(TimeoutException, connection.wait_frame, 0.2)
            connection.send(b"\x22\xF1\x90")
            self.assertEqual(connection.wait_frame(2), b"\x62\xF1\x90" + VIN)
        self.assertFalse(connection.is_open())
        self.assertRaises(RuntimeError, connection.send, b"\x3E\x00")


if __name__ == "__main__":
    install_package()
    try:
        unittest.main(argv=sys.argv[:1], verbosity=2)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
