"""KEBviewer.exe's toolbar under Wine against the scripted test server: the strip sits at
the top of the frame with "showtoolbar" on (and is not there with it off), the view is
moved down below it, and its buttons act: Refresh Screen asks for a full update, the
custom key reaches the server with the modifiers chosen, Close Connection ends the
viewer, the connect button opens the host typed into the combo box, the remote-input
button (and the frame's commands 50108/50109) switch the server's input off and on,
rebuild the button bar and show the state in the light at the right; the buttons are big
from a 562-pixel frame on and small below."""

import pytest

import kebwine
import rfbserver
from displaytest import exact, frame, wait_picture

WM_COMMAND = 0x0111
WM_SYSCOMMAND, VIEW_ONLY = 0x0112, 116
VIEWER_CLASS = "KEBviewerwindow"
STRIP_CLASS, STRIP_TITLE, STRIP_HEIGHT = "KEBviewer", "KEB ToolBar", 28
# Toolbar commands.
REFRESH, CLOSE_CONNECTION, CUSTOM_KEY, FILE_TRANSFER, REMOTE_INPUT = 50015, 50011, 144, 50012, 50018
BUTTON_BAR, INPUT_LIGHT = 50016, 9997
INPUT_ON, INPUT_OFF = (0, 160, 0), (200, 0, 0)  # the light's colours
# The custom-key dialog's key field and boxes.
KEY_FIELD, BOX_CONTROL, BOX_ALT, BOX_ALT_CONTROL = 1026, 1033, 1035, 1030
XK_ESCAPE, XK_A = 0xFF1B, 0x61
XK_CONTROL_R, XK_ALT_L, XK_ALT_R = 0xFFE4, 0xFFE9, 0xFFEA


def start_server(width=620, height=200):
    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("demo", width, height)
        s.handshake(width=width, height=height, name="toolbar test")
        s.serve(encodings=("hextile", "raw"))
    return rfbserver.Server(scenario, timeout=120, quiet=True).start()


def expected(srv):
    if not srv.sessions or srv.sessions[0].view is None:
        return None
    view, known = srv.sessions[0].expected_view()
    return view if known.all() else None


def control(window, cls, title=None):
    window.refresh()
    found = [c for c in window.controls if c["class"] == cls and (title is None or c["text"] == title)]
    return found[0] if found else None


def keys_of(srv):
    return [(m["down"], m["key"]) for m in srv.session.messages_of("KeyEvent")]


def command(session, strip, number):
    """What the toolbar's button sends its strip when pressed."""
    session.driver.call("post", hwnd=strip["hwnd"], msg=WM_COMMAND, wparam=number, lparam=0)


class ViewPicture:
    """The viewer window's picture (the frame's client area holds the strip as well)."""

    def __init__(self, window):
        self.window = window

    def screenshot(self):
        view = control(self.window, VIEWER_CLASS)
        if view is None:
            raise kebwine.HarnessError("no viewer window yet")
        return self.window.screenshot(control=view)


def connected(viewer, program_dir, *args, toolbar=1):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=%d\r\n" % toolbar)
    srv = start_server()
    program = viewer("127.0.0.1::%d" % srv.port, *args)
    window = frame(program)
    wait_picture(ViewPicture(window), lambda: expected(srv), exact)
    return srv, program, window


def test_strip_above_the_view_and_not_there_when_off(viewer, session, program_dir):
    srv, program, window = connected(viewer, program_dir)
    strip = control(window, STRIP_CLASS, STRIP_TITLE)
    assert strip is not None and strip["visible"], window.controls
    view = control(window, VIEWER_CLASS)
    client = window.client_rect()
    left, top, right, bottom = strip["rect"]
    assert (left, top, right - left, bottom - top) == (client[0], client[1], client[2] - client[0], STRIP_HEIGHT)
    # The view starts below the strip and still shows the whole desktop.
    assert view["rect"][1] == bottom and view["rect"][3] - view["rect"][1] == 200
    # The strip holds the button bar, the recent-host combo box and the connect button.
    ids = {c["id"] for c in window.controls}
    assert {50016, 9999, 9998} <= ids, window.controls
    assert program.close() == 0


