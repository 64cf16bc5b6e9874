"""The clipboard of KEBviewer.exe under Wine against the scripted test server, whose every
ClientCutText is recorded: plain text with its line ends, repeats, view-only and a disabled
clipboard, and the extended clipboard (capabilities, provided data, notifications and
requests, the server's limits)."""
import queue
import struct
import zlib

import pytest

import kebwine
from cliptest import (CHANGE_HANDLED, ansi_text, clipboard_viewer, log_count, log_switches, read_by_viewer, serving,
                      set_windows_clipboard, unicode_text, wait_log, windows_clipboard, windows_text_digest)
from displaytest import frame, write_options
from rfboracle import servermsg
from rfboracle.servermsg import CLIP_DIB, CLIP_HTML, CLIP_PROVIDE, CLIP_REQUEST, CLIP_RTF, CLIP_TEXT


def cut_texts(srv):
    return [m for m in srv.session.messages_of("ClientCutText") if "text" in m] if srv.session else []


def extended(srv, action=None):
    msgs = [m["extended"] for m in srv.session.messages_of("ClientCutText") if "extended" in m] if srv.session else []
    return [m for m in msgs if action is None or m["action"] == action]


def sent(srv, what):
    return srv.session is not None and any(x["what"] == what for x in srv.session.record["sent"])


def set_unicode(session, text, **more):
    set_windows_clipboard(session, unicode=(text + "\0").encode("utf-16-le"), **more)


def windows_unicode(session):
    return unicode_text(windows_clipboard(session).get("unicode", b""))


def test_plain_text_both_ways_with_line_ends_and_no_repeats(session, viewer):
    srv = serving(lambda s: s.send_msg("cuttext", text="line one\nline two"))
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program)
    kebwine.wait_until(lambda: ansi_text(windows_clipboard(session).get("text", b"")) == b"line one\r\nline two", 20,
                       what="the server's text as CF_TEXT with CR LF")
    # Two one-letter lines go as three bytes; the same text again is not sent again.
    set_unicode(session, "a\r\nb")
    kebwine.wait_until(lambda: [m["text"] for m in cut_texts(srv)] == ["a\nb"], 20, what="a LF b at the server")
    set_unicode(session, "a\r\nb")
    set_unicode(session, "next")
    kebwine.wait_until(lambda: len(cut_texts(srv)) >= 2, 20, what="the next text")
    # The server's own text did not come back either.
    assert [m["text"] for m in cut_texts(srv)] == ["a\nb", "next"]
    assert all(m["length"] == len(m["text"]) for m in cut_texts(srv))
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()


@pytest.mark.parametrize("option", ["viewonly", "disableclipboard"])
def test_view_only_or_disabled_clipboard_exchanges_nothing(session, viewer, program_dir, tmp_path, option):
    set_unicode(session, "kept on Windows")
    write_options(program_dir, ["raw"], **{option: 1})
    later = queue.Queue()
    srv = serving(lambda s: s.send_msg("cuttext", text="not for this viewer"), later)
    log = tmp_path / "viewer.log"
    program = viewer("127.0.0.1::%d" % srv.port, *log_switches(log))
    frame(program)
    kebwine.wait_until(lambda: sent(srv, "cuttext"), 20, what="the server's text sent")
    read_by_viewer(srv, later)
    assert windows_unicode(session) == "kept on Windows"
    handled = log_count(log, *CHANGE_HANDLED)
    set_unicode(session, "changed on Windows")
    wait_log(log, CHANGE_HANDLED, handled)
    assert windows_unicode(session) == "changed on Windows"
    assert program.close() == 0
    # Everything the viewer sent is at the server now.
    assert srv.wait(15) == 0, srv.report()
    assert cut_texts(srv) == [] and extended(srv, "provide") == []


@pytest.mark.parametrize("length", [104857600, 104857601])
def test_the_longest_server_text_is_taken_and_a_byte_more_ends_the_connection(session, viewer, length):
    """100 MiB is the most the viewer takes: all of it reaches the Windows clipboard (with
    CR LF line ends) and the session goes on; a text a byte longer ends the connection
    before anything of it is read."""
    line = (b"abcdefghijklmnopqrstuvwxyz" * 39)[:999] + b"\n"
    text = line * (length // 1000) + line[:length % 1000] if length == 104857600 else b"abc"
    later = queue.Queue()
    srv = serving(lambda s: s.send_raw(servermsg.cut_text(text, length=length), "long cut text"), later)
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program)
    if length > 104857600:
        kebwine.wait_until(lambda: srv.session is not None and srv.session.peer_closed, 30,
                           what="the viewer to end the connection")
        program.close()
        return
    local = text.replace(b"\n", b"\r\n")
    seen = [None]

    def whole():
        seen[0] = windows_text_digest(session)
        return seen[0] if seen[0].get("length") == len(local) else None
    try:
        digest = kebwine.wait_until(whole, 120, what="the whole text on the Windows clipboard")
    except kebwine.Timeout as e:
        raise kebwine.Timeout("%s (the clipboard last held %s; the server: %s)" % (e, seen[0], srv.report()))
    assert digest["crc32"] == zlib.crc32(local)
    read_by_viewer(srv, later)
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()


