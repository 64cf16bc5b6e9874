"""The clipboard between KEBviewer.exe under Wine and TigerVNC's Xvnc (which speaks the
extended clipboard): text copied in the server's X session reaches the Windows clipboard,
and text copied on Windows reaches the server's X session, each with its own line ends.
(Debian's x11vnc announces the extended clipboard but passes no text either way, so it is
no peer for this; the plain-text messages are checked against the scripted server.)"""
import kebwine
from cliptest import need_xclip, set_windows_clipboard, set_x_clipboard, unicode_text, windows_clipboard, x_clipboard
from displaytest import frame


def windows_text(session):
    return unicode_text(windows_clipboard(session).get("unicode", b""))


def to_windows(session, display, text):
    set_x_clipboard(display, text)
    want = text.replace("\n", "\r\n")
    kebwine.wait_until(lambda: windows_text(session) == want, 20,
                       what="the server's text on the Windows clipboard (now %r)" % windows_text(session))


def to_server(session, display, text):
    set_windows_clipboard(session, unicode=(text + "\0").encode("utf-16-le"))
    want = text.replace("\r\n", "\n")
    kebwine.wait_until(lambda: x_clipboard(display) == want, 20,
                       what="the Windows text at the server (now %r)" % x_clipboard(display))


def test_xvnc_clipboard_both_ways(session, viewer):
    need_xclip()
    xvnc = session.xvnc(320, 200)
    program = viewer("127.0.0.1::%d" % xvnc.port)
    frame(program)
    to_windows(session, xvnc.display, "first line\nzweite Zeile: gr\u00fc\u00dfe \u20ac")
    to_server(session, xvnc.display, "from Windows\r\n\u00e9t\u00e9 \u2713")
    # A second change in each direction: nothing is held back as a repeat.
    to_windows(session, xvnc.display, "again from X")
    to_server(session, xvnc.display, "again from Windows")
    assert program.close() == 0
