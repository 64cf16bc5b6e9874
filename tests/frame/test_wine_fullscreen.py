"""KEBviewer.exe's full screen under Wine against the scripted test server: the
"-fullscreen" switch, the system command and Ctrl+Alt+F12 make the frame cover the screen
without caption with the view showing the desktop and the title bar at the top; the title
bar's restore button (and its message to the frame) bring back the windowed frame with its
rectangle and toolbar; typed keys still reach the server afterwards. The frame stays in
front of other programs only while it is the active window; the title bar's scaling
button starts as the view is (Photo works at once one to one, and asks for it in the
fitted view), and its title follows a view-only change. A close in every full-screen and
hook state ends the program by its own road, also when the title bar hid itself between
the listing of the windows and their close."""

import os
import subprocess

import pytest

import kebwine
from displaytest import exact, frame, wait_picture
from test_wine_toolbar import ViewPicture, control, expected, keys_of, start_server

WM_COMMAND, WM_SYSCOMMAND = 0x0111, 0x0112
FULL_SCREEN, SC_MAXIMIZE = 113, 0xF030
TITLE_BAR_RESTORE = 2026  # the title bar's message to the frame
RESTORE_BUTTON = 20       # the title bar's restore button
WS_CAPTION, WS_POPUP = 0x00C00000, 0x80000000
WS_EX_TOPMOST = 0x00000008
VIEW_ONLY = 116
BAR_SCREEN, BAR_PHOTO = 50, 60  # the title bar's scaling and snapshot buttons
NOTEPAD = "C:\\windows\\system32\\notepad.exe"
VIEWER_CLASS, BAR_CLASS = "KEBviewerwindow", "FSTITLEBAR"
STRIP_CLASS, STRIP_TITLE = "KEBviewer", "KEB ToolBar"
XK_A, XK_B = 0x61, 0x62
BAR_WIDTH, BAR_HEIGHT = 700, 20  # at the 96 DPI of the test display


def xdotool(session, *args):
    subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=session.xvfb.display),
                   check=True, timeout=20, capture_output=True)


def bar_top(program):
    bar = title_bar(program)
    return bar.rect[1] if bar else None


def screen_size(session):
    h, w = session.xvfb.screenshot().shape[:2]
    return w, h


def is_full(window, size):
    window.refresh()
    w, h = size
    return list(window.rect) == [0, 0, w, h] and not window.data["style"] & WS_CAPTION \
        and window.data["style"] & WS_POPUP


def is_windowed(window, size):
    window.refresh()
    return bool(window.data["style"] & WS_CAPTION) and not window.data["style"] & WS_POPUP \
        and list(window.rect) != [0, 0, size[0], size[1]]


def title_bar(program, visible=True):
    bars = [w for w in program.windows(hidden=True, children=False) if w.class_name == BAR_CLASS]
    return next((b for b in bars if b.data["visible"] == visible), None)


def below_the_bar(actual, expected):
    """The view pixel for pixel where the title bar (sliding at the top) cannot be."""
    return exact(actual[BAR_HEIGHT:], expected[BAR_HEIGHT:])


def check_full_screen(session, program, window, srv, size):
    kebwine.wait_until(lambda: is_full(window, size), 15, what="the frame covering the screen")
    wait_picture(ViewPicture(window), lambda: expected(srv), below_the_bar)
    bar = kebwine.wait_until(lambda: title_bar(program), 10, what="the title bar shown")
    left, top, right, bottom = bar.rect
    # Centred at the top of the screen, hanging in from above or fully shown.
    assert right - left == BAR_WIDTH and bottom - top == BAR_HEIGHT
    assert left == (size[0] - BAR_WIDTH) // 2
    assert 1 - BAR_HEIGHT <= top <= 0
    return bar


def started_in_full_screen(viewer, session, program_dir):
    """A viewer started with "-fullscreen" (no toolbar) on a server of its own: the server,
    the screen's size, the program and its frame."""
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=0\r\n")
    srv = start_server(320, 200)
    program = viewer("127.0.0.1::%d" % srv.port, "-fullscreen")
    return srv, screen_size(session), program, frame(program)


