"""KEBviewer.exe under Wine against the scripted test server (tests/rfbserver), for what no
Debian server sends: ZlibHex and ZstdHex, ZSTD, TightZstd, the ZRLE family over zstd and
xz, Opalo2 in all four pixel layouts, the cache and rectangle-list encodings, the desktop
size pseudo-encodings and the server messages between updates. The viewer window must
show the server's model of the viewer's framebuffer."""

import json
import time

import pytest

import decoder_streams
import kebwine
import rfbserver
from displaytest import SAME_565, differences, exact, frame, psnr_at_least, same_at, wait_picture, write_options

SAME_233 = same_at((7, 7, 3))
XBGR = {"bpp": 32, "depth": 24, "red_max": 255, "green_max": 255, "blue_max": 255, "red_shift": 24,
        "green_shift": 16, "blue_shift": 8}
XRGB = dict(XBGR, red_shift=8, green_shift=16, blue_shift=24)


def start(scenario):
    return rfbserver.Server(scenario, timeout=120, quiet=True).start()


def expected(srv):
    """The server's model of what the viewer shows, or None while parts of it are unknown
    (before the first update)."""
    if srv.session is None:
        return None
    view, known = srv.session.expected_view()
    return view if known.all() else None


def kept_open(body):
    """A recorded-stream scenario of decoder_streams that keeps the connection until the
    viewer closes it (those scenarios end the stream, which would close the viewer before
    it can be looked at)."""
    def scenario(s, **params):
        s.half_close = lambda *args: s.wait_closed()
        body(s, **params)
    return scenario


def stream_scenario(pixel_format, body, **params):
    def scenario(s):
        handshake = s.handshake

        def with_format(**options):
            options.setdefault("pixel_format", pixel_format)
            return handshake(**options)
        s.handshake = with_format
        kept_open(body)(s, **params)
    return scenario


# encoding, encoder options, picture, server (and so session) pixel format, comparison
ENCODING_CASES = [
    ("zlibhex", {}, "mixed", "rgb888", exact),
    ("zlibhex", {"mode": "zhex"}, "blocks", "rgb565", SAME_565),
    ("zlibhex", {"mode": "zraw"}, "demo", "bgr233", SAME_233),
    ("zstdhex", {}, "mixed", "rgb888", exact),
    ("zstd", {}, "demo", "rgb565", SAME_565),
    ("tightzstd", {"lossless": "gradient", "reset": [0, 3]}, "demo", "rgb888", exact),
    ("tightzstd", {"mode": "palette"}, "blocks", "bgr233", SAME_233),
    ("zstdrle", {}, "mixed", "bgr233", SAME_233),
    ("zstdywrle", {}, "demo", "rgb888", psnr_at_least(30)),
    ("xz", {}, "demo", "rgb565", SAME_565),
    ("xzyw", {}, "demo", "rgb888", psnr_at_least(30)),
    ("opalo2", {}, "demo", "bgr888", psnr_at_least(40)),
    ("opalo2", {}, "demo", "rgb888", psnr_at_least(40)),
    ("opalo2", {}, "demo", XBGR, psnr_at_least(40)),
    ("opalo2", {}, "demo", XRGB, psnr_at_least(40)),
]


@pytest.mark.parametrize("enc,opts,pattern,pixel_format,same", ENCODING_CASES,
                         ids=["%s-%s-%s" % (c[0], c[2], c[3] if isinstance(c[3], str) else
                                            "x%d%d%d" % (c[3]["red_shift"], c[3]["green_shift"], c[3]["blue_shift"]))
                              for c in ENCODING_CASES])
def test_encoding_shows_the_servers_picture(viewer, tmp_path, enc, opts, pattern, pixel_format, same):
    srv = start(stream_scenario(pixel_format, decoder_streams.encoding, enc=enc, opts=json.dumps(opts),
                                pattern=pattern))
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    # Both updates are in once the second one's areas show.
    wait_picture(window, lambda: expected(srv), same, save_to=tmp_path / enc)
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()


def test_cache_and_rectangle_lists(viewer, program_dir, tmp_path):
    write_options(program_dir, ["zrle", "zlib"], EnableCache=1)
    srv = start(stream_scenario("rgb888", decoder_streams.cache_lists))
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    # The last update brings areas back from the cache and draws lists of areas; only its
    # picture is the server's last one. (Counting the viewer's requests would not tell: one
    # still waiting to be sent stands for the updates that come meanwhile.)
    wait_picture(window, lambda: expected(srv), exact, timeout=30, save_to=tmp_path / "cache")
    assert program.close() == 0