def test_extended_clipboard_provides_notifies_and_answers_requests(session, viewer):
    later = queue.Queue()
    # The server takes at most 16 bytes of text without asking.
    srv = serving(lambda s: s.send_raw(servermsg.clip_caps(CLIP_TEXT | CLIP_RTF | CLIP_HTML,
                                                                  [16, 2097152, 2097152])), later)
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program)
    caps = kebwine.wait_until(lambda: extended(srv, "caps"), 20, what="the viewer's capabilities")
    assert caps[0]["flags"] == "0x1b00000f" and caps[0]["limits"] == [10485760, 2097152, 2097152, 0]

    # Text and RTF within the limits are provided at once; nothing is announced besides.
    rtf = b"{\\rtf1 hi}\0"
    set_unicode(session, "hi \u00e9", rtf=rtf)
    provided = kebwine.wait_until(lambda: extended(srv, "provide"), 20, what="the provided clipboard")
    assert provided[0]["formats"] == CLIP_TEXT | CLIP_RTF
    assert provided[0]["items"] == {"text": "hi \u00e9\0", "rtf": rtf.hex()}

    # Only the RTF changed: the same text is no change.
    set_unicode(session, "hi \u00e9", rtf=b"{\\rtf1 other}\0")
    # A text above the server's limit is only announced ...
    long_text = "x" * 40
    set_unicode(session, long_text)
    notified = kebwine.wait_until(lambda: extended(srv, "notify"), 20, what="the announcement of the long text")
    assert notified[0]["formats"] == CLIP_TEXT
    assert len(extended(srv, "provide")) == 1
    # ... and provided whole when the server asks for it.
    later.put(servermsg.cut_text_ext(CLIP_REQUEST | CLIP_TEXT))
    kebwine.wait_until(lambda: len(extended(srv, "provide")) == 2, 20, what="the text the server asked for")
    assert extended(srv, "provide")[1]["items"] == {"text": long_text + "\0"}

    # Text and HTML provided by the server both reach the Windows clipboard.
    html = b"<b>bold</b>"
    later.put(servermsg.clip_provide({CLIP_TEXT: "from the server\r\n\u00fcber\0".encode("utf-8"), CLIP_HTML: html}))
    kebwine.wait_until(lambda: windows_unicode(session) == "from the server\r\n\u00fcber", 20,
                       what="the server's text on the Windows clipboard")
    assert windows_clipboard(session).get("html", b"").rstrip(b"\0") == html
    assert len(extended(srv, "provide")) == 2 and cut_texts(srv) == []
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()


def test_extended_clipboard_without_notify_sends_no_announcement(session, viewer):
    later = queue.Queue()
    srv = serving(lambda s: s.send_raw(servermsg.clip_caps(CLIP_TEXT, [8],
                                                                  actions=CLIP_REQUEST | CLIP_PROVIDE)), later)
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program)
    kebwine.wait_until(lambda: extended(srv, "caps"), 20, what="the viewer's capabilities")
    set_unicode(session, "longer than eight")
    set_unicode(session, "short")
    kebwine.wait_until(lambda: extended(srv, "provide"), 20, what="the short text")
    assert [m["items"] for m in extended(srv, "provide")] == [{"text": "short\0"}]
    assert extended(srv, "notify") == [] and cut_texts(srv) == []
    assert program.close() == 0


