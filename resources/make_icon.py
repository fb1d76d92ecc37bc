#!/usr/bin/env python3
"""Draws the program icon (two opposed arrows on a rounded tile) into PNG files.

Run once after changing the drawing; the PNG files are committed and compiled in.
Pure standard library: shapes are sampled 4 x 4 per pixel for smooth edges.
"""
import struct
import sys
import zlib

TILE = (38, 92, 160)
TILE_EDGE = (24, 60, 110)
ARROW = (255, 255, 255)
ACCENT = (255, 210, 80)


def in_rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (x - q[0]) * (p[1] - q[1]) - (p[0] - q[0]) * (y - q[1])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def arrow(x, y, top, rightwards):
    """A shaft with a head, in unit coordinates (0..1)."""
    shaft_y0, shaft_y1 = top + 0.045, top + 0.115
    if rightwards:
        if 0.22 <= x <= 0.62 and shaft_y0 <= y <= shaft_y1:
            return True
        return in_triangle(x, y, (0.60, top - 0.03), (0.80, top + 0.08), (0.60, top + 0.19))
    if 0.38 <= x <= 0.78 and shaft_y0 <= y <= shaft_y1:
        return True
    return in_triangle(x, y, (0.40, top - 0.03), (0.20, top + 0.08), (0.40, top + 0.19))


def colour_at(x, y):
    if not in_rounded_rect(x, y, 0.04, 0.04, 0.96, 0.96, 0.18):
        return None
    if not in_rounded_rect(x, y, 0.08, 0.08, 0.92, 0.92, 0.15):
        return TILE_EDGE
    if arrow(x, y, 0.26, True):
        return ARROW
    if arrow(x, y, 0.56, False):
        return ACCENT
    return TILE


def render(size):
    samples = 4
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) / size,
                                  (py + (sy + 0.5) / samples) / size)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            if acc[3]:
                row += bytes((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3],
                              255 * acc[3] // (samples * samples)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def main(folder):
    for size in (16, 32, 48, 64, 128, 256):
        with open(f"{folder}/tarnwick-pico-{size}.png", "wb") as out:
            out.write(png(size, render(size)))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
