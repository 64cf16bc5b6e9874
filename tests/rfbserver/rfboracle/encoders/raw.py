"""Raw (0): the rectangle's pixels row by row in the client's format."""

from . import Encoder, register


class Raw(Encoder):
    name = "raw"
    number = 0

    def encode(self, ctx, r):
        return ctx.pf.encode_image(r.content(ctx))


register(Raw())
