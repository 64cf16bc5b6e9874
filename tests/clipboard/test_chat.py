"""The text chat of KEBviewer.exe under Wine against the scripted test server: the server
opens the chat window, its texts show in the history under its bare name, what the user
types goes to the server (Enter or the Send button), and either side closes the chat."""
import queue

import numpy as np

import kebwine
from cliptest import log_switches, read_by_viewer, serving, set_windows_clipboard, wait_log
from displaytest import frame
from rfboracle import servermsg

CHAT_TITLE = r"^Quillmar Remote - Chat with <"
# Chat comes with the version of a server that announces its extensions.
EXTENSIONS = "RFB 003.006\n"
HISTORY, INPUT, SEND, CLOSE = 1124, 1117, 1125, 2


def chats(srv):
    return srv.session.messages_of("TextChat") if srv.session else []


def history(window):
    return window.control(id=HISTORY)["text"].replace("\r\n", "\n")


def wait_history(window, text, timeout=20):
    return kebwine.wait_until(lambda: text in history(window.refresh() or window), timeout,
                              what="%r in the chat history (now %r)" % (text, history(window)))


def open_by_server(viewer, name="Desk (test)", args=(), size=(64, 48)):
    later = queue.Queue()
    srv = serving(lambda s: s.send_raw(servermsg.text_chat(length=servermsg.CHAT_OPEN), "chat open"), later, name=name,
                  version=EXTENSIONS, size=size)
    program = viewer("127.0.0.1::%d" % srv.port, *args)
    frame(program)
    window = program.window(title=CHAT_TITLE, timeout=30)
    kebwine.wait_until(lambda: [m.get("chat") for m in chats(srv)] == ["open"], 20, what="the viewer's open message")
    return srv, later, program, window


def test_texts_travel_both_ways_and_the_server_closes(viewer):
    srv, later, program, window = open_by_server(viewer)
    assert window.title == "Quillmar Remote - Chat with <Desk (test)>"
    # Without an encryption plug-in the history starts with the warning.
    assert history(window).startswith("Warning: this connection is not encrypted.")

    later.put(servermsg.text_chat("hello from the server\n"))
    wait_history(window, "<Desk>: hello from the server\n")

    # Enter in the input sends the line with its line feed; the Send button appends one.
    window.keys(chars="typed line\r", id=INPUT)
    kebwine.wait_until(lambda: [m.get("text") for m in chats(srv)][1:] == ["typed line\n"], 20,
                       what="the typed line at the server")
    window.set_text("by the button", id=INPUT)
    window.click(id=SEND)
    kebwine.wait_until(lambda: len(chats(srv)) == 3, 20, what="the second text")
    assert chats(srv)[2]["text"] == "by the button\n"
    wait_history(window, "by the button\n")
    assert window.refresh().control(id=INPUT)["text"] == ""

    # The server's close ends the window without an answer; the connection goes on.
    later.put(servermsg.text_chat(length=servermsg.CHAT_CLOSE))
    window.wait_gone(20)
    read_by_viewer(srv, later)
    frame(program)
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()
    # Everything the viewer sent is at the server now: no close message among it.
    assert [m.get("chat") for m in chats(srv)][1:] == [None, None]


def test_user_close_tells_the_server(viewer):
    srv, later, program, window = open_by_server(viewer, name="plain")
    assert window.title == "Quillmar Remote - Chat with <plain>"
    window.click(id=CLOSE)
    window.wait_gone(20)
    kebwine.wait_until(lambda: [m.get("chat") for m in chats(srv)] == ["open", "close"], 20,
                       what="the viewer's close message")
    frame(program)
    assert program.close() == 0


def test_longest_text_is_shown_and_a_full_history_starts_again(viewer):
    srv, later, program, window = open_by_server(viewer)
    longest = "a" * 16383 + "\n"
    later.put(servermsg.text_chat(longest))
    wait_history(window, "<Desk>: " + longest)
    # The history would pass its size: it holds the separator line and the new text only.
    later.put(servermsg.text_chat("after\n"))
    kebwine.wait_until(lambda: history(window.refresh()) == "-" * 120 + "\n<Desk>: after\n", 20,
                       what="the history started again (now %r...)" % history(window)[:200])
    assert program.close() == 0


def test_no_clipboard_text_while_the_chat_runs_until_the_server_finishes_it(session, viewer, tmp_path):
    log = tmp_path / "viewer.log"
    srv, later, program, window = open_by_server(viewer, args=log_switches(log))

    def cut_texts():
        return [m.get("text") for m in srv.session.messages_of("ClientCutText")]

    ignored = "Ignoring SendClientCutText due to in-progress Text Chat"
    set_windows_clipboard(session, unicode="during the chat\0".encode("utf-16-le"))
    wait_log(log, [ignored], 0)
    assert cut_texts() == []
    later.put(servermsg.text_chat(length=servermsg.CHAT_FINISHED))
    read_by_viewer(srv, later)
    set_windows_clipboard(session, unicode="after the chat\0".encode("utf-16-le"))
    kebwine.wait_until(lambda: cut_texts() == ["after the chat"], 20, what="the clipboard text after the chat")
    assert program.close() == 0


