"""Encryption plug-ins end to end: KEBviewer.exe under Wine with the test plug-in libraries
(tests/plugin/testplugin.c) in its folder, named with -dsmplugin, against the scripted
server speaking the plug-in's cipher (rfboracle/plugin.py): the library's stream transform
from the first byte with the old message form until both sides stream, a per-connection
channel, the integrated interface with security types 115 and 114, and libraries that
cannot be used."""
import os
import shutil
import struct
from pathlib import Path

import pytest

import kebwine
import rfbserver
from displaytest import exact, frame, wait_picture
from rfboracle import images, plugin
from rfbserver import rect

PLUGIN_ENCODINGS = 0xC0A1E5CF
PLUGIN_DIR = Path(os.environ.get("KEB_TESTPLUGIN_DIR", kebwine.BINARY_DIR / "tests" / "testplugins"))


def install(program_dir, name, as_name=None):
    src = PLUGIN_DIR / (name + ".dsm")
    if not src.exists():
        pytest.skip("test plug-in missing: %s" % src)
    dst = program_dir / (as_name or name + ".dsm")
    shutil.copy2(str(src), str(dst))
    return dst


def picture_scenario(handshake, channel=None, old_form=False, after=None):
    """Handshake, then a picture in Hextile answered to every request. With old_form the
    viewer sends each message after its type byte alone until it streams; the server
    makes it stream with message 80 (sent in the old form itself: type byte, then the
    whole message)."""
    def scenario(s):
        s.desktop = images.pattern("demo", 160, 100)
        s.channel = channel
        s.lone_type_bytes = old_form
        s.handshake(width=160, height=100, **handshake)
        if after:
            after(s)
        if old_form:
            s.send_raw(bytes([80]))
            s.send_raw(bytes([80, 0, 0, 0]))
            s.wait_for("PluginStreaming")
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("hextile", 0, 0, 160, 100)])
        s.serve(encodings=("hextile",))
    return scenario


def start(scenario):
    return rfbserver.Server(scenario, timeout=120, quiet=True).start()


def expected(srv):
    if srv.session is None:
        return None
    view, known = srv.session.expected_view()
    return view if known.all() else None


def encodings(srv):
    return [e & 0xFFFFFFFF for e in srv.session.messages_of("SetEncodings")[0]["encodings"]]


def test_stream_plugin_from_the_first_byte(viewer, program_dir, tmp_path):
    """The library's own transform keyed by the password (it asks for it); the password
    scheme runs inside it; messages go in the old form until message 80 is exchanged."""
    install(program_dir, "KEBTestStream")
    channel = plugin.StreamChannel(plugin.key_of("pw"))
    srv = start(picture_scenario({"sectypes": [2], "password": "pw"}, channel, old_form=True))
    program = viewer("-dsmplugin", "KEBTestStream.dsm", "-password", "pw", "127.0.0.1::%d" % srv.port)
    window = frame(program)
    wait_picture(window, lambda: expected(srv), exact, save_to=tmp_path / "stream")
    hs = srv.session.record["handshake"]
    assert hs["rounds"][0]["password_ok"], hs
    assert "KEB test stream-v1.0.0" in window.refresh().title
    assert PLUGIN_ENCODINGS in encodings(srv)
    assert not srv.session.record["unexpected"], srv.report()
    assert program.close() == 0


def test_per_connection_channel(viewer, program_dir, tmp_path):
    install(program_dir, "KEBTestChannel")
    channel = plugin.RecordChannel(plugin.key_of("NoPassword"))
    srv = start(picture_scenario({"sectypes": [2], "password": "pw"}, channel))
    program = viewer("-dsmplugin", "KEBTestChannel.dsm", "-password", "pw", "127.0.0.1::%d" % srv.port)
    wait_picture(frame(program), lambda: expected(srv), exact, save_to=tmp_path / "channel")
    assert channel.records_read > 3  # the viewer's messages came as records
    assert program.close() == 0


def test_integrated_plugin_with_secure_plugin_authentication(viewer, program_dir, tmp_path):
    """Type 115: the challenge keyed by the known password, the response, then the
    password message and the session inside the channel the round keyed."""
    install(program_dir, "KEBTestAuth")
    record = {}
    auth = plugin.secure_plugin_auth("secret", [b"first challenge"], mode=1, expect_password="secret",
                                     record=record)
    srv = start(picture_scenario({"sectypes": [2, 115], "auth": auth}))
    program = viewer("-dsmplugin", "KEBTestAuth.dsm", "-password", "secret", "127.0.0.1::%d" % srv.port)
    wait_picture(frame(program), lambda: expected(srv), exact, save_to=tmp_path / "integrated")
    assert srv.session.record["handshake"]["rounds"][0]["choice"] == 115
    assert record["responses_ok"] == [True]
    assert record["passwords"] == ["secret"]
    assert program.close() == 0


