"""Password authentication (security type 2) end to end: KEBviewer.exe under Wine against
the scripted test server (which checks the DES response with its own DES), x11vnc and
TigerVNC's Xvnc with VNC passwords. The password comes from the command line, or a person
types it into the password dialog and presses Log in."""
import subprocess

import pytest

import kebwine
import rfbserver

AUTH_TITLE = r"^Quillmar Remote - Authentication   127\.0\.0\.1:%d$"
FAILURE_TITLE = "Quillmar Remote - Information"
PASSWORD_FIELD = 1006


def scripted(**handshake):
    return rfbserver.Server({"handshake": handshake}, timeout=60, quiet=True).start()


def handshake_done(srv, timeout=30, program=None):
    """The scripted server's handshake record once the viewer's SetEncodings arrived."""
    def done():
        msgs = srv.session.record["messages"] if srv.session else []
        return "SetEncodings" in [m.get("name") for m in msgs] or None
    try:
        kebwine.wait_until(done, timeout, interval=0.05, what="the handshake")
    except kebwine.Timeout as e:
        # What the viewer shows and what the server saw when the wait gave up.
        shown = [(w.title, w.heading) for w in program.windows()] if program else "?"
        raise kebwine.Timeout("%s; viewer's windows: %s; server log:\n%s" % (e, shown, srv.report()))
    return srv.session.record["handshake"]


def finish(srv, program):
    program.kill()
    srv.stop()
    srv.wait(10)


def type_password(program, port, text, shown=None):
    """A person types text into the password dialog, sees it there (shown, by default the
    whole text) and presses Log in."""
    dialog = program.window(title=AUTH_TITLE % port)
    assert [c["id"] for c in dialog.controls if c["class"].lower() == "edit"] == [PASSWORD_FIELD]
    dialog.keys(chars=text, id=PASSWORD_FIELD)
    shown = text if shown is None else shown
    field = lambda: dialog.refresh().control(id=PASSWORD_FIELD)["text"]
    kebwine.wait_until(lambda: field() == shown or None, 10, what="the password field to show %r" % shown)
    # Posted as the keys were, so the dialog takes every key (or refuses it) before the
    # button's command.
    dialog.click(text="^Log in$", how="command")
    dialog.wait_gone()


# ---- The scripted server ----

def test_command_line_password(viewer):
    srv = scripted(sectypes=[1, 2], password="test")
    program = viewer("127.0.0.1::%d" % srv.port, "-password", "test")
    hs = handshake_done(srv, program=program)
    assert hs["rounds"][0]["choice"] == 2
    assert hs["rounds"][0]["password_ok"], hs
    # Connected, no box: the viewer takes the first update and asks for the next.
    kebwine.wait_until(lambda: any(m["incremental"] for m in srv.session.messages_of("FramebufferUpdateRequest")),
                       30, what="an incremental update request")
    assert program.returncode is None
    finish(srv, program)


def test_password_typed_into_the_dialog_is_cut_to_eight_characters(viewer):
    srv = scripted(sectypes=[2], password="12345678")
    program = viewer("127.0.0.1::%d" % srv.port)
    type_password(program, srv.port, "123456789", shown="12345678")  # the field takes eight
    hs = handshake_done(srv)
    assert hs["rounds"][0]["password_ok"], hs
    finish(srv, program)


def test_cancelled_dialog_ends_quietly(viewer):
    srv = scripted(sectypes=[2], password="test", expect={"peer_closed_at": "choice"})
    program = viewer("127.0.0.1::%d" % srv.port)
    dialog = program.window(title=AUTH_TITLE % srv.port)
    dialog.click(text="^Cancel$", how="send")
    assert program.wait(20) == 0
    assert "des_response" not in srv.session.record["handshake"]["rounds"][0]
    srv.wait(10)


def test_wrong_password_shows_the_servers_reason(viewer):
    srv = scripted(sectypes=[2], password="test", result=1, result_reason="Password check failed")
    program = viewer("127.0.0.1::%d" % srv.port, "-password", "wrong")
    box = program.window(title=FAILURE_TITLE, timeout=30)
    assert "Password check failed" in box.message
    assert srv.session.record["handshake"]["rounds"][0]["password_ok"] is False
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0
    srv.wait(10)