def test_system_menu_clipboard_commands(session, viewer, program_dir, tmp_path):
    WM_SYSCOMMAND, SYNC, RTF, SEND_ALL, REQUEST_ALL = 0x0112, 201, 203, 205, 206
    srv = serving(lambda s: s.send_raw(servermsg.clip_caps(CLIP_TEXT | CLIP_RTF | CLIP_HTML,
                                                          [1024, 1024, 1024])), queue.Queue())
    log = tmp_path / "viewer.log"
    program = viewer("127.0.0.1::%d" % srv.port, *log_switches(log))
    window = frame(program)
    kebwine.wait_until(lambda: extended(srv, "caps"), 20, what="the viewer's capabilities")

    window.post(WM_SYSCOMMAND, REQUEST_ALL)
    request = kebwine.wait_until(lambda: extended(srv, "request"), 20, what="the request for all formats")
    assert request[0]["flags"] == "0x0200000f"

    html = b"<i>menu</i>"
    set_unicode(session, "menu text", html=html)
    kebwine.wait_until(lambda: extended(srv, "provide"), 20, what="the changed clipboard")
    # Sending all formats now sends them again, unchanged as they are.
    window.post(WM_SYSCOMMAND, SEND_ALL)
    kebwine.wait_until(lambda: len(extended(srv, "provide")) == 2, 20, what="all formats sent again")
    assert extended(srv, "provide")[1]["items"] == {"text": "menu text\0", "html": html.decode()}

    # RTF off: remembered in the options file, the capabilities go again.
    window.post(WM_SYSCOMMAND, RTF)
    kebwine.wait_until(lambda: len(extended(srv, "caps")) == 2, 20, what="the capabilities again")
    assert "ClipboardPrefs=5" in (program_dir / "options.keb").read_text(errors="replace")

    # Synchronisation off: capabilities that take nothing, and a change stays on Windows ...
    window.post(WM_SYSCOMMAND, SYNC)
    kebwine.wait_until(lambda: len(extended(srv, "caps")) == 3, 20, what="the capabilities without formats")
    assert extended(srv, "caps")[2]["flags"] == "0x0100000f" and extended(srv, "caps")[2]["limits"] == [0] * 4
    handled = log_count(log, *CHANGE_HANDLED)
    set_unicode(session, "while off")
    wait_log(log, CHANGE_HANDLED, handled)
    assert len(extended(srv, "provide")) == 2
    # ... until it is on again: then the clipboard goes at once.
    window.post(WM_SYSCOMMAND, SYNC)
    kebwine.wait_until(lambda: len(extended(srv, "provide")) == 3, 20, what="the clipboard after switching on")
    assert extended(srv, "provide")[2]["items"] == {"text": "while off\0"}
    assert extended(srv, "caps")[3]["limits"] == [10485760, 2097152, 2097152, 0]
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()


def test_bitmap_the_server_takes_no_size_of_goes_only_when_asked_for(session, viewer):
    # A 2 x 2 bitmap, 32 bits per pixel, bottom-up.
    header = struct.pack("<IiiHHIIiiII", 40, 2, 2, 1, 32, 0, 16, 2835, 2835, 0, 0)
    dib = header + bytes(range(16))
    later = queue.Queue()
    srv = serving(lambda s: s.send_raw(servermsg.clip_caps(CLIP_TEXT | CLIP_DIB, [1024, 0])), later)
    program = viewer("127.0.0.1::%d" % srv.port)
    frame(program)
    kebwine.wait_until(lambda: extended(srv, "caps"), 20, what="the viewer's capabilities")
    set_unicode(session, "with a picture", dib=dib)
    provided = kebwine.wait_until(lambda: extended(srv, "provide"), 20, what="the changed clipboard")
    assert provided[0]["items"] == {"text": "with a picture\0"}
    later.put(servermsg.cut_text_ext(CLIP_REQUEST | CLIP_DIB))
    kebwine.wait_until(lambda: len(extended(srv, "provide")) == 2, 20, what="the bitmap the server asked for")
    answer = extended(srv, "provide")[1]
    assert answer["formats"] & CLIP_DIB
    # The clipboard's bitmap as a version-5 header (124 bytes) with the same pixels.
    pixels = bytes.fromhex(answer["items"]["dib"])
    assert pixels[:4] == struct.pack("<I", 124) and struct.unpack("<ii", pixels[4:12]) == (2, 2)
    assert pixels[-16:] == bytes(range(16))
    assert program.close() == 0


def test_two_viewers_in_the_clipboard_chain(session, viewer, tmp_path):
    """Windows tells only the newest member of the clipboard-viewer chain: it passes each
    change on, and a member that leaves is taken out of the chain of the others."""
    import shutil
    first_srv, second_srv = serving(), serving()
    first = viewer("127.0.0.1::%d" % first_srv.port)
    frame(first)
    kebwine.wait_until(lambda: first_srv.session is not None, 20, what="the first connection")
    # The second viewer is a program of its own (a second copy in a folder of its own).
    folder = tmp_path / "second"
    folder.mkdir()
    shutil.copy2(str(kebwine.viewer_exe()), str(folder / "KEBviewer.exe"))
    (folder / "options.keb").write_text("[options]\r\nAutoScaling=0\r\n")
    second = session.start(folder / "KEBviewer.exe", "127.0.0.1::%d" % second_srv.port)
    try:
        view = [c for c in frame(second).controls if c["class"] == "KEBviewerwindow"][0]
        kebwine.wait_until(lambda: second_srv.session is not None, 20, what="the second connection")
        kebwine.wait_until(lambda: clipboard_viewer(session) == view["hwnd"], 20,
                           what="the second viewer at the head of the clipboard chain")
        set_unicode(session, "for both")
        for srv in (first_srv, second_srv):
            kebwine.wait_until(lambda: [m["text"] for m in cut_texts(srv)] == ["for both"], 20,
                               what="the text at both servers")
        assert second.close() == 0
        set_unicode(session, "for the first")
        kebwine.wait_until(lambda: [m["text"] for m in cut_texts(first_srv)] == ["for both", "for the first"], 20,
                           what="the text at the first server after the second viewer left")
    finally:
        second.close(timeout=5)
    assert first.close() == 0
