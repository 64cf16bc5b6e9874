"""KEBviewer.exe under Wine: a window manager's close (WM_DELETE_WINDOW to the frame's X
window) while the server stalls, in the middle of a rectangle or for good after its
first update, ends the program by its own road: the socket is closed under the reading
thread, whose read fails at once, the thread ends and the connection is let go; no wait
for a thread runs out."""

import ctypes
import os
import subprocess

import pytest

import kebwine
import rfbserver
from displaytest import frame


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def window_manager_close(session, title):
    """What a window manager's close button does: WM_DELETE_WINDOW to the top-level X window
    that shows `title`."""
    env = dict(os.environ, DISPLAY=session.xvfb.display)
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title], env=env,
                           capture_output=True, text=True, timeout=20).stdout.split()
    assert len(found) == 1, "X windows named %r: %s" % (title, found)
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(session.xvfb.display.encode())
    assert dpy, "cannot open the display"
    try:
        event = XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = int(found[0])
        event.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.l[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        assert x11.XSendEvent(dpy, int(found[0]), 0, 0, ctypes.byref(event))
        x11.XFlush(dpy)
    finally:
        x11.XCloseDisplay(dpy)


def stall_in_a_rectangle(s):
    s.handshake(width=100, height=80)
    s.wait_for("FramebufferUpdateRequest")
    # An update of one Raw rectangle whose pixels never all come.
    s.send_raw(bytes([0, 0, 0, 1]) + bytes([0, 0, 0, 0, 0, 100, 0, 80, 0, 0, 0, 0]) + bytes(1000))
    s.record["stalled"] = True
    s.wait_closed(90)


def stall_after_the_first_update(s):
    from rfbserver import rect
    from rfboracle import images
    s.desktop = images.pattern("demo", 100, 80)
    s.handshake(width=100, height=80)
    s.wait_for("FramebufferUpdateRequest")
    s.send_update([rect("raw", 0, 0, 100, 80)])
    # The viewer's next request is never answered.
    s.wait_for("FramebufferUpdateRequest")
    s.record["stalled"] = True
    s.wait_closed(90)


@pytest.mark.parametrize("scenario", [stall_in_a_rectangle, stall_after_the_first_update],
                         ids=["in-a-rectangle", "after-the-first-update"])
def test_a_window_manager_close_in_a_stall(viewer, session, tmp_path, scenario):
    log = tmp_path / "viewer.log"
    srv = rfbserver.Server(scenario, timeout=120, quiet=True).start()
    try:
        program = viewer("127.0.0.1::%d" % srv.port, "-loglevel", "10", "-logfile", kebwine.win_path(log))
        window = frame(program)
        kebwine.wait_until(lambda: srv.session and srv.session.record.get("stalled"), 20, what="the stall")
        window_manager_close(session, window.refresh().title)
        kebwine.wait_until(lambda: srv.session.peer_closed, 20, what="the viewer to close the connection")
        assert program.wait(30) == 0
    finally:
        srv.stop()
    lines = log.read_text(errors="replace").splitlines()
    # The read under the closed socket failed, then the thread ended, then the connection
    # was let go, and nothing was waited for until a time-out.
    ended = [i for i, line in enumerate(lines) if "Update-processing thread finishing" in line]
    read_failed = [i for i, line in enumerate(lines) if line.startswith("rdr::Exception (1)") and "read" in line]
    let_go = [i for i, line in enumerate(lines) if "Deregistered connection from app" in line]
    assert read_failed and ended and let_go, lines[-15:]
    assert read_failed[0] < ended[0] < let_go[0], lines[-15:]
    waits = [line for line in lines if "did not end" in line or "still running" in line]
    assert not waits, waits