def light_colour(window):
    light = next(c for c in window.refresh().controls if c["id"] == INPUT_LIGHT)
    shot = window.screenshot(control=light)
    return tuple(int(v) for v in shot[shot.shape[0] // 2, shot.shape[1] // 2])


def test_remote_input_button_rebuilds_the_bar_and_shows_the_state(viewer, session, program_dir):
    srv, program, window = connected(viewer, program_dir)
    strip = control(window, STRIP_CLASS, STRIP_TITLE)
    light = next(c for c in window.controls if c["id"] == INPUT_LIGHT)
    # The third control at the right: 10 x 10 at (strip width - 200, 10).
    left, top, right, _ = strip["rect"]
    assert [light["rect"][0] - left, light["rect"][1] - top] == [right - left - 200, 10]
    assert [light["rect"][2] - light["rect"][0], light["rect"][3] - light["rect"][1]] == [10, 10]
    kebwine.wait_until(lambda: light_colour(window) == INPUT_ON or None, 10, what="the light green")

    def inputs():
        return [m["disable"] for m in srv.session.messages_of("ServerInput")]

    def bar():
        return next(c for c in window.refresh().controls if c["id"] == BUTTON_BAR)["hwnd"]

    # Each switch, from the button or from the frame's command, tells the server, builds
    # the button bar again and changes the light.
    steps = [(lambda: command(session, strip, REMOTE_INPUT), [1], INPUT_OFF),
             (lambda: command(session, strip, REMOTE_INPUT), [1, 0], INPUT_ON),
             (lambda: window.post(WM_SYSCOMMAND, 50108), [1, 0, 1], INPUT_OFF),
             (lambda: window.post(WM_SYSCOMMAND, 50109), [1, 0, 1, 0], INPUT_ON)]
    for act, told, colour in steps:
        before = bar()
        act()
        kebwine.wait_until(lambda: inputs() == told or None, 10, what="the server told %s" % told)
        kebwine.wait_until(lambda: bar() != before or None, 10, what="a new button bar")
        kebwine.wait_until(lambda: light_colour(window) == colour or None, 10, what="the light %s" % (colour,))
    assert program.close() == 0


def send_custom_key(program, session, strip, text):
    command(session, strip, CUSTOM_KEY)
    dialog = program.window(title="^Send Custom Key$", timeout=15)
    dialog.set_text(text, id=KEY_FIELD)
    dialog.click(id=1)
    dialog.wait_gone(timeout=10)


def test_custom_key_sends_nothing_while_view_only(viewer, session, program_dir):
    srv, program, window = connected(viewer, program_dir, "-viewonly")
    strip = control(window, STRIP_CLASS, STRIP_TITLE)
    send_custom_key(program, session, strip, "97")
    # View-only off again: the next key is the first one the server sees.
    window.post(WM_SYSCOMMAND, VIEW_ONLY)
    send_custom_key(program, session, strip, "65307")
    kebwine.wait_until(lambda: len(keys_of(srv)) >= 2, 10, what="the key sent after view-only")
    assert keys_of(srv) == [(1, XK_ESCAPE), (0, XK_ESCAPE)]
    assert program.close() == 0

    srv, program, window = connected(viewer, program_dir, toolbar=0)
    assert control(window, STRIP_CLASS, STRIP_TITLE) is None
    view = control(window, VIEWER_CLASS)
    assert view["rect"][1] == window.client_rect()[1]
    assert program.close() == 0


def test_refresh_button_asks_for_a_full_update(viewer, session, program_dir):
    srv, program, window = connected(viewer, program_dir)
    strip = control(window, STRIP_CLASS, STRIP_TITLE)

    def full_requests():
        return len([m for m in srv.session.messages_of("FramebufferUpdateRequest") if not m["incremental"]])
    before = full_requests()
    command(session, strip, REFRESH)
    kebwine.wait_until(lambda: full_requests() > before, 10, what="a full update request")
    request = [m for m in srv.session.messages_of("FramebufferUpdateRequest") if not m["incremental"]][-1]
    assert (request["x"], request["y"], request["w"], request["h"]) == (0, 0, 620, 200)
    assert program.close() == 0


OK, CANCEL = 1, 2
# Typed text, boxes checked, the button, and the KeyEvents the server should get (none for
# Cancel or a refused value).
CUSTOM_KEYS = [
    ("65307", (BOX_ALT_CONTROL,), OK,
     [(1, XK_ALT_R), (1, XK_CONTROL_R), (1, XK_ESCAPE), (0, XK_ESCAPE), (0, XK_ALT_R), (0, XK_CONTROL_R)]),
    ("97", (BOX_ALT,), OK, [(1, XK_ALT_L), (1, XK_A), (0, XK_A), (0, XK_ALT_L)]),
    ("97", (BOX_CONTROL,), OK, [(1, XK_CONTROL_R), (1, XK_A), (0, XK_A), (0, XK_CONTROL_R)]),
    ("65307", (), OK, [(1, XK_ESCAPE), (0, XK_ESCAPE)]),
    ("65307", (BOX_ALT,), CANCEL, []),
    ("escape", (BOX_CONTROL,), OK, []),
    ("536870912", (), OK, []),  # would be taken for the Control box
]


def test_custom_key_reaches_the_server(viewer, session, program_dir):
    srv, program, window = connected(viewer, program_dir)
    strip = control(window, STRIP_CLASS, STRIP_TITLE)
    for text, boxes, button, want in CUSTOM_KEYS:
        before = len(keys_of(srv))
        command(session, strip, CUSTOM_KEY)
        dialog = program.window(title="^Send Custom Key$", timeout=15)
        dialog.set_text(text, id=KEY_FIELD)
        for box in boxes:
            dialog.check(1, id=box)
        dialog.click(id=button)
        dialog.wait_gone(timeout=10)
        if want:
            kebwine.wait_until(lambda: len(keys_of(srv)) >= before + len(want), 10, what="the custom key %s" % text)
        else:
            # A later key shows that nothing was sent before it.
            command(session, strip, CUSTOM_KEY)
            probe = program.window(title="^Send Custom Key$", timeout=15)
            probe.set_text("65307", id=KEY_FIELD)
            probe.click(id=1)
            probe.wait_gone(timeout=10)
            kebwine.wait_until(lambda: len(keys_of(srv)) >= before + 2, 10, what="the probe key")
            want = [(1, XK_ESCAPE), (0, XK_ESCAPE)]
        assert keys_of(srv)[before:] == want, (text, boxes)

    assert program.close() == 0


def test_close_connection_button_ends_the_viewer(viewer, session, program_dir):
    srv, program, window = connected(viewer, program_dir)
    command(session, control(window, STRIP_CLASS, STRIP_TITLE), CLOSE_CONNECTION)
    assert program.wait(20) == 0


def glyph_height(window, bar, colour):
    """The height of the pixels of one colour in the button bar's picture (a button's glyph)."""
    import numpy as np
    shot = window.screenshot(control=bar)
    rows = np.nonzero(np.all(shot == colour, axis=2).any(axis=1))[0]
    return int(rows[-1] - rows[0] + 1) if len(rows) else 0


# Desktop width, and whether the frame then has the big buttons (from 562 pixels on).
BUTTON_SIZES = [(620, True), (400, False)]
CLOSE_RED = (200, 0, 0)  # the Close Connection glyph


@pytest.mark.parametrize("width,big", BUTTON_SIZES)
def test_button_size_follows_the_frame_width(viewer, session, program_dir, width, big):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=1\r\n")
    srv = start_server(width=width)
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    wait_picture(ViewPicture(window), lambda: expected(srv), exact)
    bar = next(c for c in window.refresh().controls if c["id"] == 50016)
    height = kebwine.wait_until(lambda: glyph_height(window, bar, CLOSE_RED), 10, what="the Close glyph")
    assert (height > 10) == big, height
    assert program.close() == 0


def test_connect_button_opens_the_host_typed(viewer, session, program_dir):
    srv, program, window = connected(viewer, program_dir)
    other = start_server(width=300, height=120)
    window.set_text("127.0.0.1::%d" % other.port, id=9999, cls="ComboBox")
    window.click(id=9998)
    kebwine.wait_until(lambda: other.sessions and other.sessions[0].view is not None or None, 20,
                       what="the connection to the host typed")
    assert program.close() == 0


def test_file_transfer_button_opens_and_closes_the_window(viewer, session, program_dir, tmp_path):
    from rfboracle.filetransfer import FileTransferServer

    def scenario(s):
        s.handshake(width=620, height=100, name="ft toolbar", version="RFB 003.006\n")
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([{"enc": "raw", "x": 0, "y": 0, "w": 620, "h": 100}])
        FileTransferServer(s, str(tmp_path), version=3).serve(seconds=100)

    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=1\r\n")
    srv = rfbserver.Server(scenario, timeout=120, quiet=True).start()
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    strip = kebwine.wait_until(lambda: control(window, STRIP_CLASS, STRIP_TITLE), 20, what="the toolbar")
    command(session, strip, FILE_TRANSFER)
    ft = program.window(title=r"^ File Transfer with < ", timeout=20)
    # Pressed again while the window is open, the button closes it.
    command(session, strip, FILE_TRANSFER)
    ft.wait_gone(timeout=15)
    assert program.close() == 0
