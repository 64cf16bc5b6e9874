"""Two monitors under Wine, the second left of the primary one (so at negative
coordinates), on an Xorg laid out as two monitors (Wine shows one monitor per RandR
output; an Xvfb with two screens and Xinerama gives it only one). Full screen covers the
monitor the frame is on, with the title bar centred at its top; with monitor spanning it
covers both monitors from the virtual screen's corner, each showing the part of the
desktop that client message 251 places there. Message 251 tells the server of both
monitors measured from the virtual screen's corner, never as the 16-bit wrap of a
negative coordinate."""

import pytest

import kebwine
import rfbserver
from displaytest import exact, frame, wait_picture
from rfbserver import rect

# X coordinates: the second monitor at the left, the primary one right of it. Wine puts
# the primary at 0,0, so the second one spans x = -1024 .. 0.
PRIMARY = (1280, 1024, 1024, 0)
SECOND = (1024, 768, 0, 0)
SECOND_ON_WINDOWS = [-1024, 0, 0, 768]
WM_SYSCOMMAND, FULL_SCREEN = 0x0112, 113
WS_CAPTION = 0x00C00000
BAR_CLASS, BAR_WIDTH, BAR_HEIGHT = "FSTITLEBAR", 700, 20


@pytest.fixture(scope="module")
def session():
    why = kebwine.XorgDummy.unavailable()
    if why:
        pytest.skip("no X server of two monitors: " + why)
    for need in (kebwine.viewer_exe(), kebwine.kebdrive_exe()):
        if not need.exists():
            pytest.skip("%s is missing (build the MinGW tree first)" % need)
    with kebwine.Session(monitors=[PRIMARY, SECOND]) as s:
        yield s


def serve(width, height, screens=None):
    """A server that shows a pattern and, with screens, tells of its screens in an
    ExtendedDesktopSize rectangle of the first update."""
    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("demo", width, height)
        s.handshake(width=width, height=height, name="monitors")
        s.wait_for("FramebufferUpdateRequest")
        first = [rect("raw", 0, 0, width, height)]
        if screens:
            first.insert(0, rect("extdesktopsize", 0, 0, width, height, opts={"screens": screens}))
        s.send_update(first)
        s.serve(encodings=("hextile", "raw"))
    return rfbserver.Server(scenario, timeout=120, quiet=True).start()


def expected(srv):
    if srv.session is None or srv.session.view is None:
        return None
    view, known = srv.session.expected_view()
    return view if known.all() else None


def title_bar(program):
    return next((w for w in program.windows(hidden=True, children=False)
                 if w.class_name == BAR_CLASS and w.data["visible"]), None)


def test_full_screen_on_the_second_monitor(viewer, session, program_dir):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=0\r\nAutoScaling=0\r\n")
    srv = serve(320, 200)
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        window = frame(program)
        wait_picture(window, lambda: expected(srv), exact)
        # Onto the second monitor, as a person drags it there.
        window.move(x=SECOND_ON_WINDOWS[0] + 100, y=100)
        window.post(WM_SYSCOMMAND, FULL_SCREEN)

        def covers_second():
            window.refresh()
            return list(window.rect) == SECOND_ON_WINDOWS and not window.data["style"] & WS_CAPTION
        kebwine.wait_until(covers_second, 15, what="the frame covering the second monitor %s" % SECOND_ON_WINDOWS)
        bar = kebwine.wait_until(lambda: title_bar(program), 10, what="the title bar shown")
        left, top, right, bottom = bar.rect
        assert left == SECOND_ON_WINDOWS[0] + (1024 - BAR_WIDTH) // 2 and right - left == BAR_WIDTH
        assert 1 - BAR_HEIGHT <= top <= 0
        assert program.close() == 0
    finally:
        srv.stop()


