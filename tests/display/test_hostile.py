"""KEBviewer.exe under Wine against hostile streams of the scripted test server: lengths,
counts and coordinates out of range, cut short, or far too large. The viewer never
crashes: it draws what is sound, ends the connection with a clear report where the stream
cannot go on, and the program ends normally once the server closes."""

import time

import pytest

import kebwine
import rfbserver
from rfboracle import scenarios

# Scenarios the viewer reads through and stays connected to until the server closes.
TOLERATED = ["hostile-rect-outside", "hostile-copyrect-outside", "hostile-rre-subrect-outside",
             "hostile-corre-subrect-outside", "hostile-hextile-subrect-outside", "hostile-hextile-flags",
             "hostile-cursor-hotspot", "hostile-cursorpos-outside", "hostile-newfbsize-zero",
             "hostile-unknown-encoding", "hostile-gii-length"]
# Scenarios after which the stream cannot be followed: the connection ends.
ENDING = ["hostile-raw-huge", "hostile-raw-truncated", "hostile-hextile-truncated", "hostile-rre-count",
          "hostile-rre-count-truncated", "hostile-count-short", "hostile-cursor-huge",
          "hostile-extdesktop-truncated", "hostile-serverstate-truncated", "hostile-colourmap-huge",
          "hostile-cuttext-huge", "hostile-cuttext-ext-huge", "hostile-filetransfer-huge",
          # A chat text longer than the chat takes is not read: its bytes are no message.
          "hostile-textchat-huge"]


def run(viewer, scenario, answer=None, params=None, until=None, limit=60):
    """Runs the viewer against a built-in scenario until it ends by itself, or until
    until(srv) holds (then it is closed as a user does), at most `limit` seconds; a
    question is answered with `answer`, a warning is acknowledged. Returns (exit code,
    whether it ended by itself, texts of the boxes it showed, who closed the connection:
    "viewer" or "server")."""
    srv = rfbserver.Server(scenario, params, timeout=limit + 30, quiet=True).start()
    program = viewer("127.0.0.1::%d" % srv.port)
    deadline = time.monotonic() + limit
    boxes = []
    while program.returncode is None and time.monotonic() < deadline and not (until and until(srv)):
        try:
            # The connection-status window comes and goes while connecting: it asks nothing.
            shown = [w for w in program.windows() if w.kind != "window" and not w.title.startswith("Connection status")]
        except kebwine.HarnessError:
            shown = []
        for box in shown:
            boxes.append(box.heading + ": " + box.body)
            box.click(text="^%s$" % (answer or "OK"), how="send")
        time.sleep(0.1)
    by_itself = program.returncode is not None
    code = program.returncode if by_itself else program.close()
    srv.stop()
    srv.wait(15)
    closed_by = srv.session.record.get("closed_by") if srv.session else None
    return code, by_itself, boxes, closed_by


def server_done(srv):
    return srv.exit_code is not None


@pytest.mark.parametrize("scenario", TOLERATED)
def test_tolerated_streams_keep_the_connection(viewer, scenario):
    # The server serves for a second after the hostile message (when the scenario serves
    # at all), waits 3 s more and ends the session itself: the viewer was still connected.
    steps = scenarios.load_dict(scenario, {})["steps"]
    params = {"steps.%d.duration" % (len(steps) - 1): 1.0} if steps[-1]["op"] == "serve" else {}
    code, _, boxes, closed_by = run(viewer, scenario, params=params, until=server_done)
    assert boxes == []
    assert closed_by == "server"
    assert code == 0


@pytest.mark.parametrize("scenario", ENDING)
def test_streams_that_cannot_go_on_end_the_connection(viewer, scenario):
    code, by_itself, boxes, _ = run(viewer, scenario)
    assert by_itself and code == 0
    # Stream errors are reported once, as a lost connection; a closed stream is not.
    assert all("The connection to the server was lost." in b for b in boxes), boxes


def test_a_framebuffer_too_large_is_asked_about(viewer):
    # The server waits a minute after asking for the new size, so that whoever ends the
    # connection first is the viewer's answer, however long the answer takes.
    wait = {"end.linger": 60.0}
    text = "The remote screen is larger than 20000 pixels"

    # Refused: the viewer itself ends the connection, and then the program.
    code, by_itself, boxes, closed_by = run(viewer, "hostile-newfbsize-huge", "Don't connect", wait)
    assert by_itself and code == 0
    assert len(boxes) == 1 and boxes[0].startswith(text), boxes
    assert closed_by == "viewer"

    # Accepted: the viewer goes on with a framebuffer of 1024 x 800 pixels and asks for it.
    def asks_for_the_smaller_size(srv):
        return srv.session is not None and any(
            (m["w"], m["h"]) == (1024, 800) for m in srv.session.messages_of("FramebufferUpdateRequest"))

    code, by_itself, boxes, _ = run(viewer, "hostile-newfbsize-huge", "Connect", wait, until=asks_for_the_smaller_size)
    assert not by_itself and code == 0
    assert len(boxes) == 1 and boxes[0].startswith(text), boxes
