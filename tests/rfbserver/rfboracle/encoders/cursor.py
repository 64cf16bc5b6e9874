"""Cursor pseudo-encodings: rich cursor (0xFFFFFF11), X cursor (0xFFFFFF10) and
pointer position (0xFFFFFF18).

Shapes: header x, y = hot spot, w, h = size; mask and X-cursor source bitmaps are
rows of (w + 7) / 8 bytes, most significant bit first.

  rich cursor: w x h pixels in the client's format, then the mask.
  X cursor:    fore r, g, b, back r, g, b (one byte each), source bitmap (1 = fore),
               then the mask.

opts:
  cursor      RGBA array (h, w, 4) (nested lists accepted); default: an arrow of the
              header size; alpha >= 128 is opaque
  fore, back  X cursor colours (default black and white); a pixel takes the nearer one
  pixels_hex, source_hex, mask_hex   raw replacements of the parts (hostile forms)
"""

import numpy as np

from . import Encoder, register


def arrow(w=11, h=17):
    """A deterministic arrow cursor: black outline, white inside, transparent rest."""
    rgba = np.zeros((h, w, 4), dtype=np.uint8)
    inside = np.zeros((h, w), dtype=bool)
    for y in range(h):
        span = min(y + 1, w) if y < (h * 2) // 3 else max(1, min(w, 4))
        x0 = 0 if y < (h * 2) // 3 else min(w - 1, (y - (h * 2) // 3) // 2 + 1)
        inside[y, x0:min(w, x0 + span)] = True
    edge = inside.copy()
    core = inside.copy()
    core[1:-1, 1:-1] = inside[1:-1, 1:-1] & inside[:-2, 1:-1] & inside[2:, 1:-1] \
        & inside[1:-1, :-2] & inside[1:-1, 2:]
    core[0, :] = core[-1, :] = False
    core[:, 0] = core[:, -1] = False
    edge &= ~core
    rgba[edge] = (0, 0, 0, 255)
    rgba[core] = (255, 255, 255, 255)
    return rgba


def _shape(r):
    if "cursor" in r.opts:
        c = np.asarray(r.opts["cursor"], dtype=np.uint8)
        if c.ndim != 3 or c.shape[2] != 4:
            raise ValueError("cursor must be an RGBA array (h, w, 4)")
        return c
    return arrow(r.w, r.h) if r.w and r.h else np.zeros((0, 0, 4), dtype=np.uint8)


def _bits(flags):
    if flags.size == 0:
        return b""
    return np.packbits(flags.astype(np.uint8), axis=1).tobytes()


class RichCursor(Encoder):
    name = "richcursor"
    number = 0xFFFFFF11
    pseudo = True

    def encode(self, ctx, r):
        c = _shape(r)
        if c.size == 0:
            return b""
        pixels = (bytes.fromhex(r.opts["pixels_hex"]) if "pixels_hex" in r.opts
                  else ctx.pf.encode_image(c[..., :3]))
        mask = (bytes.fromhex(r.opts["mask_hex"]) if "mask_hex" in r.opts
                else _bits(c[..., 3] >= 128))
        return pixels + mask

    def apply(self, ctx, r):
        c = _shape(r)
        shown = np.zeros(c.shape, dtype=np.uint8)
        if c.size:
            shown[..., :3] = ctx.pf.displayed(c[..., :3])
            shown[..., 3] = np.where(c[..., 3] >= 128, 255, 0)
        ctx.cursor = {"hot": (r.x, r.y), "rgba": shown}


class XCursor(Encoder):
    name = "xcursor"
    number = 0xFFFFFF10
    pseudo = True

    def _planes(self, r):
        c = _shape(r)
        fore = np.array(r.opts.get("fore", (0, 0, 0)), dtype=np.int32)
        back = np.array(r.opts.get("back", (255, 255, 255)), dtype=np.int32)
        rgb = c[..., :3].astype(np.int32)
        src = (((rgb - fore) ** 2).sum(-1) <= ((rgb - back) ** 2).sum(-1))
        return c, src, c[..., 3] >= 128, fore, back

    def encode(self, ctx, r):
        c, src, mask, fore, back = self._planes(r)
        if c.size == 0:
            return b""
        colours = bytes(int(v) & 0xFF for v in list(fore) + list(back))
        source = (bytes.fromhex(r.opts["source_hex"]) if "source_hex" in r.opts
                  else _bits(src))
        maskb = bytes.fromhex(r.opts["mask_hex"]) if "mask_hex" in r.opts else _bits(mask)
        return colours + source + maskb

    def apply(self, ctx, r):
        c, src, mask, fore, back = self._planes(r)
        shown = np.zeros(c.shape, dtype=np.uint8)
        if c.size:
            shown[..., :3] = np.where(src[..., None], fore, back)
            shown[..., 3] = np.where(mask, 255, 0)
        ctx.cursor = {"hot": (r.x, r.y), "rgba": shown}


class CursorPos(Encoder):
    name = "cursorpos"
    number = 0xFFFFFF18
    pseudo = True

    def encode(self, ctx, r):
        return b""

    def apply(self, ctx, r):
        ctx.cursor_pos = (r.x, r.y)


register(RichCursor(), "0xffffff11")
register(XCursor(), "0xffffff10")
register(CursorPos(), "pointerpos")
