#!/usr/bin/python3
"""Draws the full-screen title bar's button images into resources/titlebar.bmp: one strip of
eleven 16 x 14 glyphs, 24-bit BMP, light shapes on the bar's dark grey, in this order:
close, restore, minimise, pin (auto-hide on), pin (auto-hide off), fit to screen, 1:1,
snapshot, switch monitor, chat, file transfer. Run again after changing a shape."""
import importlib.util
from pathlib import Path

# The toolbar's script writes the BMP files of both.
_found = importlib.util.spec_from_file_location("toolbar_bitmaps", str(Path(__file__).resolve().parent / "make-toolbar-bitmaps.py"))
_toolbar = importlib.util.module_from_spec(_found)
_found.loader.exec_module(_toolbar)
write_bmp = _toolbar.write_bmp

W, H = 16, 14
FACE = (56, 56, 56)
INK = (220, 220, 220)


def box(x, y, x0, y0, x1, y1):
    return x0 <= x <= x1 and y0 <= y <= y1


def frame(x, y, x0, y0, x1, y1):
    return box(x, y, x0, y0, x1, y1) and not box(x, y, x0 + 1, y0 + 1, x1 - 1, y1 - 1)


# (colour, shape(x, y) -> bool) per glyph, x from 0 to 15, y from 0 to 13.
GLYPHS = [
    ((230, 80, 80), lambda x, y: box(x, y, 3, 2, 12, 11) and (abs(x - y - 1) < 1 or abs(x + y - 14) < 1)),  # close
    (INK, lambda x, y: frame(x, y, 3, 4, 10, 11) or (y == 2 and 5 <= x <= 12) or (x == 12 and 2 <= y <= 9)),  # restore
    (INK, lambda x, y: box(x, y, 3, 10, 12, 11)),  # minimise
    (INK, lambda x, y: box(x, y, 5, 2, 10, 7) or (x == 7 and 8 <= y <= 12) or (y == 7 and 3 <= x <= 12)),  # pin: auto-hide
    (INK, lambda x, y: box(x, y, 2, 5, 7, 8) or (y == 6 and 8 <= x <= 13) or (x == 7 and 3 <= y <= 10)),  # pin: stays
    (INK, lambda x, y: frame(x, y, 1, 1, 14, 12) or (abs(x - y - 1) < 1 and 3 <= x <= 12)),  # fit to screen
    (INK, lambda x, y: (x in (3, 12) and 3 <= y <= 10) or (x == 7 and y in (5, 8))),  # 1:1
    (INK, lambda x, y: frame(x, y, 1, 4, 14, 12) or box(x, y, 5, 2, 9, 3) or box(x, y, 7, 7, 8, 9)),  # snapshot
    (INK, lambda x, y: frame(x, y, 0, 2, 7, 9) or frame(x, y, 8, 4, 15, 11)),  # switch monitor
    ((240, 200, 80), lambda x, y: frame(x, y, 1, 1, 14, 9) or (box(x, y, 3, 10, 5, 12) and x - 3 <= 12 - y)),  # chat
    ((120, 220, 120), lambda x, y: (y in (3, 10) and 2 <= x <= 13) or (abs(y - 3) + abs(x - 12) <= 2 and x >= 11)
     or (abs(y - 10) + abs(x - 3) <= 2 and x <= 4)),  # file transfer
]


def strip():
    rows = []
    for y in range(H):
        row = []
        for colour, shape in GLYPHS:
            row += [colour if shape(x, y) else FACE for x in range(W)]
        rows.append(row)
    return rows


if __name__ == "__main__":
    write_bmp(Path(__file__).resolve().parent.parent / "resources" / "titlebar.bmp", strip())
