"""Hextile (5): 16 x 16 tiles, left to right, top to bottom, the last ones clipped.

Each tile starts with a subencoding byte: 1 raw, 2 background follows, 4 foreground
follows, 8 subrectangles follow (u8 count), 16 subrectangles are coloured. A
subrectangle is [pixel] xy wh, with x/y in the high/low nibble and w-1/h-1 likewise.

opts:
  mode      "auto" (default: the smallest of solid, mono, coloured and raw per tile),
            "raw" (every tile raw), "coloured" (never the mono form),
            "mono-only" (two-colour tiles as mono, richer tiles raw)
  inherit   "safe" (default): after a raw tile the background and foreground are sent
            again, and after a coloured tile the foreground, so any client agrees;
            "viewer": background and foreground persist across raw tiles and a
            coloured subrectangle's pixel becomes the foreground, so tiles lean on
            colours sent earlier in the rectangle
  tiles     {tile index: tile} or a list (None = automatic) of explicit tiles;
            a tile has: flags (the subencoding byte as sent), raw (bool), bg, fg
            ((r, g, b)), subrects ([x, y, w, h] or [x, y, w, h, [r, g, b]], values
            sent as given: w and h of 1..16, anything may reach outside the tile),
            count (u8 count field), extra_hex (bytes appended). The expected view of a
            rectangle with explicit tiles is left undefined.
"""

import numpy as np

from . import Encoder, register, cover, most_common

RAW, BG, FG, ANY, COLOURED = 1, 2, 4, 8, 16


def _sub_bytes(x, y, w, h):
    return bytes([((x & 15) << 4) | (y & 15), (((w - 1) & 15) << 4) | ((h - 1) & 15)])


class Hextile(Encoder):
    name = "hextile"
    number = 5

    def encode(self, ctx, r):
        pf = ctx.pf
        mode = r.opts.get("mode", "auto")
        viewer_rules = r.opts.get("inherit", "safe") == "viewer"
        tiles = r.opts.get("tiles") or {}
        if isinstance(tiles, list):
            tiles = {i: t for i, t in enumerate(tiles) if t is not None}
        tiles = {int(k): v for k, v in tiles.items()}
        values = pf.pixel_values(r.content(ctx)) if (r.w and r.h) else None

        def pixb(v):
            return pf.values_to_bytes(np.array([v]))

        out = bytearray()
        bg = fg = None          # what the client holds now (None: unknown)
        index = 0
        for ty in range(0, r.h, 16):
            th = min(16, r.h - ty)
            for tx in range(0, r.w, 16):
                tw = min(16, r.w - tx)
                if index in tiles:
                    t = tiles[index]
                    index += 1
                    out += self._explicit(ctx, t, values[ty:ty + th, tx:tx + tw])
                    bg = fg = None
                    continue
                index += 1
                tile = values[ty:ty + th, tx:tx + tw]
                raw_tile = bytes([RAW]) + pf.values_to_bytes(tile)
                if mode == "raw":
                    out += raw_tile
                    if not viewer_rules:
                        bg = fg = None
                    continue
                tbg = most_common(tile)
                # More subrectangles than this never beat a raw tile (or fit a u8).
                subs = cover(tile, tbg, min(255, len(raw_tile) // 2))
                if subs is None:
                    out += raw_tile
                    if not viewer_rules:
                        bg = fg = None
                    continue
                colours = {s[4] for s in subs}
                enc = None
                new_fg = fg
                if not subs:
                    enc = bytes([0]) if tbg == bg else bytes([BG]) + pixb(tbg)
                else:
                    flags = ANY
                    body = bytearray()
                    if tbg != bg:
                        flags |= BG
                        body += pixb(tbg)
                    if len(colours) == 1 and mode != "coloured":
                        c = subs[0][4]
                        if c != fg:
                            flags |= FG
                            body += pixb(c)
                        new_fg = c
                        body.append(len(subs))
                        for x, y, w, h, _v in subs:
                            body += _sub_bytes(x, y, w, h)
                    elif mode != "mono-only":
                        flags |= COLOURED
                        body.append(len(subs))
                        for x, y, w, h, v in subs:
                            body += pixb(v) + _sub_bytes(x, y, w, h)
                        new_fg = subs[-1][4] if viewer_rules else None
                    else:
                        body = None
                    if body is not None:
                        enc = bytes([flags]) + bytes(body)
                if enc is None or len(enc) >= len(raw_tile):
                    out += raw_tile
                    if not viewer_rules:
                        bg = fg = None
                    continue
                out += enc
                bg, fg = tbg, new_fg
        return bytes(out)

    def _explicit(self, ctx, t, tile):
        pf = ctx.pf
        flags = 0
        body = bytearray()
        if t.get("raw"):
            flags |= RAW
            body += pf.values_to_bytes(tile)
        if "bg" in t:
            flags |= BG
            body += pf.pixel_bytes(tuple(t["bg"]))
        if "fg" in t:
            flags |= FG
            body += pf.pixel_bytes(tuple(t["fg"]))
        subs = t.get("subrects")
        if subs is not None or "count" in t:
            subs = subs or []
            flags |= ANY
            if any(len(s) > 4 for s in subs):
                flags |= COLOURED
            body.append(t.get("count", len(subs)) & 0xFF)
            for s in subs:
                if len(s) > 4:
                    body += pf.pixel_bytes(tuple(s[4]))
                body += _sub_bytes(*s[:4])
        flags = t.get("flags", flags)
        return bytes([flags & 0xFF]) + bytes(body) + bytes.fromhex(t.get("extra_hex", ""))

    def apply(self, ctx, r):
        if r.opts.get("tiles"):
            ctx.view_unknown(r.x, r.y, r.w, r.h)
        else:
            Encoder.apply(self, ctx, r)


register(Hextile())
