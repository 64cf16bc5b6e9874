#!/usr/bin/python3
"""Writes seed inputs for the stream fuzzers: valid compressed blocks behind the
4-byte plan the fuzzers read first."""
import lzma
import os
import sys
import zlib

import zstandard

out = sys.argv[1]
text = b"".join(b"row %d of a screen " % i * (i % 7 + 1) for i in range(300))


def write(name, idx, payload):
    d = os.path.join(out, name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed%d" % idx), "wb") as f:
        f.write(payload)


plans = [bytes([0, 0, 4, 0]), bytes([1, 0x1B, 40, 0x55])]
for i, plan in enumerate(plans):
    c = zlib.compressobj(6)
    blocks = c.compress(text[:3000]) + c.flush(zlib.Z_SYNC_FLUSH) + c.compress(text[3000:]) + c.flush(zlib.Z_SYNC_FLUSH)
    write("fuzz_zlib_stream", i, plan + blocks)
    write("fuzz_zstd_stream", i, plan + zstandard.ZstdCompressor(level=3).compress(text))
    write("fuzz_xz_stream", i, plan + lzma.compress(text, preset=1))


# Tight / TightZstd and Opalo / Opalo2: a 64 x 48 framebuffer in 32-bit 24-bit mode, then
# rectangles behind their 8-byte headers (x, y, w, h; bit 15 of w picks the second kind).
def rect_header(x, y, w, h, second=False):
    return bytes([x >> 8, x & 255, y >> 8, y & 255, (w >> 8) | (0x80 if second else 0), w & 255,
                  h >> 8, h & 255])


def compact(n):
    out = bytearray([n & 0x7F | (0x80 if n > 0x7F else 0)])
    if n > 0x7F:
        out.append((n >> 7) & 0x7F | (0x80 if n > 0x3FFF else 0))
        if n > 0x3FFF:
            out.append(n >> 14)
    return bytes(out)


def jpeg(w, h):
    import io
    from PIL import Image
    buf = io.BytesIO()
    img = Image.frombytes("RGB", (w, h), bytes((x * 7 + y * 3 + c * 50) & 255 for y in range(h)
                                                  for x in range(w) for c in range(3)))
    img.save(buf, format="JPEG", quality=50)
    return buf.getvalue()


screen = bytes([0, 0, 64, 0, 48])
rows = bytes((i * 13) & 255 for i in range(32 * 16 * 3))
z = zlib.compressobj(6)
zrows = z.compress(rows) + z.flush(zlib.Z_SYNC_FLUSH)
zs = zstandard.ZstdCompressor(level=3).compressobj()
zsrows = zs.compress(rows) + zs.flush(zstandard.COMPRESSOBJ_FLUSH_BLOCK)
zgrad = zlib.compress(bytes((i * 5) & 255 for i in range(16 * 8 * 3)))  # a stream of its own
j = jpeg(24, 16)
tight = (screen
         + rect_header(0, 0, 64, 48) + bytes([0x8F, 10, 200, 30])                  # fill, resets
         + rect_header(0, 0, 32, 16) + bytes([0x00]) + compact(len(zrows)) + zrows  # copy
         + rect_header(32, 0, 32, 16, True) + bytes([0x00]) + compact(len(zsrows)) + zsrows
         + rect_header(0, 16, 9, 4) + bytes([0x50, 0x01, 0x01, 1, 2, 3, 200, 100, 0])
         + bytes([0xAA, 0x80] * 4)                                                  # mono palette
         + rect_header(8, 16, 16, 8) + bytes([0x70, 0x02]) + compact(len(zgrad)) + zgrad  # gradient
         + rect_header(0, 24, 24, 16) + bytes([0x90]) + compact(len(j)) + j)        # JPEG
write("fuzz_tight", 0, tight)

try:
    import lzo
    raw = bytes((i * 7) & 255 for i in range(20 * 10 * 4))
    block = lzo.compress(raw, 1, False)
    j = jpeg(20, 10)
    opalo = (screen + rect_header(0, 0, 20, 10) + len(block).to_bytes(4, "big") + block
             + rect_header(20, 0, 20, 10, True) + len(j).to_bytes(4, "big") + j)
    write("fuzz_opalo", 0, opalo)
except ImportError:
    pass


# The compressed families (fuzz/CompressedFuzz.h): format byte, size, options, then
# rectangles as selector, x, y, w, h, token count and tokens; tokens 0x80-0x9F carry
# plain bytes that the harness compresses.
def crect(selector, x, y, w, h, tokens):
    return bytes([selector]) + b"".join(v.to_bytes(2, "big") for v in (x, y, w, h)) + bytes([len(tokens)]) + b"".join(tokens)


def ztok(stream, plain, u32=True, zstd=False):
    return bytes([(0x90 if u32 else 0x80) | stream | (4 if zstd else 0), len(plain)]) + plain


def lit(b):
    return bytes([len(b) - 1]) + b


head = bytes([0, 0, 64, 0, 48, 0x0B])  # 32 bits, 64 x 48, cache on, quality 4
pix = bytes(range(0, 48))             # 12 pixels of 4 bytes
tiles = bytes([1, 10, 20, 30]) + bytes([128, 1, 2, 3, 255, 4, 5, 6, 0]) + bytes([2, 0, 0, 0, 9, 9, 9]) + bytes(8)
write("fuzz_zlib_family", 0, head
      + crect(0, 0, 0, 4, 3, [ztok(0, pix)])                                   # Zlib
      + crect(2, 0, 0, 36, 3, [lit(bytes([2, 1, 2, 3, 4])), lit(bytes([32])), ztok(1, bytes(16 * 3 * 4), False),
                               lit(bytes([64 | 8])), ztok(2, bytes([1, 0x11, 0x00]), False)]))  # ZlibHex
write("fuzz_zrle_family", 0, head
      + crect(0, 0, 0, 66, 5, [ztok(3, tiles)])                                # ZRLE
      + crect(1, 8, 8, 16, 8, [ztok(3, bytes([0, 1, 0, 0, 0]))])              # ZYWRLE wavelet tile
      + crect(4, 0, 1, 0, 0, [bytes([0xA0, 0, 16]) + bytes([0, 2, 0, 3, 0, 4, 0, 4, 1, 50, 60, 70, 0, 0, 0, 0])]))  # XZ
entries = (bytes([0, 1, 0, 1, 0, 2, 0, 2, 0, 0, 0, 0]) + bytes(16)
           + bytes([0, 5, 0, 5, 0, 1, 0, 1, 0, 0, 0, 1]))
write("fuzz_cache_lists", 0, head
      + crect(7, 0, 0, 10, 10, [lit(bytes(100))] * 4)                          # Raw
      + crect(0, 1, 1, 4, 4, [lit(b"\0\0")])                                   # cache swap
      + crect(1, 2, 0, 0, 0, [bytes([0xA2, 0, 16]) + bytes([0, 1, 0, 1, 0, 2, 0, 2, 0, 3, 0, 3, 0, 1, 0, 1])])
      + crect(2, 2, len(entries), 0, 0, [ztok(0, entries)])
      + crect(3, 2, len(entries), 0, 0, [bytes([0xA1, 0, len(entries)]) + entries]))