def test_closing_the_viewer_with_the_chat_open_closes_the_chat_first(viewer):
    """The chat runs modally inside the frame window's command. The user's close of the
    frame ends the chat (the server is told) and says so; the connection stays until the
    next close, which ends the viewer."""
    srv, later, program, window = open_by_server(viewer)
    frame(program).close()
    box = program.box(heading="^Quillmar Remote info$")
    assert box.body == "Chat is closing; close the viewer again after it."
    # The chat disappears at once; its modal loop (and the window) ends behind the notice.
    kebwine.wait_until(lambda: [m.get("chat") for m in chats(srv)] == ["open", "close"], 20,
                       what="the viewer's close message")
    kebwine.wait_until(lambda: not [w for w in program.windows(children=False) if w.hwnd == window.hwnd], 20,
                       what="the chat hidden")
    box.click(text="^OK$")
    box.wait_gone(10)
    window.wait_gone(20)
    # The connection stays: the viewer goes on reading.
    read_by_viewer(srv, later)
    assert program.returncode is None
    frame(program).close()
    assert program.wait(30) == 0
    assert srv.wait(15) == 0, srv.report()


def test_server_gone_during_the_chat_ends_the_viewer_without_reconnecting(viewer):
    srv, later, program, window = open_by_server(viewer)
    srv.session.close()
    assert program.wait(30) == 0
    assert len(srv.sessions) == 1


def test_a_fault_or_a_reset_during_the_chat_is_told_and_ends_the_viewer(viewer):
    """A message the viewer cannot read (no stream error) and a reset connection both end
    a chat with the warning, and no reconnect follows."""
    for cut_short in ("unknown message", "reset"):
        srv, later, program, window = open_by_server(viewer)
        if cut_short == "reset":
            srv.session.close(reset=True)
        else:
            later.put(bytes([99]))
        box = program.box(heading="^Quillmar Remote info$", timeout=30)
        assert box.body == "The connection to the server was lost.", cut_short
        box.click(text="^OK$")
        assert program.wait(30) == 0
        assert len(srv.sessions) == 1


# A desktop large enough that the frame lies under the windows opened over it.
LARGE = (1200, 900)
WM_COMMAND, TOOLBAR_CHAT = 0x0111, 50022


def shows_its_controls(program, window):
    """The window, opened over the frame, shows its controls on the X screen where it lies:
    each control's rectangle has a colour other than black as its most common one, and
    those with a text show it (a second colour). Before the screen was read as one image
    such a window came out black (xwd took it from the frame under it)."""
    outer = frame(program).refresh().rect
    left, top, right, bottom = window.refresh().rect
    assert outer[0] <= left and outer[1] <= top and right <= outer[2] and bottom <= outer[3], (outer, window.rect)
    looked = 0
    for c in window.controls:
        if not c["visible"] or c["class"].lower() not in ("button", "edit", "static", "richedit"):
            continue
        shot = window.screenshot(control=c).reshape(-1, 3)
        if not len(shot):
            continue
        colours, counts = np.unique(shot, axis=0, return_counts=True)
        assert tuple(colours[counts.argmax()]) != (0, 0, 0), "control %r black on the screen" % c
        if c["text"].strip():
            assert len(colours) >= 2, "control %r shows no text" % c
        looked += 1
    assert looked >= 2, window.controls


def test_chat_window_opened_over_the_frame_shows_its_controls(viewer):
    srv, later, program, window = open_by_server(viewer, size=LARGE)
    wait_history(window, "Warning: this connection is not encrypted.")
    shows_its_controls(program, window)
    window.click(id=CLOSE)
    window.wait_gone(20)
    assert program.close() == 0


def test_box_from_the_toolbar_over_the_frame_shows_its_controls(viewer, program_dir):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=1\r\n")
    srv = serving(size=LARGE)
    program = viewer("127.0.0.1::%d" % srv.port)
    strip = kebwine.wait_until(lambda: [c for c in frame(program).refresh().controls if c["text"] == "KEB ToolBar"],
                               30, what="the toolbar")[0]
    program.session.driver.call("post", hwnd=strip["hwnd"], msg=WM_COMMAND, wparam=TOOLBAR_CHAT, lparam=0)
    box = program.box(heading="^Quillmar Remote info$")
    assert box.body == "This server does not offer text chat."
    shows_its_controls(program, box)
    box.click(text="^OK$")
    box.wait_gone(10)
    assert program.close() == 0
