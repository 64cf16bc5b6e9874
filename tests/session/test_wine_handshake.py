"""KEBviewer.exe under Wine completes the RFB handshake with the scripted test server,
TigerVNC's Xvnc and x11vnc, and sends its pixel format and encodings; the questions of
the handshake appear as task dialogs and are answered as a person would."""
import re
import socket
import subprocess
import threading

import pytest

import kebwine
import rfbserver
from rfboracle import clientmsg, vencrypt

# SetEncodings with the built-in options: ZRLE first (Opalo2 is replaced outside security
# type 17), every enabled encoding from 29 down, compression level 6, cursor shape and
# position, quality 8, then the fixed pseudo-encodings.
DEFAULT_ENCODINGS = [16, 29, 27, 26, 25, 19, 18, 17, 10, 9, 8, 7, 6, 5, 4, 2, 1, 0,
                     0xFFFFFF06, 0xFFFFFF11, 0xFFFFFF18, 0xFFFFFFE8,
                     0xFFFF000B, 0xFFFFFF20, 0xFFFFFF21, 0xFFFFFECC,
                     0xFFFF8000, 0xFFFF8001, 0xFFFF8004, 0xFFFF8002, 0xFFFF8003, 0xFFFF8005, 0xC0A1E5CE]
DEFAULT_ENCODINGS = [e - (1 << 32) if e >= 1 << 31 else e for e in DEFAULT_ENCODINGS]

RGB888 = {"bpp": 32, "depth": 24, "big_endian": 0, "true_colour": 1, "red_max": 255, "green_max": 255,
          "blue_max": 255, "red_shift": 16, "green_shift": 8, "blue_shift": 0}
RGB565_LE = dict(RGB888, bpp=16, depth=16, red_max=31, green_max=63, blue_max=31, red_shift=11, green_shift=5,
                 blue_shift=0)
COLOURMAP_ANSWER = dict(RGB888, bpp=16, depth=16, red_max=63, green_max=31, blue_max=31, red_shift=0,
                        green_shift=6, blue_shift=11)

CHOICE_TITLE = "^Brandwyn Viewer$"


def server(scenario, **params):
    return rfbserver.Server(scenario, params=params, timeout=60, quiet=True).start()


def messages(srv):
    return srv.session.record["messages"] if srv.session else []


def wait_for_format_and_encodings(srv, timeout=30):
    def done():
        names = [m.get("name") for m in messages(srv)]
        return "SetEncodings" in names or None
    kebwine.wait_until(done, timeout, interval=0.05, what="SetEncodings from the viewer; server log:\n%s"
                       % srv.report())
    return messages(srv)


def check_format_and_encodings(msgs, pixel_format=RGB888):
    assert [m["name"] for m in msgs[:2]] == ["SetPixelFormat", "SetEncodings"], msgs
    pf = {k: v for k, v in msgs[0]["pixel_format"].items() if k in pixel_format}
    assert pf == pixel_format
    assert msgs[1]["encodings"] == DEFAULT_ENCODINGS
    for m in msgs:
        assert "unexpected" not in m, m


def finish(srv, program):
    program.kill()
    srv.stop()
    srv.wait(10)


@pytest.mark.parametrize("scenario,client_version,pixel_format", [
    ("handshake-38-none", "RFB 003.008\n", RGB888),
    ("handshake-37-none", "RFB 003.007\n", RGB888),
    ("handshake-36-none", "RFB 003.006\n", RGB888),
    ("handshake-35", "RFB 003.008\n", RGB888),
    ("handshake-34-none", "RFB 003.004\n", RGB888),
    ("handshake-33-none", "RFB 003.003\n", RGB888),
    ("handshake-39", "RFB 003.008\n", RGB888),
    ("serverinit-16bpp-be", "RFB 003.008\n", RGB565_LE),
    ("serverinit-colourmap", "RFB 003.008\n", COLOURMAP_ANSWER),
    ("serverinit-size-odd", "RFB 003.008\n", RGB888),
    ("serverinit-name-empty", "RFB 003.008\n", RGB888),
    ("sec-116", "RFB 003.008\n", RGB888),
])
def test_scripted_server_handshake(viewer, scenario, client_version, pixel_format):
    srv = server(scenario)
    program = viewer("127.0.0.1::%d" % srv.port)
    msgs = wait_for_format_and_encodings(srv)
    hs = srv.session.record["handshake"]
    assert hs["completed"], srv.report()
    assert hs["client_version"] == client_version
    assert hs["clientinit_flags"] == 1  # shared; a standard server reads just this byte
    check_format_and_encodings(msgs, pixel_format)
    # The viewer goes on: it takes the first update and asks for the next.
    kebwine.wait_until(lambda: any(m["incremental"] for m in srv.session.messages_of("FramebufferUpdateRequest")),
                       30, what="an incremental update request; server log:\n%s" % srv.report())
    assert program.returncode is None
    finish(srv, program)


