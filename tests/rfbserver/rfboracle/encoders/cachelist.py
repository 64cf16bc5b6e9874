"""The cache and rectangle-list pseudo-encodings.

The viewer keeps a cache bitmap of the framebuffer's geometry when its "EnableCache"
option is on (the model: Session.cache_on): before it decodes a rectangle it saves the
area to the cache, and these encodings ask it to bring saved areas back or carry lists
of small areas in one compressed block.

0xFFFF0000 "cache":      u16 (unused); the header's area is swapped with the cache.
0xFFFF0007 "cachezip":   header x = entry count; u32 length, then a one-shot zlib
                         block (compress()) of 8-byte entries x, y, w, h (u16 each); each
                         area is swapped with the cache.
0xFFFF0008 "ziplist",    header x = entry count, header w x 65535 + y = the raw size of
0xFFFF000A "zstdlist":   the block; u32 length, then one block of the connection's "zlib"
                         stream (zlib / zstd, shared with Zlib 6 / ZSTD 25) holding
                         12-byte entries x, y, w, h (u16), flag (u32); flag 0: w x h
                         pixels follow. Each area is saved to the cache, then drawn.
0xFFFF0009 "lzolist":    the same list as one LZO1X block (raw size above 106,000,000,
                         more than 25,000 entries or a length above the raw size are
                         refused); areas are not saved to the cache; the list ends at the
                         first area outside the framebuffer.

opts:
  areas      list of [x, y, w, h] (pixels from the desktop) or [x, y, w, h, false] (an
             entry without pixels); cache/cachezip: the areas to swap
  count      value of the header's count instead of the number of areas
  raw_size   value of the header's raw size instead of the block's real size
  value      cache: the u16 sent (default 0)
"""

import struct
import zlib

import numpy as np

from . import Encoder, register
from .streams import lzo1x, stream


def _list_header(count, raw):
    return (count & 0xFFFF, raw % 65535, raw // 65535, 0)


class CacheRect(Encoder):
    name = "cache"
    number = 0xFFFF0000
    pseudo = True

    def encode(self, ctx, r):
        return struct.pack(">H", int(r.opts.get("value", 0)) & 0xFFFF)

    def apply(self, ctx, r):
        ctx.swap_with_cache(r.x, r.y, r.w, r.h)


class CacheZipList(Encoder):
    name = "cachezip"
    number = 0xFFFF0007
    pseudo = True

    def encode(self, ctx, r):
        areas = r.opts.get("areas", [])
        plain = b"".join(struct.pack(">HHHH", *a[:4]) for a in areas)
        block = zlib.compress(plain)
        r.wire = _list_header(int(r.opts.get("count", len(areas))), 0)
        return struct.pack(">I", len(block)) + block

    def apply(self, ctx, r):
        areas = r.opts.get("areas", [])
        for a in areas[:int(r.opts.get("count", len(areas)))]:
            ctx.swap_with_cache(*a[:4])


class _PixelList(Encoder):
    pseudo = True

    def _entries(self, ctx, r):
        out = bytearray()
        for a in r.opts.get("areas", []):
            x, y, w, h = a[:4]
            pixels = len(a) < 5 or a[4]
            out += struct.pack(">HHHHI", x, y, w, h, 0 if pixels else 1)
            if pixels:
                out += ctx.pf.encode_image(ctx.desktop_crop(x, y, w, h))
        return bytes(out)

    def _header(self, r, plain):
        areas = r.opts.get("areas", [])
        r.wire = _list_header(int(r.opts.get("count", len(areas))),
                              int(r.opts.get("raw_size", len(plain))))


class ZipRectList(_PixelList):
    name = "ziplist"
    number = 0xFFFF0008
    kind = "zlib"

    def encode(self, ctx, r):
        plain = self._entries(ctx, r)
        block = stream(ctx, "zlib", self.kind).block(plain)
        self._header(r, plain)
        return struct.pack(">I", len(block)) + block

    def apply(self, ctx, r):
        for a in r.opts.get("areas", []):
            ctx.save_to_cache(*a[:4])
            if len(a) < 5 or a[4]:
                ctx.view_set(a[0], a[1], ctx.desktop_crop(*a[:4]))


class ZstdRectList(ZipRectList):
    name = "zstdlist"
    number = 0xFFFF000A
    kind = "zstd"


class LzoRectList(_PixelList):
    name = "lzolist"
    number = 0xFFFF0009

    def encode(self, ctx, r):
        plain = self._entries(ctx, r)
        block = lzo1x(plain)
        self._header(r, plain)
        return struct.pack(">I", len(block)) + block

    def apply(self, ctx, r):
        W, H = ctx.view.shape[1], ctx.view.shape[0]
        for a in r.opts.get("areas", []):
            x, y, w, h = a[:4]
            if x + w > W or y + h > H:
                break
            if len(a) < 5 or a[4]:
                ctx.view_set(x, y, ctx.desktop_crop(x, y, w, h))


for _e in (CacheRect(), CacheZipList(), ZipRectList(), ZstdRectList(), LzoRectList()):
    register(_e)
