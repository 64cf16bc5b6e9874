"""The ZRLE family: ZRLE (16), ZYWRLE (17), ZSTDRLE (28), ZSTDYWRLE (29), XZ (18), XZYW (19).

Tile format (RFC 6143 7.7.6): 64 x 64 tiles, left to right, top to bottom, the last
ones clipped. Each tile: a subencoding byte s, palette size p = s & 127, p compact
pixels (CPIXEL), then
  p = 1            solid tile
  s = 128          plain runs: CPIXEL, run length
  s = 128 + p      palette runs: index byte (bit 7: a run length follows)
  2 <= p <= 16     packed indices, 1/2/4 bits (p = 2 / 3-4 / 5-16), rows start on a byte;
                   17 <= p <= 127 take 8 bits
  s = 0            raw CPIXELs
A run length is 1 + the sum of its bytes, every 255 meaning another byte follows.
CPIXEL: 3 bytes for 32 bpp true colour with depth <= 24 whose colours fit the low or
high three bytes (the bytes of the pixel that matter, in the format's byte order),
else the pixel as it is.

ZRLE / ZSTDRLE / ZYWRLE / ZSTDYWRLE rectangle: u32 length, then the tiles as one
block of the connection's "zrle" stream (zlib, or zstd for 28 and 29).

ZYWRLE: a tile may instead carry wavelet coefficients: a subencoding byte 0, then the
coefficient tile in any of the forms above. The analysis is the inverse of the
viewer's synthesis at level l (1, 2 or 3, from the client's quality): W x H = tile
size rounded down to multiples of 2^l; each pixel's three colour bytes (32 bpp: bytes
0-2 of the pixel value; 16 bpp: the 5/6/5 fields at the top of their bytes) become a
luma byte and two colour differences; per level i = 0..l-1 the pairs (x, x + s) and
then (y, y + s) are transformed; the coefficients go out band by band (per level the
odd/odd, even/odd and odd/even cells, then the remaining low band), then the edge
pixels that the transform does not cover. Detail coefficients are quantised more
coarsely at higher levels; the result is lossy (tests compare by PSNR).

XZ / XZYW: the header holds the sub-rectangle count in x (high 16 bits) and y, and
the compressed length in w (high 16 bits) and h; the payload is one block of the
connection's "xz" stream holding the count 8-byte sub-rectangle headers and then each
sub-rectangle's tiles. Each sub-rectangle counts as one rectangle of the update's
rectangle count (a list of n counts n; an empty list counts none).

opts:
  mode       "auto" (default: the smallest form per tile), or one form for every tile
             that allows it: "raw", "rle", "prle", "packed", "solid"
  level      ZYWRLE level (default: from the client's quality pseudo-encoding)
  wavelet    False: no wavelet tiles even for ZYWRLE
  junk       bytes appended after the tiles inside the compressed block
  subrects   XZ: list of [x, y, w, h] areas sent as the sub-rectangles (default: the
             rectangle itself)
  extra      XZ: bytes appended inside the block after the sub-rectangles
"""

import struct

import numpy as np

from . import Encoder, register
from .streams import stream


# -- compact pixels -------------------------------------------------------------------

def cpixel_info(pf):
    """(bytes per CPIXEL, which bytes of the pixel's wire form)."""
    if pf.bpp == 32 and pf.true_colour and pf.depth <= 24:
        fields = [(pf.red_max, pf.red_shift), (pf.green_max, pf.green_shift),
                  (pf.blue_max, pf.blue_shift)]
        low = all((m << s) <= 0xFFFFFF for m, s in fields)
        high = all(s >= 8 for _m, s in fields)
        if low or high:
            # Wire bytes of a little-endian pixel are least significant first.
            lsb_first = not pf.big_endian
            if low:
                return 3, slice(0, 3) if lsb_first else slice(1, 4)
            return 3, slice(1, 4) if lsb_first else slice(0, 3)
    return pf.bytes_per_pixel, slice(0, pf.bytes_per_pixel)


