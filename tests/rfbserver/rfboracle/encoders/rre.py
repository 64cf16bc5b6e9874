"""RRE (2) and CoRRE (4): a background pixel and single-colour subrectangles.

RRE:   u32 count, background pixel, count x (pixel, x, y, w, h as u16).
CoRRE: the same with x, y, w, h as u8; rectangles are at most 255 x 255 (larger
       areas are split into several rectangles by the update builder).

opts:
  bg        background colour (r, g, b) instead of the most common one
  subrects  explicit list of [x, y, w, h] or [x, y, w, h, [r, g, b]] (hostile forms:
            anything out of range is sent as given, masked to the field width); the
            expected view of such a rectangle is left undefined
  count     value of the count field instead of the number of subrectangles
"""

import struct

import numpy as np

from . import Encoder, register, cover, most_common


class _RREBase(Encoder):
    coord = ">HHHH"
    mask = 0xFFFF

    def _subrects(self, ctx, r):
        pf = ctx.pf
        if "subrects" in r.opts:
            bgc = r.opts.get("bg", (0, 0, 0))
            bg = pf.pixel_value(tuple(bgc))
            subs = []
            for s in r.opts["subrects"]:
                colour = tuple(s[4]) if len(s) > 4 else (255, 255, 255)
                subs.append((s[0], s[1], s[2], s[3], pf.pixel_value(colour)))
            return bg, subs
        values = pf.pixel_values(r.content(ctx))
        if "bg" in r.opts:
            bg = pf.pixel_value(tuple(r.opts["bg"]))
        elif values.size:
            bg = most_common(values)
        else:
            bg = 0
        return bg, cover(values, bg) if values.size else []

    def encode(self, ctx, r):
        pf = ctx.pf
        bg, subs = self._subrects(ctx, r)
        count = r.opts.get("count", len(subs))
        m = self.mask
        out = [struct.pack(">I", count & 0xFFFFFFFF), pf.values_to_bytes(np.array([bg]))]
        if subs:
            pix = pf.values_to_bytes(np.array([s[4] for s in subs]))
            bpp = pf.bytes_per_pixel
            for i, (x, y, w, h, _v) in enumerate(subs):
                out.append(pix[i * bpp:(i + 1) * bpp])
                out.append(struct.pack(self.coord, x & m, y & m, w & m, h & m))
        return b"".join(out)

    def apply(self, ctx, r):
        if "subrects" in r.opts:
            ctx.view_unknown(r.x, r.y, r.w, r.h)
        else:
            Encoder.apply(self, ctx, r)


class RRE(_RREBase):
    name = "rre"
    number = 2


class CoRRE(_RREBase):
    name = "corre"
    number = 4
    coord = ">BBBB"
    mask = 0xFF
    max_w = 255
    max_h = 255


register(RRE())
register(CoRRE())
