"""Listening mode as a person uses it: KEBviewer.exe started with -listen waits for servers
(the scripted test server connecting to it) with its icon in Wine's stand-alone system
tray, which the tests right-click, double-click and hover with the X pointer as a person
would; the tray menu's items are chosen by their mnemonic keys while the menu is open.
Servers over IPv4 and IPv6, a server whose handshake fails, listening switched off, and a
port that is already taken."""
import os
import re
import socket
import subprocess
import threading

import numpy as np
import pytest
from PIL import Image

import kebwine
import rfbserver

DAEMON = "^KEBviewer Daemon$"
FRAME_CLASS = "KEBMDI_Window"
SESSION_DIALOG = r"^Quillmar Remote - \d+\.\d+\.\d+\.\d+$"
INFO_TITLE = "^Quillmar Remote - Information$"
ICONS = kebwine.SOURCE_DIR / "resources"


def xdotool(session, *args):
    subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=session.xvfb.display),
                   check=True, timeout=30)


class Tray:
    """The program's icon in Wine's stand-alone tray window (explorer's), as a person sees it."""

    def __init__(self, session, program):
        self.session, self.program = session, program
        self.daemon = program.window(title=DAEMON, hidden=True, timeout=30)
        self.icon = kebwine.wait_until(self._only_icon, 30, what="the program's one icon in the tray")

    def _icons(self):
        for w in self.session.driver.call("list", hidden=True, children=True)["windows"]:
            if w["class"] == "__winex11_standalone_tray" and w["visible"]:
                return [c["rect"] for c in w["controls"] if c["class"] == "__winex11_tray_icon" and c["visible"]]
        return []

    def _only_icon(self):
        icons = self._icons()
        return icons[0] if len(icons) == 1 else None

    def _centre(self):
        x0, y0, x1, y1 = self.icon
        return (x0 + x1) // 2, (y0 + y1) // 2

    def _pointer_away(self):
        xdotool(self.session, "mousemove", 900, 900)

    def picture(self):
        self._pointer_away()

        def shot():
            try:
                return [kebwine.crop(kebwine.screenshot(self.session.xvfb.display), tuple(self.icon))]
            except kebwine.HarnessError:
                return None  # the screen read can fail now and then while a window of the screen changes
        return kebwine.wait_until(shot, 20, what="a screenshot of the tray")[0]

    def tip(self):
        """Hovers the icon and reads the tooltip the tray shows."""
        xdotool(self.session, "mousemove", *self._centre())

        def shown():
            for w in self.session.driver.call("list", children=False)["windows"]:
                if w["class"] == "tooltips_class32" and w["visible"]:
                    text = self.session.driver.call("text", hwnd=w["hwnd"])["text"]
                    if text:
                        return text
            return None
        try:
            return kebwine.wait_until(shown, 20, what="the icon's tooltip")
        finally:
            self._pointer_away()

    def menu(self, key):
        """Right-click on the icon, then the item's mnemonic while the menu is open."""
        def menus():
            return [w for w in self.session.driver.call("list", pid=self.program.pid)["windows"]
                    if w["class"] == "#32768"]
        # A click the X server delivers to a window that is going away (a frame closed just
        # before) never reaches the tray: a person would click again, and so do we, after
        # waits long enough that a menu merely slow to come is not clicked away.
        for attempt in range(3):
            self.icon = kebwine.wait_until(self._only_icon, 30, what="the program's one icon in the tray")
            xdotool(self.session, "mousemove", *self._centre())
            xdotool(self.session, "click", 3)
            try:
                kebwine.wait_until(menus, 15, what="the tray menu")
                break
            except kebwine.Timeout:
                where = subprocess.run(["xdotool", "getmouselocation"], capture_output=True, text=True, timeout=30,
                                       env=dict(os.environ, DISPLAY=self.session.xvfb.display)).stdout.strip()
                if attempt == 2:
                    raise kebwine.Timeout("no tray menu after three right-clicks on the icon at %s (pointer: %s)"
                                          % (self.icon, where))
                print("no tray menu yet: right-clicking again (pointer: %s)" % where)
        # Keys reach the open menu through the program's input queue.
        self.session.driver.call("keys", hwnd=self.daemon.hwnd, hidden=True, chars=key)
        kebwine.wait_until(lambda: not menus(), 20, what="the tray menu to close")
        self._pointer_away()

    def double_click(self):
        xdotool(self.session, "mousemove", *self._centre())
        xdotool(self.session, "click", "--repeat", 2, "--delay", 80, 1)
        self._pointer_away()

    def close(self):
        """"Close Tray icon" ends the program."""
        self.menu("c")
        return self.program.wait(30)