def test_info_message_goes_into_client_init_when_the_server_asks(viewer):
    srv = server("sec-117")
    program = viewer("127.0.0.1::%d" % srv.port, "-InfoMsg", "Helpdesk call 42")
    check_format_and_encodings(wait_for_format_and_encodings(srv))
    hs = srv.session.record["handshake"]
    assert hs["clientinit_flags"] == 3
    assert hs["info_msg"] == "Helpdesk call 42"
    finish(srv, program)


def accept_question(program, button):
    box = program.window(title=CHOICE_TITLE)
    texts = box.message
    box.click(text="^%s$" % re.escape(button), how="send")
    return texts


@pytest.mark.parametrize("version", ["314", "316", "318"])
def test_server_text_of_extended_versions_is_asked(viewer, version):
    srv = server("handshake-%s-text" % version)
    program = viewer("127.0.0.1::%d" % srv.port)
    shown = accept_question(program, "Accept incoming Connection")
    assert shown.split("\n")[-1] == "Accept test server?"  # the scenario's text, as the server sent it
    check_format_and_encodings(wait_for_format_and_encodings(srv))
    hs = srv.session.record["handshake"]
    assert hs["extra_text_answer"] == 1
    assert hs["client_version"] == "RFB 003.0%s\n" % version[1:]
    finish(srv, program)


def test_security_type_104_text_is_asked(viewer):
    srv = server("sec-104")
    program = viewer("127.0.0.1::%d" % srv.port)
    shown = accept_question(program, "Accept incoming Connection")
    assert "Allow the test server's user in?" in shown
    check_format_and_encodings(wait_for_format_and_encodings(srv))
    assert srv.session.record["handshake"]["rounds"][0]["answer"] == 1
    finish(srv, program)


def test_helpdesk_list_of_type_105(viewer):
    srv = server("sec-105")
    program = viewer("127.0.0.1::%d" % srv.port)
    box = program.window(title="^Quillmar Remote - Helpdesk$")
    box.keys(vk="DOWN", id=1176)
    box.keys(vk="DOWN", id=1176)
    box.click(text="^OK$", how="send")
    check_format_and_encodings(wait_for_format_and_encodings(srv))
    assert srv.session.record["handshake"]["rounds"][0]["answer"] == 2
    finish(srv, program)


def test_long_desktop_name_is_accepted_and_cut(viewer, tmp_path):
    log = tmp_path / "viewer.log"
    srv = server("serverinit-name-3000")
    program = viewer("127.0.0.1::%d" % srv.port, "-loglevel", "10", "-logfile", kebwine.win_path(log))
    accept_question(program, "Connect")
    check_format_and_encodings(wait_for_format_and_encodings(srv))
    text = log.read_text(errors="replace")
    assert "Read a 2024-byte string" in text
    name = re.search(r'Desktop name "([^"]*)"', text).group(1)
    assert len(name) == 256 and name.startswith("Test desktop name")
    finish(srv, program)


def test_oversize_framebuffer_refused_ends_quietly(viewer):
    srv = server("serverinit-size-huge")
    program = viewer("127.0.0.1::%d" % srv.port)
    accept_question(program, "Don't connect")
    # No box follows: the program ends (its only connection is gone) without a message.
    assert program.wait(20) == 0
    assert [m.get("name") for m in messages(srv)] == []
    srv.wait(10)


def test_oversize_framebuffer_accepted(viewer):
    srv = server("serverinit-size-huge")
    program = viewer("127.0.0.1::%d" % srv.port)
    accept_question(program, "Connect")
    # The update requests that follow are for the 1024 x 800 pixels the viewer takes in
    # place of the server's size, so the server finds them outside its framebuffer.
    check_format_and_encodings(wait_for_format_and_encodings(srv)[:2])
    finish(srv, program)


