"""KEBviewer.exe's frame window under Wine against the scripted test server, which records
every message the viewer sends: typed keys and mouse clicks reach the server as KeyEvents
and PointerEvents, system-menu commands act, the frame takes the framebuffer's size (with
scroll bars when it is larger than the screen, fitted to the screen by automatic scaling)
and a lost connection is reconnected in the same window."""

import os
import subprocess
import threading

import numpy as np
import pytest

import kebwine
import rfbserver
from displaytest import exact, frame, wait_picture

WM_SYSCOMMAND = 0x0112
WM_HSCROLL = 0x0114
WM_VSCROLL = 0x0115
SB_PAGEDOWN = 3
WS_MINIMIZE = 0x20000000
WS_HSCROLL = 0x00100000
WS_VSCROLL = 0x00200000
VIEWER_CLASS = "KEBviewerwindow"
# System-menu commands.
CONNECTION_INFO, CTRL_ALT_DEL, REFRESH, VIEW_ONLY = 103, 110, 114, 116
FULL_COLOURS, COLOURS_256, HALF_SIZE, NORMAL_SIZE = 50104, 50105, 50101, 50107

XK_A, XK_B = 0x61, 0x62
XK_CONTROL_L, XK_ALT_L, XK_DELETE = 0xFFE3, 0xFFE9, 0xFFFF


def desktop(width, height, pattern="demo", name="frame test"):
    """A scenario: a desktop of that size, served until the viewer closes."""
    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern(pattern, width, height)
        s.handshake(width=width, height=height, name=name)
        s.serve(encodings=("hextile", "raw"))
    return scenario


def start(scenario, **kw):
    return rfbserver.Server(scenario, timeout=120, quiet=True, **kw).start()


def expected(srv, index=0):
    # A connection accepted but not through its handshake has no desktop yet.
    if len(srv.sessions) <= index or srv.sessions[index].view is None:
        return None
    view, known = srv.sessions[index].expected_view()
    return view if known.all() else None


def keys_of(srv):
    return [(m["down"], m["key"]) for m in srv.session.messages_of("KeyEvent")]


def full_requests(srv):
    return len([m for m in srv.session.messages_of("FramebufferUpdateRequest") if not m["incremental"]])


def all_answered(srv):
    """The server answered the last full update request, and the viewer took the answer
    and asked again."""
    msgs = srv.session.messages_of("FramebufferUpdateRequest")
    full = [m["t"] for m in msgs if not m["incremental"]]
    updates = [u["t"] for u in srv.session.record["sent"] if u["what"] == "FramebufferUpdate"]
    return bool(full and updates and updates[-1] >= full[-1]
                and any(m["incremental"] and m["t"] >= updates[-1] for m in msgs))


def viewer_control(window):
    window.refresh()
    return next(c for c in window.controls if c["class"] == VIEWER_CLASS)


def xdotool(session, *args):
    subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=session.xvfb.display),
                   check=True, timeout=20, capture_output=True)