def listening(viewer, session, *args):
    port = kebwine.free_tcp_port()
    program = viewer("-listen", str(port), *args)
    return port, program, Tray(session, program)


def connecting(port, host="127.0.0.1", name="desk", scenario=None, timeout=60):
    """The scripted server connecting to the listening viewer."""
    def serve(s):
        s.handshake(width=64, height=48, name=name)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 48}])
        s.serve(encodings=("raw",))
    return rfbserver.Server(scenario or serve, connect=(host, port), timeout=timeout, quiet=True).start()


def frames(program):
    return [w for w in program.windows(children=False) if w.class_name == FRAME_CLASS]


def wait_frames(program, titles, servers=(), timeout=30):
    """The frames of these desktop names, each server's first update sent."""
    kebwine.wait_until(lambda: sorted(w.title for w in frames(program)) == sorted(titles) or None, timeout,
                       what="frame windows %s (now %s)" % (titles, [w.title for w in frames(program)]))
    for srv in servers:
        kebwine.wait_until(lambda: srv.session is not None and srv.session.updates_sent > 0, timeout,
                           what="the server's first update")


def end_sessions(program):
    """The user closes every connection's frame (they may cover the tray: there is no
    window manager to keep it on top); the viewer goes on listening."""
    for w in frames(program):
        w.close()
    kebwine.wait_until(lambda: not frames(program), 30, what="the frames to close")
    assert program.returncode is None


def closed_at_once(port, seconds=10):
    """A connection to the port is accepted and closed by the viewer without a word."""
    with socket.create_connection(("127.0.0.1", port), timeout=seconds) as c:
        c.settimeout(seconds)
        try:
            return c.recv(16) == b""
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True


def icon_image(name):
    """The 16 x 16 image of an icon file, as RGBA."""
    with Image.open(str(ICONS / name)) as ico:
        ico.size = (16, 16)
        return np.asarray(ico.convert("RGBA"), dtype=np.float64)


def distance(picture, name):
    """How far the tray's picture is from the icon (drawn over the tray's background) at the
    best placement: the mean difference per channel."""
    icon = icon_image(name)
    background = picture[0, 0].astype(np.float64)
    drawn = icon[..., :3] * (icon[..., 3:] / 255.0) + background * (1 - icon[..., 3:] / 255.0)
    best = None
    for dy in range(picture.shape[0] - 15):
        for dx in range(picture.shape[1] - 15):
            d = np.abs(picture[dy:dy + 16, dx:dx + 16].astype(np.float64) - drawn).mean()
            best = d if best is None else min(best, d)
    return best


def showing(picture):
    """Which of the two icons (101 listening, 177 not) the tray's picture shows."""
    return min(("KEBviewer.ico", "KEBviewerOff.ico"), key=lambda name: distance(picture, name))


def test_tray_tip_menu_toggle_and_close(viewer, session):
    """The tip names the port; "Toggle Listen Mode (On/Off)" switches listening off (the
    icon becomes the disabled one, and a server that connects is closed at once without a
    word) and on again (a server is served); "Close Tray icon" ends the program."""
    port, program, tray = listening(viewer, session)
    assert tray.tip() == "Quillmar Remote listening - Port:%d" % port
    assert showing(tray.picture()) == "KEBviewer.ico"

    tray.menu("t")
    kebwine.wait_until(lambda: showing(tray.picture()) == "KEBviewerOff.ico", 20, what="the disabled icon")
    assert closed_at_once(port)
    assert not frames(program) and not [w for w in program.windows() if w.kind != "window"]

    tray.menu("t")
    kebwine.wait_until(lambda: showing(tray.picture()) == "KEBviewer.ico", 20, what="the listening icon again")
    srv = connecting(port)
    wait_frames(program, ["desk"], [srv])
    end_sessions(program)
    assert tray.close() == 0
    assert srv.wait(20) == 0, srv.report()


