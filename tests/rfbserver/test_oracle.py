"""The test server's encoders checked against an independent client (libvncclient).

Each case serves an image through one encoder in a client pixel format and compares
what libvncclient shows with the server's model of the client's framebuffer, which
is the image quantised to that format.
"""

import subprocess

import numpy as np
import pytest

import rfbserver
from rfbserver import images, named_format, rect

# Pixel formats: every byte order and bit layout the encoders must handle.
ALL_FORMATS = ["rgb888", "rgb888be", "bgr888", "rgb565", "rgb565be", "rgb555", "bgr565",
               "bgr233", "rgb222", "rgb111", "rgb332"]
BASIC_FORMATS = ["rgb888", "rgb565be", "bgr233"]

# id, libvncclient encoding name, encoder options, pattern, size, formats
ENCODER_CASES = [
    ("raw", "raw", {}, "noise", (101, 67), ALL_FORMATS),
    ("hextile", "hextile", {}, "demo", (101, 67), ALL_FORMATS),
    ("hextile-blocks", "hextile", {}, "blocks", (150, 90), BASIC_FORMATS),
    ("hextile-raw-tiles", "hextile", {"mode": "raw"}, "noise", (64, 61), BASIC_FORMATS),
    ("hextile-coloured", "hextile", {"mode": "coloured"}, "blocks", (101, 67), BASIC_FORMATS),
    ("hextile-mono-only", "hextile", {"mode": "mono-only"}, "blocks", (101, 67),
     BASIC_FORMATS),
    ("hextile-mixed", "hextile", {}, "mixed", (160, 120), BASIC_FORMATS),
    ("hextile-islands", "hextile", {}, "islands", (160, 120), BASIC_FORMATS),
    ("hextile-viewer-inherit", "hextile", {"inherit": "viewer"}, "islands", (160, 120),
     BASIC_FORMATS),
    ("rre", "rre", {}, "blocks", (101, 67), BASIC_FORMATS + ["rgb888be"]),
    ("corre", "corre", {}, "blocks", (300, 64), BASIC_FORMATS + ["rgb888be"]),
]


def pf_arg(pf):
    return "%d,%d,%d,%d,%d,%d,%d,%d,%d" % (pf.bpp, pf.depth, pf.big_endian, pf.red_max,
                                         pf.green_max, pf.blue_max, pf.red_shift,
                                         pf.green_shift, pf.blue_shift)


def run_libvnc(vncdump, tmp_path, scenario, pf, encodings, updates, password=None):
    srv = rfbserver.Server(scenario, timeout=20, quiet=True).start()
    out, ev = tmp_path / "fb.rgb", tmp_path / "events.txt"
    args = [vncdump, "127.0.0.1", str(srv.port), pf_arg(pf), encodings, str(updates),
            str(out), str(ev)] + ([password] if password else [])
    p = subprocess.run(args, capture_output=True, text=True, timeout=30)
    code = srv.wait(15)
    data = out.read_bytes() if out.exists() else b"0 0\n"
    head, _, rgb = data.partition(b"\n")
    w, h = map(int, head.split())
    img = np.frombuffer(rgb, dtype=np.uint8).reshape(h, w, 3) if w * h else None
    events = ev.read_text().splitlines() if ev.exists() else []
    assert p.returncode == 0, "libvncclient: %s\n%s" % (p.stderr[-2000:], srv.report())
    assert code == 0, srv.report()
    return srv, img, events


def assert_view(srv, img):
    view, known = srv.session.expected_view()
    assert known.all(), "the scenario left parts of the framebuffer undefined"
    assert img is not None and img.shape == view.shape
    bad = np.argwhere((img != view).any(axis=2))
    assert not len(bad), "%d pixels differ, first at (x=%d, y=%d): client %s, expected %s" % (
        len(bad), bad[0][1], bad[0][0], img[tuple(bad[0])], view[tuple(bad[0])])


def encoder_scenario(enc, opts, pattern, size):
    w, h = size

    def scenario(s):
        s.desktop = images.pattern(pattern, w, h)
        s.handshake()
        s.wait_for("FramebufferUpdateRequest")
        # Several rectangles of odd sizes and offsets cover the whole screen.
        xs, ys = [0, 37, w], [0, 29, h]
        s.send_update([rect(enc, x0, y0, x1 - x0, y1 - y0, opts=opts)
                       for y0, y1 in zip(ys, ys[1:]) for x0, x1 in zip(xs, xs[1:])])
        s.wait_for("FramebufferUpdateRequest")
        # A CopyRect (overlapping its source) and changed content in one update.
        s.draw_fill(3, 50, 40, 9, (200, 30, 90))
        s.draw_fill(10, 52, 5, 3, (10, 220, 30))
        s.send_update([rect("copyrect", 20, 14, 30, 20, src=(12, 6)),
                       rect(enc, 3, 50, 40, 9, opts=opts)])
        s.half_close(10)
    return scenario


@pytest.mark.parametrize("case_id,enc,opts,pattern,size,fmt", [
    (c[0], c[1], c[2], c[3], c[4], f) for c in ENCODER_CASES for f in c[5]],
    ids=lambda v: v if isinstance(v, str) else None)
