"""Parser of the messages a viewer sends after the handshake.

`parse(read, opts)` reads exactly one message with `read(n)` (which returns n bytes
or raises) and returns a dict: {"type": n, "name": ..., fields...}. A message that
breaks the protocol still returns a dict, with "unexpected": reason. A type this
parser does not know raises UnknownMessage: the stream cannot be followed past it.
"""

import struct
import zlib

from .pixfmt import PixelFormat

MAX_BODY = 64 << 20         # bodies larger than this are not read (unexpected)
KEEP_BYTES = 4096           # at most this much of a body is kept in the record


class UnknownMessage(Exception):
    def __init__(self, msg_type):
        Exception.__init__(self, "unknown client message type %d (0x%02x)"
                           % (msg_type, msg_type))
        self.msg_type = msg_type


class ParseOptions:
    """What the parser cannot know from the stream alone."""

    def __init__(self, ft_version=2):
        self.ft_version = ft_version    # file-transfer protocol version (1, 2 or 3)


NAMES = {0: "SetPixelFormat", 2: "SetEncodings", 3: "FramebufferUpdateRequest",
         4: "KeyEvent", 5: "PointerEvent", 6: "ClientCutText", 7: "FileTransfer",
         8: "SetServerScale", 9: "ServerInput", 10: "DesktopSelection", 11: "TextChat", 13: "KeepAlive",
         80: "PluginStreaming", 251: "MonitorInfo", 253: "Gii", 254: "CopyDataValue"}
TYPES = {v: k for k, v in NAMES.items()}

CLIP_ACTIONS = {0x01000000: "caps", 0x02000000: "request", 0x04000000: "peek",
                0x08000000: "notify", 0x10000000: "provide"}


def _kept(data):
    return data[:KEEP_BYTES].hex()


def _ext_clip(payload):
    """Decode an extended-clipboard payload as far as it goes."""
    out = {}
    if len(payload) < 4:
        out["unexpected"] = "extended clipboard payload shorter than its flags word"
        return out
    flags = struct.unpack(">I", payload[:4])[0]
    out["flags"] = "0x%08x" % flags
    out["formats"] = flags & 0xFFFF
    action = flags & 0xFF000000
    if action & 0x01000000:
        action = 0x01000000     # a capabilities word also lists the actions it supports
    out["action"] = CLIP_ACTIONS.get(action, "0x%08x" % action)
    rest = payload[4:]
    if action == 0x01000000:
        limits = []
        for i in range(16):
            if flags & (1 << i):
                if len(rest) < 4 * (len(limits) + 1):
                    out["unexpected"] = "capabilities shorter than their limits"
                    break
                limits.append(struct.unpack(">I", rest[4 * len(limits):4 * len(limits) + 4])[0])
        out["limits"] = limits
    elif action == 0x10000000:
        try:
            plain = zlib.decompressobj().decompress(rest)
        except zlib.error as e:
            out["unexpected"] = "provide payload is not a zlib stream: %s" % e
            return out
        items = {}
        pos = 0
        for bit, name in ((1, "text"), (2, "rtf"), (4, "html"), (8, "dib")):
            if flags & bit:
                if pos + 4 > len(plain):
                    out["unexpected"] = "provide payload ends before the %s size" % name
                    break
                n = struct.unpack(">I", plain[pos:pos + 4])[0]
                data = plain[pos + 4:pos + 4 + n]
                if len(data) != n:
                    out["unexpected"] = "provide payload ends inside %s" % name
                pos += 4 + n
                items[name] = (data.decode("utf-8", "replace") if name in ("text", "html")
                               else _kept(data))
        out["items"] = items
    return out


