"""The connection-status window under Wine, against the scripted server: while the
handshake waits it shows the program, host, port, the connecting state and the byte
counters; Cancel ends the attempt quietly; "-nostatus" keeps it away; a session that
starts closes it, and the toolbar's status button brings it back for the running session."""

import threading
import time

import pytest

import kebwine
import rfbserver
from displaytest import frame

STATUS_TITLE = "^Connection status 127\\.0\\.0\\.1$"
WM_COMMAND, WM_SYSCOMMAND = 0x0111, 0x0112
SHOW_STATUS = 146      # the toolbar's "Show Status Window"
REQUEST_REFRESH = 114  # the system menu's full update request


def held_after_version(release):
    """A server that sends its protocol version and then says nothing until released."""
    def scenario(s):
        s.send_raw(b"RFB 003.008\n", "protocol version")
        release.wait(30)
    return scenario


def texts(window):
    return {c["id"]: c["text"] for c in window.refresh().controls}


def shown(window, control_id):
    return [c for c in window.refresh().controls if c["id"] == control_id][0]["visible"]


def test_status_while_connecting_and_cancel(viewer):
    release = threading.Event()
    srv = rfbserver.Server(held_after_version(release), timeout=60, quiet=True).start()
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        status = program.window(title=STATUS_TITLE)
        t = texts(status)
        assert t[2077].startswith("Quillmar Remote - ")
        assert t[1020] == "127.0.0.1"
        assert t[1019] == str(srv.port)
        assert t[1036] == "Connecting..."
        # Nothing of a session yet: the counters are plain numbers.
        assert (t[1025], t[1022]) == ("0", "0")
        assert shown(status, 9) and not shown(status, 8)

        status.click(text="^Cancel$")
        # The attempt ends quietly: no box, and the program goes as it has nothing to show.
        deadline = time.monotonic() + 20
        while program.returncode is None and time.monotonic() < deadline:
            assert not [w for w in program.windows() if w.kind != "window" and
                        not w.title.startswith("Connection status")], "a box came after Cancel"
            time.sleep(0.1)
        assert program.returncode is not None, "the viewer still runs after Cancel"
        assert not srv.session.handshake_completed
    finally:
        release.set()
        srv.stop()


def test_no_status_window_with_nostatus(viewer):
    release = threading.Event()
    srv = rfbserver.Server(held_after_version(release), timeout=60, quiet=True).start()
    try:
        program = viewer("-nostatus", "127.0.0.1::%d" % srv.port)
        kebwine.wait_until(lambda: srv.session is not None and srv.session.record["sent"], 20,
                           what="the viewer's connection")
        # Without the switch it shows while the handshake waits, as here.
        kebwine.never(lambda: [w for w in program.windows() if w.title.startswith("Connection status")], 4.0,
                      what="a connection-status window")
    finally:
        release.set()
        srv.stop()


def test_status_window_goes_when_the_session_starts(viewer):
    def scenario(s):
        s.handshake(width=160, height=100)
        s.serve()
    srv = rfbserver.Server(scenario, timeout=60, quiet=True).start()
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        frame(program)
        kebwine.wait_until(lambda: not [w for w in program.windows() if w.title.startswith("Connection status")],
                           10, what="the status window to close")
        assert program.close() == 0
    finally:
        srv.stop()


def test_toolbar_button_shows_the_status_of_a_running_session(viewer, program_dir):
    """The toolbar's "Show Status Window" for a session that runs: the window comes with
    Close (no Cancel), the byte counts as sizes, refreshed every second, and the name of
    the last rectangle's encoding."""
    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("demo", 320, 200)
        s.handshake(width=320, height=200)
        s.serve(encodings=("hextile",))
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=1\r\nAutoScaling=0\r\n")
    srv = rfbserver.Server(scenario, timeout=60, quiet=True).start()
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        window = frame(program)
        kebwine.wait_until(lambda: not [w for w in program.windows() if w.title.startswith("Connection status")],
                           20, what="the connecting status window to close")

        def strip():
            window.refresh()
            return next((c for c in window.controls if c["class"] == "KEBviewer" and c["text"] == "KEB ToolBar"), None)
        toolbar = kebwine.wait_until(strip, 20, what="the toolbar")
        # What the toolbar's status button tells the strip when it is pressed.
        window.session.driver.call("post", hwnd=toolbar["hwnd"], msg=WM_COMMAND, wparam=SHOW_STATUS, lparam=0)
        status = program.window(title=STATUS_TITLE)
        assert shown(status, 8) and not shown(status, 9)
        t = texts(status)
        assert t[1020] == "127.0.0.1" and t[1019] == str(srv.port)
        # Sizes, not plain numbers: the handshake and the first update alone are more than
        # a kilobyte.
        received = kebwine.wait_until(lambda: texts(status)[1025] if texts(status)[1025].endswith("Kb") else None,
                                      10, what="the received count as a size")
        assert texts(status)[1022].endswith(("bytes", "Kb"))
        kebwine.wait_until(lambda: texts(status)[1115] == "Hextile", 10, what="the encoding's name")
        # Refreshed while it is open: a full update asked for from the system menu brings
        # more bytes.
        window.post(WM_SYSCOMMAND, REQUEST_REFRESH)
        kebwine.wait_until(lambda: texts(status)[1025] != received, 15, what="the received count growing")
        status.click(text="^Close$")
        status.wait_gone()
        assert program.close() == 0
    finally:
        srv.stop()
