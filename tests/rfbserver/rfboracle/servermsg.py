"""Builders for every server-to-client message the viewer reads.

Every builder returns bytes. Lengths and counts are computed from the data but
can be overridden (`length=`, `count=`) to produce hostile forms; nothing here
checks ranges on purpose.
"""

import struct
import zlib

U32 = 0xFFFFFFFF


def _u32(v):
    return struct.pack(">I", v & U32)


def _s32(v):
    return struct.pack(">I", v & U32)


def _text(t):
    if t is None:
        return b""
    return t if isinstance(t, (bytes, bytearray)) else str(t).encode("latin-1")


# -- FramebufferUpdate framing --------------------------------------------------------

def update_header(count):
    """FramebufferUpdate header: type 0, padding, u16 rectangle count."""
    return struct.pack(">BBH", 0, 0, count & 0xFFFF)


def rect_header(x, y, w, h, encoding):
    return struct.pack(">HHHHI", x & 0xFFFF, y & 0xFFFF, w & 0xFFFF, h & 0xFFFF,
                       encoding & U32)


# -- simple server messages -----------------------------------------------------------

def colour_map(first, colours, count=None):
    """SetColourMapEntries (1): colours are (r, g, b) u16 triples."""
    n = len(colours) if count is None else count
    body = b"".join(struct.pack(">HHH", r & 0xFFFF, g & 0xFFFF, b & 0xFFFF)
                    for r, g, b in colours)
    return struct.pack(">BBHH", 1, 0, first & 0xFFFF, n & 0xFFFF) + body


def bell():
    return b"\x02"


def cut_text(text, length=None):
    """ServerCutText (3) with plain latin-1 text; `length` overrides the s32 field."""
    data = _text(text)
    n = len(data) if length is None else length
    return struct.pack(">B3x", 3) + _s32(n) + data


def cut_text_ext(flags, payload=b"", length=None):
    """ServerCutText carrying an extended-clipboard message (negative length)."""
    body = _u32(flags) + bytes(payload)
    n = -len(body) if length is None else length
    return struct.pack(">B3x", 3) + _s32(n) + body


CLIP_TEXT, CLIP_RTF, CLIP_HTML, CLIP_DIB = 0x1, 0x2, 0x4, 0x8
CLIP_CAPS, CLIP_REQUEST, CLIP_PEEK, CLIP_NOTIFY, CLIP_PROVIDE = (
    0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000)


def clip_caps(formats=0xF, limits=None, actions=CLIP_CAPS | CLIP_REQUEST | CLIP_PROVIDE
              | CLIP_NOTIFY):
    """Extended-clipboard capabilities: flags word then one u32 limit per format bit."""
    limits = list(limits) if limits is not None else [10485760, 2097152, 2097152, 0]
    body = b""
    li = iter(limits)
    for bit in range(16):
        if formats & (1 << bit):
            body += _u32(next(li, 0))
    return cut_text_ext(actions | CLIP_CAPS | formats, body)


def clip_provide(items, level=6, raw=None):
    """Provide message: items maps a format bit to bytes (text should end in NUL)."""
    flags = CLIP_PROVIDE
    plain = b""
    for bit in sorted(items):
        data = bytes(items[bit])
        flags |= bit
        plain += _u32(len(data)) + data
    comp = zlib.compress(plain, level) if raw is None else raw
    return cut_text_ext(flags, comp)


def resize(width, height):
    """Message 4: [4, padding, width u16, height u16]."""
    return struct.pack(">BBHH", 4, 0, width & 0xFFFF, height & 0xFFFF)


def file_transfer(content_type, param=0, size=0, body=b"", length=None, tail=b""):
    """File-transfer message 7; contentParam is little-endian, size/length big-endian."""
    body = _text(body)
    n = len(body) if length is None else length
    return (struct.pack("<BBH", 7, content_type & 0xFF, param & 0xFFFF) + _u32(size)
            + _u32(n) + body + bytes(tail))


CHAT_OPEN, CHAT_CLOSE, CHAT_FINISHED = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD


