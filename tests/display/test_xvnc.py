"""KEBviewer.exe under Wine shows TigerVNC Xvnc's desktop: the viewer window's pixels
equal Xvnc's framebuffer in Raw, RRE, Hextile and ZRLE at 32, 16 and 8 bits per pixel
(chosen in the options file and with -8bit, as a user does), CopyRect when a window moves,
Tight (exact on flat areas, near the picture with JPEG), a desktop resized with xrandr, the
server's cursor drawn where the server's pointer is, and the scaled view."""

import os
import subprocess

import numpy as np
import pytest

import kebwine
from displaytest import (SAME_565, SAME_BGR233, RectRelay, differences, exact, frame, photo, point_away,
                         psnr_at_least, server_log, stripes, wait_picture, write_options, x_run, xvnc_encoders)
from rfboracle import images

W, H = 320, 200


def serve_picture(server, picture):
    server.show_image(picture)
    point_away(server)
    return server


@pytest.fixture(scope="module")
def xvnc24(session):
    return serve_picture(session.xvnc(W, H, 24), stripes(W, H))


@pytest.fixture(scope="module")
def xvnc16(session):
    return serve_picture(session.xvnc(W, H, 16), stripes(W, H))


def stats_after_close(server, program, before):
    """Closes the viewer as a user does and returns the encoders Xvnc reports for it."""
    assert program.close() == 0
    kebwine.wait_until(lambda: server_log(server).count("Framebuffer updates:") > before, 10,
                       what="Xvnc's statistics of the connection")
    return xvnc_encoders(server)


# bits per pixel: the Xvnc fixture, the viewer's arguments, the comparison.
COLOURS = {
    32: ("xvnc24", [], exact),
    16: ("xvnc16", [], SAME_565),
    8: ("xvnc24", ["-8bit"], SAME_BGR233),
}


@pytest.mark.parametrize("bits", [32, 16, 8])
@pytest.mark.parametrize("encoding,reported", [("raw", "Raw"), ("rre", "RRE"), ("hextile", "Hextile"),
                                               ("zrle", "ZRLE")])
def test_encoding_shows_the_framebuffer(request, viewer, program_dir, tmp_path, encoding, reported, bits):
    fixture, args, same = COLOURS[bits]
    server = request.getfixturevalue(fixture)
    write_options(program_dir, [encoding])
    before = server_log(server).count("Framebuffer updates:")
    program = viewer("127.0.0.1::%d" % server.port, "-nocursorshape", *args)
    window = frame(program)
    wait_picture(window, server.screenshot, same, save_to=tmp_path / encoding)
    assert window.client_rect()[2] - window.client_rect()[0] == W
    assert stats_after_close(server, program, before) == {reported}