def parse(read, opts=None):
    opts = opts or ParseOptions()
    t = read(1)[0]
    m = {"type": t, "name": NAMES.get(t, "?")}
    if t == 0:
        b = read(19)
        pf = PixelFormat.unpack(b[3:19])
        m["pixel_format"] = pf.to_dict()
        if b[:3] != b"\0\0\0":
            m["padding"] = b[:3].hex()
        if not pf.usable():
            m["unexpected"] = "bits per pixel %d" % pf.bpp
    elif t == 2:
        b = read(3)
        n = struct.unpack(">H", b[1:3])[0]
        body = read(4 * n)
        encs = list(struct.unpack(">%di" % n, body))
        m["encodings"] = encs
        m["encodings_hex"] = ["0x%08x" % (e & 0xFFFFFFFF) for e in encs]
    elif t == 3:
        b = read(9)
        inc, x, y, w, h = struct.unpack(">BHHHH", b)
        m.update(incremental=inc, x=x, y=y, w=w, h=h)
    elif t == 4:
        b = read(7)
        down, key = struct.unpack(">B2xI", b)
        m.update(down=down, key=key, keyhex="0x%04x" % key)
    elif t == 5:
        b = read(5)
        mask, x, y = struct.unpack(">BHH", b)
        m.update(buttons=mask, x=x, y=y)
    elif t == 6:
        b = read(7)
        n = struct.unpack(">i", b[3:7])[0]
        if b[:3] != b"\0\0\0":
            m["padding"] = b[:3].hex()
        m["length"] = n
        size = -n if n < 0 else n
        if size > MAX_BODY:
            m["unexpected"] = "cut text length %d" % n
            m["desync"] = True
            return m
        data = read(size)
        if n >= 0:
            m["text"] = data.decode("latin-1")
        else:
            m["extended"] = _ext_clip(data)
            if "unexpected" in m["extended"]:
                m["unexpected"] = m["extended"]["unexpected"]
    elif t == 7:
        b = read(11)
        ctype = b[0]
        param = struct.unpack("<H", b[1:3])[0]
        size, length = struct.unpack(">iI", b[3:11])
        m.update(content_type=ctype, param=param, size=size, length=length)
        body_len = length
        if ctype == 5 and size == 2:
            body_len = 0            # "block unchanged": length is the block's size
        if body_len > MAX_BODY:
            m["unexpected"] = "file-transfer body length %d" % body_len
            m["desync"] = True
            return m
        body = read(body_len)
        m["body"] = body[:KEEP_BYTES].decode("latin-1")
        m["data"] = body            # whole: file packets and archives are checked by content
        if ctype == 8 and opts.ft_version != 1:
            m["size_high"] = struct.unpack(">I", read(4))[0]
    elif t == 8:
        b = read(3)
        m["scale"] = b[0]
    elif t == 9:
        b = read(3)
        m["disable"] = b[0]     # 1: the server's input and monitor off, 0: on again
    elif t == 10:
        b = read(5)
        x, y = struct.unpack(">xHH", b)
        m.update(x=x, y=y)
    elif t == 11:
        b = read(7)
        n = struct.unpack(">I", b[3:7])[0]
        m["length"] = n
        special = {0xFFFFFFFF: "open", 0xFFFFFFFE: "close", 0xFFFFFFFD: "finished"}
        if n in special:
            m["chat"] = special[n]
        elif n <= 16384:
            m["text"] = read(n).decode("latin-1")
        else:
            m["unexpected"] = "text chat length %d" % n
            m["desync"] = True
    elif t == 13:
        pass
    elif t == 80:
        m["payload"] = read(3).hex()
    elif t == 251:
        b = read(7)
        v1, v2, count = struct.unpack(">xHHB", b[:6])
        m.update(value1=v1, value2=v2, count=count)
        mons = []
        for _ in range(count):
            one, x, y, w, h, mode = struct.unpack(">IHHHHI", read(16))
            mons.append({"one": one, "x": x, "y": y, "w": w, "h": h, "mode": mode})
        m["monitors"] = mons
    elif t == 253:
        b = read(3)
        sub = b[0]
        big = bool(sub & 0x80)
        n = struct.unpack(">H" if big else "<H", b[1:3])[0]
        m.update(subtype=sub & 0x7F, big_endian=big, length=n)
        m["payload"] = _kept(read(n))
    elif t == 254:
        b = read(3)
        m["value"] = b[0]
    else:
        raise UnknownMessage(t)
    return m


def summary(m):
    """One line for the console log."""
    t = m.get("name", "?")
    skip = {"type", "name", "t", "encodings_hex", "data"}
    fields = " ".join("%s=%s" % (k, v) for k, v in m.items() if k not in skip)
    if len(fields) > 300:
        fields = fields[:300] + "..."
    return "%s %s" % (t, fields)
