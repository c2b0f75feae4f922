#!/usr/bin/env python3
"""Draws the program icon and writes res/dnscheck.ico (32x32 and 16x16,
32 bits per pixel). The design: a blue disc, the server being checked,
with a white tick across it; bold enough to read at 16x16.

Run: python3 scripts/make_icon.py   (no libraries needed)
"""
import math
import os
import struct

SAMPLES = 4  # supersampling per axis, for smooth edges

BLUE = (0x1F, 0x6F, 0xD1)
DARK = (0x12, 0x47, 0x8C)
WHITE = (0xFF, 0xFF, 0xFF)


def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def shade(x, y):
    """Colour and coverage of one point of the unit square (0..1)."""
    r = math.hypot(x - 0.5, y - 0.5)
    if r > 0.48:
        return None
    stroke = 0.085
    tick = min(seg_dist(x, y, 0.26, 0.52, 0.43, 0.69), seg_dist(x, y, 0.43, 0.69, 0.75, 0.33))
    if tick < stroke:
        return WHITE
    return DARK if r > 0.42 else BLUE


def render(size):
    pixels = []
    for row in range(size):
        line = []
        for col in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = shade((col + (sx + 0.5) / SAMPLES) / size, (row + (sy + 0.5) / SAMPLES) / size)
                    if c:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            n = SAMPLES * SAMPLES
            if hits:
                line.append(tuple(round(a / hits) for a in acc) + (round(255 * hits / n),))
            else:
                line.append((0, 0, 0, 0))
        pixels.append(line)
    return pixels


def dib(size):
    """BITMAPINFOHEADER, bottom-up BGRA rows, then the AND mask."""
    pixels = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    body = bytearray()
    for line in reversed(pixels):
        for r, g, b, a in line:
            body += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for line in reversed(pixels):
        bits = bytearray(mask_row)
        for col, p in enumerate(line):
            if p[3] == 0:
                bits[col // 8] |= 0x80 >> (col % 8)
        mask += bits
    return header + bytes(body) + bytes(mask)


def main():
    images = [(32, dib(32)), (16, dib(16))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    path = os.path.join(os.path.dirname(__file__), "..", "res", "dnscheck.ico")
    with open(path, "wb") as f:
        f.write(out)
    print("make_icon: wrote", os.path.normpath(path))


if __name__ == "__main__":
    main()
