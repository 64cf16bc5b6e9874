"""The viewer's Tight, TightZstd, Opalo and Opalo2 decoders on the scripted test
server's streams: exactly the server's model for the lossless forms and for JPEG (the
same image decoded and converted as the viewer does), and near the original image for
JPEG by PSNR. The server's encoders are themselves checked against libvncclient where
libvncclient knows the encoding (tests/rfbserver/test_oracle_tight.py)."""

import pytest

from peerutil import psnr
from rfbserver import named_format
from rfboracle.pixfmt import PixelFormat
from test_oracle import ALL_FORMATS, assert_view, encoder_scenario, run_libvnc
from test_oracle_tight import (JPEG_PSNR, LITTLE_ENDIAN, LOSSLESS_CASES, jpeg_scenario,
                               resets_scenario)


def _same_for_zstd(cases):
    out = []
    for case_id, enc, opts, pattern, size, formats in cases:
        out.append((case_id, enc, opts, pattern, size, formats))
        if enc == "tight":
            out.append((case_id.replace("tight", "tightzstd"), "tightzstd", opts, pattern, size,
                        formats))
    return out


CASES = _same_for_zstd(LOSSLESS_CASES)


@pytest.mark.parametrize("case_id,enc,opts,pattern,size,fmt", [
    (c[0], c[1], c[2], c[3], c[4], f) for c in CASES for f in c[5]],
    ids=lambda v: v if isinstance(v, str) else None)
def test_lossless(kebdump, tmp_path, case_id, enc, opts, pattern, size, fmt):
    srv, img, _ = run_libvnc(kebdump, tmp_path, encoder_scenario(enc, opts, pattern, size),
                             named_format(fmt), "%s copyrect" % enc, 2)
    assert_view(srv, img)


@pytest.mark.parametrize("enc", ["tight", "tightzstd"])
@pytest.mark.parametrize("fmt", ["rgb888", "rgb565", "bgr233"])
def test_stream_resets(kebdump, tmp_path, enc, fmt):
    srv, img, _ = run_libvnc(kebdump, tmp_path, resets_scenario(enc), named_format(fmt), enc, 2)
    assert_view(srv, img)


@pytest.mark.parametrize("enc", ["tight", "tightzstd"])
@pytest.mark.parametrize("level", [2, 4, 8])
@pytest.mark.parametrize("fmt", ["rgb888", "bgr888", "rgb565", "bgr233"])
def test_tight_jpeg(kebdump, tmp_path, enc, level, fmt):
    srv, img, _ = run_libvnc(kebdump, tmp_path, jpeg_scenario(enc, level), named_format(fmt),
                             "%s jpeg=%d" % (enc, level), 1)
    assert_view(srv, img)
    if fmt.endswith("888"):
        assert psnr(img, srv.session.desktop) > JPEG_PSNR[level]


def _fmt32(rs, gs, bs, be=0):
    return PixelFormat(bpp=32, depth=24, big_endian=be, red_shift=rs, green_shift=gs,
                       blue_shift=bs)


# Opalo2 decodes 32-bit formats straight into place in four byte layouts (for a
# big-endian format by the big-endian pixel's bytes); others are converted.
OPALO2_FORMATS = {
    "rgbx": _fmt32(0, 8, 16), "bgrx": _fmt32(16, 8, 0), "xbgr": _fmt32(24, 16, 8),
    "xrgb": _fmt32(8, 16, 24), "be-bgrx": _fmt32(8, 16, 24, 1), "be-xrgb": _fmt32(16, 8, 0, 1),
    "rgb565": named_format("rgb565"), "bgr233": named_format("bgr233"),
    "rgb111": named_format("rgb111"),
}


@pytest.mark.parametrize("quality", [20, 75, 95])
@pytest.mark.parametrize("fmt", sorted(OPALO2_FORMATS))
def test_opalo2(kebdump, tmp_path, fmt, quality):
    srv, img, _ = run_libvnc(kebdump, tmp_path,
                             encoder_scenario("opalo2", {"jpeg_quality": quality}, "demo", (101, 67)),
                             OPALO2_FORMATS[fmt], "opalo2 copyrect", 2)
    assert_view(srv, img)


@pytest.mark.parametrize("fmt", ALL_FORMATS)
def test_opalo(kebdump, tmp_path, fmt):
    srv, img, _ = run_libvnc(kebdump, tmp_path, encoder_scenario("opalo", {}, "mixed", (160, 120)),
                             named_format(fmt), "opalo copyrect", 2)
    assert_view(srv, img)