def test_copyrect_follows_a_moving_window(session, viewer, program_dir, tmp_path):
    server = serve_picture(session.xvnc(W, H, 24), stripes(W, H))
    logo = subprocess.Popen(["xlogo", "-geometry", "80x60+20+20", "-bg", "red", "-fg", "yellow"],
                            env=dict(os.environ, DISPLAY=server.display), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        wid = kebwine.wait_until(
            lambda: x_run(server.display, "xdotool", "search", "--onlyvisible", "--class", "xlogo").stdout.split(),
            10, what="the xlogo window")[-1]
        write_options(program_dir, ["raw", "copyrect"], preferred="raw")
        relay = RectRelay(server.port)
        program = viewer("127.0.0.1::%d" % relay.port, "-nocursorshape")
        window = frame(program)
        wait_picture(window, server.screenshot, exact, save_to=tmp_path / "before")
        for x, y in ((100, 60), (170, 110), (30, 120)):
            x_run(server.display, "xdotool", "windowmove", wid, str(x), str(y))
            wait_picture(window, server.screenshot, exact, save_to=tmp_path / ("moved-%d" % x))
        assert relay.error is None, relay.error
        assert 1 in relay.encodings(), relay.rects
        relay.close()
    finally:
        logo.kill()
        logo.wait(5)


@pytest.mark.parametrize("name,picture,same,reported", [
    # Flat areas: fills and palettes, exact.
    ("flat", lambda: images.pattern("blocks", W, H), exact, "Tight"),
    # A photograph: JPEG at quality 4, which the server follows with a finer JPEG once the
    # screen is still.
    ("photo", lambda: photo(W, H), psnr_at_least(38), "Tight (JPEG)"),
])
def test_tight(session, viewer, program_dir, tmp_path, name, picture, same, reported):
    server = serve_picture(session.xvnc(W, H, 24), picture())
    write_options(program_dir, ["tight"], quality=4)
    before = server_log(server).count("Framebuffer updates:")
    program = viewer("127.0.0.1::%d" % server.port, "-nocursorshape")
    wait_picture(frame(program), server.screenshot, same, timeout=30, save_to=tmp_path / name)
    assert reported in stats_after_close(server, program, before)


def test_desktop_resized_with_xrandr(session, viewer, program_dir, tmp_path):
    server = serve_picture(session.xvnc(W, H, 24), stripes(W, H))
    write_options(program_dir, ["zrle"])
    program = viewer("127.0.0.1::%d" % server.port, "-nocursorshape")
    window = frame(program)
    wait_picture(window, server.screenshot, exact)
    # Only the width, then both sides: the framebuffer follows either change.
    for size in ("400x200", "640x480"):
        r = x_run(server.display, "xrandr", "--fb", size)
        assert r.returncode == 0, r.stderr
        w, h = map(int, size.split("x"))
        kebwine.wait_until(lambda: server.screenshot().shape[:2] == (h, w), 10, what="Xvnc at %s" % size)
        server.size = (w, h)
        point_away(server)
        shot = wait_picture(window, server.screenshot, exact, save_to=tmp_path / size)
        assert shot.shape[:2] == (h, w)


def test_the_servers_cursor_is_drawn_at_its_pointer(session, viewer, program_dir):
    plain = np.zeros((H, W, 3), np.uint8)
    plain[...] = (40, 90, 180)
    server = session.xvnc(W, H, 24)
    server.show_image(plain)
    assert x_run(server.display, "xsetroot", "-cursor_name", "left_ptr").returncode == 0
    x_run(server.display, "xdotool", "mousemove", "100", "80")
    write_options(program_dir, ["hextile"])
    program = viewer("127.0.0.1::%d" % server.port)  # cursor shapes on, as by default
    window = frame(program)

    def cursor_at(x, y):
        def drawn():
            box = differences(window.screenshot(), server.screenshot())
            return box if box and box[0] >= x - 2 and box[1] >= y - 2 and box[2] < x + 32 and box[3] < y + 32 else None
        box = kebwine.wait_until(drawn, 20, what="the cursor at (%d, %d)" % (x, y))
        shot = window.screenshot()
        part = shot[box[1]:box[3] + 1, box[0]:box[2] + 1].reshape(-1, 3)
        # An arrow: black and white pixels, and the desktop showing through around it.
        assert (part.sum(axis=1) < 60).any() and (part.min(axis=1) > 200).any()
        return box

    cursor_at(100, 80)
    x_run(server.display, "xdotool", "mousemove", "200", "150")
    cursor_at(200, 150)
    # Where the cursor was, the desktop is back.
    assert exact(window.screenshot()[70:120, 90:140], server.screenshot()[70:120, 90:140])


@pytest.mark.parametrize("scale", ["2/1", "1/2"])
def test_scaled_view(xvnc24, viewer, program_dir, tmp_path, scale):
    """Twice the size: every pixel shown as a 2 x 2 block; half the size: a smoothed
    reduction close to the average of each block."""
    num, den = scale.split("/")
    write_options(program_dir, ["zrle"], Scaling=1, scale_num=num, scale_den=den)
    program = viewer("127.0.0.1::%d" % xvnc24.port, "-nocursorshape")
    window = frame(program)
    screen = xvnc24.screenshot()
    if scale == "2/1":
        want, same = screen.repeat(2, axis=0).repeat(2, axis=1), exact
    else:
        want = screen.reshape(H // 2, 2, W // 2, 2, 3).mean(axis=(1, 3)).round().astype(np.uint8)
        same = psnr_at_least(25)
    wait_picture(window, want, same, save_to=tmp_path / "scaled")
