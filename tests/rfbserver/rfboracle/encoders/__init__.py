"""Rectangle encoders, one module per family, registered by encoding number.

An encoder turns one rectangle description (`RectPlan`) into the rectangle's
payload (the bytes after the 12-byte header) and updates the session's model of
what a correct client now shows (`apply`). New families add a module here that
calls `register()` for each encoding it provides and import it in `_load()`.
"""

import numpy as np

REGISTRY = {}   # encoding number (signed) -> Encoder
NAMES = {}      # lower-case name -> encoding number


def s32(n):
    """Encoding numbers as signed 32-bit values (0xFFFFFF11 -> -239)."""
    n &= 0xFFFFFFFF
    return n - (1 << 32) if n & 0x80000000 else n


class Encoder:
    """Base class. `pseudo` encoders carry no pixels of the framebuffer."""

    name = "?"
    number = None
    pseudo = False
    max_w = None    # rectangles larger than this are split by the update builder
    max_h = None

    def encode(self, ctx, r):
        raise NotImplementedError

    def counts(self, r):
        """How many rectangles of the update's count this one stands for (a list
        encoding counts each of its sub-rectangles)."""
        return 1

    def apply(self, ctx, r):
        """Update ctx's expected view after the rectangle was sent (default: content)."""
        if not self.pseudo:
            ctx.view_set(r.x, r.y, r.content(ctx))

    def __repr__(self):
        return "<encoder %s %d>" % (self.name, self.number)


def register(enc, *aliases):
    enc.number = s32(enc.number)
    REGISTRY[enc.number] = enc
    for n in (enc.name,) + aliases:
        NAMES[n.lower()] = enc.number
    return enc


class RawPayload(Encoder):
    """Any encoding number with a payload given as bytes (unknown or hostile ones)."""

    name = "payload"
    pseudo = True

    def __init__(self, number):
        self.number = s32(number)

    def encode(self, ctx, r):
        return b""


def lookup(enc):
    """Encoder for a name, a number, or 'enc:<number>' / hex strings."""
    if isinstance(enc, Encoder):
        return enc
    if isinstance(enc, str):
        key = enc.lower()
        if key in NAMES:
            return REGISTRY[NAMES[key]]
        try:
            enc = int(key, 0)
        except ValueError:
            raise ValueError("unknown encoding %r (known: %s)"
                             % (enc, ", ".join(sorted(NAMES)))) from None
    n = s32(int(enc))
    return REGISTRY.get(n) or RawPayload(n)


class RectPlan:
    """One rectangle of a FramebufferUpdate.

    x, y, w, h: the area (for image encoders the area whose content is sent).
    opts: encoder options. hdr: overrides of the header fields (x, y, w, h, enc) for
    hostile forms. payload: bytes sent instead of the encoder's output. image: an
    explicit RGB content (h, w, 3) instead of the desktop's pixels. truncate: send only
    this many payload bytes (the update is then cut there and the script closes).
    """

    def __init__(self, enc, x=0, y=0, w=0, h=0, opts=None, hdr=None, payload=None,
                 image=None, truncate=None, src=None):
        self.enc = lookup(enc)
        self.x, self.y, self.w, self.h = int(x), int(y), int(w), int(h)
        self.opts = dict(opts or {})
        if src is not None:
            self.opts["src"] = list(src)
        self.hdr = dict(hdr or {})
        self.payload = payload
        self.image = None if image is None else np.asarray(image, dtype=np.uint8)
        self.truncate = truncate

    @classmethod
    def from_dict(cls, d):
        if isinstance(d, RectPlan):
            return d
        d = dict(d)
        enc = d.pop("enc")
        payload = d.pop("payload", None)
        if "payload_hex" in d:
            payload = bytes.fromhex(d.pop("payload_hex"))
        if isinstance(payload, str):
            payload = payload.encode("latin-1")
        known = {"x", "y", "w", "h", "opts", "hdr", "image", "truncate", "src"}
        bad = set(d) - known
        if bad:
            raise ValueError("unknown rectangle keys: %s" % ", ".join(sorted(bad)))
        return cls(enc, payload=payload, **d)

    def header_fields(self):
        h = self.hdr
        # Encoders whose header fields carry something else than the area (counts and
        # lengths) set `wire` to (x, y, w, h) while encoding.
        x, y, w, hh = getattr(self, "wire", (self.x, self.y, self.w, self.h))
        return (h.get("x", x), h.get("y", y), h.get("w", w),
                h.get("h", hh), s32(lookup(h["enc"]).number) if "enc" in h
                else self.enc.number)

    def content(self, ctx):
        """RGB pixels (h, w, 3) sent for this rectangle."""
        if self.image is not None:
            img = self.image
            if img.shape[0] != self.h or img.shape[1] != self.w:
                raise ValueError("rectangle image is %dx%d, rectangle %dx%d"
                                 % (img.shape[1], img.shape[0], self.w, self.h))
            return img
        return ctx.desktop_crop(self.x, self.y, self.w, self.h)

    def __repr__(self):
        return "RectPlan(%s %d,%d %dx%d)" % (self.enc.name, self.x, self.y, self.w, self.h)


def rect(enc, x=0, y=0, w=0, h=0, **kw):
    """Shorthand used by Python scenarios: rect('hextile', 0, 0, 64, 64)."""
    return RectPlan(enc, x, y, w, h, **kw)


# -- shared helpers for the subrectangle families ------------------------------------

def most_common(values):
    """Most frequent pixel value of an array (ties: the smallest value)."""
    u, c = np.unique(values.reshape(-1), return_counts=True)
    return int(u[np.argmax(c)])


def cover(values, bg, limit=None):
    """Cover every non-background pixel by single-colour rectangles, greedily.

    Returns [(x, y, w, h, value)], disjoint, in row-major order of their corners,
    or None as soon as more than `limit` rectangles would be needed.
    """
    h, w = values.shape
    rows = values.tolist()
    done = [[False] * w for _ in range(h)]
    out = []
    for y in range(h):
        row = rows[y]
        drow = done[y]
        x = 0
        while x < w:
            v = row[x]
            if v == bg or drow[x]:
                x += 1
                continue
            x2 = x + 1
            while x2 < w and row[x2] == v and not drow[x2]:
                x2 += 1
            y2 = y + 1
            while y2 < h:
                r2, d2 = rows[y2], done[y2]
                if all(r2[i] == v and not d2[i] for i in range(x, x2)):
                    y2 += 1
                else:
                    break
            for yy in range(y, y2):
                dd = done[yy]
                for i in range(x, x2):
                    dd[i] = True
            out.append((x, y, x2 - x, y2 - y, v))
            if limit is not None and len(out) > limit:
                return None
            x = x2
    return out


def _load():
    from . import raw, copyrect, rre, hextile, cursor, pseudo  # noqa: F401
    from . import tight, opalo  # noqa: F401
    from . import zlib, zlibhex, zrle, cachelist  # noqa: F401


_load()
