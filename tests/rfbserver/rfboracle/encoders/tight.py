"""Tight (7) and TightZstd (26).

A rectangle starts with a control byte: bits 0-3 restart compression streams 0-3; the
high nibble is 8 for a fill, 9 for a JPEG image, or (bit 6 = explicit filter, bits 4-5 =
stream number) for "basic" data. Basic data pass through one of three filters (copy,
palette, gradient) and one of four persistent compression streams (zlib for Tight, zstd
for TightZstd), except that data under 12 bytes travel as they are. Lengths are "compact":
7 bits per byte, at most 3 bytes (the third carries 8 bits).

In 24-bit mode (depth 24, every maximum 255) pixels of the copy and gradient filters,
palette entries and fill colours travel as 3 bytes red, green, blue; otherwise as pixels
of the client's format.

opts:
  mode      "auto" (default: fill for one colour, mono for two, palette up to `palette_max`
            colours, JPEG when a quality is given, else gradient or copy by `lossless`),
            "fill" (the first pixel's colour), "copy", "mono", "palette", "gradient", "jpeg"
  lossless  "copy" (default) or "gradient": the basic filter "auto" uses for rich content
  palette_max  most colours for the palette filter in "auto" (default 64)
  quality   JPEG quality level 0-9 (the server's table, as the quality-level pseudo-
            encodings ask) or "jpeg_quality" 1-100 directly; "auto" sends JPEG only with one
  stream    stream number for the basic data (default: 0 copy, 1 mono, 2 palette,
            3 gradient)
  reset     stream numbers to restart (server and, through the control bits, client);
            the four streams are the connection's compressors "tight-0" to "tight-3"
  filter_byte  True/False: copy data with an explicit filter byte 0 (default False)

The model of the client's framebuffer is the image itself (quantised to the client's
format) for the lossless forms and the decoded JPEG image otherwise, each component
stored as component x (maximum + 1) >> 8.
"""

import io

import numpy as np
from PIL import Image

from . import Encoder, register, streams

FILL, JPEG = 8, 9
COPY, PALETTE, GRADIENT = 0, 1, 2
# JPEG quality for quality levels 0-9.
JPEG_QUALITY = [5, 10, 15, 25, 37, 50, 60, 70, 75, 80]


def compact_length(n):
    out = bytearray([n & 0x7F])
    if n > 0x7F:
        out[0] |= 0x80
        out.append((n >> 7) & 0x7F)
        if n > 0x3FFF:
            out[1] |= 0x80
            out.append((n >> 14) & 0xFF)
    return bytes(out)


def is_24bit_mode(pf):
    return (pf.true_colour and pf.depth == 24 and pf.red_max == 255 and pf.green_max == 255
            and pf.blue_max == 255)


def jpeg_bytes(rgb, quality):
    buf = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(rgb), "RGB").save(buf, format="JPEG", quality=int(quality))
    return buf.getvalue()


def jpeg_decoded(data):
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"), dtype=np.uint8)


def viewer_shown(pf, rgb8):
    """What the viewer shows for 8-bit colours it converts itself (JPEG output): each
    component stored as c x (max + 1) >> 8, displayed as level x 255 // max. The result is
    given in a form whose quantisation to `pf` gives those same levels back."""
    rgb8 = np.asarray(rgb8, dtype=np.uint32)
    out = np.empty(rgb8.shape, dtype=np.uint8)
    for i, mx in enumerate((pf.red_max, pf.green_max, pf.blue_max)):
        level = (rgb8[..., i] * (mx + 1)) >> 8
        out[..., i] = level * 255 // mx
    return out


def _stream_name(i):
    return "tight-%d" % i


