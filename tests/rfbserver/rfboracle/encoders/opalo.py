"""Opalo (9) and Opalo2 (10).

Both carry a u32 big-endian length and that many bytes. Opalo: the rectangle's pixels in
the client's format (the Raw layout) as one LZO1X block. Opalo2: the rectangle as one
JPEG image, which the viewer decodes straight into its pixel format.

opts:
  jpeg_quality  1-100 (default 75)   (Opalo2)

The model for Opalo2 is the decoded JPEG image, each component stored as
component x (maximum + 1) >> 8.
"""

import struct

from . import Encoder, register
from .streams import lzo1x
from .tight import jpeg_bytes, jpeg_decoded, viewer_shown


class Opalo(Encoder):
    name = "opalo"
    number = 9

    def encode(self, ctx, r):
        raw = ctx.pf.encode_image(r.content(ctx))
        block = lzo1x(raw)
        return struct.pack(">I", len(block)) + block


class Opalo2(Encoder):
    name = "opalo2"
    number = 10

    def encode(self, ctx, r):
        data = jpeg_bytes(r.content(ctx), int(r.opts.get("jpeg_quality", 75)))
        r._jpeg = data
        return struct.pack(">I", len(data)) + data

    def apply(self, ctx, r):
        ctx.view_set(r.x, r.y, viewer_shown(ctx.pf, jpeg_decoded(r._jpeg)))


register(Opalo(), "opalo")
register(Opalo2())
