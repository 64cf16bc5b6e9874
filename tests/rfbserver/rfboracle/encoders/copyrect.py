"""CopyRect (1): the client copies an area of its own framebuffer.

opts: src = [source x, source y] (required). The model copies the source area of
the expected view (and of the server's desktop, so that both stay in step).
"""

import struct

from . import Encoder, register


class CopyRect(Encoder):
    name = "copyrect"
    number = 1

    def encode(self, ctx, r):
        sx, sy = r.opts["src"]
        return struct.pack(">HH", sx & 0xFFFF, sy & 0xFFFF)

    def apply(self, ctx, r):
        sx, sy = r.opts["src"]
        ctx.copy_area(sx, sy, r.x, r.y, r.w, r.h)


register(CopyRect())