class Tight(Encoder):
    name = "tight"
    number = 7
    use_zstd = False
    max_w = 2048
    max_h = 2048

    def _pixels(self, pf, values, rgb, mode24):
        """Wire form of pixels (copy filter, palette entries, fill colours)."""
        if mode24:
            return np.ascontiguousarray(rgb, dtype=np.uint8).tobytes()
        return pf.values_to_bytes(values)

    def _quality(self, ctx, r):
        if "jpeg_quality" in r.opts:
            return int(r.opts["jpeg_quality"])
        if "quality" in r.opts:
            return JPEG_QUALITY[int(r.opts["quality"])]
        return None

    def encode(self, ctx, r):
        pf = ctx.pf
        opts = r.opts
        mode24 = is_24bit_mode(pf)
        kind = "zstd" if self.use_zstd else "zlib"
        resets = 0
        for i in opts.get("reset", []):
            ctx.state.pop(("stream", _stream_name(int(i)), kind), None)
            resets |= 1 << int(i)
        rgb = r.content(ctx)
        r._jpeg = r._fill = None
        if r.w == 0 or r.h == 0:
            return bytes([(FILL << 4) | resets]) + self._pixels(
                pf, np.zeros((1,), np.uint32), np.zeros((1, 3), np.uint8), mode24)
        # In 24-bit mode the pixels carry the image's own 8-bit colours.
        colours = rgb.reshape(-1, 3) if mode24 else pf.displayed(rgb).reshape(-1, 3)
        values = pf.pixel_values(rgb)
        uniq, inverse = np.unique(values.reshape(-1), return_inverse=True)
        mode = opts.get("mode", "auto")
        quality = self._quality(ctx, r)
        if mode == "auto":
            if len(uniq) == 1:
                mode = "fill"
            elif len(uniq) == 2:
                mode = "mono"
            elif len(uniq) <= int(opts.get("palette_max", 64)):
                mode = "palette"
            elif quality is not None:
                mode = "jpeg"
            else:
                mode = opts.get("lossless", "copy")

        if mode == "fill":
            first = rgb.reshape(-1, 3)[:1]
            r._fill = first[0]
            return bytes([(FILL << 4) | resets]) + self._pixels(pf, values.reshape(-1)[:1], first,
                                                                  mode24)
        if mode == "jpeg":
            data = jpeg_bytes(rgb, quality if quality is not None else 75)
            r._jpeg = data
            return bytes([(JPEG << 4) | resets]) + compact_length(len(data)) + data

        if mode in ("mono", "palette"):
            if len(uniq) > 256 or len(uniq) < 2:
                raise ValueError("the palette filter needs 2 to 256 colours, not %d" % len(uniq))
            # One colour entry per distinct pixel value, in the order of np.unique.
            first_at = np.zeros(len(uniq), dtype=np.int64)
            first_at[inverse[::-1]] = np.arange(len(inverse))[::-1]
            entry_rgb = rgb.reshape(-1, 3)[first_at]
            head = bytes([len(uniq) - 1]) + self._pixels(pf, uniq, entry_rgb, mode24)
            idx = inverse.reshape(r.h, r.w).astype(np.uint8)
            if len(uniq) == 2:
                rows = np.packbits(idx, axis=1).tobytes()   # MSB first, rows padded to bytes
            else:
                rows = idx.tobytes()
            filt = PALETTE
            stream = int(opts.get("stream", 1 if len(uniq) == 2 else 2))
        elif mode == "gradient":
            head = b""
            filt = GRADIENT
            stream = int(opts.get("stream", 3))
            rows = self._gradient(pf, rgb, values, mode24)
        elif mode == "copy":
            head = b""
            filt = COPY if opts.get("filter_byte") else None
            stream = int(opts.get("stream", 0))
            rows = self._pixels(pf, values, rgb, mode24)
        else:
            raise ValueError("unknown Tight mode %r" % mode)

        control = (stream | (4 if filt is not None else 0)) << 4 | resets
        out = bytearray([control])
        if filt is not None:
            out.append(filt)
        out += head
        if len(rows) < 12:
            out += rows
        else:
            z = streams.stream(ctx, _stream_name(stream), kind).block(rows)
            out += compact_length(len(z)) + z
        return bytes(out)

    def _gradient(self, pf, rgb, values, mode24):
        """Residuals against left + above - above-left, limited to 0..max, per component."""
        if mode24:
            comps = rgb.astype(np.int64)
            maxes = (255, 255, 255)
        else:
            maxes = (pf.red_max, pf.green_max, pf.blue_max)
            shifts = (pf.red_shift, pf.green_shift, pf.blue_shift)
            v = values.astype(np.int64)
            comps = np.stack([(v >> s) & m for m, s in zip(maxes, shifts)], axis=-1)
        h, w, _ = comps.shape
        pad = np.zeros((h + 1, w + 1, 3), dtype=np.int64)
        pad[1:, 1:] = comps
        left, up, ul = pad[1:, :-1], pad[:-1, 1:], pad[:-1, :-1]
        pred = np.clip(left + up - ul, 0, np.array(maxes))
        diff = (comps - pred) & np.array(maxes)
        if mode24:
            return diff.astype(np.uint8).tobytes()
        res = np.zeros((h, w), dtype=np.uint64)
        for i, s in enumerate(shifts):
            res |= diff[..., i].astype(np.uint64) << np.uint64(s)
        return pf.values_to_bytes(res.astype(np.uint32))

    def apply(self, ctx, r):
        if getattr(r, "_jpeg", None) is not None:
            ctx.view_set(r.x, r.y, viewer_shown(ctx.pf, jpeg_decoded(r._jpeg)))
        elif getattr(r, "_fill", None) is not None:
            ctx.view_set(r.x, r.y, np.broadcast_to(r._fill, (r.h, r.w, 3)))
        else:
            Encoder.apply(self, ctx, r)


class TightZstd(Tight):
    name = "tightzstd"
    number = 26
    use_zstd = True


register(Tight())
register(TightZstd(), "tight-zstd")