def test_older_plugin_scheme_warns_and_asks_for_the_key(viewer, program_dir, tmp_path):
    """Type 114 without a known password: the upgrade warning, then the key dialog of an
    older server (eight characters for a plug-in that takes only short keys)."""
    install(program_dir, "KEBTestAuth")
    record = {}
    auth = plugin.secure_plugin_auth("12345678", [b"Legacy challenge"], record=record)
    srv = start(picture_scenario({"sectypes": [114], "auth": auth, "result": None}))
    program = viewer("-dsmplugin", "KEBTestAuth.dsm", "127.0.0.1::%d" % srv.port)
    dialog = program.window(title=r"^Quillmar Remote - WARNING: Upgrade server\.\.\.   127\.0\.0\.1:%d$" % srv.port,
                            timeout=30)
    dialog.set_text("123456789", id=1006)
    dialog.click(text="^Log in$", how="send")
    wait_picture(frame(program), lambda: expected(srv), exact, save_to=tmp_path / "older")
    assert record["responses_ok"] == [True]
    assert program.close() == 0


FAILURE_TITLE = "Quillmar Remote - Information"
AUTH_TITLE = r"^Quillmar Remote - Authentication   127\.0\.0\.1:%d$"


@pytest.mark.parametrize("how", ["plug-in without a text", "cancelled"])
def test_failed_plugin_scheme_tells_why(viewer, program_dir, how):
    """Type 115 ends with a message that says what happened: the test plug-in refuses a
    challenge beginning with "Q" and has no text of its own for it; a password dialog
    cancelled after the response sends a zero length and ends with "Authentication
    cancelled"."""
    install(program_dir, "KEBTestAuth")
    record = {}
    if how == "cancelled":
        auth = plugin.secure_plugin_auth("", [b"No key needed"], mode=1, record=record)
        text = "Authentication cancelled"
    else:
        auth = plugin.secure_plugin_auth("pw", [b"Quiet refusal"], mode=1, record=record)
        text = "SecureKEB Plugin authentication failed"
    srv = start(picture_scenario({"sectypes": [115], "auth": auth, "expect": {"peer_closed_at": "choice"}}))
    args = ["-dsmplugin", "KEBTestAuth.dsm"] + (["-password", "pw"] if how != "cancelled" else [])
    program = viewer(*(args + ["127.0.0.1::%d" % srv.port]))
    if how == "cancelled":
        dialog = program.window(title=AUTH_TITLE % srv.port, timeout=30)
        dialog.click(text="^Cancel$", how="send")
    box = program.window(title=FAILURE_TITLE, timeout=30)
    assert text in box.message, box.message
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0
    srv.wait(10)
    if how == "cancelled":
        assert record["responses_ok"] == [True] and record["passwords"] == [""], record
    else:
        assert record["responses"] == [], record  # no response went out


def test_plugin_that_cannot_be_loaded_leaves_a_plain_connection(viewer, program_dir):
    srv = start(picture_scenario({"sectypes": [2], "password": "pw"}))
    program = viewer("-dsmplugin", "Missing.dsm", "-password", "pw", "127.0.0.1::%d" % srv.port)
    box = program.box(heading="^Plugin Loading$")
    assert box.body.startswith("The Plugin cannot be loaded.")
    box.click(text="^OK$", how="send")
    frame(program)
    kebwine.wait_until(lambda: srv.session and srv.session.messages_of("SetEncodings") or None, 20,
                       what="a plain handshake")
    assert PLUGIN_ENCODINGS not in encodings(srv)
    assert program.close() == 0


def test_32_bit_plugin_is_refused(viewer, program_dir):
    """A library whose PE header names machine 0x014C."""
    path = install(program_dir, "KEBTestStream", "Old.dsm")
    data = bytearray(path.read_bytes())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    struct.pack_into("<H", data, pe + 4, 0x014C)
    path.write_bytes(bytes(data))
    srv = start(picture_scenario({"sectypes": [2], "password": "pw"}))
    program = viewer("-dsmplugin", "Old.dsm", "-password", "pw", "127.0.0.1::%d" % srv.port)
    box = program.box(heading="^Brandwyn - Plugin$")
    assert box.body == "The encryption plugin has wrong arch (x86)"
    box.click(text="^OK$", how="send")
    box = program.box(heading="^Plugin Loading$")
    box.click(text="^OK$", how="send")
    frame(program)
    program.close()


