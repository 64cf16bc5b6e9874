"""End-to-end harness for KEBviewer.exe under Wine and Xvfb.

A test session gets its own X server (Xvfb, no window manager), its own Wine prefix
(a cheap copy of the project prefix: programs hard-linked, everything else copied) with
its own wineserver, and one kebdrive.exe that finds windows and acts on them the way a
person does. Everything started here is stopped again: processes are killed, the
prefix's wineserver is ended, the X servers are shut down.

    with Session() as s:
        viewer = s.start(viewer_exe(), "-help")
        box = viewer.box(heading="^Quillmar Remote info$")
        assert "Usage includes" in box.body
        box.click(text="^OK$")
        assert viewer.wait(10) == 1

Needs Debian's /usr/bin/python3 with numpy (and PIL only for saving PNG files).
"""

import errno
import getpass
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
SOURCE_DIR = Path(os.environ.get("KEB_SOURCE_DIR", HERE.parent.parent))
BINARY_DIR = Path(os.environ.get("KEB_BINARY_DIR", SOURCE_DIR / "build" / "mingw"))
WINE_RUN = SOURCE_DIR / "tools" / "wine-run"
BASE_PREFIX = Path(os.environ.get("KEB_BASE_WINEPREFIX", SOURCE_DIR / "build" / "wineprefix"))


def viewer_exe():
    return Path(os.environ.get("KEB_VIEWER_EXE", BINARY_DIR / "KEBviewer.exe"))


def kebdrive_exe():
    return Path(os.environ.get("KEB_KEBDRIVE_EXE", BINARY_DIR / "tests" / "kebdrive.exe"))


def lang_dll():
    return Path(os.environ.get("KEB_LANG_DLL", BINARY_DIR / "tests" / "wine-lang" / "keblang.dll"))


def win_path(path):
    """The Windows name of a local path (drive Z: is the Unix root in every prefix)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class HarnessError(Exception):
    pass


class Timeout(HarnessError):
    pass


def wait_until(predicate, timeout, interval=0.02, what="condition"):
    """Polls predicate until it returns a true value (returned) or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def eventually(check, timeout=20, interval=0.1):
    """Runs check() until it raises no AssertionError (its value is returned) or timeout
    seconds pass; then the last AssertionError is raised. For a state that settles after
    an event (a window takes its size, a picture arrives) and is then asserted in detail."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return check()
        except AssertionError:
            if time.monotonic() >= deadline:
                raise
        time.sleep(interval)


def never(predicate, seconds, interval=0.05, what="condition"):
    """Watches for something that must not happen (predicate true) for `seconds`; raises
    AssertionError when it does. Only for showing that a thing that would come at once
    does not come: the period must be several seconds longer than "at once"."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            raise AssertionError("%s within %.1f s" % (what, seconds))
        time.sleep(interval)


def _die_with_parent():
    """preexec_fn: the child gets SIGTERM when the test process ends, also when it is
    killed (a ctest time-out), so that no X server or Wine program is left behind."""
    import ctypes
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _stop_process(proc, grace=3.0):
    """Ends a Popen process, bounded in time. Only the process itself: Wine starts its
    shared helpers (explorer.exe, services.exe) from whichever program comes first."""
    if proc is None or proc.poll() is not None:
        return
    try:
        proc.terminate()
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        try:
            proc.kill()
            proc.wait(grace)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass
    except ProcessLookupError:
        pass


def port_accepts(port, host="127.0.0.1"):
    """True when something accepts TCP connections on host:port."""
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