def cpixel_bytes(pf, values):
    """CPIXEL bytes of an array of pixel values."""
    n, sl = cpixel_info(pf)
    wire = np.frombuffer(pf.values_to_bytes(values), dtype=np.uint8)
    wire = wire.reshape(-1, pf.bytes_per_pixel)
    return wire[:, sl].tobytes()


def _run_length(n):
    out = bytearray()
    n -= 1
    while n >= 255:
        out.append(255)
        n -= 255
    out.append(n)
    return bytes(out)


# -- tiles ----------------------------------------------------------------------------

def _runs(flat):
    """(start indices, lengths) of the runs of equal values."""
    change = np.flatnonzero(flat[1:] != flat[:-1]) + 1
    starts = np.concatenate(([0], change))
    lengths = np.diff(np.concatenate((starts, [flat.size])))
    return starts, lengths


def encode_tile(pf, tile, mode="auto", allow_raw=True):
    """One tile (h, w) of pixel values as ZRLE tile bytes. Without allow_raw the raw
    form is never chosen (in ZYWRLE a subencoding 0 announces wavelet coefficients)."""
    h, w = tile.shape
    flat = tile.reshape(-1)
    cpx = lambda v: cpixel_bytes(pf, np.asarray(v, dtype=np.uint32))
    palette, index = np.unique(flat, return_inverse=True)
    p = len(palette)
    starts, lengths = _runs(flat)
    forms = {}
    forms["raw"] = bytes([0]) + cpx(flat)
    if p == 1:
        forms["solid"] = bytes([1]) + cpx(palette[:1])
    rle = bytearray([128])
    for s, n in zip(starts, lengths):
        rle += cpx(flat[s:s + 1]) + _run_length(int(n))
    forms["rle"] = bytes(rle)
    if 2 <= p <= 127:
        head = bytes([128 + p]) + cpx(palette)
        body = bytearray()
        for s, n in zip(starts, lengths):
            i = int(index[s])
            body += bytes([i]) if n == 1 else bytes([i | 128]) + _run_length(int(n))
        forms["prle"] = head + bytes(body)
        bits = 1 if p == 2 else 2 if p <= 4 else 4 if p <= 16 else 8
        packed = bytearray([p]) + cpx(palette)
        idx = index.reshape(h, w)
        for row in idx:
            acc, nbits = 0, 0
            for v in row.tolist():
                acc = (acc << bits) | v
                nbits += bits
                if nbits == 8:
                    packed.append(acc)
                    acc, nbits = 0, 0
            if nbits:
                packed.append(acc << (8 - nbits))
        forms["packed"] = bytes(packed)
    if not allow_raw:
        del forms["raw"]
    if mode != "auto" and mode in forms:
        return forms[mode]
    return min(forms.values(), key=len)


# -- ZYWRLE analysis ------------------------------------------------------------------

def _s8(v):
    return ((np.asarray(v, dtype=np.int64) + 128) & 255) - 128


def _synthesis_pair(a, b):
    """What the viewer makes of a coefficient pair (a, b), signed bytes (arrays)."""
    a, b = np.asarray(a, dtype=np.int64), np.asarray(b, dtype=np.int64)
    differ = ((a ^ b) & 0x80) != 0
    s = _s8(a + b)
    d = _s8(a - b)
    first = np.where(differ, s, np.where(((d ^ a) & 0x80) != 0, b, a))
    second = np.where(differ, np.where(((s ^ b) & 0x80) != 0, a, _s8(-b)), d)
    return first, second


_ANALYSIS = None


def _analysis_table():
    """For every wanted output pair (a, b) a coefficient pair the viewer turns into it,
    or, for the few pairs it never produces, into the nearest pair it does produce."""
    global _ANALYSIS
    if _ANALYSIS is None:
        ca, cb = np.meshgrid(np.arange(-128, 128), np.arange(-128, 128), indexing="ij")
        ca, cb = ca.reshape(-1), cb.reshape(-1)
        fa, fb = _synthesis_pair(ca, cb)
        table = np.full((256, 256, 2), 999, dtype=np.int64)
        table[fa + 128, fb + 128, 0] = ca
        table[fa + 128, fb + 128, 1] = cb
        missing = np.argwhere(table[..., 0] == 999)
        have = np.argwhere(table[..., 0] != 999)
        for ia, ib in missing:
            dist = np.abs(have[:, 0] - ia) + np.abs(have[:, 1] - ib)
            na, nb = have[np.argmin(dist)]
            table[ia, ib] = table[na, nb]
        _ANALYSIS = table
    return _ANALYSIS


