#!/usr/bin/python3
"""Draws the toolbar's button images into resources/: one strip of fourteen glyphs per
button size (big 20 x 20, small 12 x 8, other 10 x 10), 24-bit BMP. The glyphs are simple
shapes on a light grey face, in the buttons' order; run again after changing a shape."""
import math
import struct
from pathlib import Path

FACE = (192, 192, 192)
INK = (32, 32, 32)


def ring(u, v, r0, r1, cx=0.5, cy=0.5):
    d = math.hypot(u - cx, v - cy)
    return r0 <= d <= r1


def box(u, v, x0, y0, x1, y1):
    return x0 <= u <= x1 and y0 <= v <= y1


def outline(u, v, x0, y0, x1, y1, t=0.12):
    return box(u, v, x0, y0, x1, y1) and not box(u, v, x0 + t, y0 + t, x1 - t, y1 - t)


# (colour, shape(u, v) -> bool) per button, u and v from 0 to 1 across the glyph.
GLYPHS = [
    ((180, 0, 0), lambda u, v: any(ring(u, v, 0, 0.12, cx, 0.5) for cx in (0.2, 0.5, 0.8))),  # Ctrl+Alt+Del
    ((0, 0, 160), lambda u, v: outline(u, v, 0.1, 0.1, 0.9, 0.9)),  # full screen
    ((90, 90, 90), lambda u, v: ring(u, v, 0.2, 0.42)),  # options
    ((0, 130, 0), lambda u, v: ring(u, v, 0.25, 0.45) and not (u > 0.5 and v < 0.5)),  # refresh
    ((0, 90, 180), lambda u, v: any(box(u, v, x, y, x + 0.35, y + 0.35) for x in (0.1, 0.55) for y in (0.1, 0.55))),  # start
    ((120, 60, 0), lambda u, v: outline(u, v, 0.15, 0.2, 0.85, 0.8, 0.15)),  # custom key
    ((0, 120, 140), lambda u, v: box(u, v, 0.42, 0.4, 0.58, 0.9) or box(u, v, 0.42, 0.1, 0.58, 0.25)),  # status
    ((200, 0, 0), lambda u, v: abs(u - v) < 0.13 or abs(u + v - 1) < 0.13),  # close
    ((60, 60, 60), lambda u, v: v > 0.25 and v < 0.8 and abs(u - 0.5) < (v - 0.25) * 0.8),  # hide buttons
    ((160, 0, 160), lambda u, v: ring(u, v, 0.3, 0.45) or abs(u - v) < 0.1),  # remote input
    ((0, 100, 0), lambda u, v: box(u, v, 0.1, 0.2, 0.9, 0.35) or box(u, v, 0.1, 0.65, 0.9, 0.8)),  # file transfer
    ((40, 40, 120), lambda u, v: outline(u, v, 0.05, 0.25, 0.95, 0.85) or ring(u, v, 0, 0.15, 0.5, 0.55)),  # screenshot
    ((0, 80, 160), lambda u, v: outline(u, v, 0.05, 0.15, 0.5, 0.75) or outline(u, v, 0.5, 0.3, 0.95, 0.9)),  # desktop
    ((180, 120, 0), lambda u, v: box(u, v, 0.1, 0.1, 0.9, 0.65) or (box(u, v, 0.2, 0.65, 0.45, 0.95) and u - 0.2 < (0.95 - v))),  # chat
]


def strip(w, h):
    rows = []
    for y in range(h):
        row = []
        for g in GLYPHS:
            colour, shape = g
            for x in range(w):
                u, v = (x + 0.5) / w, (y + 0.5) / h
                row.append(colour if shape(u, v) else FACE)
        rows.append(row)
    return rows


def write_bmp(path, rows):
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        pixels += line + b"\0" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    Path(path).write_bytes(header + info + pixels)


if __name__ == "__main__":
    out = Path(__file__).resolve().parent.parent / "resources"
    for name, (w, h) in (("big", (20, 20)), ("small", (12, 8)), ("other", (10, 10))):
        write_bmp(out / ("toolbar_%s.bmp" % name), strip(w, h))