def test_typed_keys_clicks_and_key_commands_reach_the_server(viewer, session):
    srv = start(desktop(200, 150))
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    wait_picture(window, lambda: expected(srv), exact)

    window.keys(vk="0x41,0x42", real=True)
    kebwine.wait_until(lambda: len(keys_of(srv)) >= 4, 10, what="four KeyEvents")
    assert keys_of(srv) == [(1, XK_A), (0, XK_A), (1, XK_B), (0, XK_B)]

    # A click at (50, 40) of the view: the button goes down and up there.
    left, top = viewer_control(window)["rect"][:2]
    xdotool(session, "mousemove", left + 50, top + 40)
    xdotool(session, "click", "1")

    def click_seen():
        events = [(m["buttons"], m["x"], m["y"]) for m in srv.session.messages_of("PointerEvent")]
        downs = [i for i, e in enumerate(events) if e == (1, 50, 40)]
        return downs and (0, 50, 40) in events[downs[0]:]
    kebwine.wait_until(click_seen, 10, what="the click at (50, 40)")

    # The wheel: one notch up is button 4 pressed and released there, one down button 5.
    for button, mask in (("4", 8), ("5", 16)):
        xdotool(session, "click", button)

        def wheel_seen():
            events = [(m["buttons"], m["x"], m["y"]) for m in srv.session.messages_of("PointerEvent")]
            pressed = [i for i, e in enumerate(events) if e == (mask, 50, 40)]
            return pressed and (0, 50, 40) in events[pressed[0]:]
        kebwine.wait_until(wheel_seen, 10, what="the wheel's button %d" % mask)

    # The Keyboard submenu's Ctrl+Alt+Del sends its six KeyEvents in order.
    before = len(keys_of(srv))
    window.post(WM_SYSCOMMAND, CTRL_ALT_DEL)
    kebwine.wait_until(lambda: len(keys_of(srv)) >= before + 6, 10, what="Ctrl+Alt+Del")
    assert keys_of(srv)[before:] == [(1, XK_CONTROL_L), (1, XK_ALT_L), (1, XK_DELETE), (0, XK_DELETE),
                                     (0, XK_ALT_L), (0, XK_CONTROL_L)]
    assert program.close() == 0


def test_keys_and_pointer_reach_a_real_server(viewer, session):
    """TigerVNC's Xvnc: keys typed in the viewer arrive as X key presses in the server's
    session (xev on its root window), and the pointer moved over the view moves the
    server's pointer to the same place."""
    from displaytest import x_run
    xvnc = session.xvnc(200, 150)
    # Line-buffered, so that each event can be read as it comes.
    xev = subprocess.Popen(["stdbuf", "-oL", "xev", "-root", "-event", "keyboard"],
                           env=dict(os.environ, DISPLAY=xvnc.display), stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True, start_new_session=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(xev.stdout), daemon=True)
    reader.start()
    try:
        program = viewer("127.0.0.1::%d" % xvnc.port)
        window = frame(program)
        kebwine.wait_until(lambda: viewer_control(window)["rect"][2] - viewer_control(window)["rect"][0] == 200 or None,
                           20, what="the view of the server's desktop")
        left, top = viewer_control(window)["rect"][:2]
        xdotool(session, "mousemove", left + 123, top + 77)

        def pointer():
            out = x_run(xvnc.display, "xdotool", "getmouselocation").stdout
            return "x:123 y:77 " in out or None
        kebwine.wait_until(pointer, 10, interval=0.2, what="the server's pointer at (123, 77)")

        window.keys(vk="0x51,0x57", real=True)  # q, w
        kebwine.wait_until(lambda: len([line for line in lines if "keysym" in line]) >= 4, 20,
                           what="four key events of xev")
    finally:
        xev.terminate()
        xev.wait(10)
        reader.join(10)
    output = "".join(lines)
    presses = [line for line in lines if "keysym" in line]
    names = [line.split("keysym ")[1].split(",")[1].strip(" )") for line in presses]
    assert names == ["q", "q", "w", "w"], output[-2000:]
    assert program.close() == 0


