#!/usr/bin/env python3
"""Draws the program icon into res/dnscheck.ico (32x32 and 16x16, 32 bits
per pixel): a blue disc, the server being checked, with a white tick
across it, bold enough to read at 16x16. Needs no libraries.
"""
import math
import os
import struct

SAMPLES = 4  # supersampling per axis, for smooth edges
BLUE, DARK, WHITE = (0x1F, 0x6F, 0xD1), (0x12, 0x47, 0x8C), (0xFF, 0xFF, 0xFF)


def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def shade(x, y):
    """Colour of one point of the unit square, None outside the disc."""
    r = math.hypot(x - 0.5, y - 0.5)
    if r > 0.48:
        return None
    if min(seg_dist(x, y, 0.26, 0.52, 0.43, 0.69), seg_dist(x, y, 0.43, 0.69, 0.75, 0.33)) < 0.085:
        return WHITE
    return DARK if r > 0.42 else BLUE


def pixel(size, row, col):
    """RGBA, averaged over the samples that fall on the disc."""
    hits = [c for sy in range(SAMPLES) for sx in range(SAMPLES)
            if (c := shade((col + (sx + 0.5) / SAMPLES) / size, (row + (sy + 0.5) / SAMPLES) / size))]
    if not hits:
        return (0, 0, 0, 0)
    return tuple(round(sum(c[i] for c in hits) / len(hits)) for i in range(3)) + (
        round(255 * len(hits) / SAMPLES ** 2),)


def dib(size):
    """BITMAPINFOHEADER, bottom-up BGRA rows, then the AND mask."""
    rows = [[pixel(size, row, col) for col in range(size)] for row in reversed(range(size))]
    body = b"".join(bytes((b, g, r, a)) for line in rows for r, g, b, a in line)
    mask = b""
    for line in rows:
        bits = bytearray((size + 31) // 32 * 4)
        for col, p in enumerate(line):
            bits[col // 8] |= 0x80 >> (col % 8) if p[3] == 0 else 0
        mask += bits
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0) + body + mask


images = [(size, dib(size)) for size in (32, 16)]
out = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, data in images:
    out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
path = os.path.join(os.path.dirname(__file__), "..", "res", "dnscheck.ico")
with open(path, "wb") as f:
    f.write(out + b"".join(data for _, data in images))
print("make_icon: wrote", os.path.normpath(path))