def free_tcp_port():
    """A loopback port that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------------------------
# Images

def _true_colour(px, masks):
    """Pixel values of a TrueColor or DirectColor picture as RGB, each channel scaled
    from its mask's width to 0..255 and rounded."""
    out = np.empty(px.shape + (3,), dtype=np.uint8)
    for i, mask in enumerate(masks):
        shift = (mask & -mask).bit_length() - 1
        top = mask >> shift
        out[..., i] = (((px & mask) >> shift) * 255 + top // 2) // top
    return out


def _pixels(raw, width, height, bpp, byte_order):
    """The pixel values of ZPixmap rows (raw: height x bytes-per-line) as uint32."""
    endian = "<" if byte_order == 0 else ">"
    if bpp == 32:
        return raw[:, : width * 4].copy().view(endian + "u4").reshape(height, width)
    if bpp == 16:
        return raw[:, : width * 2].copy().view(endian + "u2").reshape(height, width).astype(np.uint32)
    if bpp == 24:
        b = raw[:, : width * 3].reshape(height, width, 3).astype(np.uint32)
        return (b[..., 0] | (b[..., 1] << 8) | (b[..., 2] << 16)) if byte_order == 0 else \
            ((b[..., 0] << 16) | (b[..., 1] << 8) | b[..., 2])
    if bpp == 8:
        return raw[:, :width].astype(np.uint32)
    raise HarnessError("%d bits per pixel not handled" % bpp)


def read_xwd(data):
    """Decodes an XWD (X Window Dump, version 7) into an RGB array of shape (h, w, 3)."""
    if len(data) < 100:
        raise HarnessError("XWD data too short")
    h = np.frombuffer(data[:100], dtype=">u4")
    header_size, version, fmt, depth, width, height = (int(v) for v in h[:6])
    byte_order, bpp, bpl, vclass = int(h[7]), int(h[11]), int(h[12]), int(h[13])
    masks = [int(h[14]), int(h[15]), int(h[16])]
    ncolors = int(h[19])
    if version != 7 or fmt != 2:
        raise HarnessError("XWD: only version 7 ZPixmap images are read (%d, %d)" % (version, fmt))
    colormap_at = header_size
    image_at = colormap_at + 12 * ncolors
    raw = np.frombuffer(data, dtype=np.uint8, count=bpl * height, offset=image_at).reshape(height, bpl)
    px = _pixels(raw, width, height, bpp, byte_order)
    if vclass in (4, 5):  # TrueColor, DirectColor: channels by mask
        return _true_colour(px, masks)
    # Colour map: 12-byte entries (pixel, red, green, blue, flags, pad).
    cmap = np.frombuffer(data, dtype=">u4", count=3 * ncolors, offset=colormap_at).reshape(ncolors, 3)
    table = np.zeros((256, 3), dtype=np.uint8)
    for entry in cmap:
        pixel = int(entry[0])
        rg, b_ = int(entry[1]), int(entry[2])
        if pixel < 256:
            table[pixel] = ((rg >> 24) & 0xFF, (rg >> 8) & 0xFF, (b_ >> 24) & 0xFF)
    return table[np.minimum(px, 255)]


def screenshot(display, timeout=20):
    """The whole screen of an X display as an RGB array: the root window's image, read by
    xscreen.py (not xwd -root, which reads a program's window that another of its windows
    covers from the covered window: black where the other one shows; see xscreen.py)."""
    r = subprocess.run(["/usr/bin/python3", str(HERE / "xscreen.py"), display], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=timeout, check=False)
    if r.returncode != 0:
        raise HarnessError("reading the screen of %s failed: %s" % (display, r.stderr.decode(errors="replace")))
    line, _, data = r.stdout.partition(b"\n")
    width, height, bpp, byte_order, bpl, *masks = (int(v) for v in line.split())
    if not all(masks) or len(data) < bpl * height:
        raise HarnessError("the screen of %s is not TrueColor or came short (%r)" % (display, line))
    raw = np.frombuffer(data, dtype=np.uint8, count=bpl * height).reshape(height, bpl)
    return _true_colour(_pixels(raw, width, height, bpp, byte_order), masks)


def crop(image, rect):
    """The part of image inside rect = [left, top, right, bottom] (screen coordinates)."""
    left, top, right, bottom = rect
    return image[max(top, 0):max(bottom, 0), max(left, 0):max(right, 0)]


def psnr(a, b):
    """Peak signal-to-noise ratio of two RGB images of the same shape (inf when equal)."""
    if a.shape != b.shape:
        raise HarnessError("image shapes differ: %s and %s" % (a.shape, b.shape))
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def save_png(image, path):
    from PIL import Image
    Image.fromarray(np.asarray(image, dtype=np.uint8)).save(str(path))


def assert_same_image(actual, expected, min_psnr=None, save_to=None):
    """Exact equality, or at least min_psnr dB. On failure both images go to save_to
    (a path prefix) as PNG files when given."""
    ok = actual.shape == expected.shape and (
        np.array_equal(actual, expected) if min_psnr is None else psnr(actual, expected) >= min_psnr)
    if ok:
        return
    detail = "shapes %s / %s" % (actual.shape, expected.shape)
    if actual.shape == expected.shape:
        diff = np.any(actual != expected, axis=2)
        ys, xs = np.nonzero(diff)
        detail = "%d pixels differ, first at (%d, %d), PSNR %.2f dB" % (
            len(xs), xs[0], ys[0], psnr(actual, expected))
    if save_to:
        save_png(actual, str(save_to) + "-actual.png")
        save_png(expected, str(save_to) + "-expected.png")
        detail += "; images saved as %s-actual.png / -expected.png" % save_to
    raise AssertionError("images differ: " + detail)


# ---------------------------------------------------------------------------------
# X servers

class _XServer:
    """An X server started with -displayfd: it picks a free display number itself and
    writes it when it accepts connections."""

    def __init__(self, depth=24):
        self.proc = None
        self.number = None
        self.log = None
        self.depth = depth

    @property
    def display(self):
        return ":%d" % self.number

    def _start(self, argv, timeout):
        r, w = os.pipe()
        self.log = tempfile.NamedTemporaryFile(prefix="keb-x-", suffix=".log", delete=False)
        try:
            self.proc = subprocess.Popen(argv + ["-displayfd", str(w)], pass_fds=(w,), stdin=subprocess.DEVNULL,
                                         stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True,
                                         preexec_fn=_die_with_parent)
        finally:
            os.close(w)
        text = b""
        deadline = time.monotonic() + timeout
        try:
            while not text.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise HarnessError("%s did not come up: %s" % (argv[0], self.log_text()))
                ready, _, _ = select.select([r], [], [], min(left, 0.2))
                if ready:
                    chunk = os.read(r, 64)
                    if not chunk:
                        raise HarnessError("%s closed -displayfd: %s" % (argv[0], self.log_text()))
                    text += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(r)
        self.number = int(text.strip())

    def log_text(self):
        try:
            return Path(self.log.name).read_text(errors="replace")[-2000:]
        except OSError:
            return ""

    def screenshot(self):
        return screenshot(self.display)

    def show_image(self, image, timeout=15, tolerance=None):
        """Makes image (an RGB array, or a picture file) the screen's background, tiled
        from the top-left corner, and waits until the screen shows it: exactly,
        or within tolerance per channel (default: exact at depth 24; below, the server keeps
        fewer bits per colour: 5 bits lose up to 255/31 plus rounding)."""
        if tolerance is None:
            tolerance = 0 if self.depth >= 24 else 10 if self.depth >= 15 else 64
        with tempfile.TemporaryDirectory(prefix="keb-xvnc-") as tmp:
            if isinstance(image, (str, Path)):
                from PIL import Image
                picture = np.asarray(Image.open(str(image)).convert("RGB"))
                path = str(image)
            else:
                picture = np.asarray(image, dtype=np.uint8)
                path = os.path.join(tmp, "picture.png")
                save_png(picture, path)
            # ImageMagick's display sets the root window's background and exits; it reports
            # 1 even then, so the screen itself is the check.
            shown_by = subprocess.run(["display", "-display", self.display, "-window", "root", path],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                      timeout=timeout, check=False)
        h = min(picture.shape[0], self.size[1])
        w = min(picture.shape[1], self.size[0])

        def shown():
            diff = np.abs(self.screenshot()[:h, :w].astype(np.int16) - picture[:h, :w].astype(np.int16))
            return int(diff.max()) <= tolerance

        wait_until(shown, timeout, interval=0.1, what="the picture on the screen of %s (display said: %s)"
                   % (self.display, shown_by.stderr.decode(errors="replace").strip()))
        return picture

    def stop(self):
        _stop_process(self.proc)
        self.proc = None
        if self.log:
            self.log.close()
            try:
                os.unlink(self.log.name)
            except OSError:
                pass
            self.log = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Xvfb(_XServer):
    """A private virtual screen for Wine's windows. -noreset: without it the server would
    forget keyboard layout, focus and pointer whenever its last client leaves."""

    def __init__(self, width=1280, height=1024, depth=24, timeout=15):
        super().__init__(depth)
        self.size = (width, height)
        self._start(["Xvfb", "-screen", "0", "%dx%dx%d" % (width, height, depth), "-nolisten", "tcp",
                     "-noreset"], timeout)


class XorgDummy(_XServer):
    """A real X server (Xorg with its dummy video driver) whose screen is laid out as
    several monitors through RandR, as a person's desk of monitors is: Wine offers each
    of them to its programs as a monitor of its own (an Xvfb with several screens and
    Xinerama shows Wine only one). monitors: [(width, height, x, y), ...], the first the
    primary one. Needs Xorg, its dummy driver and root (a configuration file of our own)."""

    CONFIG = """Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0 - 1000.0
  VertRefresh 5.0 - 200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual %d %d
  EndSubSection
EndSection
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
"""

    @staticmethod
    def unavailable():
        """Why no such server can be started here, or None."""
        if not shutil.which("Xorg"):
            return "Xorg is not installed (xserver-xorg-core)"
        if not any(Path(d, "dummy_drv.so").exists() for d in ("/usr/lib/xorg/modules/drivers",
                                                              "/usr/lib64/xorg/modules/drivers")):
            return "the dummy video driver is not installed (xserver-xorg-video-dummy)"
        if os.geteuid() != 0:
            return "Xorg takes a configuration file of our own only from root"
        return None

    def __init__(self, monitors, timeout=30):
        super().__init__()
        self.monitors = list(monitors)
        right = max(x + w for w, h, x, y in self.monitors)
        bottom = max(y + h for w, h, x, y in self.monitors)
        self.size = (right, bottom)
        # Where Windows' 0,0 (the primary monitor's corner) is on the X screen.
        self.origin = (self.monitors[0][2], self.monitors[0][3])
        self.dir = tempfile.mkdtemp(prefix="keb-xorg-")
        config = os.path.join(self.dir, "xorg.conf")
        with open(config, "w") as f:
            f.write(self.CONFIG % (right, bottom))
        os.mkdir(os.path.join(self.dir, "conf.d"))
        self._start(["Xorg", "-config", config, "-configdir", os.path.join(self.dir, "conf.d"), "-noreset",
                     "-nolisten", "tcp", "-logfile", os.path.join(self.dir, "Xorg.log"), "-novtswitch",
                     "-sharevts"], timeout)
        try:
            self._lay_out()
        except BaseException:
            self.stop()
            raise

    def _xrandr(self, *args):
        r = subprocess.run(["xrandr", "-display", self.display] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=30, check=False)
        if r.returncode != 0:
            raise HarnessError("xrandr %s: %s" % (" ".join(str(a) for a in args), r.stderr.strip()))
        return r.stdout

    def _lay_out(self):
        """One output of the dummy driver per monitor, each with a mode of its size."""
        argv = ["--fb", "%dx%d" % self.size]
        for i, (w, h, x, y) in enumerate(self.monitors):
            name = "keb%dx%d" % (w, h)
            # A mode of that size at 60 Hz (the dummy driver takes any timing).
            if name not in self._xrandr("--query"):
                self._xrandr("--newmode", name, "%.2f" % (w * h * 60 * 1.3 / 1e6), w, w + 48, w + 160, w + 400,
                             h, h + 3, h + 6, h + 40)
            try:
                self._xrandr("--addmode", "DUMMY%d" % i, name)
            except HarnessError:
                pass  # the output has it already
            argv += ["--output", "DUMMY%d" % i, "--mode", name, "--pos", "%dx%d" % (x, y)]
            if i == 0:
                argv.append("--primary")
        self._xrandr(*argv)
        # Wine reads the layout once, when its first program starts: only a finished one.
        want = sorted(self.monitors)

        def laid_out():
            listed = self._xrandr("--listactivemonitors")  # " 0: +*DUMMY0 1280/339x1024/271+0+0  DUMMY0"
            found = re.findall(r"(\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+)", listed)
            return sorted(tuple(int(v) for v in m) for m in found) == want
        wait_until(laid_out, 15, interval=0.1, what="the monitors %s on %s" % (self.monitors, self.display))

    def stop(self):
        super().stop()
        if getattr(self, "dir", None):
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None


class Xvnc(_XServer):
    """A real RFB server (TigerVNC's Xvnc) on loopback without authentication. Its
    framebuffer is its X screen: show_image() puts a known picture on it and
    screenshot() reads it back."""

    def __init__(self, width=640, height=480, depth=24, port=None, timeout=15, extra=()):
        super().__init__(depth)
        self.size = (width, height)
        for attempt in range(5):
            self.port = port or free_tcp_port()
            self._start(["Xvnc", "-SecurityTypes", "None", "-localhost", "-rfbport", str(self.port),
                         "-geometry", "%dx%d" % (width, height), "-depth", str(depth), "-noreset",
                         "-nolisten", "tcp"] + list(extra), timeout)
            try:
                wait_until(lambda: self._listening(), 15, what="Xvnc to listen on port %d" % self.port)
                return
            except Timeout:
                self.stop()
                if port:
                    raise
        raise HarnessError("Xvnc found no free port")

    def _listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                return s.recv(12).startswith(b"RFB ")
        except OSError:
            return False

# ---------------------------------------------------------------------------------
# Wine prefix, driver, programs

# Programs and data Wine never writes to are shared with the base prefix through hard
# links; everything else (registry, ini files, user folders) is copied.
_LINKED = {".dll", ".exe", ".sys", ".drv", ".ocx", ".cpl", ".acm", ".ax", ".tlb", ".ds", ".msstyles",
           ".nls", ".ttf", ".ttc", ".fon", ".mui", ".com", ".vxd", ".exe16", ".dll16", ".drv16"}


def _ensure_base_prefix():
    if (BASE_PREFIX / ".booted").exists() and (BASE_PREFIX / "system.reg").exists():
        return
    # tools/wine-run creates and boots the project prefix on first use.
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env["WINEPREFIX"] = str(BASE_PREFIX)
    subprocess.run([str(WINE_RUN), str(kebdrive_exe()), "ping"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180, check=False)
    if not (BASE_PREFIX / ".booted").exists():
        raise HarnessError("the Wine prefix %s could not be created" % BASE_PREFIX)
    # A new prefix's registry is still only in its wineserver, which writes it out within
    # half a minute; a copy without it would be set up again from scratch.
    wait_until(lambda: all((BASE_PREFIX / name).exists() for name in ("system.reg", "user.reg")), 90,
               interval=0.5, what="the registry files of %s" % BASE_PREFIX)


def make_prefix(target):
    """A private Wine prefix at target, copied from the project prefix."""
    _ensure_base_prefix()

    def copy(src, dst, follow_symlinks=True):
        try:
            if os.path.splitext(src)[1].lower() in _LINKED:
                try:
                    os.link(src, dst)
                    return dst
                except OSError as e:
                    if e.errno not in (errno.EXDEV, errno.EPERM, errno.EMLINK):
                        raise
            return shutil.copy2(src, dst)
        except FileNotFoundError:
            return dst  # gone since the folder was listed: a program's passing file

    def ignore(folder, names):
        # "wineserver" and sockets belong to the base prefix's running server; the temporary
        # files are those of the programs (unit tests) running in the base prefix meanwhile.
        if os.path.basename(folder).lower() == "temp":
            return set(names)
        return {n for n in names if n in ("wineserver", ".wine-run.lock")}

    try:
        shutil.copytree(str(BASE_PREFIX), str(target), symlinks=True, copy_function=copy, ignore=ignore)
    except shutil.Error as e:
        # A folder gone since its parent was listed is a passing one too.
        lasting = [x for x in e.args[0] if "[Errno %d]" % errno.ENOENT not in str(x[-1])]
        if lasting:
            raise shutil.Error(lasting)
    # There is no window manager: windows Wine leaves to one ("managed") would make each
    # hidden window wait two seconds for a manager's answer that never comes.
    with open(os.path.join(str(target), "user.reg"), "a") as reg:
        reg.write('\n[Software\\\\Wine\\\\X11 Driver] 1700000000\n"Managed"="N"\n')
    return Path(target)


class Driver:
    """One kebdrive.exe in serve mode: a JSON array of arguments per request, a JSON line
    per answer. Every request is bounded: kebdrive's own --timeout plus a margin here."""

    def __init__(self, session):
        self.session = session
        if not kebdrive_exe().exists():
            raise HarnessError("kebdrive.exe is not built: %s" % kebdrive_exe())
        self.proc = subprocess.Popen([str(WINE_RUN), str(kebdrive_exe()), "serve"], env=session.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     start_new_session=True, preexec_fn=_die_with_parent)
        self._buffer = b""
        self.call("ping", timeout=60)

    def call(self, verb, *args, timeout=10.0, check=True, **options):
        """Runs one kebdrive command. Keyword options become --name value (True: a flag;
        None/False: left out). timeout (seconds) is also kebdrive's waiting time.
        Returns the answer as a dict; raises HarnessError when its code is not 0 and check."""
        argv = [verb] + [str(a) for a in args]
        for name, value in options.items():
            if value is None or value is False:
                continue
            argv.append("--" + name.replace("_", "-"))
            if value is not True:
                argv.append(str(value))
        argv += ["--timeout", str(int(timeout * 1000))]
        line = json.dumps(argv) + "\n"
        try:
            self.proc.stdin.write(line.encode())
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError) as e:
            raise HarnessError("kebdrive is gone: %s" % e)
        answer = json.loads(self._read_line(timeout + 15))
        if check and answer.get("code", 0) != 0:
            raise HarnessError("kebdrive %s: %s" % (" ".join(argv), answer))
        return answer

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout("kebdrive did not answer within %.0f s" % timeout)
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise HarnessError("kebdrive ended (exit code %s)" % self.proc.poll())
                self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line.decode("utf-8", errors="replace")

    def close(self):
        if self.proc and self.proc.poll() is None:
            try:
                self.proc.stdin.write(b'["quit"]\n')
                self.proc.stdin.flush()
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                pass
        _stop_process(self.proc)
        self.proc = None


class Window:
    """A top-level window as kebdrive saw it, with its controls, and the actions a person
    takes on it. Controls are chosen by id, text (regular expression, '&' removed) or
    class; index picks among several matches."""

    def __init__(self, session, data):
        self.session = session
        self.data = data
        self.hwnd = data["hwnd"]
        self.title = data["title"]
        self.class_name = data["class"]
        self.pid = data["pid"]
        self.exe = data.get("exe", "")
        self.rect = data["rect"]
        self.client = data["client"]
        self.controls = data.get("controls", [])

    def __repr__(self):
        return "<Window %d %r class %r pid %d>" % (self.hwnd, self.title, self.class_name, self.pid)

    def _call(self, verb, timeout=10.0, check=True, **options):
        return self.session.driver.call(verb, timeout=timeout, check=check, hwnd=self.hwnd, **options)

    def refresh(self):
        self.__init__(self.session, self._call("wait")["window"])
        return self

    @property
    def statics(self):
        """Texts of the static controls, top to bottom (empty ones left out)."""
        found = [c for c in self.controls if c["class"].lower() == "static" and c["text"]]
        return [c["text"] for c in sorted(found, key=lambda c: (c["rect"][1], c["rect"][0]))]

    @property
    def message(self):
        """What a message box or task dialog says: its static texts, joined by new lines."""
        return "\n".join(self.statics)

    @property
    def kind(self):
        """"messagebox" (MessageBox: its text in a Static with id 0xFFFF), "taskdialog"
        (TaskDialogIndirect: Statics with id 0), or "window"."""
        if self.class_name != "#32770":
            return "window"
        if any(c["class"].lower() == "static" and c["id"] == 0xFFFF for c in self.controls):
            return "messagebox"
        return "taskdialog"

    @property
    def heading(self):
        """What a box is about: a message box's title, a task dialog's main instruction."""
        if self.kind == "taskdialog":
            return self.statics[0] if self.statics else ""
        return self.title

    @property
    def body(self):
        """What a box says below its heading: a message box's text, a task dialog's content."""
        if self.kind == "messagebox":
            return self.control(id=0xFFFF, cls="(?i)^static$")["text"]
        if self.kind == "taskdialog":
            return "\n".join(self.statics[1:])
        return self.message

    @property
    def buttons(self):
        return [c["text"].replace("&", "") for c in self.controls if c["class"].lower() == "button"]

    def control(self, id=None, text=None, cls=None, index=0):
        """The control (as a dict) from the last look at the window."""
        matches = [c for c in self.controls
                   if (id is None or c["id"] == id)
                   and (cls is None or re.search(cls, c["class"]))
                   and (text is None or re.search(text, c["text"].replace("&", "")))]
        if len(matches) <= index:
            raise HarnessError("no control id=%s text=%s class=%s in %r: %s" % (id, text, cls, self, self.controls))
        return matches[index]

    def click(self, text=None, id=None, cls=None, index=None, how="post", timeout=10.0):
        """Presses a button: BM_CLICK posted (how="post"), sent ("send"), or WM_COMMAND
        with BN_CLICKED posted to its parent ("command")."""
        return self._call("click", timeout=timeout, text=text, id=id, cclass=cls, index=index,
                          send=how == "send", command=how == "command")

    def set_text(self, value, id=None, text=None, cls="^Edit$", index=None, timeout=10.0):
        return self._call("settext", timeout=timeout, value=value, id=id, text=text, cclass=cls, index=index)["text"]

    def check(self, state=1, text=None, id=None, index=None, timeout=10.0):
        return self._call("check", timeout=timeout, state=state, text=text, id=id, index=index)["check"]

    def choose(self, item=None, item_index=None, id=None, cls="ComboBox", index=None, timeout=10.0):
        return self._call("combo", timeout=timeout, item=item, item_index=item_index, id=id, cclass=cls,
                          index=index)

    def keys(self, chars=None, vk=None, real=False, id=None, cls=None, timeout=10.0):
        """Keystrokes: vk like "RETURN" or "CONTROL+A,TAB"; chars as typed characters.
        Posted to the focused control, or with real=True through SendInput after
        bringing the window to the foreground."""
        return self._call("keys", timeout=timeout, chars=chars, vk=vk, input=real, id=id, cclass=cls)

    def close(self, timeout=10.0, hidden=False):
        """WM_CLOSE to the window once it shows (hidden: at once, shown or not)."""
        return self._call("close", timeout=timeout, hidden=hidden)

    def focus(self):
        return self._call("focus")

    def move(self, x=None, y=None, w=None, h=None):
        """Moves (and with w, h sizes) the window as a person drags it; its new rectangle."""
        return self._call("move", x=x, y=y, w=w, h=h)["rect"]

    def post(self, msg, wparam=0, lparam=0):
        """Posts a message to the window (e.g. WM_SYSCOMMAND with a menu command)."""
        return self._call("post", msg=msg, wparam=wparam, lparam=lparam)

    def wait_gone(self, timeout=10.0):
        self.session.driver.call("gone", timeout=timeout, hwnd=self.hwnd, hidden=True)

    def client_rect(self):
        """The client area in screen coordinates, as it is now."""
        return self._call("rect")["client"]

    def screenshot(self, client=True, control=None):
        """The window's client area (or whole window), or that of one of its controls (a
        dict from control()), as it shows on the screen now."""
        answer = self.session.driver.call("rect", hwnd=control["hwnd"] if control else self.hwnd)
        # Windows puts the primary monitor at 0,0; on the X screen it may lie elsewhere.
        left, top, right, bottom = answer["client" if client else "window"]
        dx, dy = getattr(self.session.xvfb, "origin", (0, 0))
        return crop(self.session.xvfb.screenshot(), [left + dx, top + dy, right + dx, bottom + dy])


class Program:
    """A Windows program started under the session's Wine: a local path, or a Windows
    path such as C:\\windows\\system32\\notepad.exe."""

    def __init__(self, session, exe, args, cwd=None, env=None):
        self.session = session
        self.windows_name = str(exe) if re.match(r"^[A-Za-z]:\\", str(exe)) else None
        self.exe = Path(exe) if self.windows_name is None else Path(str(exe).replace("\\", "/"))
        self.args = list(args)
        self.output = tempfile.TemporaryFile(prefix="keb-prog-")
        environment = dict(session.env)
        environment.update(env or {})
        self.proc = subprocess.Popen([str(WINE_RUN), self.windows_name or str(self.exe)] + self.args,
                                     env=environment, cwd=str(cwd) if cwd else None, stdin=subprocess.DEVNULL,
                                     stdout=self.output, stderr=subprocess.STDOUT, start_new_session=True,
                                     preexec_fn=_die_with_parent)
        self._pid = None

    @property
    def pid(self):
        """The program's Windows process id, found by its path among Wine's processes."""
        if self._pid is None:
            want = (self.windows_name or win_path(self.exe)).lower()

            def find():
                if self.proc.poll() is not None:
                    raise HarnessError("%s ended with %d before it could be found" % (self.exe.name, self.proc.returncode))
                procs = self.session.driver.call("procs")["procs"]
                mine = [p["pid"] for p in procs if p["exe"].lower() == want]
                return max(mine) if mine else None

            self._pid = wait_until(find, 30, interval=0.05, what="process %s" % self.exe.name)
        return self._pid

    def window(self, title=None, cls=None, hidden=False, timeout=20.0):
        """Waits for a visible (or, with hidden, any) top-level window of this program."""
        answer = self.session.driver.call("wait", timeout=timeout, check=False, pid=self.pid, title=title,
                                          hidden=hidden, **{"class": cls})
        if answer.get("code") != 0:
            raise Timeout("no window title=%r class=%r of %s within %.0f s (exit code %s); windows now: %s" % (
                title, cls, self.exe.name, timeout, self.proc.poll(), self.windows()))
        return Window(self.session, answer["window"])

    def box(self, heading=None, timeout=20.0):
        """Waits for a message box or task dialog of this program whose heading (title of a
        message box, main instruction of a task dialog) matches the regular expression."""
        def find():
            if self.proc.poll() is not None:
                raise HarnessError("%s ended with %d while a box %r was awaited" % (
                    self.exe.name, self.proc.returncode, heading))
            for w in self.windows():
                if w.kind != "window" and (heading is None or re.search(heading, w.heading)):
                    return w
            return None

        try:
            return wait_until(find, timeout, interval=0.05, what="a box %r of %s" % (heading, self.exe.name))
        except Timeout as e:
            raise Timeout("%s; windows now: %s" % (e, [(w.title, w.heading) for w in self.windows()]))

    def windows(self, hidden=False, children=True):
        if self.proc.poll() is not None and self._pid is None:
            return []
        answer = self.session.driver.call("list", pid=self.pid, hidden=hidden, children=children)
        return [Window(self.session, w) for w in answer["windows"]]

    def wait(self, timeout=20.0):
        """The exit code, waiting at most timeout seconds."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("%s still runs after %.0f s; windows: %s" % (self.exe.name, timeout, self.windows()))

    @property
    def returncode(self):
        return self.proc.poll()

    def text_output(self):
        self.output.seek(0)
        return self.output.read().decode(errors="replace")

    def close(self, timeout=10.0):
        """Ends the program as a person would (WM_CLOSE to its windows, again while new
        ones appear), then by force; at once by force when it shows no window that a
        person could close. Returns the exit code."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            try:
                shown = self.windows(children=False)
            except HarnessError:
                break
            if not shown:
                break
            for w in shown:
                try:
                    # Just listed as shown: one that hid itself since (the full-screen title
                    # bar sliding away) is closed all the same, not waited for until it
                    # shows again, which it never does; one not found at once has gone.
                    w.close(timeout=1.0, hidden=True)
                except HarnessError:
                    pass
            try:
                return self.proc.wait(0.3)
            except subprocess.TimeoutExpired:
                pass
        self.kill()
        return self.proc.returncode

    def kill(self):
        _stop_process(self.proc, grace=2.0)


class Session:
    """Xvfb (or an Xorg of several monitors) + a private Wine prefix with its own
    wineserver + kebdrive."""

    def __init__(self, workdir=None, width=1280, height=1024, monitors=None):
        self.programs = []
        self.servers = []
        self._own_workdir = workdir is None
        if workdir is None:
            parent = BINARY_DIR / "tests" / "wine-sessions"
            try:
                parent.mkdir(parents=True, exist_ok=True)
            except OSError:
                parent = None
            workdir = tempfile.mkdtemp(prefix="session-", dir=str(parent) if parent else None)
        self.workdir = Path(workdir)
        self.xvfb = None
        self.driver = None
        try:
            self.prefix = make_prefix(self.workdir / "prefix")
            # The screen: an Xvfb, or with monitors an Xorg laid out as those monitors.
            self.xvfb = XorgDummy(monitors) if monitors else Xvfb(width, height)
            width, height = self.xvfb.size
            # The X pointer waits in the bottom-right corner, away from the windows (a frame
            # window is centred): a pointer over the viewer moves the remote pointer.
            subprocess.run(["xdotool", "mousemove", str(width - 1), str(height - 1)],
                           env=dict(os.environ, DISPLAY=self.xvfb.display), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30, check=False)
            self.env = dict(os.environ)
            self.env.update({"DISPLAY": self.xvfb.display, "WINEPREFIX": str(self.prefix), "WINEARCH": "win64",
                             "WINEDEBUG": os.environ.get("KEB_WINEDEBUG", "-all"),
                             "WINEDLLOVERRIDES": "mscoree,mshtml="})
            self.env.pop("WAYLAND_DISPLAY", None)
            # The prefix's own wineserver, started before tools/wine-run asks for one: it
            # outlives its last program by seconds, not minutes, when a test run is killed.
            subprocess.run(["wineserver", "-p10"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30, check=False)
            self.driver = Driver(self)
        except BaseException:
            self.close()
            raise

    # Folders of the prefix's user.
    @property
    def appdata(self):
        """The user's roaming application-data folder (%APPDATA%) as a local path."""
        return self.prefix / "drive_c" / "users" / getpass.getuser() / "AppData" / "Roaming"

    def start(self, exe, *args, cwd=None, env=None):
        program = Program(self, exe, args, cwd=cwd, env=env)
        self.programs.append(program)
        return program

    def xvnc(self, *args, **kwargs):
        server = Xvnc(*args, **kwargs)
        self.servers.append(server)
        return server

    def windows(self, **selector):
        return [Window(self, w) for w in self.driver.call("list", children=True, **selector)["windows"]]

    def screenshot(self):
        return self.xvfb.screenshot()

    def close(self):
        for p in self.programs:
            p.kill()
        self.programs = []
        if self.driver:
            self.driver.close()
            self.driver = None
        for s in self.servers:
            s.stop()
        self.servers = []
        if getattr(self, "prefix", None) and self.prefix.exists():
            # The prefix is ours alone: end its wineserver and every Wine process in it.
            env = dict(os.environ, WINEPREFIX=str(self.prefix))
            try:
                subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30, check=False)
                subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30, check=False)
            except subprocess.TimeoutExpired:
                pass
        if self.xvfb:
            self.xvfb.stop()
            self.xvfb = None
        if self._own_workdir:
            shutil.rmtree(str(self.workdir), ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------------------------
# Folders a program cannot write to

class ReadOnly:
    """Makes a folder (no new files in it) or a file (no writing to it) unwritable for the
    Wine programs while the block runs. A normal user gets chmod; root ignores permission
    bits (and so does Wine running as root), so for root the path is made immutable
    (chattr +i), which the kernel enforces for root too. skip_reason is set when neither
    works here."""

    def __init__(self, path):
        self.path = Path(path)
        self.how = None
        self.skip_reason = None
        self._mode = None

    def _writable(self):
        try:
            if self.path.is_dir():
                probe = self.path / ".write-probe"
                probe.touch()
                probe.unlink()
            else:
                with open(str(self.path), "ab"):
                    pass
            return True
        except OSError:
            return False

    def __enter__(self):
        if os.geteuid() != 0:
            self._mode = self.path.stat().st_mode & 0o7777
            os.chmod(str(self.path), 0o555 if self.path.is_dir() else 0o444)
            self.how = "chmod"
        else:
            r = subprocess.run(["chattr", "+i", str(self.path)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               timeout=10, check=False)
            if r.returncode == 0:
                self.how = "chattr"
            else:
                self.skip_reason = "cannot make %s read-only for root: %s" % (
                    self.path, r.stderr.decode(errors="replace").strip())
        if self.how and self._writable():
            self.skip_reason = "%s stays writable after %s" % (self.path, self.how)
        return self

    def __exit__(self, *exc):
        if self.how == "chmod":
            os.chmod(str(self.path), self._mode)
        elif self.how == "chattr":
            subprocess.run(["chattr", "-i", str(self.path)], timeout=10, check=False)
