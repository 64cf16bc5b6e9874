"""The viewer's hot keys under Wine against the scripted test server: the accelerators
(Ctrl+Alt+Shift+R asks for the whole screen, Ctrl+Alt+F3 switches view-only on and off),
none of them with "nohotkeys", and the keyboard hook that hands the Windows key to the
server while Scroll Lock is on and leaves it to the local desktop while it is off, for the
connection whose frame is in use, and the release on focus loss of what the hook's key
commands pressed. (The hook's Alt combinations are not driven here: Wine does not tell a
low-level hook that Alt is held; the table test covers them.)"""

import kebwine
from displaytest import exact, frame, wait_picture
from test_wine_frame import desktop, expected, full_requests, keys_of, start, xdotool, viewer_control

XK_A, XK_B, XK_R, XK_F3 = 0x61, 0x62, 0x72, 0xFFC0
XK_SUPER_L, XK_CONTROL_L = 0xFFEB, 0xFFE3
WM_SYSCOMMAND, CMD_CTRL_DOWN, CMD_SUPER_L_DOWN = 0x0112, 104, 605
VK_SCROLL = "0x91"


def typed_through(srv, window, vk, keysym):
    """Types a plain key and waits until it reaches the server: the viewer has handled
    every key typed before it (typed keys are handled in order)."""
    window.keys(vk=vk, real=True)
    kebwine.wait_until(lambda: (0, keysym) in keys_of(srv) or None, 20, what="the key %s at the server" % vk)


def connect(viewer, name, *args):
    srv = start(desktop(160, 100, name=name))
    program = viewer("127.0.0.1::%d" % srv.port, *args)
    window = frame(program)
    wait_picture(window, lambda: expected(srv), exact)
    return srv, program, window


def point_at_view(session, window):
    # X sends keys to the window under the pointer (there is no window manager).
    left, top = viewer_control(window)["rect"][:2]
    xdotool(session, "mousemove", left + 20, top + 20)
    window.focus()


def test_accelerators_refresh_and_view_only(viewer, session):
    srv, program, window = connect(viewer, "hot desk")
    point_at_view(session, window)

    before = full_requests(srv)
    xdotool(session, "key", "ctrl+alt+shift+r")
    kebwine.wait_until(lambda: full_requests(srv) > before or None, 10, what="a full update request")

    # Ctrl+Alt+F3: view only, the caption says so and typed keys stay here; again: back.
    window.keys(vk="CONTROL+ALT+F3", real=True)
    kebwine.wait_until(lambda: window.refresh().title == "hot desk viewonly" or None, 10, what="the view-only title")
    sent = len(keys_of(srv))
    # The accelerator is a typed key too: handled after the A, which stays here.
    window.keys(vk="0x41", real=True)
    window.keys(vk="CONTROL+ALT+F3", real=True)
    kebwine.wait_until(lambda: window.refresh().title == "hot desk" or None, 20, what="the normal title")
    typed_through(srv, window, "0x42", XK_B)
    assert (1, XK_A) not in keys_of(srv)[sent:], keys_of(srv)
    assert program.close() == 0


def test_nohotkeys_sends_the_combinations_to_the_server(viewer, session):
    srv, program, window = connect(viewer, "plain desk", "-nohotkeys")
    point_at_view(session, window)
    before = full_requests(srv)
    window.keys(vk="CONTROL+ALT+SHIFT+R", real=True)
    kebwine.wait_until(lambda: (1, XK_R) in [(d, k | 0x20) for d, k in keys_of(srv)] or None, 20,
                       what="the R of Ctrl+Alt+Shift+R at the server")
    # Ctrl+Alt+F3 reaches the server as well, after the R: nothing was asked for between,
    # and the caption stays.
    window.keys(vk="CONTROL+ALT+F3", real=True)
    kebwine.wait_until(lambda: (1, XK_F3) in keys_of(srv) or None, 20, what="the F3 of Ctrl+Alt+F3 at the server")
    assert full_requests(srv) == before
    assert window.refresh().title == "plain desk"
    assert program.close() == 0


