"""The fitted view ("directx" on) under Wine against TigerVNC's Xvnc: a desktop that fits
the screen is shown exactly; a larger one is shown whole, stretched over the view, and a
click on the fitted picture reaches the server at that point's desktop coordinates.

Direct3D becomes the framebuffer; the viewer reads back what its presentation window
shows and keeps Direct3D only when that is the framebuffer. Under Wine 8 the presentation
window (an owned pop-up over the viewer window) reaches the X screen, so every test here
expects the Direct3D road: the log says the window shows the framebuffer, no fallback,
and the X screen shows the picture."""

import os
import re
import subprocess
import threading

import numpy as np
import pytest
from PIL import Image

import kebwine
from displaytest import exact, frame, point_away, stripes, wait_picture, write_options

STARTED = re.compile(r"Direct3D: the framebuffer is a (\d+) x (\d+) surface")
GAVE_UP = "GDI draws the framebuffer from now on"
SHOWN = "Direct3D: the window shows the framebuffer"


def start(viewer, program_dir, xvnc, tmp_path, *extra):
    write_options(program_dir, ["raw"], AutoScaling=0, showtoolbar=0)
    log = tmp_path / "viewer.log"
    program = viewer("127.0.0.1::%d" % xvnc.port, "-directx", "-loglevel", "8", "-logfile", kebwine.win_path(log),
                     *extra)
    return program, frame(program), log


def road(log, width, height):
    """Which way the presentation of the last surface of that size went: "direct3d" once
    the check found the window showing it, "gdi" once it gave it up (None while neither)."""
    text = log.read_text(errors="replace") if log.exists() else ""
    made = [m for m in STARTED.finditer(text) if m.groups() == (str(width), str(height))]
    if not made:
        return None
    # What was found of the last such surface.
    text = text[made[-1].end():]
    if SHOWN in text:
        return "direct3d"
    if GAVE_UP in text:
        return "gdi"
    return None


def wait_road(log, width, height, want="direct3d"):
    found = kebwine.wait_until(lambda: road(log, width, height), 60, interval=0.2,
                               what="the viewer's verdict on its Direct3D presentation")
    print("presentation of %d x %d: %s" % (width, height, found))
    text = log.read_text(errors="replace")
    assert found == want, text[-3000:]
    if want == "direct3d":
        assert GAVE_UP not in text, text[-3000:]
    return found


def on_direct3d(viewer, program_dir, session, tmp_path):
    """A 640 x 480 desktop of stripes and the viewer presenting it through Direct3D."""
    xvnc = session.xvnc(640, 480, 24)
    xvnc.show_image(stripes(640, 480))
    point_away(xvnc)
    program, window, log = start(viewer, program_dir, xvnc, tmp_path)
    wait_road(log, 640, 480)
    return xvnc, program, window, log


def fitted(picture, size):
    """The server's picture stretched over a view of that size (bilinear)."""
    return np.array(Image.fromarray(picture).resize(size, Image.BILINEAR))


