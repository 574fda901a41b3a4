#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is laid out the way the target reads its input through
FuzzedDataProvider: byte runs (ConsumeBytes, ConsumeRandomLengthString)
come from the front of the input, numbers (ConsumeIntegral, ConsumeBool,
ConsumeIntegralInRange) from the back, the first number from the last byte.
The Seed class below mirrors those calls, so a seed is written as the
sequence of calls the target makes.

Usage: fuzz/make_seeds.py   (rewrites the seeds it makes; the inputs named
regression_* that reproduced a fault are kept as they are)
"""
import os

ROOT = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in consumption order

    def u8(self, v):
        self.back.append(v & 0xFF)

    def boolean(self, v):
        self.u8(1 if v else 0)

    def integral(self, v, bits):
        for shift in range(bits - 8, -1, -8):
            self.back.append((v >> shift) & 0xFF)

    def in_range(self, lo, hi, v):
        span = hi - lo
        count = 0
        while count * 8 < 64 and (span >> (count * 8)) > 0:
            count += 1
        value = v - lo
        for i in range(count - 1, -1, -1):
            self.back.append((value >> (8 * i)) & 0xFF)

    def raw(self, data):
        self.front += bytes(data)

    def text(self, s):
        """ConsumeRandomLengthString: the text, then a backslash and one more
        character end it."""
        self.front += s.replace("\\", "\\\\").encode() + b"\\x"

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def frame(dev, op, data=b"", flags=0, ftype=0, ident=0, ts=(0, 0, 1, 0), size=None):
    data = bytes(data)
    return bytes([ident, len(data) if size is None else size, dev, op, flags, ftype, *ts]) + data


def write(target, name, seed):
    path = os.path.join(ROOT, "corpus", target)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(seed.bytes())


# --- fuzz_receive: set-up byte, then (piece length, read choice, bytes) ---

def receive_seed(setup, stream, pieces=None, reads=0x01):
    s = Seed()
    s.u8(setup)
    pieces = pieces or [len(stream)]
    at = 0
    for n in pieces:
        n = min(n, len(stream) - at)
        if n <= 0:
            break
        s.in_range(1, 600, n)
        s.u8(reads)
        s.raw(stream[at:at + n])
        at += n
    return s


def receive_corpus():
    can = (frame(0x10, 2, [0x07, 0xE8, 0x06, 0x41, 0x00, 0xBE, 0x1F, 0xA8, 0x13])
           + frame(0x10, 2, [0x18, 0xDA, 0xF1, 0x10, 0x03, 0x41, 0x0D, 0x37], flags=0x10)
           + frame(0x10, 2, [0x07, 0xE0, 0x02, 0x01, 0x00], ftype=5)
           + frame(0x10, 2, [0x07, 0xE8, 0x02, 0x41, 0x00], flags=0x43)
           + frame(0x30, 2, [0x01, 0x23, 0xAA]))
    write("receive", "can_frames", receive_seed(0x00, can))
    iso = (frame(0x20, 2, [0x07, 0xE8, 0x03, 0x41, 0x0D, 0x37, 0xCC, 0xCC, 0xCC, 0xCC])
           + frame(0x20, 2, [0x07, 0xE8, 0x10, 0x14, 0x49, 0x02, 0x01, 0x31, 0x47, 0x31])
           + frame(0x20, 2, [0x07, 0xE8, 0x21, 1, 2, 3, 4, 5, 6, 7])
           + frame(0x20, 2, [0x07, 0xE8, 0x22, 8, 9, 10, 11, 12, 13, 14])
           + frame(0x20, 2, [0x07, 0xE8, 0x30, 0x00, 0x00])
           + frame(0x20, 2, [0x18, 0xDA, 0xF1, 0x10, 0x02, 0x7E, 0x00, 0xCC, 0xCC, 0xCC, 0xCC,
                             0xCC], flags=0x10)
           + frame(0x20, 2, [0x06, 0x01, 0xF1, 0x02, 0x50, 0x03, 0xCC, 0xCC, 0xCC, 0xCC])
           + frame(0x40, 2, [0x07, 0xE0, 0x00, 0x0C] + list(range(12)), flags=0x01))
    write("receive", "iso15765_frames", receive_seed(0x08, iso))
    write("receive", "iso15765_fd_ms_stamps", receive_seed(0x70, iso, reads=0x0B))
    piece = bytes([0x48, 0x6B, 0x10] + list(range(65)))
    tail = bytes([0x20, 0x21])
    checksum = sum(piece + tail) & 0xFF
    kline = (frame(0x90, 2, [0x08, 0x08, 0xCC], flags=0x40)
             + frame(0x90, 2, [], flags=0x80)
             + frame(0x90, 2, piece)
             + frame(0x90, 2, tail + bytes([checksum]))
             + frame(0x90, 2, [0x83, 0xF1, 0x10, 0xC1, 0xE9, 0x8F, 0x3F]))
    write("receive", "kline_pieces", receive_seed(0x00, kline, reads=0x01))
    reports = (frame(0xB0, 2, [0x01, 0xD2, 0x04])
               + frame(0xD0, 2, [0x01, 0x01])
               + frame(0xE0, 2, [1, 2, 3, 4, 5])
               + frame(0xF0, 2, [0x01, 0x02], ftype=0x0D)
               + frame(0xF0, 2, [0x10], flags=0x40)
               + frame(0x30, 1)
               + frame(0x10, 4)
               + frame(0xF0, 2, bytes(80), size=80))
    write("receive", "answers_and_reports", receive_seed(0x00, reports))
    write("receive", "frames_in_small_pieces",
          receive_seed(0x01, can + iso[:60], pieces=[1, 9, 3, 17, 2, 40, 5, 200], reads=0x00))


# --- fuzz_transmit: set-up byte, then operations ---

def msg(s, data, channel_protocol=True, tx_flags=None, extra=0, size=None):
    s.boolean(channel_protocol)
    if tx_flags is None:
        s.boolean(False)
        s.u8(0)
    else:
        s.boolean(True)
        s.integral(tx_flags, 32)
    s.boolean(True)
    s.u8(extra)
    ds = len(data) if size is None else size
    if ds <= 80:
        s.u8(0)
        s.in_range(0, 80, ds)
    elif ds <= 4136:
        s.u8(200)
        s.in_range(0, 4136, ds)
    else:
        s.u8(250)
        s.integral(ds, 32)
    fill = min(ds, 4128)
    s.raw((list(data) + [0] * fill)[:fill])


def pick(s, channel_index):
    s.u8(channel_index)


CH = {"ISO9141": 0, "ISO14230": 1, "CAN": 2, "ISO15765": 3, "MSCAN": 4, "MSISO15765": 5}


def transmit_corpus():
    s = Seed()
    s.u8(0x00)
    s.in_range(0, 4, 0)  # write
    pick(s, CH["CAN"])
    s.in_range(0, 4, 2)
    s.integral(1000, 16)
    msg(s, [0, 0, 0x07, 0xE0, 0x02, 0x01, 0x00])
    msg(s, [0x18, 0xDA, 0x10, 0xF1, 0x02, 0x3E, 0x00], tx_flags=0x00180100)
    s.in_range(0, 4, 1)  # pass filter
    pick(s, CH["CAN"])
    s.in_range(0, 4, 1)
    s.boolean(False)
    msg(s, [0, 0, 0x07, 0xFF])
    msg(s, [0, 0, 0x07, 0xE8])
    write("transmit", "can_write_and_filter", s)

    s = Seed()
    s.u8(0x10)
    s.in_range(0, 4, 0)
    pick(s, CH["ISO15765"])
    s.in_range(0, 4, 1)
    s.integral(0, 16)
    msg(s, [0, 0, 0x07, 0xE0] + [i & 0xFF for i in range(300)], tx_flags=0x40)
    s.in_range(0, 4, 1)  # flow-control filter
    pick(s, CH["ISO15765"])
    s.in_range(0, 4, 3)
    s.boolean(True)
    msg(s, [0, 0, 0xFF, 0xFF])
    msg(s, [0, 0, 0x07, 0xE8])
    msg(s, [0, 0, 0x07, 0xE0], tx_flags=0x40)
    s.in_range(0, 4, 2)  # periodic
    pick(s, CH["ISO15765"])
    s.integral(100, 32)
    s.in_range(0, 110, 0)
    msg(s, [0, 0, 0x07, 0xDF, 0x3E, 0x80], tx_flags=0x40)
    write("transmit", "iso15765_segmented_filter_periodic", s)

    s = Seed()
    s.u8(0x04)
    s.in_range(0, 4, 0)
    pick(s, CH["ISO9141"])
    s.in_range(0, 4, 1)
    s.integral(0, 16)
    msg(s, [0x68, 0x6A, 0xF1] + [i & 0xFF for i in range(147)])
    s.in_range(0, 4, 2)
    pick(s, CH["ISO14230"])
    s.integral(2000, 32)
    s.in_range(0, 110, 0)
    msg(s, [0xC1, 0x33, 0xF1, 0x3E])
    s.in_range(0, 4, 3)  # update
    pick(s, CH["ISO14230"])
    s.integral(1000, 32)
    s.in_range(0, 110, 0)
    msg(s, [0xC1, 0x33, 0xF1, 0x3E, 0x01])
    s.in_range(0, 4, 4)  # stop
    pick(s, CH["ISO14230"])
    s.in_range(0, 110, 0)
    s.in_range(0, 3, 1)
    write("transmit", "kline_write_and_periodic", s)

    s = Seed()
    s.u8(0x13)
    s.in_range(0, 4, 0)
    pick(s, CH["MSISO15765"])
    s.in_range(0, 4, 1)
    s.integral(5000, 16)
    msg(s, [0, 0, 0x07, 0xE0] + list(range(100)), tx_flags=0x10100040, extra=64)
    s.in_range(0, 4, 0)
    pick(s, CH["MSCAN"])
    s.in_range(0, 4, 1)
    s.integral(0, 16)
    msg(s, [0, 0, 0x01, 0x23] + list(range(64)), tx_flags=0x02100000, size=4200)
    write("transmit", "fd_lengths_and_oversize", s)


# --- fuzz_services: set-up byte, then operations with scripted answers ---

def answer(s, dev, op, ftype, data=b"", flags=0, n=1):
    """One request's answers: `n` frames with the expected header."""
    if n == 0:
        s.u8(0)
        return
    s.u8(18 + (n - 1))  # a pick p >= 16 gives 1 + p % 3 frames
    for _ in range(n):
        s.u8(0)  # the expected header
        s.u8(0)  # id
        if flags == 0:
            s.boolean(True)
        else:
            s.boolean(False)
            s.u8(flags)
        s.u8(0)
        s.in_range(0, 68, len(data))
        s.raw(data)