def test_scroll_lock_hands_the_windows_key_to_the_server(viewer, session):
    srv, program, window = connect(viewer, "hook desk")
    point_at_view(session, window)

    def supers():
        return [d for d, k in keys_of(srv) if k == XK_SUPER_L]

    # Scroll Lock off: the Windows key is the local desktop's.
    window.keys(vk="LWIN", real=True)
    typed_through(srv, window, "0x41", XK_A)
    assert supers() == []
    # On: the hook turns it into Super_L pressed and released, and Print Screen into a
    # request for the whole screen.
    window.keys(vk=VK_SCROLL, real=True)
    try:
        window.keys(vk="LWIN", real=True)
        kebwine.wait_until(lambda: supers() == [1, 0] or None, 10, what="Super_L pressed and released")
        before = full_requests(srv)
        window.keys(vk="SNAPSHOT", real=True)
        kebwine.wait_until(lambda: full_requests(srv) > before or None, 10, what="a full update request")
    finally:
        window.keys(vk=VK_SCROLL, real=True)

    assert program.close() == 0


def test_one_hook_for_two_connections_of_one_viewer(viewer, session):
    """Two servers reach one listening viewer and share the one hook: the Windows key
    reaches the server of the frame in use, the newer or the older one, once; the keys a
    key command left pressed are released when that frame loses the focus, like typed
    ones; when the newer connection closes, the hook serves the first one alone."""
    port = kebwine.free_tcp_port()
    program = viewer("-listen", str(port), "-autoacceptincoming")
    kebwine.wait_until(lambda: kebwine.port_accepts(port), 10, what="the viewer to listen on %d" % port)
    servers, windows = [], []
    for name in ("first desk", "second desk"):
        srv = start(desktop(160, 100, name=name), connect=("127.0.0.1", port))
        window = program.window(title="^%s$" % name, timeout=30)
        kebwine.wait_until(lambda: srv.session and srv.session.messages_of("FramebufferUpdateRequest") or None, 20,
                           what="the connection to %s" % name)
        servers.append(srv)
        windows.append(window)

    def keysym(srv, key):
        return [d for d, k in keys_of(srv) if k == key]

    def supers(srv):
        return keysym(srv, XK_SUPER_L)

    point_at_view(session, windows[1])
    windows[1].keys(vk=VK_SCROLL, real=True)
    try:
        windows[1].keys(vk="LWIN", real=True)
        kebwine.wait_until(lambda: supers(servers[1]) == [1, 0] or None, 20, what="Super_L at the second server")
        # What the hook passes on is handled before a key typed after it.
        typed_through(servers[1], windows[1], "0x41", XK_A)
        assert supers(servers[1]) == [1, 0] and supers(servers[0]) == []

        # The older frame in use: its server gets the key, the newer one nothing more.
        point_at_view(session, windows[0])
        windows[0].keys(vk="LWIN", real=True)
        # (The hook posts each key to one frame: that the first server has it tells where it went.)
        kebwine.wait_until(lambda: supers(servers[0]) == [1, 0] or None, 10, what="Super_L at the first server")
        assert supers(servers[1]) == [1, 0]

        # The hook's presses of Ctrl and the Windows key (commands 104 and 605) with no
        # release yet: the other frame takes the focus, and both come up at the server.
        windows[0].post(WM_SYSCOMMAND, CMD_CTRL_DOWN)
        windows[0].post(WM_SYSCOMMAND, CMD_SUPER_L_DOWN)
        kebwine.wait_until(lambda: supers(servers[0]) == [1, 0, 1] and keysym(servers[0], XK_CONTROL_L) == [1]
                           or None, 10, what="Ctrl and Super_L pressed at the first server")
        point_at_view(session, windows[1])
        kebwine.wait_until(lambda: supers(servers[0]) == [1, 0, 1, 0] and keysym(servers[0], XK_CONTROL_L) == [1, 0]
                           or None, 10, what="Ctrl and Super_L released when the focus went")

        windows[1].close()
        windows[1].wait_gone()
        point_at_view(session, windows[0])
        windows[0].keys(vk="LWIN", real=True)
        kebwine.wait_until(lambda: supers(servers[0]) == [1, 0, 1, 0, 1, 0] or None, 10,
                           what="Super_L at the first server again")
    finally:
        windows[0].keys(vk=VK_SCROLL, real=True)
    windows[0].close()
    windows[0].wait_gone()
