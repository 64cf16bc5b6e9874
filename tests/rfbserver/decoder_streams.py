"""Scenarios that serve fixed content in one encoding, for the viewer's native decoder
tests: they record what the server sends and decode it from memory.

    rfbserver.py --scenario decoder_streams:encoding --param enc=zrle \\
        --param pattern=demo --param out=/tmp/view.bin --port-file /tmp/port

The viewer (or a test client) completes the handshake, sends SetPixelFormat and
SetEncodings and one full FramebufferUpdateRequest; the script then sends two updates
and ends the stream. `out` receives what a correct viewer shows:
"W H\\n", W x H RGB triplets, then W x H bytes (1: known).
"""

import json

import numpy as np

from rfboracle.encoders import rect


def _write_view(s, out):
    view, known = s.expected_view()
    h, w = view.shape[:2]
    with open(out, "wb") as f:
        f.write(b"%d %d\n" % (w, h))
        f.write(view.tobytes())
        f.write(known.astype(np.uint8).tobytes())


def _start(s, pattern, width, height, cache=False):
    from rfboracle import images
    s.desktop = images.pattern(pattern, width, height)
    s.handshake(width=width, height=height)
    s.wait_for("FramebufferUpdateRequest")
    if cache:
        s.cache_on = True


def encoding(s, enc="zrle", opts="{}", pattern="demo", width=150, height=100, out=None):
    """Two updates: the screen as nine rectangles of odd sizes, then changed areas."""
    opts = json.loads(opts) if isinstance(opts, str) else dict(opts)
    _start(s, pattern, width, height)
    xs, ys = [0, 37, 101, width], [0, 29, 70, height]
    s.send_update([rect(enc, x0, y0, x1 - x0, y1 - y0, opts=opts)
                   for y0, y1 in zip(ys, ys[1:]) for x0, x1 in zip(xs, xs[1:])])
    # The same content again in other places: later blocks refer back into the stream.
    s.draw_fill(3, 50, 40, 9, (200, 30, 90))
    s.draw_fill(10, 52, 5, 3, (10, 220, 30))
    s.desktop[60:90, 80:140] = s.desktop[0:30, 0:60]
    s.send_update([rect(enc, 3, 50, 40, 9, opts=opts), rect(enc, 80, 60, 60, 30, opts=opts)])
    if out:
        _write_view(s, out)
    s.half_close(10)


def cache_lists(s, pattern="blocks", width=120, height=80, out=None, zstd=False):
    """The cache and list encodings with the viewer's cache on."""
    _start(s, pattern, width, height, cache=True)
    zipped = "zstdlist" if zstd else "ziplist"
    s.send_update([rect("raw", 0, 0, width, height)])
    # New content: areas are saved to the cache before they are drawn.
    s.desktop[10:30, 10:50] = (250, 200, 10)
    s.desktop[40:60, 70:110] = (10, 40, 250)
    s.send_update([rect("zlib", 10, 10, 40, 20),
                   rect(zipped, opts={"areas": [[70, 40, 40, 20], [0, 0, 5, 5, False]]})])
    # Bring the old content back from the cache, one area by itself, others in a list.
    s.send_update([rect("cache", 10, 10, 40, 20),
                   rect("cachezip", opts={"areas": [[70, 40, 40, 20], [0, 0, 5, 5]]})])
    # Lists of pixels through the zlib stream (continuing it) and through LZO.
    s.desktop[0:8, 0:8] = (1, 2, 3)
    s.desktop[70:80, 100:120] = (90, 90, 0)
    s.send_update([rect("zlib", 60, 0, 30, 30),
                   rect(zipped, opts={"areas": [[0, 0, 8, 8], [50, 30, 3, 2]]}),
                   rect("lzolist", opts={"areas": [[100, 70, 20, 10], [115, 70, 10, 10],
                                                   [0, 0, 1, 1]]})])
    if out:
        _write_view(s, out)
    s.half_close(10)
