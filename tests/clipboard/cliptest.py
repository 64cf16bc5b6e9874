"""Helpers of the clipboard and chat tests: the scripted server between its updates, the
Windows clipboard of the Wine session through kebclip.exe, and an X display's clipboard
through xclip."""
import json
import os
import queue
import shutil
import subprocess
import time
from pathlib import Path

import pytest

import kebwine
import rfbserver


def serving(before=None, later=None, name="clip test", version="RFB 003.008\n", size=(64, 48)):
    """A server that sends its first update, then the messages of before(s), then answers
    requests until the viewer closes; server messages (their bytes, or (bytes, name) for
    the record) put into the queue `later` are sent between the updates. size: the
    desktop's (the first update covers its 64 x 48 top-left corner)."""
    def scenario(s):
        s.handshake(width=size[0], height=size[1], name=name, version=version)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 48}])
        if before:
            before(s)
        end = time.monotonic() + 120
        while later is not None and not s.peer_closed and time.monotonic() < end:
            try:
                item = later.get(timeout=0.1)
                data, what = item if isinstance(item, tuple) else (item, "queued message")
                s.send_raw(data, what)
            except queue.Empty:
                s.serve(encodings=("raw",), duration=0.1)
        s.serve(encodings=("raw",), duration=max(0.1, end - time.monotonic()))
    return rfbserver.Server(scenario, timeout=150, quiet=True).start()


def read_by_viewer(srv, later, timeout=20):
    """Waits until the viewer has read everything the server sent so far: an empty update
    goes out after it, and the viewer asks for the next one."""
    known = len(srv.session.record["sent"])
    later.put((bytes(4), "empty update"))

    def answered():
        sent = [x["t"] for x in srv.session.record["sent"][known:] if x["what"] == "empty update"]
        return bool(sent) and any(m["t"] >= sent[0] for m in srv.session.messages_of("FramebufferUpdateRequest"))
    kebwine.wait_until(answered, timeout, what="the viewer's request after an empty update")


# The viewer's log (level 6) tells when it has handled a change of the Windows clipboard.
CHANGE_HANDLED = ("Passing WM_DRAWCLIPBOARD", "No next window in chain")


def log_switches(path):
    """The viewer's command-line switches for a log of its clipboard detail in path."""
    return ["-loglevel", "6", "-logfile", kebwine.win_path(path)]


def log_count(path, *texts):
    text = path.read_text(errors="replace") if path.exists() else ""
    return sum(text.count(t) for t in texts)


def wait_log(path, texts, more_than, timeout=20):
    """Waits until the log holds the texts more than `more_than` times in all."""
    kebwine.wait_until(lambda: log_count(path, *texts) > more_than, timeout,
                       what="%r in the viewer's log %s" % (texts, path))


def kebclip_exe():
    return Path(os.environ.get("KEB_KEBCLIP_EXE", str(kebwine.BINARY_DIR / "tests" / "kebclip.exe")))


def _kebclip(session, *args):
    program = session.start(kebclip_exe(), *args)
    code = program.wait(30)
    out = program.text_output().strip().splitlines()
    assert code == 0 and out, "kebclip %s: exit %s, %r" % (args[0], code, out)
    return json.loads(out[-1])


def windows_clipboard(session):
    """The formats on the Windows clipboard: names "text" (CF_TEXT), "unicode", "rtf",
    "html" to their bytes (the whole global block)."""
    answer = _kebclip(session, "get")
    return {k: bytes.fromhex(v) for k, v in answer.items() if k != "owner"}


def windows_text_digest(session):
    """CF_TEXT of the Windows clipboard in short: {"size": global block size, "length": to
    the first zero, "crc32": of those bytes}, or {"error": ...} when there is none."""
    program = session.start(kebclip_exe(), "text-digest")
    program.wait(60)
    out = program.text_output().strip().splitlines()
    return json.loads(out[-1]) if out else {"error": "no answer"}


def clipboard_viewer(session):
    """The window handle at the head of the clipboard-viewer chain (0 when none)."""
    return _kebclip(session, "viewer")["viewer"]


def set_windows_clipboard(session, **formats):
    """Empties the Windows clipboard and sets the given formats (bytes each)."""
    _kebclip(session, "set", *("%s=%s" % (k, bytes(v).hex()) for k, v in formats.items()))


def unicode_text(data):
    """The text of a CF_UNICODETEXT block, up to its terminating zero."""
    text = data.decode("utf-16-le", errors="replace")
    return text.split("\0", 1)[0]


def ansi_text(data):
    return data.split(b"\0", 1)[0]


def need_xclip():
    if not shutil.which("xclip"):
        pytest.skip("xclip is not installed (tools/setup-packages.sh)")


def x_clipboard(display, timeout=10):
    """The CLIPBOARD selection of an X display as UTF-8 text (None when nobody owns it)."""
    r = subprocess.run(["xclip", "-display", display, "-selection", "clipboard", "-o"], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=timeout)
    return r.stdout.decode("utf-8", errors="replace") if r.returncode == 0 else None


def set_x_clipboard(display, text):
    """Makes xclip the owner of the display's CLIPBOARD selection with the text (xclip stays
    in the background serving it until another owner takes the selection)."""
    subprocess.run(["xclip", "-display", display, "-selection", "clipboard", "-i"], input=text.encode("utf-8"),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10, check=True)
