"""Helpers of the display tests: the viewer's options file, its frame window, waiting
until the viewer window shows a picture, comparisons at 32, 16 and 8 bits per pixel,
x11vnc on an Xvfb screen, what the real servers report they sent, a relay that reads the
rectangle headers of Raw and CopyRect updates, and a scripted server that shows a picture
after a handshake of given security types."""

import os
import re
import socket
import struct
import subprocess
import tempfile
import threading
import time

import numpy as np

import kebwine

ENCODINGS = {"raw": 0, "copyrect": 1, "rre": 2, "corre": 4, "hextile": 5, "zlib": 6, "tight": 7, "zlibhex": 8,
             "opalo": 9, "zrle": 16, "zywrle": 17}
FRAME_CLASS = "KEBMDI_Window"


def write_options(program_dir, only, preferred=None, **keys):
    """The options file beside the program, as the option pages save it: only the listed
    encodings enabled, the first (or `preferred`) preferred, further keys as given."""
    numbers = [ENCODINGS.get(e, e) for e in only]
    lines = ["[options]"] + ["use_encoding_%d=%d" % (i, int(i in numbers)) for i in range(30)]
    lines.append("preferred_encoding=%d" % ENCODINGS.get(preferred, numbers[0] if preferred is None else preferred))
    keys.setdefault("AutoScaling", 0)
    keys.setdefault("showtoolbar", 0)
    lines += ["%s=%s" % kv for kv in keys.items()]
    (program_dir / "options.keb").write_text("\r\n".join(lines) + "\r\n")


def one_to_one(program_dir):
    """The view shows the framebuffer pixel for pixel in the frame's whole client area:
    "AutoScaling" (on by default, it fits the desktop to the screen) and "showtoolbar" (on
    by default, a strip above the view) are switched off in the options file beside the
    program, unless the test set them itself. Other sections and keys stay."""
    path = program_dir / "options.keb"
    text = path.read_bytes().decode("latin-1") if path.exists() else ""
    for key in ("AutoScaling", "showtoolbar"):
        if re.search(r"(?im)^%s=" % key, text):
            continue
        if re.search(r"(?im)^\[options\]\r?$", text):
            text = re.sub(r"(?im)^(\[options\])\r?$", "\\1\r\n%s=0\r" % key, text, count=1)
        else:
            text = "[options]\r\n%s=0\r\n" % key + text
    path.write_bytes(text.encode("latin-1"))


def frame(program, timeout=30):
    """The connection's frame window (its client area is the viewer window)."""
    return program.window(cls=FRAME_CLASS, timeout=timeout)


def window_thread_caught_up(program, timeout=20):
    """Waits until the viewer's window thread has handled everything posted to it so far:
    the Connection Info box, asked for by a command posted after those messages, comes up;
    it is closed again."""
    frame(program).post(0x0112, 103)  # WM_SYSCOMMAND, Connection Info
    box = program.box(heading="^Quillmar Remote - Connection Info$", timeout=timeout)
    box.click(text="^OK$", how="send")
    box.wait_gone()


# ---- Comparisons of what the viewer shows (actual) with what it should (expected) ----

def exact(actual, expected):
    return np.array_equal(actual, expected)