def test_desktop_size_changes_and_messages_between_updates(viewer, tmp_path):
    """NewFBSize, the resize message and ExtendedDesktopSize (one side changed) each give
    the window the new size; server messages between them do not disturb the stream."""
    from rfbserver import rect

    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("demo", 200, 120)
        s.handshake(width=200, height=120)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("hextile", 0, 0, 200, 120)])
        s.send_msg("bell")
        s.send_msg("cuttext", text="from the server\nsecond line")
        s.send_msg("serverstate", state=1, value=0)
        s.send_msg("keepalive")
        s.send_msg("msg20")
        s.send_msg("textchat", text="hello")
        s.send_msg("filetransfer", content_type=17, param=2)
        s.send_update([rect("newfbsize", 0, 0, 260, 150), rect("raw", 0, 0, 260, 150)])
        s.wait_for("FramebufferUpdateRequest")
        s.send_msg("resize", width=180, height=90)
        s.send_update([rect("zrle", 0, 0, 180, 90)])
        s.send_update([rect("extdesktopsize", 0, 0, 180, 110, opts={"resize": True}), rect("raw", 0, 0, 180, 110)])
        # Each new size brings a new bitmap and a full request: answered until the end.
        s.serve(encodings=("hextile",))

    srv = start(scenario)
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    window = frame(program)

    def last_size():
        # The server's picture once its last size is out; the ones before may match on the way.
        picture = expected(srv)
        return picture if picture is not None and picture.shape[:2] == (110, 180) else None
    shot = wait_picture(window, last_size, exact, save_to=tmp_path / "resized")
    assert shot.shape[:2] == (110, 180)
    assert program.close() == 0


def test_the_servers_cursor_over_the_picture(viewer, tmp_path):
    """A rich cursor with its hot spot (2, 3) and the pointer at (40, 30): the cursor is
    drawn over the picture there, and nowhere else does the picture change."""
    from rfbserver import rect

    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("blocks", 160, 100)
        s.handshake(width=160, height=100)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("raw", 0, 0, 160, 100), rect("richcursor", 2, 3, 11, 17),
                       rect("pointerpos", 40, 30, 0, 0)])
        s.wait_closed()

    srv = start(scenario)
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    box = kebwine.wait_until(lambda: expected(srv) is not None and differences(window.screenshot(), expected(srv)),
                             20, what="the cursor")
    x0, y0, x1, y1 = box
    assert x0 >= 38 and y0 >= 27 and x1 < 38 + 11 and y1 < 27 + 17, box
    assert program.close() == 0


def test_the_servers_cursor_shows_at_once_under_a_resting_pointer(viewer, session):
    """The pointer rests over the view when the first cursor shape arrives, with the server's
    pointer somewhere else: the cursor is drawn under the resting pointer at once (and the
    server's pointer is brought there), without waiting for the mouse to move."""
    import os
    import subprocess
    import threading
    from rfbserver import rect

    window_up = threading.Event()

    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("blocks", 200, 150)
        s.handshake(width=200, height=150)
        s.wait_for("FramebufferUpdateRequest")
        # The first update comes only once the frame is on the screen under the resting pointer.
        assert window_up.wait(60), "the test never saw the frame"
        s.send_update([rect("raw", 0, 0, 200, 150), rect("richcursor", 2, 3, 11, 17),
                       rect("pointerpos", 20, 20, 0, 0)])
        s.serve(encodings=("raw",))

    def xdotool(*args):
        subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=session.xvfb.display),
                       check=True, timeout=20, capture_output=True)

    width, height = session.xvfb.size
    srv = start(scenario)
    # The frame is centred on the screen: its view lies under the middle of the screen.
    xdotool("mousemove", width // 2, height // 2)
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        window = frame(program)
        window.refresh()
        view = next(c for c in window.controls if c["class"] == "KEBviewerwindow")["rect"]
        px, py = width // 2 - view[0], height // 2 - view[1]
        assert 0 <= px < 200 and 0 <= py < 150, (px, py)
        window_up.set()

        def under_pointer():
            if expected(srv) is None:
                return None
            box = differences(window.screenshot(), expected(srv))
            return box if box and box[0] >= px - 3 and box[1] >= py - 4 and box[2] < px + 10 and \
                box[3] < py + 15 else None
        kebwine.wait_until(under_pointer, 20, what="the cursor under the pointer at (%d, %d)" % (px, py))
        kebwine.wait_until(lambda: any((m["x"], m["y"]) == (px, py) for m in srv.session.messages_of("PointerEvent")),
                           10, what="the server's pointer brought to (%d, %d)" % (px, py))
        assert program.close() == 0
    finally:
        xdotool("mousemove", width - 1, height - 1)


def test_resizes_while_painting(viewer, tmp_path):
    """The connection thread replaces the bitmap (new sizes, in the same updates as the
    pixels) while the GUI thread paints it: no crash, and the last picture is right."""
    from rfbserver import rect

    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("demo", 200, 150)
        s.handshake(width=200, height=150)
        s.wait_for("FramebufferUpdateRequest")
        for i in range(60):
            w, h = (200, 150) if i % 2 else (120 + i, 90 + i % 7)
            s.send_update([rect("newfbsize", 0, 0, w, h), rect("hextile", 0, 0, w, h)])
            time.sleep(0.01)
        s.serve(encodings=("hextile",))

    srv = start(scenario)
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    def last_size():
        picture = expected(srv)
        return picture if picture is not None and picture.shape[:2] == (150, 200) else None
    shot = wait_picture(frame(program), last_size, exact, timeout=30, save_to=tmp_path / "last")
    assert shot.shape[:2] == (150, 200)
    assert program.close() == 0


def test_closing_while_the_server_stalls_inside_an_update(viewer, tmp_path):
    """The server stops in the middle of a rectangle and sends nothing more: closing the
    window still ends the program at once."""
    def scenario(s):
        s.handshake(width=100, height=80)
        s.wait_for("FramebufferUpdateRequest")
        # An update of one Raw rectangle whose pixels never all come.
        s.send_raw(bytes([0, 0, 0, 1]) + bytes([0, 0, 0, 0, 0, 100, 0, 80, 0, 0, 0, 0]) + bytes(1000))
        s.wait_closed(60)

    srv = start(scenario)
    log = tmp_path / "viewer.log"
    program = viewer("-loglevel", "9", "-logfile", kebwine.win_path(log), "127.0.0.1::%d" % srv.port)
    window = frame(program)
    kebwine.wait_until(lambda: srv.session.record["sent"], 20, what="the update that stalls")
    window.close()
    kebwine.wait_until(lambda: srv.session.peer_closed, 20, what="the viewer to close the connection")
    assert program.wait(20) == 0
    # At once: the socket is closed first, which ends the read and with it the reading
    # thread; a close that waited for that thread first would run out of its wait.
    text = log.read_text(errors="replace")
    assert "Update-processing thread finishing" in text, text
    assert "did not end" not in text, text


def test_server_state_intervals(viewer):
    """An idle interval of 4,294,968 s does not wrap to a short timer that would close the
    connection; a keep-alive interval set by the server starts the viewer's keep-alives,
    whose timer the connection thread cannot start itself."""
    def scenario(s):
        s.handshake(width=64, height=48)
        s.wait_for("FramebufferUpdateRequest")
        s.send_msg("keepalive")
        s.send_msg("serverstate", state=3, value=4294968)
        s.send_msg("serverstate", state=2, value=1)
        s.wait_for("KeepAlive", timeout=10)
        s.wait_for("KeepAlive", timeout=10)
        s.wait_closed()

    srv = start(scenario)
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program)
    kebwine.wait_until(lambda: len(srv.session.messages_of("KeepAlive")) >= 2, 15, what="two keep-alives")
    assert program.returncode is None
    assert program.close() == 0