@pytest.mark.parametrize("all_monitors,monitors", [
    # Measured from the virtual screen's corner (-1024, 0): the primary at 1024, the second at 0.
    (1, [(1024, 0, 1280, 1024), (0, 0, 1024, 768)]),
    # One entry: the whole virtual screen.
    (0, [(0, 0, 2304, 1024)]),
])
def test_message_251_for_a_monitor_left_of_the_primary(viewer, program_dir, all_monitors, monitors):
    (program_dir / "options.keb").write_text(
        "[options]\r\nshowtoolbar=0\r\nAutoScaling=0\r\nChangeServerRes=1\r\nuseAllMonitors=%d\r\n" % all_monitors)
    srv = serve(320, 200, screens=[{"id": 1, "x": 0, "y": 0, "w": 320, "h": 200}])
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        frame(program)
        message = kebwine.wait_until(lambda: srv.session and srv.session.messages_of("MonitorInfo"), 30,
                                     what="client message 251")[0]
        sent = [(m["x"], m["y"], m["w"], m["h"]) for m in message["monitors"]]
        assert sent == monitors, message
        assert message["count"] == len(monitors)
        assert all(m["one"] == 1 for m in message["monitors"])
        assert program.close() == 0
    finally:
        srv.stop()


# The virtual screen of the two monitors on Windows: the second one's corner to the
# primary one's far corner.
VIRTUAL_ON_WINDOWS = [-1024, 0, 1280, 1024]


@pytest.mark.parametrize("spanning", [
    "allowMonitorSpanning=1\r\n",
    # A server told of every monitor lays its desktop out from the virtual screen's corner.
    "useAllMonitors=1\r\nChangeServerRes=1\r\n",
])
def test_spanning_full_screen_covers_both_monitors(viewer, session, program_dir, spanning):
    (program_dir / "options.keb").write_text("[options]\r\nshowtoolbar=0\r\nAutoScaling=0\r\n" + spanning)
    width, height = VIRTUAL_ON_WINDOWS[2] - VIRTUAL_ON_WINDOWS[0], VIRTUAL_ON_WINDOWS[3] - VIRTUAL_ON_WINDOWS[1]
    srv = serve(width, height, screens=[{"id": 1, "x": 0, "y": 0, "w": width, "h": height}])
    try:
        program = viewer("127.0.0.1::%d" % srv.port)
        window = frame(program)
        kebwine.wait_until(lambda: expected(srv) is not None, 30, what="the server's whole picture sent")
        window.post(WM_SYSCOMMAND, FULL_SCREEN)

        def covers_both():
            window.refresh()
            return list(window.rect) == VIRTUAL_ON_WINDOWS and not window.data["style"] & WS_CAPTION
        kebwine.wait_until(covers_both, 15, what="the frame covering the virtual screen %s" % VIRTUAL_ON_WINDOWS)
        # The title bar hangs at the top of the monitor the frame was on (the primary one),
        # over the frame.
        bar = kebwine.wait_until(lambda: title_bar(program), 10, what="the title bar shown")
        left, top, right, bottom = bar.rect
        assert left == (1280 - BAR_WIDTH) // 2 and right - left == BAR_WIDTH
        assert 1 - BAR_HEIGHT <= top <= 0

        # On the X screen the second monitor shows the desktop's left part and the primary
        # one the rest, each from the server's column where message 251 puts that monitor
        # (below the rows the title bar may take).
        desktop = expected(srv)
        second_x, primary_x = SECOND[2], PRIMARY[2]
        parts = [
            ([second_x, BAR_HEIGHT, second_x + SECOND[0], SECOND[1]], desktop[BAR_HEIGHT:SECOND[1], 0:SECOND[0]]),
            ([primary_x, BAR_HEIGHT, primary_x + PRIMARY[0], PRIMARY[1]],
             desktop[BAR_HEIGHT:PRIMARY[1], primary_x - second_x:primary_x - second_x + PRIMARY[0]]),
        ]

        def both_shown():
            shot = session.screenshot()
            for rect_x, want in parts:
                kebwine.assert_same_image(kebwine.crop(shot, rect_x), want)
        kebwine.eventually(both_shown, 20)
        if "useAllMonitors" in spanning:
            message = srv.session.messages_of("MonitorInfo")[-1]
            assert [(m["x"], m["y"]) for m in message["monitors"]] == [(primary_x - second_x, 0), (0, 0)]
        assert program.close() == 0
    finally:
        srv.stop()
