"""The viewer's Zlib, ZRLE and ZYWRLE decoders against real servers: a libvncserver
program (Zlib, ZRLE, ZYWRLE), x11vnc (Zlib, ZRLE, ZYWRLE) and TigerVNC's Xvnc (ZRLE).

Lossless updates must equal the screen at 32 bits per pixel and what libvncclient shows
in the other formats. ZYWRLE updates must equal what libvncclient shows at the same
wavelet level (quality 8, 4 and 2 give levels 1, 2 and 3) and stay near the screen.
32-bit big-endian ZRLE is compared with the screen only: there libvncclient reads the
compact pixels from the other end of the pixel than libvncserver and Xvnc send them.
"""

import os
import subprocess

import numpy as np
import pytest

from peerutil import psnr, read_rgb
from rfbserver import named_format
from test_peers_tight import run_dump, tight_server, libvnc_peer  # noqa: F401 (fixtures)

LOSSLESS_FORMATS = ["rgb888", "bgr888", "rgb565", "bgr233"]
BIG_ENDIAN_32 = {"rgb888be": "32,24,1,255,255,255,16,8,0", "high24be": "32,24,1,255,255,255,24,16,8"}
# Lower bounds of the PSNR against the screen by quality level. The picture has a noisy
# corner that a wavelet coder cannot keep.
ZYWRLE_PSNR = {8: 18, 4: 16, 2: 14}


def check_lossless(peer, kebdump, vncdump, tmp_path, fmt, enc):
    ours = run_dump(kebdump, peer.port, fmt, enc, tmp_path / "ours")
    if fmt in ("rgb888", "bgr888"):
        bad = np.argwhere((ours != peer.screen).any(axis=2))
        assert not len(bad), "%d pixels differ from the screen, first at %s" % (len(bad), bad[0])
    theirs = run_dump(vncdump, peer.port, fmt, enc, tmp_path / "theirs")
    bad = np.argwhere((ours != theirs).any(axis=2))
    assert not len(bad), "%d pixels differ from libvncclient, first at %s" % (len(bad), bad[0])


@pytest.mark.parametrize("fmt", LOSSLESS_FORMATS)
@pytest.mark.parametrize("enc", ["zlib", "zrle"])
def test_lossless_from_libvncserver(libvnc_peer, kebdump, vncdump, tmp_path, enc, fmt):
    check_lossless(libvnc_peer, kebdump, vncdump, tmp_path, fmt, enc)


@pytest.mark.parametrize("fmt", LOSSLESS_FORMATS)
def test_zrle_from_xvnc_and_x11vnc(tight_server, kebdump, vncdump, tmp_path, fmt):
    check_lossless(tight_server, kebdump, vncdump, tmp_path, fmt, "zrle")


def test_zlib_from_x11vnc(tight_server, kebdump, vncdump, tmp_path, request):
    if request.node.callspec.params["tight_server"] != "x11vnc":
        pytest.skip("Xvnc has no Zlib encoding")
    check_lossless(tight_server, kebdump, vncdump, tmp_path, "rgb888", "zlib")


def real_peers(request, libvnc_peer, tight_server, libvncserver_only=False):
    """libvncserver, and x11vnc or Xvnc (the parameter of tight_server)."""
    peers = [libvnc_peer]
    if not (libvncserver_only and request.node.callspec.params["tight_server"] == "xvnc"):
        peers.append(tight_server)
    return peers


@pytest.mark.parametrize("layout", sorted(BIG_ENDIAN_32))
def test_zrle_big_endian_32(request, libvnc_peer, tight_server, kebdump, tmp_path, layout):
    for peer in real_peers(request, libvnc_peer, tight_server):
        out = tmp_path / "ours"
        env = dict(os.environ, VNCDUMP_QUIET_MS="600")
        p = subprocess.run([kebdump, "127.0.0.1", str(peer.port), BIG_ENDIAN_32[layout], "zrle", "1",
                            str(out)], capture_output=True, text=True, timeout=60, env=env)
        assert p.returncode == 0, p.stderr[-2000:]
        ours = read_rgb(out)
        assert (ours == peer.screen).all(), "%d pixels differ from the screen" % (
            (ours != peer.screen).any(axis=2).sum())


@pytest.mark.parametrize("quality", sorted(ZYWRLE_PSNR))
@pytest.mark.parametrize("fmt", ["rgb888", "bgr888", "rgb565"])
def test_zywrle(request, libvnc_peer, tight_server, kebdump, vncdump, tmp_path, fmt, quality):
    # Xvnc has no ZYWRLE; libvncserver and x11vnc (built on it) do.
    for peer in real_peers(request, libvnc_peer, tight_server, libvncserver_only=True):
        ours = run_dump(kebdump, peer.port, fmt, "zywrle", tmp_path / "ours", quality)
        theirs = run_dump(vncdump, peer.port, fmt, "zywrle", tmp_path / "theirs", quality)
        bad = np.argwhere((ours != theirs).any(axis=2))
        assert not len(bad), "%d pixels differ from libvncclient, first at %s" % (len(bad), bad[0])
        screen = named_format(fmt).displayed(peer.screen)
        assert psnr(ours, screen) > ZYWRLE_PSNR[quality]