def test_silent_server_ends_with_a_message_instead_of_hanging(viewer, tmp_path):
    srv = server("silent")
    log = tmp_path / "viewer.log"
    program = viewer("127.0.0.1::%d" % srv.port, "-fttimeout", "2", "-loglevel", "1", "-logfile",
                     kebwine.win_path(log))
    kebwine.wait_until(lambda: srv.session, 30, what="the viewer to connect")
    box = program.window(title="Quillmar Remote - Information", timeout=40)
    assert "Error reading Protocol Version" in box.message
    # Ended by the read's time-out, while the server was still there and silent.
    assert not srv.session.peer_closed
    assert "Error reading protocol version: rdr::TimedOut" in log.read_text(errors="replace")
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0
    srv.stop()
    srv.wait(10)


def test_repeater_gets_the_target_field(viewer):
    srv = server("repeater-00")
    program = viewer("target.example::5901", "-proxy", "127.0.0.1::%d" % srv.port)
    check_format_and_encodings(wait_for_format_and_encodings(srv))
    hs = srv.session.record["handshake"]
    assert hs["repeater_target"] == "TARGET.EXAMPLE:5901"  # host names are kept in capitals
    assert hs["repeater_padding_ok"]
    finish(srv, program)


# ---- Real servers ----

class Relay:
    """Forwards one TCP connection to a real server and keeps what the viewer sent."""

    def __init__(self, port):
        self.target = port
        self.sent = bytearray()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(60)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _pump(self, src, dst, keep):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if keep:
                    with self.lock:
                        self.sent += data
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _run(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        upstream = socket.create_connection(("127.0.0.1", self.target), timeout=10)
        upstream.settimeout(None)
        client.settimeout(None)
        threading.Thread(target=self._pump, args=(upstream, client, False), daemon=True).start()
        self._pump(client, upstream, True)

    def client_messages(self, handshake_bytes):
        """The client messages after the handshake bytes, parsed by the test server's parser."""
        with self.lock:
            data = bytes(self.sent[handshake_bytes:])
        pos = 0

        def read(n):
            nonlocal pos
            if pos + n > len(data):
                raise EOFError
            chunk = data[pos:pos + n]
            pos += n
            return chunk
        out = []
        while True:
            try:
                out.append(clientmsg.parse(read, clientmsg.ParseOptions()))
            except EOFError:
                return out

    def asks_for_the_next_update(self, handshake_bytes):
        """The viewer took the server's first update and asked for the next: the server
        took its pixel format and encodings and the session goes on."""
        return any(m.get("name") == "FramebufferUpdateRequest" and m.get("incremental")
                   for m in self.client_messages(handshake_bytes))

    def close(self):
        self.listener.close()


def test_xvnc_handshake(viewer, session):
    xvnc = session.xvnc(320, 200)
    relay = Relay(xvnc.port)
    program = viewer("127.0.0.1::%d" % relay.port)
    # 12 version bytes, the security-type choice and ClientInit come first.
    msgs = kebwine.wait_until(lambda: (lambda m: m if len(m) >= 2 else None)(relay.client_messages(14)), 30,
                              what="SetPixelFormat and SetEncodings through the relay")
    assert bytes(relay.sent[:14]) == b"RFB 003.008\n\x01\x01"
    check_format_and_encodings(msgs)
    kebwine.wait_until(lambda: "Client pixel format depth 24 (32bpp) little-endian rgb888" in xvnc.log_text(), 30,
                       what="Xvnc to take the pixel format")
    kebwine.wait_until(lambda: relay.asks_for_the_next_update(14), 30, what="an incremental update request")
    after = xvnc.log_text().split("Client pixel format")[-1]
    assert "closing" not in after, xvnc.log_text()  # Xvnc took SetEncodings as well
    program.kill()
    relay.close()


@pytest.mark.parametrize("version", ["3.3", "3.7", "3.8"])
def test_x11vnc_handshake(viewer, session, tmp_path, version):
    with kebwine.Xvfb(320, 200) as display:
        port = kebwine.free_tcp_port()
        log = tmp_path / "x11vnc.log"
        with open(log, "wb") as out:
            x11vnc = subprocess.Popen(["x11vnc", "-display", display.display, "-rfbport", str(port), "-localhost",
                                       "-rfbversion", version, "-nopw", "-once", "-noxdamage"],
                                      stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                      start_new_session=True, preexec_fn=kebwine._die_with_parent)
        try:
            kebwine.wait_until(lambda: kebwine.port_accepts(port), 20, what="x11vnc to listen")
            relay = Relay(port)
            program = viewer("127.0.0.1::%d" % relay.port)
            expected = ["Client Protocol Version %s" % version,
                        "Pixel format for client 127.0.0.1:",
                        "32 bpp, depth 24, little endian",
                        "true colour: max r 255 g 255 b 255, shift r 16 g 8 b 0",
                        "Using compression level 6 for client",
                        "Enabling full-color cursor updates for client",
                        "Using image quality level 8 for client",
                        "Enabling LastRect protocol extension for client",
                        "Enabling ExtDesktopSize protocol extension for client",
                        "Using ZRLE encoding for client"]
            kebwine.wait_until(lambda: all(e in log.read_text(errors="replace") for e in expected), 30,
                               what="x11vnc to log the viewer's format and encodings")
            # 12 version bytes, the security-type choice (not in 3.3) and ClientInit.
            kebwine.wait_until(lambda: relay.asks_for_the_next_update(13 if version == "3.3" else 14), 30,
                               what="an incremental update request")
            assert "viewer exited" not in log.read_text(errors="replace")
            program.kill()
            relay.close()
        finally:
            kebwine._stop_process(x11vnc)


@pytest.mark.parametrize("args,listen", [
    (["LOCALHOST::%d"], "127.0.0.1"),
    (["-ipv6", "[::1]::%d"], "::1"),
    (["-ipv6", "localhost::%d"], "127.0.0.1"),
    (["-ipv6", "127.0.0.1::%d"], "127.0.0.1"),
])
def test_names_and_address_families(viewer, args, listen):
    srv = rfbserver.Server("handshake-38-none", host=listen, timeout=60, quiet=True).start()
    program = viewer(*[a % srv.port if "%d" in a else a for a in args])
    check_format_and_encodings(wait_for_format_and_encodings(srv))
    finish(srv, program)


def test_refused_connection_is_reported(viewer):
    port = kebwine.free_tcp_port()
    program = viewer("127.0.0.1::%d" % port)
    box = program.window(title="Quillmar Remote - Information", timeout=30)
    assert "Failed to connect to the server" in box.message
    assert "50195" in box.message  # the error number
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0


@pytest.mark.parametrize("with_dll", [False, True], ids=["exe", "keblang"])
@pytest.mark.parametrize("params,args,text", [
    (dict(sectypes=[99], stall_at="sectypes"), [], "No supported authentication methods!"),
    # A failure of a security scheme's own (MS-Logon II's key agreement).
    (dict(sectypes=[113], dh={"generator": 2, "modulus": 0}, expect={"peer_closed_at": "choice"}),
     ["-user", "kim", "-password", "secret"], "The server's key agreement values were refused"),
    # VeNCrypt's own negotiation: a sub-type list with nothing the viewer takes (no TLS is
    # reached, so the server needs no certificate).
    (dict(sectypes=[19], auth=vencrypt.vencrypt_auth(None, None, subtypes=(258,)),
          expect={"peer_closed_at": "choice"}), [], "No valid sub-type"),
], ids=["negotiation", "scheme", "vencrypt"])
def test_handshake_failures_are_told_in_the_language_of_the_texts(viewer, program_dir, with_dll, params, args, text):
    """The texts of the handshake's failures come from the string table: with the test
    language module beside the program, its text is shown."""
    import shutil
    if with_dll:
        dll = kebwine.lang_dll()
        if not dll.exists():
            pytest.skip("the test language module is not built: %s" % dll)
        shutil.copy2(str(dll), str(program_dir / "keblang.dll"))
    srv = server(lambda s: s.handshake(**params))
    program = viewer("127.0.0.1::%d" % srv.port, *args)
    box = program.window(title="Quillmar Remote - Information", timeout=30)
    text += " (language module)" if with_dll else ""
    assert text in box.message, box.statics
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0
    finish(srv, program)
