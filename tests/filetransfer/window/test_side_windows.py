"""The file-transfer and chat windows as the frame window rules them, KEBviewer.exe under
Wine against the scripted server: neither opens for a server that does not announce its
extensions (a notice instead), only one of the two is open at a time, and closing the
viewer while one is open closes that window first."""
import re

import pytest

import kebwine
import rfbserver
from displaytest import frame, window_thread_caught_up
from rfboracle.filetransfer import FileTransferServer
from test_ft_window import EXTENSIONS, FILE_TRANSFER_COMMAND, STATUS, TITLE, WM_SYSCOMMAND, wait_text

CHAT_COMMAND = 50112
CHAT_TITLE = r"^Quillmar Remote - Chat with <"
NOTICE = "^Quillmar Remote info$"
CLOSE_WINDOW = {
    "file transfer": "File transfer is closing; close the viewer again after it.",
    "chat": "Chat is closing; close the viewer again after it.",
}


def serving(tmp_path, version=EXTENSIONS):
    """A server with a file-transfer side; every message the viewer sends is recorded."""
    holder = {}

    def scenario(s):
        s.handshake(width=64, height=48, name="side test", version=version)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 48}])
        holder["ft"] = FileTransferServer(s, str(tmp_path), version=3)
        holder["ft"].serve(seconds=140)

    return rfbserver.Server(scenario, timeout=150, quiet=True).start(), holder


def chats(srv):
    return [m.get("chat", m.get("text")) for m in srv.session.messages_of("TextChat")] if srv.session else []


def open_side_window(program, which):
    """Opens the file-transfer or the chat window from the frame's system menu."""
    if which == "file transfer":
        frame(program).post(WM_SYSCOMMAND, wparam=FILE_TRANSFER_COMMAND)
        window = program.window(title=TITLE, timeout=30)
        wait_text(window, STATUS, "Connected...")
        return window
    frame(program).post(WM_SYSCOMMAND, wparam=CHAT_COMMAND)
    return program.window(title=CHAT_TITLE, timeout=30)


def shown(program, title):
    return [w for w in program.windows(children=False) if re.search(title, w.title)]


def closes_behind_the_notice(program, window, title, box):
    """The window ends as its own Close does: it disappears at once and is destroyed when
    the notice, which runs inside its modal loop, has been dismissed."""
    kebwine.wait_until(lambda: not shown(program, title), 20, what="the window %r hidden" % title)
    dismiss(box)
    window.wait_gone(20)


def dismiss(box):
    box.click(text="^OK$")
    box.wait_gone(10)


@pytest.mark.parametrize("command, title, text", [
    (FILE_TRANSFER_COMMAND, TITLE, "This server does not offer file transfer."),
    (CHAT_COMMAND, CHAT_TITLE, "This server does not offer text chat."),
])
def test_a_server_without_the_extensions_gets_a_notice(viewer, tmp_path, command, title, text):
    srv, holder = serving(tmp_path, version="RFB 003.008\n")
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program).post(WM_SYSCOMMAND, wparam=command)
    box = program.box(heading=NOTICE)
    assert box.body == text
    dismiss(box)
    window_thread_caught_up(program)
    assert not shown(program, CHAT_TITLE) and not shown(program, TITLE)
    assert program.close() == 0
    # Nothing of either extension went to the server.
    srv.wait(15)
    assert holder["ft"].events == [] and chats(srv) == []


@pytest.mark.parametrize("first, then, text", [
    ("file transfer", CHAT_COMMAND,
     "Chat and file transfer open one at a time: transfer is closing."),
    ("chat", FILE_TRANSFER_COMMAND,
     "Chat and file transfer open one at a time: the chat is closing."),
])
def test_only_one_of_chat_and_file_transfer_is_open(viewer, tmp_path, first, then, text):
    srv, holder = serving(tmp_path)
    program = viewer("127.0.0.1::%d" % srv.port)
    window = open_side_window(program, first)
    frame(program).post(WM_SYSCOMMAND, wparam=then)
    box = program.box(heading=NOTICE)
    assert box.body == text
    closes_behind_the_notice(program, window, TITLE if first == "file transfer" else CHAT_TITLE, box)
    # The window that was open closed as its own Close does; the other never opened.
    if first == "file transfer":
        kebwine.wait_until(lambda: ("session-end",) in holder["ft"].events, 20, what="the file-transfer session end")
        assert chats(srv) == []
    else:
        kebwine.wait_until(lambda: chats(srv) == ["open", "close"], 20, what="the chat's open and close")
        assert not [e for e in holder["ft"].events if e[0] == "access"]
    assert not shown(program, CHAT_TITLE) and not shown(program, TITLE)
    # Now the other one opens.
    open_side_window(program, "chat" if first == "file transfer" else "file transfer")
    assert program.close() == 0


@pytest.mark.parametrize("which", ["file transfer", "chat"])
def test_closing_the_viewer_closes_the_open_window_first(viewer, tmp_path, which):
    srv, holder = serving(tmp_path)
    program = viewer("127.0.0.1::%d" % srv.port)
    window = open_side_window(program, which)
    frame(program).close()
    box = program.box(heading=NOTICE)
    assert box.body == CLOSE_WINDOW[which]
    closes_behind_the_notice(program, window, TITLE if which == "file transfer" else CHAT_TITLE, box)
    # The viewer went on: its window thread answers, and the next close ends it.
    window_thread_caught_up(program)
    assert program.returncode is None
    frame(program).close()
    assert program.wait(30) == 0
    if which == "file transfer":
        assert ("session-end",) in holder["ft"].events
    else:
        assert chats(srv) == ["open", "close"]


def test_viewer_timers_wait_while_the_file_transfer_window_is_open(viewer, tmp_path):
    """A keep-alive interval of 1 s from the server: the viewer window's timer sends one
    each second, but not while the file-transfer window is open (whose own timer asks for
    one every 5 s); closing that window brings them back."""
    holder = {}

    def scenario(s):
        s.handshake(width=64, height=48, name="side test", version=EXTENSIONS)
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 48}])
        s.send_msg("keepalive")
        s.send_msg("serverstate", state=2, value=1)
        holder["ft"] = FileTransferServer(s, str(tmp_path), version=3)
        holder["ft"].serve(seconds=140)

    srv = rfbserver.Server(scenario, timeout=150, quiet=True).start()
    program = viewer("127.0.0.1::%d" % srv.port)

    def keepalives():
        return len(srv.session.messages_of("KeepAlive")) if srv.session else 0

    kebwine.wait_until(lambda: keepalives() >= 2, 15, what="the viewer's keep-alives")
    window = open_side_window(program, "file transfer")
    before = keepalives()
    # One a second would be five in this time; the file-transfer window's timer sends at
    # most two.
    kebwine.never(lambda: keepalives() - before > 2, 5.0, what="more than two keep-alives")
    window.click(id=2)  # Close
    window.wait_gone(20)
    after = keepalives()
    kebwine.wait_until(lambda: keepalives() - after >= 3, 15, what="keep-alives again after the window closed")
    assert program.close() == 0