def _levels(img, maxes):
    """Each channel scaled back to 0..max (rounded): the value a pixel format of those
    maxima holds."""
    return np.stack([(img[..., i].astype(np.int32) * m + 127) // 255 for i, m in enumerate(maxes)], axis=2)


def same_at(maxes):
    """Equal at the precision of a pixel format: both images come from the same pixels of
    that format and were widened to 8 bits in different ways (Wine's blit, the screen reader)."""
    def same(actual, expected):
        return np.array_equal(_levels(actual, maxes), _levels(expected, maxes))
    return same


SAME_565 = same_at((31, 63, 31))


def viewer_table(m):
    """The 8-bit colour table of the viewer's bitmap for a channel of maximum m."""
    return [((m // 2 + k * 65535) // m) >> 8 for k in range(m + 1)]


def quantised_by_server(maxes):
    """A picture that the server turned into a low-colour format: every colour the viewer
    shows is one of its table, and is the server's colour rounded to that format (a colour
    within 0.5 % of the midpoint between two levels may go either way)."""
    def same(actual, expected):
        for i, m in enumerate(maxes):
            table = np.array(viewer_table(m))
            lookup = np.full(256, -1)
            lookup[table] = np.arange(m + 1)
            got = lookup[actual[..., i]]
            if (got < 0).any():
                return False
            exact_level = expected[..., i].astype(np.float64) * m / 255
            want = np.floor(exact_level + 0.5)
            near_half = np.abs(exact_level - np.floor(exact_level) - 0.5) < 0.005 * m
            if ((got != want) & ~near_half).any():
                return False
        return True
    return same


SAME_BGR233 = quantised_by_server((7, 7, 3))


def psnr_at_least(db):
    def same(actual, expected):
        return kebwine.psnr(actual, expected) >= db
    return same


def wait_picture(window, expected, same=exact, timeout=20, save_to=None, region=None):
    """Waits until the viewer window shows `expected` (the picture, or a function returning
    it or None while it is not known yet) as `same` judges; with `region` (a pair of
    slices, rows and columns) only that part of the window is looked at. Returns the last
    screenshot; fails with the difference."""
    deadline = time.monotonic() + timeout
    while True:
        want = expected() if callable(expected) else expected
        try:
            shot = window.screenshot()
            if region is not None:
                shot = shot[region]
        except kebwine.HarnessError:
            # Reading the window's rectangle or the screen fails now and then while a window
            # of the screen changes its size.
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.1)
            continue
        if want is not None and shot.shape == want.shape and same(shot, want):
            return shot
        if time.monotonic() >= deadline:
            if want is None:
                raise AssertionError("the expected picture was never complete")
            if shot.shape == want.shape and save_to:
                kebwine.save_png(shot, str(save_to) + "-actual.png")
                kebwine.save_png(want, str(save_to) + "-expected.png")
            detail = "shapes %s / %s" % (shot.shape, want.shape)
            if shot.shape == want.shape:
                diff = np.any(shot != want, axis=2)
                ys, xs = np.nonzero(diff)
                detail = "%d pixels differ, first at (%d, %d), PSNR %.2f dB" % (
                    len(xs), xs[0] if len(xs) else -1, ys[0] if len(ys) else -1, kebwine.psnr(shot, want))
            raise AssertionError("the viewer does not show the picture after %.0f s: %s" % (timeout, detail))
        time.sleep(0.1)


def differences(actual, expected):
    """Bounding box (x0, y0, x1, y1) of the pixels that differ, or None."""
    diff = np.any(actual != expected, axis=2)
    if not diff.any():
        return None
    ys, xs = np.nonzero(diff)
    return int(xs.min()), int(ys.min()), int(xs.max()), int(ys.max())


# ---- Pictures ----

def stripes(w, h):
    """Diagonal colour ramps: many colours, every channel covering 0..255."""
    t = (np.indices((h, w)).sum(axis=0) % 256).astype(np.uint8)
    return np.stack([t, 255 - t, (t.astype(np.int32) * 3 % 256).astype(np.uint8)], axis=2)


def photo(w, h):
    """Smooth shading with soft detail, as a photograph: JPEG and ZYWRLE keep it well."""
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    r = 128 + 100 * np.sin(xx / 23.0) * np.cos(yy / 31.0)
    g = 128 + 90 * np.sin((xx + yy) / 41.0)
    b = 100 + 80 * np.cos(xx / 17.0 - yy / 29.0)
    return np.clip(np.stack([r, g, b], axis=2), 0, 255).astype(np.uint8)


# ---- Real servers ----

def x_env(display):
    return dict(os.environ, DISPLAY=display)


def x_run(display, *argv):
    return subprocess.run(list(argv), env=x_env(display), capture_output=True, text=True, timeout=30, check=False)


def point_away(server):
    """Puts the X pointer in the bottom-right corner, where no test looks for pixels."""
    x_run(server.display, "xdotool", "mousemove", str(server.size[0] - 1), str(server.size[1] - 1))


def server_log(server):
    """The whole log of an X server started by the harness."""
    with open(server.log.name, errors="replace") as f:
        return f.read()


def xvnc_encoders(xvnc):
    """The encoders TigerVNC's Xvnc names in its statistics of the last connection that
    closed ("Raw", "Hextile", "RRE", "ZRLE", "Tight", "Tight (JPEG)")."""
    block = server_log(xvnc).split("Framebuffer updates:")[-1]
    return set(re.findall(r"EncodeManager:   (\S[^:\n]*):\n", block))


class X11vnc(kebwine.Xvfb):
    """x11vnc (libvncserver) serving an Xvfb screen of its own on loopback, no password."""

    show_image = kebwine.Xvnc.show_image

    def __init__(self, width=320, height=200, depth=24, extra=()):
        super().__init__(width, height, depth)
        self.depth = depth
        self.vnc = None
        self.vnc_log = tempfile.NamedTemporaryFile(prefix="keb-x11vnc-", suffix=".log", delete=False)
        try:
            self.port = kebwine.free_tcp_port()
            self.vnc = subprocess.Popen(
                ["x11vnc", "-display", self.display, "-rfbport", str(self.port), "-localhost", "-nopw", "-shared",
                 "-forever", "-norc", "-noxdamage", "-nocursor"] + list(extra),
                stdin=subprocess.DEVNULL, stdout=self.vnc_log, stderr=subprocess.STDOUT, start_new_session=True,
                preexec_fn=kebwine._die_with_parent)
            kebwine.wait_until(lambda: kebwine.port_accepts(self.port), 30, what="x11vnc on port %d" % self.port)
        except BaseException:
            self.stop()
            raise

    def vnc_text(self):
        try:
            with open(self.vnc_log.name, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def encoders(self):
        """The encodings x11vnc counts in what it sent to its last closed client."""
        block = self.vnc_text().split("Transmit/")[-1].split("Received/")[0]
        return {name.strip() for name, count in re.findall(r"\d\d:\d\d:\d\d  (\S[^:|\n]*?)\s*:\s+(\d+) \|", block)
                if int(count) > 0}

    def stop(self):
        kebwine._stop_process(self.vnc)
        self.vnc = None
        super().stop()
        if self.vnc_log:
            self.vnc_log.close()
            try:
                os.unlink(self.vnc_log.name)
            except OSError:
                pass
            self.vnc_log = None


class RectRelay:
    """Forwards one viewer connection to a server and reads the server's side far enough to
    list the rectangles of each update: the stream may hold only Raw, CopyRect and the
    pseudo-encodings without payload or with a known one (desktop size, LastRect), at 32
    bits per pixel (the server's own format, which the viewer takes)."""

    def __init__(self, port):
        self.target = port
        self.rects = []  # (encoding, x, y, w, h)
        self.error = None
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(60)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        threading.Thread(target=self._run, daemon=True).start()

    def encodings(self):
        with self.lock:
            return {r[0] for r in self.rects}

    def _run(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        upstream = socket.create_connection(("127.0.0.1", self.target), timeout=10)
        upstream.settimeout(None)
        client.settimeout(None)
        threading.Thread(target=self._forward, args=(client, upstream), daemon=True).start()
        buf = bytearray()
        pending = [0]

        def read(n):
            while len(buf) < pending[0] + n:
                data = upstream.recv(65536)
                if not data:
                    raise EOFError
                client.sendall(data)
                buf.extend(data)
            chunk = bytes(buf[pending[0]:pending[0] + n])
            pending[0] += n
            if pending[0] > 1 << 20:
                del buf[:pending[0]]
                pending[0] = 0
            return chunk

        try:
            read(12)
            n = read(1)[0]
            read(n)
            read(4)
            si = read(24)
            read(struct.unpack(">I", si[20:24])[0])
            bpp = si[4] // 8
            while True:
                kind = read(1)[0]
                if kind == 0:
                    read(1)
                    for _ in range(struct.unpack(">H", read(2))[0]):
                        x, y, w, h, e = struct.unpack(">HHHHi", read(12))
                        with self.lock:
                            self.rects.append((e, x, y, w, h))
                        if e == 0:
                            read(w * h * bpp)
                        elif e == 1:
                            read(4)
                        elif e == -308:  # ExtendedDesktopSize
                            read(read(4)[0] * 16)
                        elif e == -224:  # LastRect
                            break
                        elif e not in (-223,):  # NewFBSize carries nothing
                            raise ValueError("encoding %d cannot be followed" % e)
                elif kind == 2:
                    pass
                elif kind == 3:
                    read(3)
                    read(abs(struct.unpack(">i", read(4))[0]))
                else:
                    raise ValueError("server message %d cannot be followed" % kind)
        except (EOFError, OSError):
            pass
        except ValueError as e:
            self.error = str(e)
            # Keep forwarding whatever comes.
            try:
                while True:
                    data = upstream.recv(65536)
                    if not data:
                        break
                    client.sendall(data)
            except OSError:
                pass

    @staticmethod
    def _forward(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.listener.close()


def picture_server(auth, sectypes, expect=None):
    """The scripted server (tests/rfbserver): a handshake offering these security types,
    the chosen one run by the `auth` callback, then a 160 x 100 picture in Hextile answered
    to every request."""
    import rfbserver
    from rfboracle import images

    def run(s):
        s.desktop = images.pattern("demo", 160, 100)
        hs = {"sectypes": sectypes, "auth": auth, "width": 160, "height": 100}
        if expect:
            hs["expect"] = expect
        s.handshake(**hs)
        if not s.record["handshake"].get("completed"):
            return
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rfbserver.rect("hextile", 0, 0, 160, 100)])
        s.serve(encodings=("hextile",))
    return rfbserver.Server(run, timeout=120, quiet=True).start()


def server_view(srv):
    """The picture a correct viewer shows of the scripted server now; None while a part of
    it is still unknown."""
    if srv.session is None:
        return None
    view, known = srv.session.expected_view()
    return view if known.all() else None
