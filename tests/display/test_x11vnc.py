"""KEBviewer.exe under Wine shows the desktop that x11vnc (libvncserver) serves from an Xvfb
screen: the viewer window's pixels equal the screen in CoRRE, RRE, Zlib, Tight, ZRLE and
Opalo at 32, 16 and 8 bits per pixel (Tight at 32 and 16), and stay within a PSNR
bound of it in Tight with JPEG and in ZYWRLE at quality levels 2, 4 and 8."""

import pytest

import kebwine
from displaytest import (SAME_565, SAME_BGR233, X11vnc, exact, frame, photo, point_away, psnr_at_least,
                         wait_picture, write_options)
from rfboracle import images

W, H = 320, 200


def start_server(depth, picture):
    server = X11vnc(W, H, depth)
    try:
        server.show_image(picture)
        point_away(server)
    except BaseException:
        server.stop()
        raise
    return server


@pytest.fixture(scope="module")
def flat24():
    with start_server(24, images.pattern("blocks", W, H)) as server:
        yield server


@pytest.fixture(scope="module")
def flat16():
    with start_server(16, images.pattern("blocks", W, H)) as server:
        yield server


@pytest.fixture(scope="module")
def photo24():
    with start_server(24, photo(W, H)) as server:
        yield server


# bits per pixel: the server fixture, the viewer's arguments, the comparison.
COLOURS = {32: ("flat24", [], exact), 16: ("flat16", [], SAME_565), 8: ("flat24", ["-8bit"], SAME_BGR233)}


def show(viewer, program_dir, server, encoding, args, **options):
    write_options(program_dir, [encoding], **options)
    program = viewer("127.0.0.1::%d" % server.port, "-nocursorshape", *args)
    return program, frame(program)


# The viewer's encoding, and the name x11vnc's statistics give it.
LOSSLESS = [("corre", "CoRRE"), ("rre", "RRE"), ("zlib", "zlib"), ("tight", "tight"), ("zrle", "ZRLE"),
            ("opalo", "ultra")]
# Every options file of the viewer gives a JPEG quality level, and x11vnc then sends JPEG
# to 8-bit clients too: Tight at 8 bits per pixel cannot be compared exactly.
LOSSLESS_CASES = [(e, r, b) for e, r in LOSSLESS for b in (32, 16, 8) if (e, b) != ("tight", 8)]


@pytest.mark.parametrize("encoding,reported,bits", LOSSLESS_CASES)
def test_lossless_encoding_shows_the_screen(request, viewer, program_dir, tmp_path, encoding, reported, bits):
    fixture, args, same = COLOURS[bits]
    server = request.getfixturevalue(fixture)
    before = server.vnc_text().count("Transmit/")
    program, window = show(viewer, program_dir, server, encoding, args)
    wait_picture(window, server.screenshot, same, save_to=tmp_path / encoding)
    assert program.close() == 0
    kebwine.wait_until(lambda: server.vnc_text().count("Transmit/") > before, 10, what="x11vnc's statistics")
    assert reported in server.encoders()


# Lower PSNR bounds by quality level for the lossy forms.
LOSSY = [("tight", 2, 36), ("tight", 4, 38), ("tight", 8, 44), ("zywrle", 2, 22), ("zywrle", 4, 29),
         ("zywrle", 8, 37)]


@pytest.mark.parametrize("encoding,quality,db", LOSSY)
def test_lossy_encoding_stays_near_the_screen(request, viewer, program_dir, tmp_path, photo24, encoding, quality,
                                              db):
    program, window = show(viewer, program_dir, photo24, encoding, [], quality=quality)
    wait_picture(window, photo24.screenshot, psnr_at_least(db), save_to=tmp_path / encoding)