def test_refresh_and_view_only_from_the_system_menu(viewer):
    srv = start(desktop(160, 100, name="menu desk"))
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    wait_picture(window, lambda: expected(srv), exact)

    # 256 colours, then full colours again: each takes effect as a new pixel format with
    # the next update (a refresh brings one). First, well inside the first 30 s of the
    # session: the viewer's own full request every 30 s, were it on its way as well, would
    # bring an update in the old format after the change (the protocol's own race, which
    # ends the connection).
    def formats():
        return [m["pixel_format"]["bpp"] for m in srv.session.messages_of("SetPixelFormat")]
    first = formats()
    assert first and first[-1] == 32, first
    for command, bpp in ((COLOURS_256, 8), (FULL_COLOURS, 32)):
        known = len(formats())
        window.post(WM_SYSCOMMAND, command)
        window.post(WM_SYSCOMMAND, REFRESH)
        try:
            kebwine.wait_until(lambda: len(formats()) > known or None, 20, what="a new pixel format")
            # The refresh and the format change each asked for an update: the server
            # answers both, and the viewer takes them, before the next change, as at a
            # person's pace (a change while an update is on its way meets the same race).
            kebwine.wait_until(lambda: all_answered(srv), 20, what="the answers to the full requests")
        except kebwine.Timeout as e:
            raise AssertionError("%s (%d bits per pixel); server log:\n%s" % (e, bpp, srv.report(200)))
        assert formats()[known:] == [bpp], formats()

    before = full_requests(srv)
    window.post(WM_SYSCOMMAND, REFRESH)
    kebwine.wait_until(lambda: full_requests(srv) > before, 20, what="a full update request")

    # View only: the caption says so and keys no longer go out. The key is posted to the
    # view, so that it is handled before the menu command posted after it ends view only;
    # the key typed then is the first to reach the server.
    window.post(WM_SYSCOMMAND, VIEW_ONLY)
    kebwine.wait_until(lambda: window.refresh().title == "menu desk viewonly" or None, 20, what="the view-only title")
    window.keys(vk="0x41", cls="^%s$" % VIEWER_CLASS)
    window.post(WM_SYSCOMMAND, VIEW_ONLY)
    kebwine.wait_until(lambda: window.refresh().title == "menu desk" or None, 20, what="the normal title")
    window.keys(vk="0x42", real=True)
    kebwine.wait_until(lambda: (0, XK_B) in keys_of(srv), 20, what="keys after view only")
    assert keys_of(srv) == [(1, XK_B), (0, XK_B)]

    # Half size asks the server to scale its desktop by 2, normal size back to 1.
    def scales():
        return [m["scale"] for m in srv.session.messages_of("SetServerScale")]
    window.post(WM_SYSCOMMAND, HALF_SIZE)
    kebwine.wait_until(lambda: scales() == [2] or None, 20, what="server scale 2")
    window.post(WM_SYSCOMMAND, NORMAL_SIZE)
    try:
        kebwine.wait_until(lambda: scales() == [2, 1] or None, 20, what="server scale 1")
    except kebwine.Timeout:
        raise AssertionError("scales sent: %s; log: %s" % (scales(), srv.report()))

    # Connection Info tells the desktop, the server and the geometry.
    window.post(WM_SYSCOMMAND, CONNECTION_INFO)
    box = program.box(heading="^Quillmar Remote - Connection Info$")
    assert box.body.startswith("Connected to: menu desk"), box.body
    assert "Host: 127.0.0.1  Port: %d" % srv.port in box.body, box.body
    assert "Desktop geometry: 160 x 100 x " in box.body, box.body
    box.click(text="^OK$", how="send")
    box.wait_gone()
    assert program.close() == 0


def test_askexit_asks_before_the_user_closes(viewer):
    srv = start(desktop(120, 80))
    program = viewer("-askexit", "127.0.0.1::%d" % srv.port)
    window = frame(program)
    kebwine.wait_until(lambda: expected(srv) is not None, 20, what="the first update")
    window.close()
    box = program.box(heading="^Closing Quillmar Remote$")
    assert box.body == "Are you sure you want to exit?"
    box.click(text="^No$", how="send")
    box.wait_gone()
    # Still connected, in the same window: a refresh from its menu asks the server.
    before = full_requests(srv)
    window.post(WM_SYSCOMMAND, REFRESH)
    kebwine.wait_until(lambda: full_requests(srv) > before, 20, what="a full update request")
    assert program.returncode is None and frame(program).hwnd == window.hwnd
    window.close()
    program.box(heading="^Closing Quillmar Remote$").click(text="^Yes$", how="send")
    assert program.wait(20) == 0
    assert srv.wait(15) == 0, srv.report()