def _analysis_pair(a, b):
    t = _analysis_table()
    c = t[np.asarray(a) + 128, np.asarray(b) + 128]
    return c[..., 0], c[..., 1]


def _split(pf, values):
    """(.., 3) colour bytes of pixel values, as the viewer's synthesis reads them."""
    v = values.astype(np.int64)
    if pf.bpp == 16:
        green_bits = 5 if pf.green_max < 32 else 6
        return np.stack([(v & 31) << 3, ((v >> 5) & ((1 << green_bits) - 1)) << (8 - green_bits),
                         ((v >> (5 + green_bits)) & 31) << 3], axis=-1)
    return np.stack([v & 255, (v >> 8) & 255, (v >> 16) & 255], axis=-1)


def _join(pf, c):
    """Pixel values of (.., 3) coefficient bytes (signed or not; masked to a byte)."""
    c = np.asarray(c, dtype=np.int64) & 255
    if pf.bpp == 16:
        green_bits = 5 if pf.green_max < 32 else 6
        return ((c[..., 2] >> 3) << (5 + green_bits) | (c[..., 1] >> (8 - green_bits)) << 5
                | c[..., 0] >> 3).astype(np.uint32)
    return (c[..., 0] | c[..., 1] << 8 | c[..., 2] << 16).astype(np.uint32)


def zywrle_supported(pf):
    """Forms whose pixel bytes the synthesis reads as colour bytes: little-endian 16 bpp
    and 32 bpp pixels with the colours in the low three bytes."""
    if pf.big_endian or not pf.true_colour:
        return False
    if pf.bpp == 16:
        return True
    return pf.bpp == 32 and cpixel_info(pf) == (3, slice(0, 3))


MARGIN = 2