def test_encoder_matches_libvncclient(vncdump, tmp_path, case_id, enc, opts, pattern,
                                      size, fmt):
    pf = named_format(fmt)
    srv, img, _ = run_libvnc(vncdump, tmp_path, encoder_scenario(enc, opts, pattern, size),
                             pf, "%s copyrect" % enc, 2)
    assert srv.session.pf == pf     # the server followed the client's SetPixelFormat
    assert_view(srv, img)


def _cursor_rgba(line):
    _, xh, yh, w, h, hexdata = line.split(" ")
    a = np.frombuffer(bytes.fromhex(hexdata), dtype=np.uint8).reshape(int(h), int(w), 4)
    return (int(xh), int(yh)), a


@pytest.mark.parametrize("fmt", BASIC_FORMATS)
@pytest.mark.parametrize("cursor_enc", ["richcursor", "xcursor"])
def test_pseudo_encodings_and_messages(vncdump, tmp_path, fmt, cursor_enc):
    """Cursor shape and position, LastRect, NewFBSize, bell and cut text."""
    pf = named_format(fmt)

    def scenario(s):
        s.desktop = images.pattern("demo", 80, 60)
        s.handshake()
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("raw", 0, 0, 80, 60), rect(cursor_enc, 2, 3, 11, 17),
                       rect("cursorpos", 50, 40)])
        s.wait_for("FramebufferUpdateRequest")
        s.send_msg("bell")
        s.send_msg("cuttext", text="line one\nline two")
        s.draw_fill(5, 5, 20, 10, (255, 128, 0))
        s.send_update([rect("hextile", 5, 5, 20, 10), rect("lastrect")], count=0xFFFF)
        # libvncclient ends an update at NewFBSize, so the new content comes next.
        s.send_update([rect("newfbsize", 0, 0, 90, 70)])
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("raw", 0, 0, 90, 70)])
        s.half_close(10)

    # "tight" makes libvncclient announce LastRect; the server sends no Tight.
    srv, img, events = run_libvnc(vncdump, tmp_path, scenario, pf, "hextile raw tight", 4)
    assert_view(srv, img)
    assert img.shape[:2] == (70, 90) and events[-1] == "size 90 70"
    cursor_lines = [e for e in events if e.startswith("cursor ")]
    assert len(cursor_lines) == 1
    hot, rgba = _cursor_rgba(cursor_lines[0])
    model = srv.session
    assert hot == model.cursor["hot"]
    assert (rgba[..., 3] == model.cursor["rgba"][..., 3]).all(), "cursor mask differs"
    # libvncclient turns X-cursor colours into the client's pixel format
    want = pf.displayed(model.cursor["rgba"][..., :3])
    assert (rgba[..., :3] == want).all(), "cursor colours differ"
    assert "cursorpos 50 40" in events
    assert "bell" in events
    assert "cuttext " + b"line one\nline two".hex() in events


@pytest.mark.parametrize("version", ["RFB 003.003\n", "RFB 003.007\n", "RFB 003.008\n"])
def test_handshake_versions_with_libvncclient(vncdump, tmp_path, version):
    scenario = {"image": {"pattern": "gradient", "width": 33, "height": 17},
                "handshake": {"version": version},
                "steps": [{"op": "serve", "encodings": ["raw"], "updates": 1}],
                "end": "half_close"}
    srv, img, _ = run_libvnc(vncdump, tmp_path, scenario, named_format("rgb888"), "raw", 1)
    assert srv.session.record["handshake"]["client_version"] == version
    assert_view(srv, img)


@pytest.mark.parametrize("password,ok", [("test", True), ("wrong", False)])
def test_vnc_authentication_check(vncdump, tmp_path, password, ok):
    scenario = {"image": {"pattern": "checker", "width": 16, "height": 16},
                "handshake": {"sectypes": [2], "password": "test",
                              "result": 0 if ok else 1},
                "steps": [{"op": "serve", "encodings": ["raw"], "updates": 1}],
                "end": "half_close"}
    srv = rfbserver.Server(scenario, timeout=20, quiet=True).start()
    subprocess.run([vncdump, "127.0.0.1", str(srv.port), pf_arg(named_format("rgb888")),
                    "raw", "1", str(tmp_path / "fb"), str(tmp_path / "ev"), password],
                   capture_output=True, timeout=30)
    assert srv.wait(15) == 0, srv.report()
    assert srv.session.record["handshake"]["rounds"][0]["password_ok"] is ok


def test_serve_answers_requests_with_changes(vncdump, tmp_path):
    """The request-driven path of the demo: a full update, then only what changed."""
    def scenario(s):
        s.desktop = images.demo(160, 120)
        s.handshake()
        s.serve(encodings=["hextile", "raw"], updates=4, period=0.05,
                change=rfbserver.scenarios.animate)
        s.half_close(10)

    srv, img, _ = run_libvnc(vncdump, tmp_path, scenario, named_format("rgb565"),
                             "hextile raw", 4)
    sent = [e for e in srv.session.record["sent"] if e["what"] == "FramebufferUpdate"]
    assert sent[0]["rects"][0][1:5] == [0, 0, 160, 120]
    assert all(r[0] == "hextile" and r[3] * r[4] < 160 * 120
               for e in sent[1:] for r in e["rects"])
    assert_view(srv, img)