class ButtonWatch:
    """The button presses on an X server's root window (xev), as (x, y) root coordinates:
    ready once a press of its own has been seen."""

    def __init__(self, server):
        self.server = server
        self.lines = []
        self.lock = threading.Lock()

    def __enter__(self):
        self.xev = subprocess.Popen(["xev", "-root", "-event", "button", "-event", "keyboard"], env=dict(os.environ, DISPLAY=self.server.display),
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, start_new_session=True)
        threading.Thread(target=self._read, daemon=True).start()
        # A press of the server's own at its far corner tells that xev listens.
        corner = (self.server.size[0] - 1, self.server.size[1] - 1)
        x_env = dict(os.environ, DISPLAY=self.server.display)

        def heard():
            subprocess.run(["xdotool", "mousemove", str(corner[0]), str(corner[1]), "click", "3"], env=x_env,
                           timeout=20, capture_output=True)
            return corner in self.presses()
        kebwine.wait_until(heard, 15, interval=0.3, what="xev on %s" % self.server.display)
        return self

    def _read(self):
        for line in self.xev.stdout:
            with self.lock:
                self.lines.append(line)

    def presses(self):
        with self.lock:
            text = "".join(self.lines)
        return [tuple(int(v) for v in m) for m in re.findall(r"ButtonPress event.*?root:\((\d+),(\d+)\)", text, re.S)]

    def wheel(self):
        """Where the wheel's button 5 (one step towards the user) went down."""
        text = self.text()
        return [tuple(int(v) for v in m)
                for m in re.findall(r"ButtonPress event[^\n]*\n[^\n]*root:\((\d+),(\d+)\),[^\n]*\n\s*state \S+, button 5",
                                    text)]

    def keys(self):
        """The keysyms pressed."""
        return re.findall(r"KeyPress event.*?keysym (0x[0-9a-f]+)", self.text(), re.S)

    def text(self):
        with self.lock:
            return "".join(self.lines)

    def __exit__(self, *exc):
        kebwine._stop_process(self.xev)


def test_a_desktop_that_fits_is_shown_exactly(viewer, program_dir, session, tmp_path):
    xvnc, program, window, log = on_direct3d(viewer, program_dir, session, tmp_path)
    # The frame is made for the desktop: the view is the desktop's size, pixel for pixel.
    wait_picture(window, xvnc.screenshot(), exact, timeout=30, save_to=tmp_path / "fits")
    assert program.close() == 0


