"""The Zlib, ZRLE and ZYWRLE encoders checked against libvncclient.

Zlib and ZRLE must give exactly the server's model. ZRLE is left out for 32-bit
big-endian formats whose colours sit in the low three bytes: libvncclient reads those
compact pixels from the other end of the pixel, while libvncserver sends them as this
server does (the least significant three bytes); the viewer's peer tests check the
viewer against libvncserver there. ZYWRLE is lossy: the picture libvncclient shows must
stay near the image (PSNR) at the wavelet level the client's quality asks for; formats
where the server sends no wavelet tiles (8 bits, big-endian) are exact. 16-bit formats
with a 5-bit green are left out of ZYWRLE: libvncclient (like libvncserver, which sends
no wavelet tiles there) decodes them as 5-6-5.
"""

import numpy as np
import pytest

from rfbserver import named_format
from test_oracle import ALL_FORMATS, BASIC_FORMATS, assert_view, encoder_scenario, run_libvnc

ZRLE_FORMATS = [f for f in ALL_FORMATS if f != "rgb888be"]

LOSSLESS_CASES = [
    ("zlib", "zlib", {}, "demo", (101, 67), ALL_FORMATS),
    ("zlib-noise", "zlib", {}, "noise", (160, 120), BASIC_FORMATS),
    ("zrle", "zrle", {}, "demo", (101, 67), ZRLE_FORMATS),
    ("zrle-large-tiles", "zrle", {}, "mixed", (200, 150), ["rgb888", "rgb565", "bgr233"]),
    ("zrle-raw", "zrle", {"mode": "raw"}, "noise", (101, 67), ZRLE_FORMATS),
    ("zrle-rle", "zrle", {"mode": "rle"}, "blocks", (101, 67), ZRLE_FORMATS),
    ("zrle-palette-runs", "zrle", {"mode": "prle"}, "islands", (160, 120), ZRLE_FORMATS),
    ("zrle-packed", "zrle", {"mode": "packed"}, "blocks", (150, 90), ZRLE_FORMATS),
    ("zrle-junk", "zrle", {"junk": 100}, "demo", (101, 67), ["rgb888", "rgb565"]),
    ("zywrle-no-wavelet", "zywrle", {}, "demo", (101, 67), ["bgr233", "rgb565be", "rgb222"]),
]


@pytest.mark.parametrize("case_id,enc,opts,pattern,size,fmt", [
    (c[0], c[1], c[2], c[3], c[4], f) for c in LOSSLESS_CASES for f in c[5]],
    ids=lambda v: v if isinstance(v, str) else None)
def test_lossless_matches_libvncclient(vncdump, tmp_path, case_id, enc, opts, pattern, size,
                                       fmt):
    srv, img, _ = run_libvnc(vncdump, tmp_path, encoder_scenario(enc, opts, pattern, size),
                             named_format(fmt), "%s copyrect" % enc, 2)
    assert_view(srv, img)


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


# Quality level -> wavelet level 1 (8), 2 (4), 3 (2); the lower bound of the PSNR.
ZYWRLE_PSNR = {8: 45, 4: 42, 2: 38}


@pytest.mark.parametrize("quality", sorted(ZYWRLE_PSNR))
@pytest.mark.parametrize("fmt,pattern", [("rgb888", "demo"), ("bgr888", "gradient"),
                                         ("rgb565", "demo"), ("rgb565", "mixed")])
def test_zywrle_near_the_image_in_libvncclient(vncdump, tmp_path, monkeypatch, fmt, pattern,
                                               quality):
    monkeypatch.setenv("VNCDUMP_QUALITY", str(quality))
    srv, img, _ = run_libvnc(vncdump, tmp_path, encoder_scenario("zywrle", {}, pattern, (101, 67)),
                             named_format(fmt), "zywrle copyrect", 2)
    assert -32 + quality in srv.session.client_encodings
    view, known = srv.session.expected_view()
    assert known.all()
    # 16-bit coefficients keep only 5 or 6 bits each.
    bound = ZYWRLE_PSNR[quality] if fmt.endswith("888") else 30
    assert psnr(img, view) >= bound
