"""The Tight and Opalo encoders checked against libvncclient.

Tight in a big-endian format is left out: the viewer never asks for one, and Tight's
3-byte pixels have no agreed byte order there.

Lossless forms must give exactly the server's model; JPEG rectangles must give the
model (the decoded JPEG image) within a small tolerance and stay close to the original
image.
"""

import numpy as np
import pytest

from rfbserver import images, named_format, rect
from test_oracle import ALL_FORMATS, BASIC_FORMATS, assert_view, encoder_scenario, run_libvnc

LITTLE_ENDIAN = [f for f in ALL_FORMATS if not f.endswith("be")]
TIGHT_BASIC = [f for f in BASIC_FORMATS if not f.endswith("be")] + ["rgb565"]

# id, encoding, encoder options, pattern, size, formats
LOSSLESS_CASES = [
    ("tight-auto", "tight", {}, "mixed", (160, 120), LITTLE_ENDIAN),
    ("tight-copy", "tight", {"mode": "copy"}, "noise", (101, 67), LITTLE_ENDIAN),
    ("tight-copy-filter-byte", "tight", {"mode": "copy", "filter_byte": True}, "demo",
     (101, 67), TIGHT_BASIC),
    ("tight-gradient", "tight", {"lossless": "gradient", "palette_max": 0}, "gradient",
     (101, 67), LITTLE_ENDIAN),
    ("tight-gradient-noise", "tight", {"mode": "gradient"}, "noise", (101, 67), TIGHT_BASIC),
    ("tight-palette", "tight", {"palette_max": 256}, "blocks", (150, 90), LITTLE_ENDIAN),
    ("tight-mono", "tight", {"mode": "mono"}, "checker", (101, 67), TIGHT_BASIC),
    ("tight-streams", "tight", {"stream": 2, "mode": "copy"}, "islands", (160, 120),
     TIGHT_BASIC),
    ("opalo", "opalo", {}, "demo", (101, 67), ALL_FORMATS),
    ("opalo-noise", "opalo", {}, "noise", (160, 120), BASIC_FORMATS),
]


@pytest.mark.parametrize("case_id,enc,opts,pattern,size,fmt", [
    (c[0], c[1], c[2], c[3], c[4], f) for c in LOSSLESS_CASES for f in c[5]],
    ids=lambda v: v if isinstance(v, str) else None)
def test_lossless_matches_libvncclient(vncdump, tmp_path, case_id, enc, opts, pattern, size,
                                       fmt):
    pf = named_format(fmt)
    srv, img, _ = run_libvnc(vncdump, tmp_path, encoder_scenario(enc, opts, pattern, size),
                             pf, "%s copyrect" % enc, 2)
    assert_view(srv, img)


def resets_scenario(enc):
    """Streams restarted by the control bits, before a fill and with basic data."""
    def scenario(s):
        s.desktop = images.pattern("mixed", 120, 90)
        s.handshake()
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect(enc, 0, 0, 120, 45, opts={"mode": m, "stream": i})
                       for i, m in enumerate(["copy", "copy", "gradient", "copy"])])
        s.wait_for("FramebufferUpdateRequest")
        s.draw_fill(0, 45, 120, 45, (10, 200, 30))
        s.send_update([rect(enc, 0, 45, 120, 45, opts={"reset": [0, 1, 2, 3]}),
                       rect(enc, 0, 0, 120, 45, opts={"mode": "copy", "stream": 1}),
                       rect(enc, 0, 0, 60, 45, opts={"mode": "gradient", "stream": 2,
                                                     "reset": [2]})])
        s.half_close(10)
    return scenario


def jpeg_scenario(enc, level):
    """JPEG rectangles at a quality level, forced and chosen by content."""
    def scenario(s):
        s.desktop = images.pattern("gradient", 160, 120)
        s.handshake()
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect(enc, 0, 0, 160, 60, opts={"mode": "jpeg", "quality": level}),
                       rect(enc, 0, 60, 97, 60, opts={"mode": "jpeg", "quality": level}),
                       rect(enc, 97, 60, 63, 60, opts={"quality": level})])
        s.half_close(10)
    return scenario


# Lower bounds of the PSNR against the original image, by quality level.
JPEG_PSNR = {2: 28, 4: 32, 8: 36}


@pytest.mark.parametrize("fmt", ["rgb888", "bgr888"])
def test_stream_resets_match_libvncclient(vncdump, tmp_path, fmt):
    srv, img, _ = run_libvnc(vncdump, tmp_path, resets_scenario("tight"), named_format(fmt),
                             "tight", 2)
    assert_view(srv, img)


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


@pytest.mark.parametrize("level", [2, 4, 8])
def test_jpeg_matches_libvncclient(vncdump, tmp_path, level):
    srv, img, _ = run_libvnc(vncdump, tmp_path, jpeg_scenario("tight", level),
                             named_format("rgb888"), "tight", 1)
    view, known = srv.session.expected_view()
    assert known.all()
    diff = np.abs(img.astype(int) - view.astype(int))
    assert diff.max() <= 2, "libvncclient differs from the decoded JPEG by %d" % diff.max()
    assert psnr(img, srv.session.desktop) > JPEG_PSNR[level]
