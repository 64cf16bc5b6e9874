"""KEBviewer.exe under Wine against a server that floods it with FramebufferUpdates without
waiting for requests (the scripted test server sends empty updates back to back): the
window keeps taking input and closes at once, and when the server hangs up in the middle
of the flood the log says so in a few lines, not once per update still unanswered."""

import os
import subprocess
import threading
import time

import kebwine
import rfbserver
from displaytest import frame

EMPTY_UPDATES = bytes([0, 0, 0, 0]) * 1024  # 1024 FramebufferUpdates with no rectangle


def flooding(seconds, stop):
    """A 200x150 desktop, then empty updates as fast as the viewer takes them, for at most
    `seconds` or until `stop` is set; the server then hangs up."""
    def scenario(s):
        from rfbserver import rect
        from rfboracle import images
        s.desktop = images.pattern("demo", 200, 150)
        s.handshake(width=200, height=150)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("raw", 0, 0, 200, 150)])
        s.record["flood_bytes"] = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end and not stop.is_set():
            try:
                s.send(EMPTY_UPDATES, "flooding")
            except (rfbserver.PeerClosed, rfbserver.ScriptTimeout):
                return
            s.record["flood_bytes"] += len(EMPTY_UPDATES)
        s.close()
    return scenario


def xdotool(session, *args):
    subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=session.xvfb.display),
                   check=True, timeout=20, capture_output=True)


def viewer_origin(window):
    window.refresh()
    view = next(c for c in window.controls if c["class"] == "KEBviewerwindow")
    return view["rect"][:2]


def test_input_reaches_the_server_and_the_window_closes_during_a_flood(viewer, session):
    stop = threading.Event()
    srv = rfbserver.Server(flooding(90, stop), timeout=120, quiet=True).start()
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        window = frame(program)
        kebwine.wait_until(lambda: srv.session and srv.session.record.get("flood_bytes", 0) > 1 << 20, 30,
                           what="a megabyte of the flood")
        left, top = viewer_origin(window)
        # Each move must reach the server while the updates keep coming.
        for i, (x, y) in enumerate([(20, 30), (150, 40), (60, 120), (180, 140), (10, 10)]):
            xdotool(session, "mousemove", left + x, top + y)

            def arrived():
                return any((m["x"], m["y"]) == (x, y) for m in srv.session.messages_of("PointerEvent"))
            kebwine.wait_until(arrived, 20, what="the pointer at (%d, %d) at the server" % (x, y))
        flooded = srv.session.record["flood_bytes"]
        assert flooded > 1 << 20
        # The close button ends the program at once, not once the queue has drained.
        window.close()
        assert program.wait(10) == 0
    finally:
        stop.set()
        srv.stop()


def test_a_server_that_hangs_up_in_a_flood_leaves_a_short_log(viewer, tmp_path):
    log = tmp_path / "viewer.log"
    stop = threading.Event()
    srv = rfbserver.Server(flooding(4, stop), timeout=60, quiet=True).start()
    try:
        program = viewer("127.0.0.1::%d" % srv.port, "-loglevel", "10", "-logfile", kebwine.win_path(log))
        window = frame(program)
        srv.wait(30)
        # The frame learns of the loss (and starts reconnecting) once the viewer has read the
        # whole flood: every update it still owed an answer to is behind it then.
        kebwine.wait_until(lambda: "Connection dropped" in window.refresh().title, 60, interval=0.2,
                           what="the frame to report the loss")
        program.close()
    finally:
        stop.set()
        srv.stop()
    text = log.read_text(errors="replace")
    lines = text.splitlines()
    socket_errors = [line for line in lines if "Socket error" in line]
    assert len(socket_errors) <= 1, socket_errors[:5]
    assert len(lines) < 400, "%d log lines, the most frequent: %s" % (
        len(lines), max(set(lines), key=lines.count))