def test_a_larger_desktop_is_shown_whole_and_clicks_land_where_they_point(viewer, program_dir, session, tmp_path):
    screen_w, screen_h = session.xvfb.size
    width, height = 1600, 1200
    assert width > screen_w and height > screen_h
    xvnc = session.xvnc(width, height, 24)
    xvnc.show_image(stripes(width, height))
    point_away(xvnc)
    program, window, log = start(viewer, program_dir, xvnc, tmp_path)
    wait_road(log, width, height)

    # The frame fills the screen and the view shows all of the desktop in it.
    client = window.client_rect()
    view_w, view_h = client[2] - client[0], client[3] - client[1]
    assert view_w < width and view_h < height
    want = fitted(xvnc.screenshot(), (view_w, view_h))
    wait_picture(window, want, lambda a, b: kebwine.psnr(a, b) >= 30, timeout=30, save_to=tmp_path / "whole")
    # Not the top-left part at 1:1: that would match the desktop's corner instead.
    shot = window.screenshot()
    corner = xvnc.screenshot()[:view_h, :view_w]
    assert kebwine.psnr(shot, want) > kebwine.psnr(shot, corner) + 10

    # A click on the fitted picture: the server's button goes down and up at that point's
    # place on the desktop.
    with ButtonWatch(xvnc) as server:
        window.focus()  # mouse input goes to the server while the frame has the focus
        env = dict(os.environ, DISPLAY=session.xvfb.display)
        for x, y in [(view_w * 3 // 4, view_h // 3), (101, view_h - 57)]:
            want = (x * width // view_w, y * height // view_h)
            subprocess.run(["xdotool", "mousemove", str(client[0] + x), str(client[1] + y), "click", "1"], env=env,
                           check=True, timeout=20, capture_output=True)
            kebwine.wait_until(lambda: want in server.presses(), 15, interval=0.1,
                               what="a press at %s on the server (seen: %s)" % (want, server.presses()))
        # The wheel over the picture, and keys typed after the clicks on it, reach the
        # server as well: the picture's window never takes the focus.
        subprocess.run(["xdotool", "click", "5"], env=env, check=True, timeout=20, capture_output=True)
        kebwine.wait_until(lambda: want in server.wheel(), 15, interval=0.1,
                           what="the wheel at %s on the server (seen: %s)" % (want, server.wheel()))
        subprocess.run(["xdotool", "key", "q"], env=env, check=True, timeout=20, capture_output=True)
        kebwine.wait_until(lambda: "0x71" in server.keys(), 15, interval=0.1,
                           what="q typed on the server (seen: %s)" % server.keys())
    assert program.close() == 0


def white_share(picture):
    return float(np.all(picture == 255, axis=2).mean())


def test_the_picture_follows_the_frame_and_stays_behind_a_window_in_front(viewer, program_dir, session, tmp_path):
    xvnc, program, window, log = on_direct3d(viewer, program_dir, session, tmp_path)
    wait_picture(window, xvnc.screenshot(), exact, timeout=30, save_to=tmp_path / "first")

    def view_picture():
        """The server's picture stretched over the view as it is now."""
        client = window.client_rect()
        return fitted(xvnc.screenshot(), (client[2] - client[0], client[3] - client[1]))

    def near(a, b):
        return kebwine.psnr(a, b) >= 30

    # Moved and made smaller, as a person drags it: the picture is where the view is now,
    # stretched over it.
    left, top = window.client_rect()[:2]
    window.move(x=left - 200, y=top - 150, w=520, h=400)
    kebwine.wait_until(lambda: window.client_rect()[0] < left - 150, 20, what="the frame to move")
    wait_picture(window, view_picture, near, timeout=30, save_to=tmp_path / "moved")

    # Another program's window in front of the frame, over part of the view, stays there.
    client = window.client_rect()
    notepad = session.start("C:\\windows\\system32\\notepad.exe")
    pad = notepad.window(cls="^Notepad$", timeout=30)
    pad.move(x=client[0] + 100, y=client[1] + 80, w=300, h=220)
    pad.focus()
    edit = pad.client_rect()
    inner = (edit[0] + 10, edit[1] + 40, edit[2] - 10, edit[3] - 10)  # below its menu bar

    def pad_in_front():
        # Mostly its white edit field (the stripes hold no white at all).
        return white_share(kebwine.crop(kebwine.screenshot(session.xvfb.display), inner)) > 0.5
    kebwine.wait_until(pad_in_front, 20, what="notepad in front of the picture")
    # A new picture is presented meanwhile (the strip above notepad shows it), and notepad
    # stays in front of it.
    xvnc.show_image(stripes(640, 480)[::-1].copy())
    top_rows = (slice(0, 60), slice(None))
    wait_picture(window, lambda: view_picture()[top_rows], near, timeout=30, region=top_rows,
                 save_to=tmp_path / "behind")
    assert pad_in_front()

    # Gone again: the whole view is the server's picture, and Direct3D never gave up.
    notepad.close()
    wait_picture(window, view_picture, near, timeout=30, save_to=tmp_path / "uncovered")
    assert GAVE_UP not in log.read_text(errors="replace")
    assert program.close() == 0


class NativeWindowInside:
    """A native X program's window (xlogo, not run by Wine, so not in Wine's window list)
    put inside another X window, over the given part of it (its own coordinates): it lies
    over that window's picture whatever the order of the top-level windows."""

    def __init__(self, display, parent, rect):
        self.env = dict(os.environ, DISPLAY=display)
        self.parent, self.rect = parent, rect
        x0, y0, x1, y1 = rect
        self.proc = subprocess.Popen(["xlogo", "-geometry", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0)], env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, capture_output=True, text=True,
                              timeout=20)

    def __enter__(self):
        found = kebwine.wait_until(lambda: self.xdotool("search", "--onlyvisible", "--classname", "^xlogo$").stdout.split(),
                                   20, interval=0.1, what="xlogo's window")
        window = found[0]
        assert self.xdotool("windowreparent", window, self.parent).returncode == 0
        assert self.xdotool("windowmove", window, self.rect[0], self.rect[1]).returncode == 0
        return self

    def __exit__(self, *exc):
        kebwine._stop_process(self.proc)


def x_window_at(display, rect):
    """The X window, a child of the root, that lies exactly at rect (screen coordinates)."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True, timeout=20).stdout
    want = "%dx%d+%d+%d" % (rect[2] - rect[0], rect[3] - rect[1], rect[0], rect[1])
    for line in tree.splitlines():
        m = re.match(r"\s*(0x[0-9a-f]+) .*\s(\d+x\d+\+-?\d+\+-?\d+)\s", line)
        if m and m.group(2) == want:
            return m.group(1)
    return None


def test_a_failed_check_ends_in_the_gdi_picture(viewer, program_dir, session, tmp_path):
    """A picture the check finds wrong ends Direct3D, and GDI draws the right one. The
    check runs again for each new surface (here the server's desktop changes its size);
    a native X window put inside the presentation window's X window then is what the
    read-back finds over half of it (Wine cannot tell the viewer that it is there)."""
    xvnc, program, window, log = on_direct3d(viewer, program_dir, session, tmp_path)
    presentation = next(w for w in program.windows(hidden=True, children=False) if w.class_name == "KEBviewerpresent")
    rect = presentation.rect
    x_window = kebwine.wait_until(lambda: x_window_at(session.xvfb.display, rect), 20, what="its X window")
    width, height = rect[2] - rect[0], rect[3] - rect[1]
    cover = (0, 0, width, height * 3 // 4)
    with NativeWindowInside(session.xvfb.display, x_window, cover):
        # xlogo's white is nowhere in the stripes.
        on_screen = (rect[0], rect[1], rect[0] + cover[2], rect[1] + cover[3])
        kebwine.wait_until(lambda: white_share(kebwine.crop(kebwine.screenshot(session.xvfb.display), on_screen)) > 0.5,
                           20, what="xlogo over the picture")
        r = subprocess.run(["xrandr", "--fb", "800x600"], env=dict(os.environ, DISPLAY=xvnc.display),
                           capture_output=True, text=True, timeout=30)
        assert r.returncode == 0, r.stderr
        xvnc.size = (800, 600)
        kebwine.wait_until(lambda: road(log, 800, 600), 60, interval=0.2, what="the check of the new surface")
        text = log.read_text(errors="replace")
        assert road(log, 800, 600) == "gdi" and "Direct3D: the window does not show it" in text, text[-3000:]
    # GDI's picture: the desktop pixel for pixel.
    xvnc.show_image(stripes(800, 600))
    point_away(xvnc)
    wait_picture(window, lambda: xvnc.screenshot(), exact, timeout=30, save_to=tmp_path / "gdi")
    assert program.close() == 0


WM_SYSCOMMAND = 0x0112
FULL_SCREEN, SHOW_TOOLBAR = 113, 50106  # the frame's commands
SC_MINIMIZE, SC_RESTORE = 0xF020, 0xF120


def test_the_picture_goes_with_the_view_through_toolbar_full_screen_and_minimising(viewer, program_dir, session,
                                                                                     tmp_path):
    xvnc, program, window, log = on_direct3d(viewer, program_dir, session, tmp_path)

    def view():
        """The viewer window's place on the screen (under the toolbar when it is shown)."""
        window.refresh()
        return window.session.driver.call("rect", hwnd=window.control(cls="^KEBviewerwindow$")["hwnd"])["client"]

    def screen(rect):
        try:
            return kebwine.crop(kebwine.screenshot(session.xvfb.display), rect)
        except kebwine.HarnessError:
            return None  # xwd fails now and then while a window of the screen changes its size

    def shows_the_desktop():
        left, top, right, bottom = view()
        shot = screen((left, top, right, bottom))
        return shot is not None and kebwine.psnr(shot, fitted(xvnc.screenshot(), (right - left, bottom - top))) >= 30

    for what, command in [("toolbar shown", SHOW_TOOLBAR), ("full screen", FULL_SCREEN), ("windowed", FULL_SCREEN),
                          ("toolbar hidden", SHOW_TOOLBAR)]:
        window.post(WM_SYSCOMMAND, command)
        kebwine.wait_until(shows_the_desktop, 30, interval=0.2, what="the desktop in the view (%s)" % what)
        print("%s: view at %s" % (what, view()))

    # Minimised, the picture goes with the frame; restored, it is back in the view.
    before = view()
    window.post(WM_SYSCOMMAND, SC_MINIMIZE)
    kebwine.wait_until(lambda: screen(before) is not None and kebwine.psnr(screen(before), xvnc.screenshot()) < 15,
                       30, interval=0.2, what="the picture gone with the minimised frame")
    window.post(WM_SYSCOMMAND, SC_RESTORE)
    kebwine.wait_until(shows_the_desktop, 30, interval=0.2, what="the desktop in the restored view")
    text = log.read_text(errors="replace")
    assert GAVE_UP not in text, text[-3000:]
    assert program.close() == 0


WS_EX_TOPMOST = 0x00000008
TITLE_BAR_HEIGHT = 20  # the full-screen title bar slides in over the top rows


def test_full_screen_picture_in_front_only_while_active_and_a_click_on_it_activates(viewer, program_dir, session,
                                                                                     tmp_path):
    xvnc, program, window, log = on_direct3d(viewer, program_dir, session, tmp_path)
    width, height = session.xvfb.size
    window.post(WM_SYSCOMMAND, FULL_SCREEN)
    kebwine.wait_until(lambda: window.refresh().rect == [0, 0, width, height], 20, what="full screen")
    window.focus()

    def topmost(w):
        w.refresh()
        return bool(w.data["exstyle"] & WS_EX_TOPMOST)

    def picture():
        return next(w for w in program.windows(hidden=True, children=False) if w.class_name == "KEBviewerpresent")

    def whole_screen_shows_the_desktop():
        try:
            shot = kebwine.screenshot(session.xvfb.display)
        except kebwine.HarnessError:
            return False
        want = fitted(xvnc.screenshot(), (width, height))
        return kebwine.psnr(shot[TITLE_BAR_HEIGHT:], want[TITLE_BAR_HEIGHT:]) >= 30

    kebwine.wait_until(lambda: topmost(window) and topmost(picture()), 10, what="frame and picture topmost")
    kebwine.wait_until(whole_screen_shows_the_desktop, 30, interval=0.2, what="the desktop over the whole screen")

    # Another program, switched to, stays in front of the picture; neither the frame nor
    # the picture stays in the topmost band.
    notepad = session.start("C:\\windows\\system32\\notepad.exe")
    pad = notepad.window(cls="^Notepad$", timeout=30)
    pad.move(x=200, y=200, w=300, h=220)
    pad.focus()
    kebwine.wait_until(lambda: not topmost(window) and not topmost(picture()), 10, what="both out of the band")
    edit = pad.client_rect()
    inner = (edit[0] + 10, edit[1] + 40, edit[2] - 10, edit[3] - 10)
    kebwine.wait_until(lambda: white_share(kebwine.crop(kebwine.screenshot(session.xvfb.display), inner)) > 0.5, 20,
                       what="notepad in front of the picture")

    # A click on the picture beside it activates the viewer, as a click on the viewer window
    # does: in front again, topmost, the whole screen the desktop.
    subprocess.run(["xdotool", "mousemove", str(width - 100), str(height - 100), "click", "1"],
                   env=dict(os.environ, DISPLAY=session.xvfb.display), check=True, timeout=20, capture_output=True)
    kebwine.wait_until(lambda: topmost(window) and topmost(picture()), 10, what="frame and picture topmost again")
    kebwine.wait_until(whole_screen_shows_the_desktop, 30, interval=0.2, what="the desktop over notepad")
    notepad.close()
    assert GAVE_UP not in log.read_text(errors="replace")
    assert program.close() == 0