SC_MINIMIZE, SC_RESTORE = 0xF020, 0xF120


def test_a_minimised_frame_asks_for_nothing_until_restored(viewer):
    """Minimised, the connection is dormant: after the update it has, no further request
    goes out although the desktop keeps changing; restoring asks at once."""
    def scenario(s):
        from rfboracle import images
        s.desktop = images.pattern("demo", 160, 100)
        s.handshake(width=160, height=100)

        def change(session, tick):
            session.draw_fill(tick % 150, 10, 10, 10, (tick * 40 % 256, 80, 200))
        s.serve(encodings=("hextile",), period=0.1, change=change)

    srv = start(scenario)
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    kebwine.wait_until(lambda: expected(srv) is not None, 20, what="the first update")

    # Incremental requests: the viewer's timer also asks for a full update every 30 s.
    def requests():
        return len([m for m in srv.session.messages_of("FramebufferUpdateRequest") if m["incremental"]])
    window.post(WM_SYSCOMMAND, SC_MINIMIZE)
    kebwine.wait_until(lambda: window.refresh().data["style"] & WS_MINIMIZE, 20, what="the minimised frame")

    # The request in flight is answered (the desktop changes ten times a second); none
    # follows, while a viewer that is not dormant asks again within a fraction of a second.
    def last_request_answered():
        msgs = srv.session.messages_of("FramebufferUpdateRequest")
        updates = [u["t"] for u in srv.session.record["sent"] if u["what"] == "FramebufferUpdate"]
        return bool(msgs and updates and updates[-1] >= msgs[-1]["t"])
    kebwine.wait_until(last_request_answered, 20, what="the answer to the last request")
    before = requests()
    kebwine.never(lambda: requests() > before, 4.0, what="an update request while minimised")
    window.post(WM_SYSCOMMAND, SC_RESTORE)
    kebwine.wait_until(lambda: requests() > before, 20, what="a request after the restore")
    assert program.close() == 0


# Framebuffer size, and which scroll bars the frame then has on the 1280 x 1024 screen.
SIZES = [
    ((300, 200), False, False),
    ((1600, 1200), True, True),
    ((1600, 300), True, False),
    ((400, 1500), False, True),
]


