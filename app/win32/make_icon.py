#!/usr/bin/env python3
"""Draws the program's icon (tarnwick.ico): a teal rounded square with a
white "T" and a small signal arc, in 16x16 and 32x32, 32-bit colour with
alpha. Run it to regenerate the checked-in file: make_icon.py [OUTPUT]."""
import struct
import sys

TEAL = (0x1F, 0x7A, 0x8C, 0xFF)
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
CLEAR = (0, 0, 0, 0)


def pixel(x, y, n):
    """Colour of pixel (x, y) of an n x n image, y from the top."""
    s = n / 32.0
    r = 5 * s  # corner radius
    cx = min(max(x + 0.5, r), n - r)
    cy = min(max(y + 0.5, r), n - r)
    if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 > r * r:
        return CLEAR
    u, v = x / s, y / s  # design coordinates, 0..32
    if 7 <= u < 25 and 8 <= v < 12:  # bar of the T
        return WHITE
    if 14 <= u < 18 and 12 <= v < 26:  # stem of the T
        return WHITE
    d = ((u - 20) ** 2 + (v - 28) ** 2) ** 0.5
    if u >= 20 and v <= 28 and (4 <= d < 6 or 8 <= d < 10):  # signal arcs
        return WHITE
    return TEAL


def image(n):
    """One icon image: BITMAPINFOHEADER, BGRA rows bottom-up, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b"".join(
        bytes((p[2], p[1], p[0], p[3]))
        for y in reversed(range(n))
        for p in (pixel(x, y, n) for x in range(n)))
    mask_row = ((n + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(n)):
        bits = bytearray(mask_row)
        for x in range(n):
            if pixel(x, y, n)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + rows + bytes(mask)


def icon(sizes):
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    path = sys.argv[1] if len(sys.argv) > 1 else "tarnwick.ico"
    with open(path, "wb") as f:
        f.write(icon([16, 32]))
