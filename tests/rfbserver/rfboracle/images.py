"""Test images: deterministic patterns as (h, w, 3) uint8 arrays, plus drawing."""

import numpy as np

MAX_PIXELS = 16 * 1024 * 1024     # larger desktops are not materialised


def _text_layer(img, text, at, colour, scale=1):
    from PIL import Image, ImageDraw, ImageFont
    h, w = img.shape[:2]
    if not w or not h:
        return img
    pil = Image.fromarray(img)
    d = ImageDraw.Draw(pil)
    font = ImageFont.load_default()
    if scale == 1:
        d.text(tuple(at), text, fill=tuple(colour), font=font)
        return np.asarray(pil).copy()
    # Larger text: draw small, then scale up with nearest neighbour (crisp edges).
    tw, th = d.textbbox((0, 0), text, font=font)[2:]
    small = Image.new("RGBA", (tw + 1, th + 1), (0, 0, 0, 0))
    ImageDraw.Draw(small).text((0, 0), text, fill=tuple(colour) + (255,), font=font)
    big = small.resize(((tw + 1) * scale, (th + 1) * scale), Image.NEAREST)
    pil.paste(big, tuple(at), big)
    return np.asarray(pil).copy()


def draw_text(img, text, at=(0, 0), colour=(255, 255, 255), scale=1):
    """Draw text into img in place."""
    img[...] = _text_layer(img, text, at, colour, scale)


def fill(img, x, y, w, h, colour):
    H, W = img.shape[:2]
    x0, y0, x1, y1 = max(0, x), max(0, y), min(W, x + w), min(H, y + h)
    if x1 > x0 and y1 > y0:
        img[y0:y1, x0:x1] = colour


def pattern(name, w, h, seed=1):
    """Patterns: demo, gradient, checker, blocks, mixed, islands, noise, solid:RRGGBB."""
    w, h = max(0, int(w)), max(0, int(h))
    if w * h > MAX_PIXELS:
        w, h = min(w, 4096), min(h, 4096)
    yy, xx = np.mgrid[0:h, 0:w]
    if name.startswith("solid:"):
        c = bytes.fromhex(name[6:])
        img = np.zeros((h, w, 3), dtype=np.uint8)
        img[...] = tuple(c)
        return img
    if name == "gradient":
        img = np.zeros((h, w, 3), dtype=np.uint8)
        img[..., 0] = (xx * 255 // max(1, w - 1)).astype(np.uint8)
        img[..., 1] = (yy * 255 // max(1, h - 1)).astype(np.uint8)
        img[..., 2] = ((xx + yy) * 255 // max(1, w + h - 2)).astype(np.uint8)
        return img
    if name == "checker":
        c = ((xx // 8 + yy // 8) % 2).astype(np.uint8)
        img = np.zeros((h, w, 3), dtype=np.uint8)
        img[c == 1] = (240, 240, 240)
        img[c == 0] = (20, 60, 160)
        return img
    rng = np.random.default_rng(seed)
    if name == "noise":
        return rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    if name == "blocks":
        # Flat rectangles of a small palette on a background: good for RRE/Hextile.
        img = np.zeros((h, w, 3), dtype=np.uint8)
        img[...] = (30, 30, 40)
        palette = rng.integers(0, 256, (6, 3), dtype=np.uint8)
        for _ in range(max(4, (w * h) // 600)):
            bw, bh = rng.integers(1, 40), rng.integers(1, 30)
            bx, by = rng.integers(-10, max(1, w)), rng.integers(-10, max(1, h))
            fill(img, int(bx), int(by), int(bw), int(bh), palette[rng.integers(0, 6)])
        return img
    if name == "mixed":
        # Flat areas with noisy patches: Hextile mixes raw tiles and solid tiles.
        img = pattern("blocks", w, h, seed)
        for i in range(max(1, (w * h) // 3000)):
            px, py = rng.integers(0, max(1, w - 8)), rng.integers(0, max(1, h - 8))
            pw, ph = rng.integers(4, 24), rng.integers(4, 24)
            patch = rng.integers(0, 256, (ph, pw, 3), dtype=np.uint8)
            sub = img[py:py + ph, px:px + pw]
            sub[...] = patch[:sub.shape[0], :sub.shape[1]]
        return img
    if name == "islands":
        # A plain background with tile-aligned noisy and two-colour 16x16 squares:
        # solid tiles follow raw and coloured ones, so Hextile can lean on the
        # background and foreground that earlier tiles left behind.
        img = np.zeros((h, w, 3), dtype=np.uint8)
        img[...] = (90, 20, 140)
        for i, (ty, tx) in enumerate((ty, tx) for ty in range(0, h, 16)
                                     for tx in range(0, w, 16)):
            kind = i % 5
            sub = img[ty:ty + 16, tx:tx + 16]
            if kind == 1:
                sub[...] = rng.integers(0, 256, sub.shape, dtype=np.uint8)
            elif kind == 3:
                sub[2:6, 3:9] = (250, 250, 0)
                sub[8:12, 1:4] = (250, 250, 0)
            elif kind == 4 and i % 2:
                sub[1:5, 1:5] = (0, 200, 0)
                sub[6:9, 6:12] = (0, 0, 230)
        return img
    if name == "demo":
        return demo(w, h)
    raise ValueError("unknown pattern %r" % name)


def demo(w=640, h=480):
    """A small desktop: colour bars, a gradient band, a checker and some text."""
    img = np.zeros((h, w, 3), dtype=np.uint8)
    if not w or not h:
        return img
    img[...] = (0, 90, 110)
    bars = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0), (255, 0, 255),
            (255, 0, 0), (0, 0, 255), (0, 0, 0)]
    bh = h // 4
    for i, c in enumerate(bars):
        fill(img, i * w // 8, 0, w // 8 + 1, bh, c)
    g = pattern("gradient", w, h // 6)
    img[bh:bh + g.shape[0]] = g
    ch = pattern("checker", w // 3, h // 4)
    y0 = bh + g.shape[0] + 8
    img[y0:y0 + ch.shape[0], 8:8 + ch.shape[1]] = ch[:max(0, min(ch.shape[0], h - y0))]
    fill(img, w // 2, y0, w // 3, h // 5, (250, 250, 245))
    draw_text(img, "rfbserver demo", (w // 2 + 8, y0 + 8), (10, 10, 10), 2)
    draw_text(img, "%dx%d" % (w, h), (w // 2 + 8, y0 + 40), (160, 20, 20))
    return img


def load(path):
    from PIL import Image
    return np.asarray(Image.open(path).convert("RGB")).copy()


def from_description(desc, w=None, h=None):
    """Image from a scenario value: a path, a pattern name, or a dict."""
    if desc is None:
        desc = {}
    if isinstance(desc, np.ndarray):
        return desc.astype(np.uint8)
    if isinstance(desc, str):
        if desc.endswith((".png", ".ppm", ".bmp", ".jpg")):
            return load(desc)
        desc = {"pattern": desc}
    desc = dict(desc)
    if "path" in desc:
        return load(desc["path"])
    return pattern(desc.get("pattern", "demo"), desc.get("width", w or 320),
                   desc.get("height", h or 240), desc.get("seed", 1))
