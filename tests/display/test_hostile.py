"""KEBviewer.exe under Wine against hostile streams of the scripted test server: lengths,
counts and coordinates out of range, cut short, or far too large. The viewer never
crashes: it draws what is sound, ends the connection with a clear report where the stream
cannot go on, and the program ends normally once the server closes."""

import time

import pytest

import kebwine
import rfbserver

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


def run(viewer, scenario, answer=None, keep=20):
    """Runs the viewer against a built-in scenario for at most `keep` seconds, then closes
    it as a user does. Returns (exit code, seconds it ran by itself, texts of the boxes it
    showed); a question is answered with `answer`, a warning is acknowledged."""
    srv = rfbserver.Server(scenario, timeout=60, quiet=True).start()
    program = viewer("127.0.0.1::%d" % srv.port)
    t0 = time.monotonic()
    boxes = []
    while program.returncode is None and time.monotonic() < t0 + keep:
        try:
            # The connection-status window comes and goes while connecting: it asks nothing.
            shown = [w for w in program.windows() if w.kind != "window" and not w.title.startswith("Connection status")]
        except kebwine.HarnessError:
            shown = []
        for box in shown:
            boxes.append(box.heading + ": " + box.body)
            box.click(text="^%s$" % (answer or "OK"), how="send")
        time.sleep(0.1)
    seconds = time.monotonic() - t0
    code = program.returncode
    if code is None:
        code = program.close()
    srv.stop()
    return code, seconds, boxes


@pytest.mark.parametrize("scenario", TOLERATED)
def test_tolerated_streams_keep_the_connection(viewer, scenario):
    # Connected until the server's own end (3 s after its last message) or the user's close.
    code, seconds, boxes = run(viewer, scenario, keep=4)
    assert code == 0
    assert boxes == []
    assert seconds > 2.5


@pytest.mark.parametrize("scenario", ENDING)
def test_streams_that_cannot_go_on_end_the_connection(viewer, scenario):
    code, seconds, boxes = run(viewer, scenario)
    assert code == 0
    # Stream errors are reported once, as a lost connection; a closed stream is not.
    assert all("The connection to the server was lost." in b for b in boxes), boxes


@pytest.mark.parametrize("answer,ends_at_once", [("Don't connect", True), ("Connect", False)])
def test_a_framebuffer_too_large_is_asked_about(viewer, answer, ends_at_once):
    code, seconds, boxes = run(viewer, "hostile-newfbsize-huge", answer, keep=10)
    assert code == 0
    assert len(boxes) == 1 and boxes[0].startswith("The remote screen is larger than 20000 pixels"), boxes
    assert (seconds < 2.5) == ends_at_once
