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