# ---- Real servers ----

def store_password(path, password):
    """A VNC password file as x11vnc -storepasswd writes it (Xvnc reads the same format)."""
    subprocess.run(["x11vnc", "-storepasswd", password, str(path)], check=True, timeout=30,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert path.stat().st_size == 8


class X11vnc:
    def __init__(self, display, log, auth):
        self.port = kebwine.free_tcp_port()
        self.log = log
        with open(log, "wb") as out:
            self.proc = subprocess.Popen(["x11vnc", "-display", display.display, "-rfbport", str(self.port),
                                          "-localhost", "-once", "-noxdamage"] + auth,
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                         start_new_session=True, preexec_fn=kebwine._die_with_parent)
        kebwine.wait_until(lambda: kebwine.port_accepts(self.port), 20, what="x11vnc to listen")

    def text(self):
        return self.log.read_text(errors="replace")

    def wait_for(self, *lines, timeout=30):
        kebwine.wait_until(lambda: all(line in self.text() for line in lines), timeout,
                           what="x11vnc to log %s; its log:\n%s" % (lines, self.text()))

    def stop(self):
        kebwine._stop_process(self.proc)


X11VNC_CONNECTED = ("Pixel format for client 127.0.0.1:", "Using ZRLE encoding for client")


@pytest.fixture
def x11vnc_server(tmp_path):
    started = []

    def start(auth):
        display = kebwine.Xvfb(320, 200)
        server = X11vnc(display, tmp_path / ("x11vnc-%d.log" % len(started)), auth)
        started.append((server, display))
        return server
    yield start
    for server, display in started:
        server.stop()
        display.stop()


@pytest.mark.parametrize("auth", ["passwd", "rfbauth"])
def test_x11vnc_with_the_command_line_password(viewer, x11vnc_server, tmp_path, auth):
    if auth == "passwd":
        args = ["-passwd", "secret"]
    else:
        store_password(tmp_path / "passwd", "secret")
        args = ["-rfbauth", str(tmp_path / "passwd")]
    server = x11vnc_server(args)
    program = viewer("127.0.0.1::%d" % server.port, "-password", "secret")
    server.wait_for(*X11VNC_CONNECTED)
    # The session is up in its window.
    program.window(cls="^KEBMDI_Window$", timeout=30)
    assert program.returncode is None
    assert "viewer exited" not in server.text()
    program.kill()


def test_x11vnc_with_the_password_typed(viewer, x11vnc_server):
    server = x11vnc_server(["-passwd", "secret"])
    program = viewer("127.0.0.1::%d" % server.port)
    type_password(program, server.port, "secret")
    server.wait_for(*X11VNC_CONNECTED)
    program.kill()


def test_x11vnc_refuses_a_wrong_password(viewer, x11vnc_server):
    server = x11vnc_server(["-passwd", "secret"])
    program = viewer("127.0.0.1::%d" % server.port)
    type_password(program, server.port, "guess")
    box = program.window(title=FAILURE_TITLE, timeout=30)
    server.wait_for("authProcessClientMessage: authentication failed")
    assert "password check failed!" in box.message  # x11vnc's reason, as it sent it
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0


@pytest.mark.parametrize("password,accepted", [("secret", True), ("secreT", False)])
def test_xvnc_with_a_password_file(viewer, session, tmp_path, password, accepted):
    store_password(tmp_path / "passwd", "secret")
    xvnc = session.xvnc(320, 200, extra=["-SecurityTypes", "VncAuth", "-PasswordFile", str(tmp_path / "passwd")])
    program = viewer("127.0.0.1::%d" % xvnc.port, "-password", password)
    if accepted:
        kebwine.wait_until(lambda: "Client pixel format" in xvnc.log_text(), 30,
                           what="Xvnc to take the pixel format; its log:\n%s" % xvnc.log_text())
        # The session is up in its window.
        program.window(cls="^KEBMDI_Window$", timeout=30)
        assert program.returncode is None
        program.kill()
    else:
        box = program.window(title=FAILURE_TITLE, timeout=30)
        assert "Authentication failure" in box.message  # Xvnc's reason, as it sent it
        box.click(text="^Close$", how="send")
        assert program.wait(20) == 0
        assert "Client pixel format" not in xvnc.log_text()
