"""A lost connection as a person sees it: KEBviewer.exe under Wine against servers that go
away under it. A server that resets the connection ends it without a box; a real server
(TigerVNC's Xvnc) killed and started again is reconnected, and after that reconnect the
next loss has every attempt again."""
import re

import kebwine
import rfbserver

FRAME_CLASS = "KEBMDI_Window"


def frame(program):
    return program.window(cls=FRAME_CLASS, timeout=30)


def test_a_reset_connection_ends_without_a_box(viewer):
    """The server resets the connection (no orderly close); with no reconnect attempts the
    frame closes and the program ends with code 0, no warning in between."""
    def scenario(s):
        s.handshake(width=64, height=48)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 48}])
        s.wait_for("FramebufferUpdateRequest")
        s.close(reset=True)

    srv = rfbserver.Server(scenario, timeout=60, quiet=True).start()
    program = viewer("-reconnectcounter", "0", "127.0.0.1::%d" % srv.port)
    frame(program)
    assert program.wait(30) == 0
    assert srv.wait(15) == 0, srv.report()


def attempts_told(log):
    """The attempts left that each reconnect announced, in order."""
    text = log.read_text(errors="replace") if log.exists() else ""
    return [int(n) for n in re.findall(r"Reconnecting, (\d+) attempts left", text)]


def test_a_successful_reconnect_restores_every_attempt(viewer, session, tmp_path):
    """Xvnc is killed; while it is away the reconnects cost attempts; started again on its
    port, it is reconnected; killed once more, the next loss starts again from all nine."""
    log = tmp_path / "viewer.log"
    xvnc = session.xvnc(160, 100)
    port = xvnc.port
    program = viewer("-reconnectcounter", "9", "-autoreconnect", "1", "-loglevel", "2", "-logfile",
                     kebwine.win_path(log), "127.0.0.1::%d" % port)
    frame(program)
    xvnc.proc.kill()
    xvnc.stop()
    kebwine.wait_until(lambda: len(attempts_told(log)) >= 2, 30, what="a reconnect that failed")
    assert attempts_told(log)[:2] == [9, 8]

    xvnc = session.xvnc(160, 100, port=port)
    kebwine.wait_until(lambda: "Reconnected to 127.0.0.1 port %d" % port in log.read_text(errors="replace"), 30,
                       what="the reconnect")
    before = len(attempts_told(log))
    assert min(attempts_told(log)) > 0
    xvnc.proc.kill()
    xvnc.stop()
    kebwine.wait_until(lambda: len(attempts_told(log)) > before, 30, what="the next loss")
    assert attempts_told(log)[before] == 9
    assert program.close() == 0


def test_focus_lost_during_a_reconnect_sends_no_key_release_into_its_handshake(viewer, tmp_path):
    """A key is held when the server goes; the frame loses the focus while the reconnect's
    handshake runs: the release is not written into the new connection, whose next byte
    is the security type chosen."""
    import threading
    WM_KEYDOWN, WM_KILLFOCUS, TITLE_BAR_MINIMISE = 0x0100, 0x0008, 2025
    in_handshake, gate, seen = threading.Event(), threading.Event(), {}

    def scenario(s):
        if s.index == 0:
            s.handshake(width=64, height=48)
            s.wait_for("FramebufferUpdateRequest")
            s.wait_for("KeyEvent", timeout=30)
            s.close()
            return
        s.send_raw(b"RFB 003.008\n")
        s.recv(12, "the viewer's version")
        in_handshake.set()
        gate.wait(60)
        s.send_raw(bytes([1, 1]))  # one security type: None
        seen["choice"] = s.recv(1, "the security type chosen")

    srv = rfbserver.Server(scenario, connections=2, timeout=120, quiet=True).start()
    log = tmp_path / "viewer.log"
    program = viewer("-reconnectcounter", "3", "-autoreconnect", "1", "-loglevel", "5", "-logfile",
                     kebwine.win_path(log), "127.0.0.1::%d" % srv.port)
    window = frame(program)
    kebwine.wait_until(lambda: srv.session and srv.session.messages_of("FramebufferUpdateRequest"), 30,
                       what="the session to run")
    window.post(WM_KEYDOWN, 0x41, 0x001E0001)  # "A" held
    assert in_handshake.wait(60), srv.report()
    # The focus goes while the connection is being made again; the title bar's minimise,
    # posted after it and logged, shows that the frame has handled it.
    def dormant():
        return log.read_text(errors="replace").count("Entering dormant mode")
    before = dormant()
    window.post(WM_KILLFOCUS)
    window.post(TITLE_BAR_MINIMISE)
    kebwine.wait_until(lambda: dormant() > before, 30, what="the frame to handle the focus loss")
    gate.set()
    kebwine.wait_until(lambda: "choice" in seen, 30, what="the viewer's choice of security type")
    assert seen["choice"] == b"\x01", seen
    program.kill()
    srv.stop()