def test_old_form_bell_and_monitor_message_carry_one_type_byte(viewer, program_dir, tmp_path):
    """Before streaming, the server repeats each message's type byte behind the lone one:
    two bells ring twice, not four times; the viewer's answer to an ExtendedDesktopSize
    (message 251, with "ChangeServerRes") comes after its type byte alone like the others."""
    install(program_dir, "KEBTestStream")
    (program_dir / "options.keb").write_text("[options]\r\nChangeServerRes=1\r\n")
    log = tmp_path / "viewer.log"
    channel = plugin.StreamChannel(plugin.key_of("pw"))

    def after(s):
        s.wait_for("FramebufferUpdateRequest")
        for _ in range(2):
            s.send_raw(bytes([2]))
            s.send_raw(bytes([2]))
        s.send_raw(bytes([0]))
        s.send_update([rect("extdesktopsize", 0, 0, 160, 100)])
        s.wait_for("MonitorInfo")
    srv = start(picture_scenario({"sectypes": [2], "password": "pw"}, channel, old_form=True, after=after))
    program = viewer("-dsmplugin", "KEBTestStream.dsm", "-password", "pw", "-loglevel", "6", "-logfile",
                     kebwine.win_path(log), "127.0.0.1::%d" % srv.port)
    wait_picture(frame(program), lambda: expected(srv), exact, save_to=tmp_path / "old-form")
    assert srv.session.messages_of("MonitorInfo")
    assert not srv.session.record["unexpected"], srv.report()
    assert program.close() == 0
    assert log.read_text(errors="replace").count("Bell!") == 2


def listening_attempt(viewer, channel):
    """In listening mode no connect step opens the status window: the handshake does.
    The server then goes, which ends the attempt."""
    port = kebwine.free_tcp_port()
    program = viewer("-listen", str(port), "-dsmplugin", "KEBTestStream.dsm", "-password", "pw")
    program.window(title="^KEBviewer Daemon$", hidden=True, timeout=30)
    srv = rfbserver.Server(lambda s: s.handshake(stall_at="accept"), connect=("127.0.0.1", port), timeout=60,
                           quiet=True).start()
    return program, srv, srv.stop


def reconnect_attempt(viewer, channel):
    """A running session is lost: the reconnect's attempt shows the window again, and it
    goes when the server has let the reconnect be made."""
    import threading
    gate = threading.Event()

    def session(s):
        # Each connection's stream starts the cipher afresh.
        s.channel = channel if s.index == 0 else plugin.StreamChannel(plugin.key_of("pw"))
        s.lone_type_bytes = True
        s.handshake(width=160, height=100, sectypes=[2], password="pw")
        s.send_raw(bytes([80]))
        s.send_raw(bytes([80, 0, 0, 0]))
        s.wait_for("PluginStreaming")
        s.wait_for("FramebufferUpdateRequest")

    def scenario(s):
        if s.index == 1:
            gate.wait(60)
            session(s)
            s.wait_closed(60)
            return
        session(s)
        s.close()
    srv = rfbserver.Server(scenario, connections=2, timeout=120, quiet=True).start()
    program = viewer("-dsmplugin", "KEBTestStream.dsm", "-password", "pw", "-reconnectcounter", "2",
                     "-autoreconnect", "1", "127.0.0.1::%d" % srv.port)
    frame(program)
    kebwine.wait_until(lambda: len(srv.sessions) == 2, 60, what="the reconnect")

    def made():
        gate.set()
        kebwine.wait_until(lambda: srv.sessions[1].messages_of("FramebufferUpdateRequest"), 30,
                           what="the reconnect to be made; server log:\n%s" % srv.report())
    return program, srv, made


@pytest.mark.parametrize("attempt", [listening_attempt, reconnect_attempt], ids=["listening", "reconnect"])
def test_status_window_names_the_encryption_on_every_attempt(viewer, program_dir, attempt):
    """With a plug-in every connection attempt opens the status window, which says
    "Encryption**" while the server is still silent, and goes when the attempt ends."""
    install(program_dir, "KEBTestStream")
    program, srv, go_on = attempt(viewer, plugin.StreamChannel(plugin.key_of("pw")))
    status = program.window(title=r"^Connection status 127\.0\.0\.1$", timeout=30)
    kebwine.wait_until(lambda: status.refresh().control(id=1040)["text"] == "Encryption**", 20,
                       what="the encryption line (now %r)" % status.control(id=1040)["text"])
    go_on()
    status.wait_gone(30)
    assert program.returncode is None  # gone with its attempt, not with the program
    program.kill()
    srv.stop()


def test_plugin_that_refuses_its_parameters_is_reported_whole(viewer, program_dir):
    """The library refuses the parameter text made of the password: the report carries the
    whole text of its resource string, both lines."""
    install(program_dir, "KEBTestStream")
    srv = start(picture_scenario({"sectypes": [2], "password": "refuse"}))
    program = viewer("-dsmplugin", "KEBTestStream.dsm", "-password", "refuse", "127.0.0.1::%d" % srv.port)
    info = program.window(title="^Quillmar Remote - Information$", timeout=30)
    assert "The Plugin cannot be configured.\n\rPlease check its parameters and the password." in info.statics
    assert "Error number: 50188" in info.message
    info.click(text="^Close$", how="send")
    assert program.wait(20) == 0