@pytest.mark.parametrize("size,hbar,vbar", SIZES, ids=["%dx%d" % s[0] for s in SIZES])
def test_frame_takes_the_framebuffer_size_with_scroll_bars_when_larger(viewer, size, hbar, vbar):
    width, height = size
    srv = start(desktop(width, height))
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    kebwine.wait_until(lambda: expected(srv) is not None, 20, what="the first update")

    def sized():
        view = viewer_control(window)
        vl, vt, vr, vb = view["rect"]
        wl, wt, wr, wb = window.rect
        assert bool(window.data["style"] & WS_HSCROLL) == hbar
        assert bool(window.data["style"] & WS_VSCROLL) == vbar
        # The frame stays on the screen; the view is the framebuffer or the part that fits.
        assert wl >= 0 and wt >= 0 and wr <= 1280 and wb <= 1024, window.rect
        assert (vr - vl == width) == (not hbar) and vr - vl <= width
        assert (vb - vt == height) == (not vbar) and vb - vt <= height
        if not hbar and not vbar:
            assert window.client[2] - window.client[0] == width and window.client[3] - window.client[1] == height
        return view
    # The frame takes its size once the first update has come.
    view = kebwine.eventually(sized)
    vl, vt, vr, vb = view["rect"]

    # The view shows the top-left of the desktop; a page down moves it a quarter of the
    # visible height (within the framebuffer).
    full = expected(srv)
    w, h = vr - vl, vb - vt
    wait_picture_of(window, view, lambda: full[0:h, 0:w])
    if vbar:
        window.post(WM_VSCROLL, SB_PAGEDOWN)
        y = min(h // 4, height - h)
        wait_picture_of(window, view, lambda: full[y:y + h, 0:w])
    assert program.close() == 0


def wait_picture_of(window, control, want, timeout=20):
    def shown():
        try:
            shot = window.screenshot(control=control)
        except kebwine.HarnessError:
            return None
        return np.array_equal(shot, want()) or None
    kebwine.wait_until(shown, timeout, interval=0.2, what="the view's picture")


def test_automatic_scaling_fits_a_small_desktop_to_the_screen(viewer, program_dir):
    """On by default: the smaller of the two ratios of the work area (less the frame's
    borders) to the framebuffer, applied to both sides."""
    (program_dir / "options.keb").write_text("[options]\r\nAutoScaling=1\r\n")
    srv = start(desktop(320, 240))
    program = viewer("127.0.0.1::%d" % srv.port)
    window = frame(program)
    kebwine.wait_until(lambda: expected(srv) is not None, 20, what="the first update")

    def fitted():
        window.refresh()
        cw, ch = window.client[2] - window.client[0], window.client[3] - window.client[1]
        wl, wt, wr, wb = window.rect
        assert wl >= 0 and wt >= 0 and wr <= 1280 and wb <= 1024, window.rect
        percent = ch * 100 // 240
        assert 300 <= percent <= 420, (cw, ch)
        assert abs(cw - 320 * percent // 100) <= 4 and not window.data["style"] & (WS_HSCROLL | WS_VSCROLL), (cw, ch)
    kebwine.eventually(fitted)
    assert program.close() == 0


def test_reconnect_after_the_server_drops_the_connection(viewer):
    """The first connection shows one desktop and is dropped by the server; the caption
    names the attempts left while the viewer waits the reconnect delay, then the same
    window shows the second connection's desktop under its name."""
    seen = threading.Event()

    def scenario(s):
        from rfboracle import images
        if s.index == 0:
            s.desktop = images.pattern("solid:c81e1e", 120, 90)
            s.handshake(width=120, height=90, name="first")
            s.serve(encodings=("raw",), updates=1)
            seen.wait(60)  # while the test looks at it
            s.close()
        else:
            s.desktop = images.pattern("blocks", 120, 90)
            s.handshake(width=120, height=90, name="second")
            s.serve(encodings=("hextile",))

    srv = start(scenario, connections=2)
    # The reconnect delay leaves several seconds to see the window's title in between.
    program = viewer("-autoreconnect", "5", "-reconnectcounter", "2", "127.0.0.1::%d" % srv.port)
    window = frame(program)
    wait_picture(window, lambda: expected(srv, 0), exact)
    seen.set()
    kebwine.wait_until(lambda: "Connection dropped" in window.refresh().title or None, 20, what="the reconnect title")
    assert window.title == "Quillmar Remote - Connection dropped, trying to reconnect (2)"
    wait_picture(window, lambda: expected(srv, 1), exact, timeout=30)
    kebwine.wait_until(lambda: window.refresh().title == "second" or None, 20, what="the new desktop's name")
    assert frame(program).hwnd == window.hwnd
    assert program.close() == 0
    assert srv.wait(15) == 0, srv.report()


def test_reconnecting_gives_up_after_the_attempts(viewer):
    """A server that stays away: each attempt costs one, and after the last the window
    closes and the program ends."""
    def scenario(s):
        s.handshake(width=80, height=60)
        s.wait_for("FramebufferUpdateRequest")
        s.close()

    srv = start(scenario)
    # Each reconnect delay leaves several seconds to see the window's title.
    program = viewer("-autoreconnect", "4", "-reconnectcounter", "2", "127.0.0.1::%d" % srv.port)
    window = frame(program)
    titles = set()

    def ended():
        try:
            titles.add(window.refresh().title)
        except kebwine.HarnessError:
            pass
        return program.returncode is not None
    kebwine.wait_until(ended, 60, what="the program to end")
    assert "Quillmar Remote - Connection dropped, trying to reconnect (2)" in titles, titles
