"""RFB pixel formats and the conversion of RGB images into a client's pixels.

An image is a numpy array of shape (h, w, 3), dtype uint8, in R, G, B order.
A pixel-value array is a numpy array of shape (h, w), dtype uint32, holding each
pixel as the integer the format describes (before byte order is applied).
"""

import struct

import numpy as np


class PixelFormat:
    """The 16-byte PIXEL_FORMAT of RFC 6143 (section 7.4)."""

    __slots__ = ("bpp", "depth", "big_endian", "true_colour", "red_max", "green_max",
                 "blue_max", "red_shift", "green_shift", "blue_shift", "pad")

    def __init__(self, bpp=32, depth=24, big_endian=0, true_colour=1, red_max=255,
                 green_max=255, blue_max=255, red_shift=16, green_shift=8, blue_shift=0,
                 pad=b"\0\0\0"):
        self.bpp = bpp
        self.depth = depth
        self.big_endian = big_endian
        self.true_colour = true_colour
        self.red_max = red_max
        self.green_max = green_max
        self.blue_max = blue_max
        self.red_shift = red_shift
        self.green_shift = green_shift
        self.blue_shift = blue_shift
        self.pad = bytes(pad)

    # -- wire form -----------------------------------------------------------------
    def pack(self):
        return struct.pack(">BBBBHHHBBB3s", self.bpp & 0xFF, self.depth & 0xFF,
                           self.big_endian & 0xFF, self.true_colour & 0xFF,
                           self.red_max & 0xFFFF, self.green_max & 0xFFFF,
                           self.blue_max & 0xFFFF, self.red_shift & 0xFF,
                           self.green_shift & 0xFF, self.blue_shift & 0xFF, self.pad[:3])

    @classmethod
    def unpack(cls, data):
        f = struct.unpack(">BBBBHHHBBB3s", bytes(data[:16]))
        return cls(*f)

    def to_dict(self):
        return {k: (getattr(self, k).hex() if k == "pad" else getattr(self, k))
                for k in self.__slots__}

    @classmethod
    def from_dict(cls, d):
        if isinstance(d, PixelFormat):
            return d.copy()
        if isinstance(d, str):
            return named_format(d)
        d = dict(d)
        base = named_format(d.pop("name")) if "name" in d else cls()
        for k, v in d.items():
            if k == "pad":
                v = bytes.fromhex(v) if isinstance(v, str) else bytes(v)
            if k not in cls.__slots__:
                raise ValueError("unknown pixel-format field %r" % k)
            setattr(base, k, v)
        return base

    def copy(self):
        return PixelFormat(*(getattr(self, k) for k in self.__slots__))

    def __eq__(self, other):
        return isinstance(other, PixelFormat) and self.pack() == other.pack()

    def __repr__(self):
        return ("PixelFormat(bpp=%d depth=%d be=%d tc=%d max=%d/%d/%d shift=%d/%d/%d)"
                % (self.bpp, self.depth, self.big_endian, self.true_colour, self.red_max,
                   self.green_max, self.blue_max, self.red_shift, self.green_shift,
                   self.blue_shift))

    # -- properties ----------------------------------------------------------------
    @property
    def bytes_per_pixel(self):
        return (self.bpp + 7) // 8

    def usable(self):
        """True when pixels of this format can be produced (8, 16 or 32 bpp)."""
        return self.bpp in (8, 16, 32)

    # -- conversion ----------------------------------------------------------------
    def _channels(self):
        if self.true_colour:
            return ((self.red_max, self.red_shift), (self.green_max, self.green_shift),
                    (self.blue_max, self.blue_shift))
        # Colour-map formats: the server uses a BGR233 palette (see colourmap_bgr233).
        return ((7, 0), (7, 3), (3, 6))

    def quantise(self, rgb):
        """Per-channel levels (h, w, 3) uint32 of an RGB image: round(c * max / 255)."""
        rgb = np.asarray(rgb, dtype=np.uint32)
        out = np.empty(rgb.shape, dtype=np.uint32)
        for i, (mx, _sh) in enumerate(self._channels()):
            out[..., i] = (rgb[..., i] * mx + 127) // 255 if mx else 0
        return out

    def dequantise(self, levels):
        """Back to 0..255 per channel: level * 255 // max."""
        levels = np.asarray(levels, dtype=np.uint32)
        out = np.empty(levels.shape, dtype=np.uint8)
        for i, (mx, _sh) in enumerate(self._channels()):
            out[..., i] = (levels[..., i] * 255 // mx) if mx else 0
        return out

    def displayed(self, rgb):
        """What a correct client shows for `rgb` in this format (quantised and back)."""
        return self.dequantise(self.quantise(rgb))

    def pixel_values(self, rgb):
        """(h, w) uint32 pixel values of an RGB image in this format."""
        q = self.quantise(rgb)
        v = np.zeros(q.shape[:2], dtype=np.uint64)
        for i, (_mx, sh) in enumerate(self._channels()):
            v |= q[..., i].astype(np.uint64) << np.uint64(sh & 63)
        mask = (1 << self.bpp) - 1 if self.bpp < 64 else (1 << 64) - 1
        return (v & np.uint64(mask)).astype(np.uint32)

    def pixel_value(self, colour):
        """Pixel value of one (r, g, b) colour."""
        return int(self.pixel_values(np.array([[colour]], dtype=np.uint8))[0, 0])

    def values_to_bytes(self, values):
        """Pack pixel values (any shape) to wire bytes in the format's byte order."""
        values = np.asarray(values, dtype=np.uint32)
        bpp = self.bytes_per_pixel
        if bpp == 1:
            return values.astype(np.uint8).tobytes()
        dt = {2: np.uint16, 4: np.uint32}.get(bpp)
        if dt is None:
            # 24 bpp and other odd sizes: byte-wise, still honouring byte order.
            flat = values.reshape(-1)
            out = bytearray()
            for v in flat:
                b = int(v).to_bytes(4, "little")[:bpp]
                out += b[::-1] if self.big_endian else b
            return bytes(out)
        arr = values.astype(dt)
        arr = arr.astype(arr.dtype.newbyteorder(">" if self.big_endian else "<"))
        return arr.tobytes()

    def pixel_bytes(self, colour):
        return self.values_to_bytes(np.array([self.pixel_value(colour)]))

    def encode_image(self, rgb):
        """Wire bytes of an RGB image, row by row (the Raw layout)."""
        return self.values_to_bytes(self.pixel_values(rgb))

    def bytes_to_values(self, data, count):
        bpp = self.bytes_per_pixel
        dt = {1: np.uint8, 2: np.uint16, 4: np.uint32}[bpp]
        dt = np.dtype(dt).newbyteorder(">" if self.big_endian else "<")
        return np.frombuffer(bytes(data), dtype=dt, count=count).astype(np.uint32)

    def values_to_rgb(self, values):
        """Decode pixel values back into displayed RGB (used by tests)."""
        values = np.asarray(values, dtype=np.uint32)
        lv = np.empty(values.shape + (3,), dtype=np.uint32)
        for i, (mx, sh) in enumerate(self._channels()):
            lv[..., i] = (values >> np.uint32(sh & 31)) & np.uint32(mx)
        return self.dequantise(lv)


def colourmap_bgr233():
    """Colour map entries (r, g, b as u16) for the palette a colour-map client gets."""
    entries = []
    for i in range(256):
        r, g, b = i & 7, (i >> 3) & 7, (i >> 6) & 3
        entries.append((r * 65535 // 7, g * 65535 // 7, b * 65535 // 3))
    return entries


_NAMED = {
    # The server's usual format and the client formats the viewer picks.
    "rgb888": dict(bpp=32, depth=24, red_max=255, green_max=255, blue_max=255,
                   red_shift=16, green_shift=8, blue_shift=0),
    "bgr888": dict(bpp=32, depth=24, red_max=255, green_max=255, blue_max=255,
                   red_shift=0, green_shift=8, blue_shift=16),
    "rgb888be": dict(bpp=32, depth=24, big_endian=1, red_max=255, green_max=255,
                     blue_max=255, red_shift=16, green_shift=8, blue_shift=0),
    "rgb565": dict(bpp=16, depth=16, red_max=31, green_max=63, blue_max=31,
                   red_shift=11, green_shift=5, blue_shift=0),
    "rgb565be": dict(bpp=16, depth=16, big_endian=1, red_max=31, green_max=63,
                     blue_max=31, red_shift=11, green_shift=5, blue_shift=0),
    "rgb555": dict(bpp=16, depth=15, red_max=31, green_max=31, blue_max=31,
                   red_shift=10, green_shift=5, blue_shift=0),
    "bgr565": dict(bpp=16, depth=16, red_max=63, green_max=31, blue_max=31,
                   red_shift=0, green_shift=6, blue_shift=11),
    "bgr233": dict(bpp=8, depth=8, red_max=7, green_max=7, blue_max=3,
                   red_shift=0, green_shift=3, blue_shift=6),
    "rgb222": dict(bpp=8, depth=6, red_max=3, green_max=3, blue_max=3,
                   red_shift=4, green_shift=2, blue_shift=0),
    "rgb111": dict(bpp=8, depth=3, red_max=1, green_max=1, blue_max=1,
                   red_shift=2, green_shift=1, blue_shift=0),
    "rgb332": dict(bpp=8, depth=8, red_max=7, green_max=7, blue_max=3,
                   red_shift=5, green_shift=2, blue_shift=0),
    "map8": dict(bpp=8, depth=8, true_colour=0, red_max=0, green_max=0, blue_max=0,
                 red_shift=0, green_shift=0, blue_shift=0),
}


def named_format(name):
    try:
        return PixelFormat(**_NAMED[name])
    except KeyError:
        raise ValueError("unknown pixel format %r (known: %s)"
                         % (name, ", ".join(sorted(_NAMED)))) from None


def format_names():
    return sorted(_NAMED)
