"""The connection-status window under Wine, against the scripted server: while the
handshake waits it shows the program, host, port, the connecting state and the byte
counters; Cancel ends the attempt quietly; "-nostatus" keeps it away; a session that
starts closes it."""

import threading
import time

import pytest

import kebwine
import rfbserver
from displaytest import frame

STATUS_TITLE = "^Connection status 127\\.0\\.0\\.1$"


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