def services_corpus():
    s = Seed()
    s.u8(0)
    s.in_range(0, 9, 0)  # read file
    answer(s, 0xE0, 5, 0)
    s.in_range(0, 6, 3)
    answer(s, 0xE0, 2, 0, bytes(range(64)))
    answer(s, 0xE0, 2, 0, bytes(range(10)))
    answer(s, 0xE0, 2, 0)
    s.boolean(True)
    write("services", "read_file", s)

    s = Seed()
    s.u8(0)
    s.in_range(0, 9, 3)  # listing
    s.in_range(0, 6, 2)
    entry = bytes(16) + b"A.TXT\0"
    answer(s, 0xF0, 5, 0x0F, entry)
    answer(s, 0xF0, 2, 0x0F, bytes(16) + b"B.TXT\0")
    answer(s, 0xF0, 2, 0x0F)
    answer(s, 0xF0, 6, 0x0F)
    s.boolean(False)  # no endless answer
    s.boolean(True)
    write("services", "listing", s)

    s = Seed()
    s.u8(0)
    s.in_range(0, 9, 3)  # a listing that never ends
    s.in_range(0, 6, 0)
    answer(s, 0xF0, 5, 0x0F, bytes(16) + b"A,B\0")
    answer(s, 0xF0, 6, 0x0F)
    s.boolean(True)
    answer(s, 0xF0, 2, 0x0F, bytes(16) + b"N" * 51 + b"\0")
    s.boolean(True)
    write("services", "hostile_listing", s)

    s = Seed()
    s.u8(0)
    s.in_range(0, 9, 4)  # memory read
    s.in_range(0, 320, 100)
    s.u8(0)
    answer(s, 0xE0, 2, 0, bytes(range(64)))
    answer(s, 0xE0, 2, 0, bytes(range(30)))
    s.integral(0x1000, 32)
    s.in_range(0, 9, 5)  # security
    answer(s, 0xE0, 2, 0, bytes(range(18)))
    s.u8(3)
    write("services", "memory_and_key", s)

    s = Seed()
    s.u8(0)
    s.in_range(0, 9, 6)  # clock read
    s.boolean(True)
    answer(s, 0xF0, 2, 0x0E, bytes(range(12)))
    s.in_range(0, 9, 7)  # version
    answer(s, 0xF0, 2, 0x0D, bytes([1, 2, 3, 4]))
    s.in_range(0, 9, 8)  # analogue read
    s.in_range(0, 6, 0)
    answer(s, 0xB0, 2, 0, bytes([0x01, 0xD2, 0x04]))
    write("services", "clock_version_reading", s)

    s = Seed()
    s.u8(0)
    s.in_range(0, 9, 1)  # write file
    s.boolean(True)
    answer(s, 0xE0, 7, 0, flags=0x40)
    s.boolean(True)
    answer(s, 0xE0, 5, 0)
    s.in_range(0, 6, 2)
    answer(s, 0xE0, 3, 0)
    answer(s, 0xE0, 3, 0)
    s.boolean(True)
    answer(s, 0xE0, 6, 0)
    contents = bytes((i * 7) & 0xFF for i in range(5000))
    s.in_range(0, 9000, len(contents))
    s.raw(contents)
    s.boolean(True)
    write("services", "write_file", s)

    s = Seed()
    s.u8(0)
    for channel, params in ((2, [(0x01, 250000), (0x03, 1)]), (3, [(0x1E, 8), (0x805D, 64)]),
                            (0, [(0x06, 10), (0x14, 25)])):
        s.in_range(0, 9, 9)  # configuration list
        s.u8(channel)
        s.boolean(False)  # SET_CONFIG
        s.in_range(0, 12, len(params))
        for parameter, value in params:
            s.u8(230)
            s.integral(parameter, 32)
            s.boolean(False)
            s.integral(value, 32)
        s.in_range(0, 9, 9)
        s.u8(channel)
        s.boolean(True)  # GET_CONFIG
        s.in_range(0, 12, len(params))
        for parameter, _ in params:
            s.u8(230)
            s.integral(parameter, 32)
            s.boolean(True)
            s.u8(0)
    write("services", "config_lists", s)


if __name__ == "__main__":
    receive_corpus()
    transmit_corpus()
    services_corpus()
