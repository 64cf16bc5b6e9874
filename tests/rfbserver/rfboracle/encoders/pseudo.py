"""Pseudo-encodings without pixels: LastRect, NewFBSize, ExtendedDesktopSize and the
desktop rectangle 0xFFFFFECD.

ExtendedDesktopSize: header x = reason, y = status, w, h = framebuffer size; payload
u8 screen count, 3 padding, 16 bytes per screen (id u32, x, y, w, h u16, flags u32).
opts: screens (list of {id, x, y, w, h, flags}; default one screen of the header size),
count (value of the count field), resize (also resize the model, default false).
"""

from . import Encoder, register
from .. import servermsg


class LastRect(Encoder):
    name = "lastrect"
    number = 0xFFFFFF20
    pseudo = True

    def encode(self, ctx, r):
        return b""

    def apply(self, ctx, r):
        pass


class NewFBSize(Encoder):
    name = "newfbsize"
    number = 0xFFFFFF21
    pseudo = True

    def encode(self, ctx, r):
        return b""

    def apply(self, ctx, r):
        ctx.resize(r.w, r.h)


class ExtDesktopSize(Encoder):
    name = "extdesktopsize"
    number = 0xFFFFFECC
    pseudo = True

    def encode(self, ctx, r):
        screens = r.opts.get("screens") or [{"id": 1, "x": 0, "y": 0, "w": r.w, "h": r.h}]
        return servermsg.ext_desktop_payload(screens, r.opts.get("count"))

    def apply(self, ctx, r):
        if r.opts.get("resize"):
            ctx.resize(r.w, r.h)


class DesktopRect(Encoder):
    name = "desktoprect"
    number = 0xFFFFFECD
    pseudo = True

    def encode(self, ctx, r):
        return b""

    def apply(self, ctx, r):
        ctx.desktop_rect = (r.x, r.y, r.w, r.h)


register(LastRect())
register(NewFBSize(), "newsize")
register(ExtDesktopSize(), "extendeddesktopsize")
register(DesktopRect())