def zywrle_tile(pf, tile, level):
    """The coefficient tile (same shape) that stands for `tile` at `level`, or None
    when the tile is too small for the transform."""
    h, w = tile.shape
    unit = 1 << level
    W, H = w & ~(unit - 1), h & ~(unit - 1)
    if W == 0 or H == 0:
        return None
    c = _split(pf, tile[:H, :W])  # (H, W, 3), 0..255
    b0, b1, b2 = c[..., 0], c[..., 1], c[..., 2]
    d0 = (b0 - b1) >> 1
    d2 = (b2 - b1) >> 1
    y1 = b1 - 128 + ((2 * d0 + 2 * d2) >> 2)
    # The synthesis adds pairs of signed bytes with wrap-around; quantised details next to
    # the extremes would wrap (black turning white), so the range keeps a small margin.
    m = MARGIN
    cells = np.clip(np.stack([d0, y1, d2], axis=-1), -128 + m, 127 - m).astype(np.int64)
    # Coarser steps for the detail bands of the finer levels, at higher levels; at 16 bpp
    # every coefficient must also survive the 5/6-bit fields.
    for i in range(level):
        s = 1 << i
        # Horizontal pairs (x, x + s) on every row at a multiple of s, then vertical.
        a, b = _analysis_pair(cells[::s, 0::2 * s], cells[::s, s::2 * s])
        cells[::s, 0::2 * s], cells[::s, s::2 * s] = a, b
        a, b = _analysis_pair(cells[0::2 * s, ::s], cells[s::2 * s, ::s])
        cells[0::2 * s, ::s], cells[s::2 * s, ::s] = a, b
        step = 1 << max(0, level - 1 - i)
        for band in (cells[s::2 * s, s::2 * s], cells[s::2 * s, 0::2 * s],
                     cells[0::2 * s, s::2 * s]):
            band[...] = np.sign(band) * (np.abs(band) // step) * step  # toward zero
    if pf.bpp == 16:
        gq = 8 if pf.green_max < 32 else 4
        q = np.array([8, gq, 8])
        cells = np.sign(cells) * (np.abs(cells) // q) * q
    seq = []
    for i in range(level):
        s = 1 << i
        seq.append(cells[s::2 * s, s::2 * s].reshape(-1, 3))
        seq.append(cells[s::2 * s, 0::2 * s].reshape(-1, 3))
        seq.append(cells[0::2 * s, s::2 * s].reshape(-1, 3))
    seq.append(cells[0::unit, 0::unit].reshape(-1, 3))
    coeff = _join(pf, np.concatenate(seq))
    edges = [tile[:H, W:].reshape(-1), tile[H:, :W].reshape(-1), tile[H:, W:].reshape(-1)]
    return np.concatenate([coeff] + edges).astype(np.uint32).reshape(h, w)


def client_level(ctx):
    """The ZYWRLE level for the client's quality pseudo-encoding (-32 + quality)."""
    for e in ctx.client_encodings or []:
        if -32 <= e <= -23:
            q = e + 32
            return 3 if q <= 2 else 1 if q > 5 else 2
    return 1


def encode_tiles(ctx, r, values, wavelet):
    pf = ctx.pf
    mode = r.opts.get("mode", "auto")
    level = int(r.opts.get("level", client_level(ctx))) if wavelet else 0
    use_wavelet = wavelet and r.opts.get("wavelet", True) and zywrle_supported(pf)
    out = bytearray()
    h, w = values.shape
    for ty in range(0, h, 64):
        for tx in range(0, w, 64):
            tile = values[ty:ty + 64, tx:tx + 64]
            coeff = zywrle_tile(pf, tile, level) if use_wavelet else None
            if coeff is not None:
                out += b"\x00" + encode_tile(pf, coeff, mode)
            else:
                # The viewer takes a first subencoding 0 as the wavelet flag whenever it
                # decodes a wavelet encoding at more than 8 bits per pixel.
                out += encode_tile(pf, tile, mode, allow_raw=not (wavelet and level and pf.bpp > 8))
    return bytes(out)


class Zrle(Encoder):
    name = "zrle"
    number = 16
    kind = "zlib"
    wavelet = False

    def encode(self, ctx, r):
        values = ctx.pf.pixel_values(r.content(ctx)) if (r.w and r.h) else np.zeros((0, 0))
        data = encode_tiles(ctx, r, values, self.wavelet) + bytes(int(r.opts.get("junk", 0)))
        block = stream(ctx, "zrle", self.kind).block(data)
        return struct.pack(">I", len(block)) + block


class Zywrle(Zrle):
    name = "zywrle"
    number = 17
    wavelet = True


class ZstdRle(Zrle):
    name = "zstdrle"
    number = 28
    kind = "zstd"


class ZstdYwrle(Zrle):
    name = "zstdywrle"
    number = 29
    kind = "zstd"
    wavelet = True


class Xz(Encoder):
    name = "xz"
    number = 18
    wavelet = False

    def _areas(self, r):
        return [tuple(a) for a in r.opts.get("subrects", [(r.x, r.y, r.w, r.h)])]

    def counts(self, r):
        return len(self._areas(r))

    def encode(self, ctx, r):
        areas = self._areas(r)
        data = bytearray()
        for x, y, w, h in areas:
            data += struct.pack(">HHHH", x, y, w, h)
        for x, y, w, h in areas:
            if w and h:
                values = ctx.pf.pixel_values(ctx.desktop_crop(x, y, w, h))
                data += encode_tiles(ctx, r, values, self.wavelet)
        data += bytes(int(r.opts.get("extra", 0)))
        block = stream(ctx, "xz", "xz").block(data)
        n, length = len(areas), len(block)
        r.wire = (n >> 16, n & 0xFFFF, length >> 16, length & 0xFFFF)
        return block

    def apply(self, ctx, r):
        for x, y, w, h in self._areas(r):
            ctx.save_to_cache(x, y, w, h)
            ctx.view_set(x, y, ctx.desktop_crop(x, y, w, h))


class Xzyw(Xz):
    name = "xzyw"
    number = 19
    wavelet = True


for _e in (Zrle(), Zywrle(), ZstdRle(), ZstdYwrle(), Xz(), Xzyw()):
    register(_e)