@pytest.mark.parametrize("enc", ["xz", "xzyw"])
@pytest.mark.parametrize("last_rect", [False, True], ids=["counted", "lastrect"])
def test_rectangles_after_an_xz_list(viewer, tmp_path, enc, last_rect):
    """Each sub-rectangle of an XZ list counts as one rectangle of the update: a list of
    three and a Hextile rectangle are an update of four (or of any count ended by
    LastRect), and the messages that follow at once are read in step."""
    from rfbserver import rect
    from rfboracle import images

    def scenario(s):
        s.desktop = images.pattern("demo", 160, 100)
        s.handshake(width=160, height=100)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("hextile", 0, 0, 160, 100)])
        s.desktop = images.pattern("blocks", 160, 100)
        rects = [rect(enc, 0, 0, 160, 100, opts={"subrects": [[0, 0, 80, 50], [80, 0, 80, 50], [0, 50, 80, 50]]}),
                 rect("hextile", 80, 50, 80, 50)]
        if last_rect:
            s.send_update(rects + [rect("lastrect")], count=0xFFFF)
        else:
            s.send_update(rects)
        s.send_msg("bell")
        s.desktop = images.pattern("checker", 160, 100)
        s.send_update([rect("hextile", 20, 10, 120, 80)])
        s.serve(encodings=("hextile",))

    srv = start(scenario)
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    window = frame(program)
    same = exact if enc == "xz" else psnr_at_least(30)
    wait_picture(window, lambda: expected(srv) if srv.session.updates_sent >= 3 else None, same,
                 save_to=tmp_path / enc)
    updates = [m for m in srv.session.record["sent"] if m["what"] == "FramebufferUpdate"]
    assert updates[1]["count"] == (0xFFFF if last_rect else 4)
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()


def test_desktop_rectangle_scrolls_the_view_to_it(viewer, tmp_path):
    """A framebuffer larger than the screen is shown with scroll bars from its corner; the
    desktop-rectangle pseudo-encoding moves the view to the rectangle's corner."""
    from rfbserver import rect
    from rfboracle import images
    width, height = 1800, 1400

    def scenario(s):
        s.desktop = images.pattern("demo", width, height)
        s.handshake(width=width, height=height)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("hextile", 0, 0, width, height)])
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("desktoprect", 300, 200, 640, 480)])
        s.serve(encodings=("hextile",))

    srv = start(scenario)
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    window = frame(program)
    patch = (slice(0, 150), slice(0, 200))

    def view_at(x, y):
        view = expected(srv)
        return None if view is None else view[y:y + 150, x:x + 200]
    wait_picture(window, lambda: view_at(300, 200) if srv.session.updates_sent >= 2 else None, exact,
                 save_to=tmp_path / "scrolled", region=patch)
    assert program.close() == 0
