"""Zlib (6) and ZSTD (25): u32 length, then the rectangle's pixels (the Raw layout)
as one block of the connection's persistent "zlib" stream (zlib for 6, zstd for 25).

opts (hostile forms; the viewer draws nothing for them and the model keeps the old view):
  plain_extra   bytes appended to the pixels before compression (the block says more
                than the rectangle holds)
  plain_cut     bytes dropped from the end of the pixels
"""

import struct

from . import Encoder, register
from .streams import stream


class Zlib(Encoder):
    name = "zlib"
    number = 6
    kind = "zlib"

    def encode(self, ctx, r):
        plain = ctx.pf.encode_image(r.content(ctx)) if (r.w and r.h) else b""
        cut = int(r.opts.get("plain_cut", 0))
        if cut:
            plain = plain[:-cut]
        plain += b"\x5a" * int(r.opts.get("plain_extra", 0))
        block = stream(ctx, "zlib", self.kind).block(plain)
        return struct.pack(">I", len(block)) + block

    def apply(self, ctx, r):
        if not (r.opts.get("plain_cut") or r.opts.get("plain_extra")):
            Encoder.apply(self, ctx, r)


class Zstd(Zlib):
    name = "zstd"
    number = 25
    kind = "zstd"


register(Zlib())
register(Zstd())
