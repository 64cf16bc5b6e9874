"""ZlibHex (8) and ZstdHex (27): Hextile's 16 x 16 tiles, each sent plain or through
one of two persistent streams ("zlibhex-raw", "zlibhex-enc"; zlib for 8, zstd for 27).

Subencoding byte: Hextile's bits (1 raw, 2 background, 4 foreground, 8 subrectangles,
16 coloured) plus 32 (a u16 length and the tile's raw pixels compressed) and 64 (a u16
length and the tile's hextile data compressed: background, foreground, count and
subrectangles as the bits say). Bit 1 wins over 32 and 64, and 32 over 64.
The background and foreground the client holds carry over from tile to tile and from
rectangle to rectangle, whichever form brought them; raw tiles leave them alone.

opts:
  mode   "auto" (default: raw tiles compressed, hextile data compressed when longer
         than 24 bytes), "plain" (nothing compressed), "zraw" (every tile as compressed
         raw pixels), "zhex" (every tile that is not raw as compressed hextile data),
         "raw+z" (raw tiles with bits 1 and 32 both set: read as plain raw)
"""

import struct

import numpy as np

from . import Encoder, register, cover, most_common
from .streams import stream

RAW, BG, FG, ANY, COLOURED, ZRAW, ZHEX = 1, 2, 4, 8, 16, 32, 64


def _xywh(x, y, w, h):
    return bytes([(x << 4) | y, ((w - 1) << 4) | (h - 1)])


class ZlibHex(Encoder):
    name = "zlibhex"
    number = 8
    kind = "zlib"

    def _tile(self, pf, tile, bg, fg):
        """(flags, hextile body, bg, fg) for a tile, or None when raw is the better form."""
        raw_len = tile.size * pf.bytes_per_pixel
        tbg = most_common(tile)
        subs = cover(tile, tbg, 255)
        if subs is None:
            return None
        px = lambda v: pf.values_to_bytes(np.array([v]))
        flags, body = 0, bytearray()
        if tbg != bg:
            flags |= BG
            body += px(tbg)
        if subs:
            flags |= ANY
            colours = {s[4] for s in subs}
            if len(colours) == 1:
                c = subs[0][4]
                if c != fg:
                    flags |= FG
                    body += px(c)
                fg = c
                body.append(len(subs))
                for x, y, w, h, _v in subs:
                    body += _xywh(x, y, w, h)
            else:
                flags |= COLOURED
                body.append(len(subs))
                for x, y, w, h, v in subs:
                    body += px(v) + _xywh(x, y, w, h)
                fg = subs[-1][4]
        if len(body) >= raw_len:
            return None
        return flags, bytes(body), tbg, fg

    def encode(self, ctx, r):
        pf = ctx.pf
        mode = r.opts.get("mode", "auto")
        key = ("zlibhex-colours", pf.pack())
        bg, fg = ctx.state.get(key, (None, None))
        values = pf.pixel_values(r.content(ctx)) if (r.w and r.h) else None
        raw_stream = stream(ctx, "zlibhex-raw", self.kind)
        enc_stream = stream(ctx, "zlibhex-enc", self.kind)
        out = bytearray()
        for ty in range(0, r.h, 16):
            for tx in range(0, r.w, 16):
                tile = values[ty:ty + 16, tx:tx + 16]
                coded = None if mode in ("zraw", "raw+z") else self._tile(pf, tile, bg, fg)
                if coded is None:
                    raw = pf.values_to_bytes(tile)
                    if mode in ("plain", "raw+z"):
                        out += bytes([RAW | (ZRAW if mode == "raw+z" else 0)]) + raw
                    else:
                        z = raw_stream.block(raw)
                        out += bytes([ZRAW]) + struct.pack(">H", len(z)) + z
                    continue
                flags, body, bg, fg = coded
                if mode == "zhex" or (mode == "auto" and len(body) > 24):
                    z = enc_stream.block(body)
                    out += bytes([ZHEX | flags]) + struct.pack(">H", len(z)) + z
                else:
                    out += bytes([flags]) + body
        ctx.state[key] = (bg, fg)
        return bytes(out)


class ZstdHex(ZlibHex):
    name = "zstdhex"
    number = 27
    kind = "zstd"


register(ZlibHex())
register(ZstdHex())