def test_fullscreen_switch_and_the_title_bar_message_back(viewer, session, program_dir):
    srv, size, program, window = started_in_full_screen(viewer, session, program_dir)
    xdotool(session, "mousemove", size[0] // 2, size[1] // 2)
    check_full_screen(session, program, window, srv, size)

    # The bar slides into view, and about a second after (the pointer away from it) back up
    # until one pixel row is left; touching that row brings it down again.
    kebwine.wait_until(lambda: bar_top(program) == 1 - BAR_HEIGHT, 10, what="the bar slid back up")
    xdotool(session, "mousemove", size[0] // 2, 0)
    kebwine.wait_until(lambda: bar_top(program) == 0, 10, what="the bar slid into view")
    xdotool(session, "mousemove", size[0] // 2, size[1] // 2)
    kebwine.wait_until(lambda: bar_top(program) == 1 - BAR_HEIGHT, 10, what="the bar slid back up again")

    window.post(TITLE_BAR_RESTORE)
    kebwine.wait_until(lambda: is_windowed(window, size), 15, what="the windowed frame")
    kebwine.wait_until(lambda: title_bar(program) is None, 10, what="the title bar hidden")
    wait_picture(ViewPicture(window), lambda: expected(srv), exact)

    # Maximising is the same way in.
    window.post(WM_SYSCOMMAND, SC_MAXIMIZE)
    check_full_screen(session, program, window, srv, size)
    assert program.close() == 0


def test_system_command_restore_button_and_hot_key(viewer, session, program_dir):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=1\r\n")
    srv = start_server(320, 200)
    size = screen_size(session)
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    wait_picture(ViewPicture(window), lambda: expected(srv), exact)
    window.refresh()
    windowed_rect = list(window.rect)
    assert control(window, STRIP_CLASS, STRIP_TITLE)["visible"]

    # The system menu's command: the toolbar goes, the view fills the frame from its top.
    window.post(WM_SYSCOMMAND, FULL_SCREEN)
    bar = check_full_screen(session, program, window, srv, size)
    assert not control(window, STRIP_CLASS, STRIP_TITLE)["visible"]
    assert control(window, VIEWER_CLASS)["rect"][:2] == [0, 0]

    # The title bar's restore button: the old rectangle and the toolbar come back.
    bar.post(WM_COMMAND, RESTORE_BUTTON)
    kebwine.wait_until(lambda: is_windowed(window, size) and list(window.rect) == windowed_rect, 15,
                       what="the frame back on %s" % windowed_rect)
    kebwine.wait_until(lambda: title_bar(program) is None, 10, what="the title bar hidden")
    assert control(window, STRIP_CLASS, STRIP_TITLE)["visible"]
    wait_picture(ViewPicture(window), lambda: expected(srv), exact)

    # Ctrl+Alt+F12 toggles full screen both ways.
    window.keys(vk="CONTROL+ALT+F12", real=True)
    check_full_screen(session, program, window, srv, size)
    window.keys(vk="CONTROL+ALT+F12", real=True)
    kebwine.wait_until(lambda: is_windowed(window, size), 15, what="the windowed frame after Ctrl+Alt+F12")

    # Typed keys still reach the server.
    assert type_a_and_b(window, srv)[-4:] == [(1, XK_A), (0, XK_A), (1, XK_B), (0, XK_B)]
    assert program.close() == 0


def type_a_and_b(window, srv):
    """Types A and B into the frame; the KeyEvents that reached the server meanwhile."""
    before = len(keys_of(srv))
    window.keys(vk="0x41,0x42", real=True)
    kebwine.wait_until(lambda: len(keys_of(srv)) >= before + 4, 10, what="four KeyEvents")
    return keys_of(srv)[before:]


def test_pointer_at_the_right_edge_scrolls_a_larger_desktop(viewer, session, program_dir):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=0\r\n")
    size = screen_size(session)
    width, height = size[0] + 96, size[1] + 40
    srv = start_server(width, height)
    program = viewer("127.0.0.1::%d" % srv.port, "-fullscreen")
    window = frame(program)
    xdotool(session, "mousemove", size[0] // 2, size[1] // 2)
    kebwine.wait_until(lambda: is_full(window, size), 15, what="the frame covering the screen")
    view = ViewPicture(window)

    def shows_from(x):
        want = expected(srv)
        if want is None:
            return False
        shot = view.screenshot()
        part = want[:size[1], x:x + size[0]]
        return shot.shape == part.shape and below_the_bar(shot, part)
    kebwine.wait_until(lambda: shows_from(0), 20, what="the desktop's left part")

    # At the right edge the view moves right in steps of 32 pixels until the desktop's end;
    # back in the middle it stays; the left edge brings it back to the start.
    def push(edge_x, target):
        for i in range(40):
            xdotool(session, "mousemove", edge_x + (i % 2 if edge_x == 0 else -(i % 2)), size[1] // 2)
            if shows_from(target):
                return True
        return False
    assert push(size[0] - 1, 96), "the view never reached the desktop's right end"
    xdotool(session, "mousemove", size[0] // 2, size[1] // 2)
    assert shows_from(96)
    assert push(0, 0), "the view never came back to the desktop's left end"
    assert program.close() == 0


def topmost(window):
    window.refresh()
    return bool(window.data["exstyle"] & WS_EX_TOPMOST)


def above(session, upper, lower):
    """Whether window upper lies above window lower (top-level windows, front first)."""
    order = [w.hwnd for w in session.windows(hidden=True)]
    return order.index(upper.hwnd) < order.index(lower.hwnd)


def test_in_front_only_while_active(viewer, session, program_dir):
    srv, size, program, window = started_in_full_screen(viewer, session, program_dir)
    kebwine.wait_until(lambda: is_full(window, size), 15, what="the frame covering the screen")
    window.focus()
    kebwine.wait_until(lambda: topmost(window), 10, what="the active full-screen frame topmost")

    # Another program, switched to, stays in front of the full-screen frame.
    other = session.start(NOTEPAD)
    try:
        editor = other.window(cls="^Notepad$")
        editor.focus()
        kebwine.wait_until(lambda: not topmost(window), 10, what="the frame out of the topmost band")
        kebwine.wait_until(lambda: above(session, editor, window), 10, what="the other program in front")
        # Back to the viewer with a click beside the other program's window: in front of
        # everything again.
        edge = editor.refresh().rect
        xdotool(session, "mousemove", min(edge[2] + 20, size[0] - 10), size[1] - 10, "click", "1")
        kebwine.wait_until(lambda: topmost(window) and above(session, window, editor), 10,
                           what="the frame topmost again")
    finally:
        other.close()
    assert program.close() == 0


def snapshots(folder):
    return sorted(folder.glob("*.png")) if folder.exists() else []


def test_title_bar_scaling_state_photo_and_view_only_title(viewer, session, program_dir, tmp_path):
    folder = tmp_path / "shots"
    folder.mkdir()
    size = screen_size(session)
    for fitted in (False, True):
        srv = start_server(320, 200)
        (program_dir / "options.keb").write_text(
            "[options]\r\nshowtoolbar=0\r\nfolder=%s\r\nprefix=bar\r\nimageFormat=.png\r\ndirectx=%d\r\n"
            % (kebwine.win_path(folder), int(fitted)))
        program = viewer("127.0.0.1::%d" % srv.port, "-fullscreen")
        window = frame(program)
        kebwine.wait_until(lambda: is_full(window, size), 15, what="the frame covering the screen")
        bar = kebwine.wait_until(lambda: title_bar(program), 10, what="the title bar shown")
        before = len(snapshots(folder))
        bar.post(WM_COMMAND, BAR_PHOTO)
        if not fitted:
            # One to one from the start: the snapshot is taken at once.
            kebwine.wait_until(lambda: len(snapshots(folder)) > before, 15, what="the snapshot of the 1:1 view")
        else:
            box = program.box(heading="Snapshot")
            assert "only supported in 1:1 mode" in box.body
            box.click(text="^OK$")
            box.wait_gone()
            # The scaling button makes the view one to one; then Photo takes it.
            bar.post(WM_COMMAND, BAR_SCREEN)
            bar.post(WM_COMMAND, BAR_PHOTO)
            kebwine.wait_until(lambda: len(snapshots(folder)) > before, 15, what="the snapshot once one to one")

        # A view-only change in full screen: the bar's title follows the frame's.
        window.refresh()
        normal = window.title
        assert bar.refresh().title == normal
        window.post(WM_SYSCOMMAND, VIEW_ONLY)
        kebwine.wait_until(lambda: window.refresh().title != normal, 10, what="the view-only title")
        kebwine.wait_until(lambda: bar.refresh().title == window.title, 10, what="the bar's title following")
        assert program.close() == 0


# Log lines of a close that waited for something until a time-out.
TIMED_OUT_WAITS = ("did not end", "still running", "did not close", "is left")


def closes_by_its_own_road(program, window, log):
    """WM_CLOSE to the frame ends the program with 0, by its own road."""
    window.close()
    assert program.wait(30) == 0
    ended_by_its_own_road(log)


def ended_by_its_own_road(log):
    """The log of a program that has ended shows the road of a close: the reading thread
    ended, the connection was let go and the program closed down, and no wait for a
    thread ran out on the way."""
    lines = log.read_text(errors="replace").splitlines()
    steps = ["Update-processing thread finishing", "Deregistered connection from app", "KEB Viewer closing down"]
    found = [next((i for i, line in enumerate(lines) if step in line), None) for step in steps]
    assert None not in found and found == sorted(found), (steps, found, lines[-15:])
    waits = [line for line in lines if any(text in line for text in TIMED_OUT_WAITS)]
    assert not waits, waits


def full_by_system_command(session, program, window, srv, size):
    window.post(WM_SYSCOMMAND, FULL_SCREEN)
    kebwine.wait_until(lambda: is_full(window, size) and title_bar(program), 15, what="full screen")


def full_by_hot_key(session, program, window, srv, size):
    window.keys(vk="CONTROL+ALT+F12", real=True)
    kebwine.wait_until(lambda: is_full(window, size) and title_bar(program), 15, what="full screen")


def back_by_restore_button(session, program, window, srv, size):
    full_by_system_command(session, program, window, srv, size)
    title_bar(program).post(WM_COMMAND, RESTORE_BUTTON)
    kebwine.wait_until(lambda: is_windowed(window, size), 15, what="the windowed frame")


def both_ways_and_typed_keys(session, program, window, srv, size):
    """The restore button, Ctrl+Alt+F12 both ways, then typed keys: the road on which a
    close once waited until the harness killed the program."""
    back_by_restore_button(session, program, window, srv, size)
    full_by_hot_key(session, program, window, srv, size)
    window.keys(vk="CONTROL+ALT+F12", real=True)
    kebwine.wait_until(lambda: is_windowed(window, size), 15, what="the windowed frame after Ctrl+Alt+F12")
    type_a_and_b(window, srv)


def full_with_a_key_held(session, program, window, srv, size):
    """Full screen, the pointer over the view (X focus follows it) and Shift held down."""
    full_by_hot_key(session, program, window, srv, size)
    xdotool(session, "mousemove", size[0] // 2, size[1] // 2)
    before = len(keys_of(srv))
    xdotool(session, "keydown", "Shift_L")
    kebwine.wait_until(lambda: (1, XK_SHIFT_L) in keys_of(srv)[before:], 10, what="Shift down at the server")


XK_SHIFT_L = 0xFFE1
CLOSE_STATES = [full_by_system_command, full_by_hot_key, back_by_restore_button, both_ways_and_typed_keys,
                full_with_a_key_held]
# The suite runs the road that once hung a few times; KEB_CLOSE_LOOPS runs it more (200 for
# a soak by hand).
CLOSE_LOOPS = int(os.environ.get("KEB_CLOSE_LOOPS", "3"))


def start_for_close(viewer, session, program_dir, log):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=1\r\n")
    srv = start_server(320, 200)
    program = viewer("127.0.0.1::%d" % srv.port, "-loglevel", "10", "-logfile", kebwine.win_path(log))
    window = frame(program)
    kebwine.wait_until(lambda: expected(srv) is not None, 20, what="the first picture sent")
    return srv, program, window


@pytest.mark.parametrize("state", CLOSE_STATES, ids=[s.__name__ for s in CLOSE_STATES])
def test_close_in_every_full_screen_and_hook_state(viewer, session, program_dir, tmp_path, state):
    size = screen_size(session)
    log = tmp_path / "viewer.log"
    srv, program, window = start_for_close(viewer, session, program_dir, log)
    try:
        state(session, program, window, srv, size)
        closes_by_its_own_road(program, window, log)
    finally:
        xdotool(session, "keyup", "Shift_L")
        srv.stop()


def test_close_after_the_toggles_again_and_again(viewer, session, program_dir, tmp_path):
    size = screen_size(session)
    for i in range(CLOSE_LOOPS):
        log = tmp_path / ("viewer%d.log" % i)
        srv, program, window = start_for_close(viewer, session, program_dir, log)
        try:
            both_ways_and_typed_keys(session, program, window, srv, size)
            # As a person closes what is shown: the title bar still sliding away as well.
            assert program.close() == 0
            ended_by_its_own_road(log)
        finally:
            srv.stop()


def test_close_reaches_windows_that_hid_themselves_since_they_were_listed(viewer, session, program_dir, tmp_path):
    """Leaving full screen, the title bar slides up and hides itself. A close of the windows
    listed while it still showed (the way the harness closes a program) reaches the bar,
    hidden by then, and the frame: nothing waits for the bar to show again, which once held
    the frame's close back until the program was killed."""
    size = screen_size(session)
    log = tmp_path / "viewer.log"
    srv, program, window = start_for_close(viewer, session, program_dir, log)
    try:
        full_by_hot_key(session, program, window, srv, size)
        listed = program.windows(children=False)
        assert BAR_CLASS in [w.class_name for w in listed]
        window.keys(vk="CONTROL+ALT+F12", real=True)
        kebwine.wait_until(lambda: is_windowed(window, size), 15, what="the windowed frame after Ctrl+Alt+F12")
        kebwine.wait_until(lambda: title_bar(program) is None, 15, what="the title bar hidden")
        answers = [w.close(hidden=True) for w in listed]
        assert [a["closed"] for a in answers] == [w.hwnd for w in listed]
        assert program.wait(30) == 0
        ended_by_its_own_road(log)
    finally:
        srv.stop()
