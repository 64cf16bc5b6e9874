"""The viewer's decoders against real servers: TigerVNC's Xvnc and x11vnc sending Tight
(with and without JPEG) and a libvncserver program sending Opalo (encoding 9).

The screen is a known picture. Lossless updates must give exactly what libvncclient shows
for the same server and, at 32 bits per pixel, exactly the screen; JPEG updates must stay
near the screen (PSNR) and, at 32 bits per pixel, equal what libvncclient shows.
"""

import os
import shutil
import subprocess

import numpy as np
import pytest

import kebwine
from peerutil import free_port, psnr, read_rgb
from rfbserver import images, named_format
from test_oracle import pf_arg

W, H = 320, 240
FORMATS = ["rgb888", "rgb565", "bgr233"]
# Lower bounds of the PSNR against the screen by JPEG quality level (x11vnc sends JPEG
# at these levels; Xvnc refines its JPEG areas losslessly once the screen is idle).
JPEG_PSNR = {2: 22, 4: 24, 8: 36}


def picture():
    """Flat areas, text and a photo-like gradient: Tight's fill, palette, copy and JPEG
    forms all have something to do."""
    img = images.pattern("mixed", W, H)
    img[:, W // 2:] = images.pattern("gradient", W - W // 2, H)
    yy, xx = np.mgrid[0:H, 0:W - W // 2]
    img[H // 2:, W // 2:, 2] = (128 + 90 * np.sin(xx[H // 2:] / 7.0 + yy[H // 2:] / 11.0)).astype(np.uint8)
    images.draw_text(img, "Tight 0123", at=(8, 8), colour=(250, 250, 20), scale=2)
    return img


def run_dump(exe, port, fmt, encodings, out, quality=-1):
    """One full update through a dump client; quality: JPEG quality level, -1 none."""
    pf = named_format(fmt)
    # A real server never ends the stream: libvncclient's dump stops once the update is
    # in and the server has gone quiet (the screen does not change).
    env = dict(os.environ, VNCDUMP_QUIET_MS="600", VNCDUMP_QUALITY=str(quality))
    if quality >= 0 and "kebdecode" in os.path.basename(exe):
        encodings += " jpeg=%d" % quality
    p = subprocess.run([exe, "127.0.0.1", str(port), pf_arg(pf), encodings, "1", str(out)],
                       capture_output=True, text=True, timeout=60, env=env)
    assert p.returncode == 0, "%s: %s" % (os.path.basename(exe), p.stderr[-2000:])
    return read_rgb(out)


def wait_port(port, proc, seconds=15):
    """Waits until the server process listens on port; False when it ended first (the port
    was taken meanwhile, say)."""
    def up():
        if proc.poll() is not None:
            return "ended"
        return kebwine.port_accepts(port) and "listening"
    return kebwine.wait_until(up, seconds, interval=0.1, what="the server to listen on %d" % port) == "listening"


def start_listening(argv, seconds=15):
    """Starts a server given argv(port) on a free port, again on another one when the
    port was taken between the choice and the start. Returns (process, port)."""
    for _ in range(5):
        port = free_port()
        p = start(argv(port))
        if wait_port(port, p, seconds):
            return p, port
        p.wait(5)
    raise RuntimeError("the server did not listen on any port: %s" % p.stderr.read()[-2000:])


class Peer:
    def __init__(self, procs, port, screen, servers=()):
        self.procs, self.port, self.screen, self.servers = procs, port, screen, list(servers)

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait(5)
        for server in reversed(self.servers):
            server.stop()


def start(cmd, **kw):
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, **kw)


@pytest.fixture(scope="module", params=["xvnc", "x11vnc"])
def tight_server(request):
    for tool in ("Xvnc", "Xvfb", "x11vnc", "display", "xwd"):
        if not shutil.which(tool):
            pytest.fail("%s is needed (tigervnc-standalone-server, xvfb, x11vnc, imagemagick, x11-apps)" % tool)
    # The X servers choose their display numbers themselves (-displayfd): tests running
    # beside these never meet the same one.
    procs, servers = [], []
    try:
        if request.param == "xvnc":
            x = kebwine.Xvnc(W, H, 24, extra=["-AlwaysShared"])
            servers.append(x)
            port = x.port
        else:
            x = kebwine.Xvfb(W, H, 24)
            servers.append(x)
            v, port = start_listening(lambda port: [
                "x11vnc", "-display", x.display, "-rfbport", str(port), "-localhost", "-nopw", "-shared",
                "-forever", "-quiet", "-nocursor", "-noxdamage", "-noxfixes", "-norc"], 30)
            procs.append(v)
        screen = x.show_image(picture(), timeout=30)
        peer = Peer(procs, port, screen, servers)
    except Exception:
        Peer(procs, 0, None, servers).stop()
        raise
    yield peer
    peer.stop()


@pytest.mark.parametrize("fmt", FORMATS)
def test_tight_lossless(tight_server, kebdump, vncdump, tmp_path, fmt):
    ours = run_dump(kebdump, tight_server.port, fmt, "tight", tmp_path / "ours")
    theirs = run_dump(vncdump, tight_server.port, fmt, "tight", tmp_path / "theirs")
    bad = np.argwhere((ours != theirs).any(axis=2))
    assert not len(bad), "%d pixels differ from libvncclient, first at %s" % (len(bad), bad[0])
    if fmt == "rgb888":
        bad = np.argwhere((ours != tight_server.screen).any(axis=2))
        assert not len(bad), "%d pixels differ from the screen, first at %s" % (len(bad), bad[0])


@pytest.mark.parametrize("level", [2, 4, 8])
@pytest.mark.parametrize("fmt", ["rgb888", "rgb565"])
def test_tight_jpeg(tight_server, kebdump, vncdump, tmp_path, fmt, level):
    ours = run_dump(kebdump, tight_server.port, fmt, "tight", tmp_path / "ours", level)
    theirs = run_dump(vncdump, tight_server.port, fmt, "tight", tmp_path / "theirs", level)
    screen = named_format(fmt).displayed(tight_server.screen)
    assert psnr(ours, screen) > JPEG_PSNR[level] - (3 if fmt == "rgb565" else 0)
    if fmt == "rgb888":
        # The same JPEG data through the same library: the same pixels.
        assert (ours == theirs).all(), "%d pixels differ from libvncclient" % (
            (ours != theirs).any(axis=2).sum())
    else:
        # The viewer keeps the top bits of each 8-bit component (c x (max + 1) >> 8);
        # libvncclient's conversion differs from that by up to one level.
        assert psnr(ours, theirs) > 35, "far from what libvncclient shows"


@pytest.fixture(scope="module")
def libvnc_peer(libvnc_server, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("libvnc")
    p, port = start_listening(lambda port: [libvnc_server, str(port), str(tmp / "screen"), "120", str(W), str(H)])
    try:
        peer = Peer([p], port, read_rgb(tmp / "screen"))
    except Exception:
        Peer([p], 0, None).stop()
        raise
    yield peer
    peer.stop()


@pytest.mark.parametrize("fmt", FORMATS + ["rgb555", "rgb111"])
def test_opalo_from_libvncserver(libvnc_peer, kebdump, vncdump, tmp_path, fmt):
    ours = run_dump(kebdump, libvnc_peer.port, fmt, "opalo", tmp_path / "ours")
    theirs = run_dump(vncdump, libvnc_peer.port, fmt, "opalo", tmp_path / "theirs")
    bad = np.argwhere((ours != theirs).any(axis=2))
    assert not len(bad), "%d pixels differ from libvncclient, first at %s" % (len(bad), bad[0])
    if fmt == "rgb888":
        assert (ours == libvnc_peer.screen).all()