def text_chat(text=None, length=None):
    """Text chat 11: length field then the text; special lengths carry no text."""
    data = _text(text)
    n = len(data) if length is None else length
    return struct.pack(">B3x", 11) + _u32(n) + data


def keepalive():
    return b"\x0d"


def msg20():
    return b"\x14"


def plugin_streaming():
    return b"\x50\x00\x00\x00"


def server_state(state, value):
    """ServerState 173: type, 3 padding, state u32, value u32."""
    return struct.pack(">B3x", 173) + _u32(state) + _u32(value)


def msg252(value):
    return struct.pack(">BBxx", 252, value & 0xFF)


def gii(subtype, payload=b"", big_endian=True, length=None):
    """gii 253: type, subtype (bit 7 = big-endian), u16 length, payload."""
    n = len(payload) if length is None else length
    st = (subtype & 0x7F) | (0x80 if big_endian else 0)
    fmt = ">H" if big_endian else "<H"
    return bytes([253, st]) + struct.pack(fmt, n & 0xFFFF) + bytes(payload)


def gii_version_range(maximum=1, minimum=1, big_endian=True):
    e = ">" if big_endian else "<"
    return gii(1, struct.pack(e + "HH", maximum, minimum), big_endian)


def gii_device_reply(origin, big_endian=True):
    e = ">" if big_endian else "<"
    return gii(2, struct.pack(e + "I", origin & U32), big_endian)


def _screens(screens):
    out = b""
    for s in screens:
        s = dict(s)
        out += struct.pack(">IHHHHI", s.get("id", 0) & U32, s.get("x", 0) & 0xFFFF,
                           s.get("y", 0) & 0xFFFF, s.get("w", 0) & 0xFFFF,
                           s.get("h", 0) & 0xFFFF, s.get("flags", 0) & U32)
    return out


def ext_desktop_payload(screens, count=None):
    n = len(screens) if count is None else count
    return struct.pack(">B3x", n & 0xFF) + _screens(screens)


def _colours(colours):
    """Colour-map entries; "bgr233" is the palette used for colour-map clients."""
    if colours == "bgr233":
        from .pixfmt import colourmap_bgr233
        return colourmap_bgr233()
    return [tuple(c) for c in colours]


# Simple messages by name, for scripts (name -> builder taking keyword arguments).
def _by_name():
    return {
        "bell": lambda **k: bell(),
        "colourmap": lambda first=0, colours=(), count=None, **k: colour_map(
            first, _colours(colours), count),
        "cuttext": lambda text="", length=None, **k: cut_text(text, length),
        "cuttext_ext": lambda flags=0, payload_hex="", length=None, **k: cut_text_ext(
            flags, bytes.fromhex(payload_hex), length),
        "clip_caps": lambda formats=0xF, limits=None, **k: clip_caps(formats, limits),
        "clip_provide_text": lambda text="", **k: clip_provide(
            {CLIP_TEXT: _text(text) + b"\0"}),
        "resize": lambda width=0, height=0, **k: resize(width, height),
        "filetransfer": lambda content_type=0, param=0, size=0, body="", length=None, **k:
            file_transfer(content_type, param, size, body, length),
        "textchat": lambda text=None, length=None, **k: text_chat(text, length),
        "keepalive": lambda **k: keepalive(),
        "msg20": lambda **k: msg20(),
        "streaming": lambda **k: plugin_streaming(),
        "serverstate": lambda state=0, value=0, **k: server_state(state, value),
        "msg252": lambda value=0, **k: msg252(value),
        "gii_version": lambda maximum=1, minimum=1, big_endian=True, **k:
            gii_version_range(maximum, minimum, big_endian),
        "gii_device": lambda origin=1, big_endian=True, **k: gii_device_reply(
            origin, big_endian),
        "gii": lambda subtype=0, payload_hex="", big_endian=True, length=None, **k: gii(
            subtype, bytes.fromhex(payload_hex), big_endian, length),
    }


BY_NAME = _by_name()


def build(name, **kw):
    try:
        f = BY_NAME[name]
    except KeyError:
        raise ValueError("unknown server message %r (known: %s)"
                         % (name, ", ".join(sorted(BY_NAME)))) from None
    return f(**kw)