def test_new_connection_from_the_tray(viewer, session):
    """A double click on the icon opens the menu's first item, "New connection": the session
    dialog. Cancelling it leaves the viewer listening."""
    port, program, tray = listening(viewer, session)
    tray.double_click()
    dialog = program.window(title=SESSION_DIALOG, timeout=30)
    dialog.click(text="^Cancel$")
    dialog.wait_gone(20)
    srv = connecting(port)
    wait_frames(program, ["desk"], [srv])
    end_sessions(program)
    tray.menu("n")  # the same from the menu
    dialog = program.window(title=SESSION_DIALOG, timeout=30)
    dialog.click(text="^Cancel$")
    dialog.wait_gone(20)
    assert tray.close() == 0
    assert srv.wait(20) == 0, srv.report()


def test_servers_over_ipv4_and_ipv6_together(viewer, session):
    port, program, tray = listening(viewer, session, "-ipv6")
    v4 = connecting(port, "127.0.0.1", "over IPv4")
    v6 = connecting(port, "::1", "over IPv6")
    wait_frames(program, ["over IPv4", "over IPv6"], [v4, v6])
    end_sessions(program)
    assert tray.close() == 0
    for srv in (v4, v6):
        assert srv.wait(20) == 0, srv.report()


def test_failed_handshake_lets_the_server_go_before_the_report(viewer, session):
    """The server's refusal (no security type, with a reason) closes the accepted socket
    at once, while the box that reports it is still open; the viewer listens on."""
    port, program, tray = listening(viewer, session)
    let_go = threading.Event()

    def refuse(s):
        s.handshake(sectypes=[], reason="Not now")  # returns once the viewer has closed
        let_go.set()
    refusing = connecting(port, scenario=refuse)
    info = program.window(title=INFO_TITLE, timeout=30)
    assert "Not now" in info.message
    assert let_go.wait(20), "the refused server was not let go while the report is shown"
    assert "Not now" in info.refresh().message  # still reporting
    info.click(text="^Close$", how="send")
    info.wait_gone(20)
    assert refusing.wait(20) == 0, refusing.report()
    srv = connecting(port)
    wait_frames(program, ["desk"], [srv])
    end_sessions(program)
    assert tray.close() == 0
    assert srv.wait(20) == 0, srv.report()


def taken(family, port, v6only=False):
    s = socket.socket(family, socket.SOCK_STREAM)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1 if v6only else 0)
    s.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", port))
    s.listen(1)
    return s


@pytest.mark.parametrize("holder,args", [
    ("ipv4", ()),
    ("dual", ("-ipv6",)),
], ids=["ipv4-only", "both-families"])
def test_a_port_in_use_ends_with_the_setup_box_and_code_1(viewer, holder, args):
    port = kebwine.free_tcp_port()
    other = taken(socket.AF_INET if holder == "ipv4" else socket.AF_INET6, port)
    try:
        program = viewer("-listen", str(port), *args)
        box = program.box(heading="^KEB Viewer error$", timeout=30)
        assert box.body == ("Error creating listening daemon:\n\r (Error binding Daemon socket)\n\r"
                            "Perhaps another Quillmar Remote is already running?")
        box.click(text="^OK$")
        assert program.wait(30) == 1
    finally:
        other.close()


def test_with_the_ipv4_port_taken_ipv6_still_listens(viewer, session):
    port = kebwine.free_tcp_port()
    other = taken(socket.AF_INET, port)
    try:
        program = viewer("-listen", str(port), "-ipv6")
        tray = Tray(session, program)
        srv = connecting(port, "::1", "over IPv6")
        wait_frames(program, ["over IPv6"], [srv])
        end_sessions(program)
        assert tray.close() == 0
        assert srv.wait(20) == 0, srv.report()
    finally:
        other.close()
