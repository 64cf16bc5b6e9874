"""The session dialog as a person uses it: KEBviewer.exe started without a server shows it;
the person types a host or picks a recent one, chooses options, presses Connect, and the
viewer really connects to the scripted test server. Also: connection files given on the
command line, the repeater mode, the About box and the information dialog of a failed
connection."""
import re
import shutil
import time

import pytest

import kebwine
import rfbserver

DIALOG_TITLE = r"^Quillmar Remote - \d+\.\d+\.\d+\.\d+$"
INFO_TITLE = "^Quillmar Remote - Information$"
HOST = 1000
REPEATER_FIELD = 1130
HOST_CAPTION = 2053
REPEATER_CAPTION = 2054


def read_ini(path):
    """{section: {key: value}} of a Windows ini file; names in lower case, as the profile
    functions compare them."""
    sections, current = {}, None
    for line in path.read_text(errors="replace").splitlines():
        line = line.strip()
        if line.startswith("[") and "]" in line:
            current = sections.setdefault(line[1:line.rindex("]")].strip().lower(), {})
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            current.setdefault(key.strip().lower(), value.strip())
    return sections


def stored_password(text):
    """The stored form of a password: DES with the fixed password key, read the way RFB
    reads keys (bits of each key byte reversed)."""
    from Cryptodome.Cipher import DES
    key = bytes(int("{:08b}".format(b)[::-1], 2) for b in bytes.fromhex("5CE1097A33D48B26"))
    return DES.new(key, DES.MODE_ECB).encrypt((text.encode() + b"\0" * 8)[:8])


@pytest.fixture
def appdata(session):
    """%APPDATA%\\Quillmar of the session's user (per-host files, credentials), empty at the
    start of each test."""
    folder = session.appdata / "Quillmar"
    shutil.rmtree(str(folder), ignore_errors=True)
    yield folder
    shutil.rmtree(str(folder), ignore_errors=True)


def scripted(scenario="handshake-38-none", **params):
    return rfbserver.Server(scenario, params=params, timeout=60, quiet=True).start()


def messages(srv):
    return srv.session.record["messages"] if srv.session else []


def handshake_done(srv, timeout=30):
    def done():
        return "SetEncodings" in [m.get("name") for m in messages(srv)] or None
    kebwine.wait_until(done, timeout, interval=0.05, what="SetEncodings from the viewer; server log:\n%s"
                       % srv.report())
    return srv.session.record


def finish(srv, program):
    program.kill()
    srv.stop()
    srv.wait(10)


def open_dialog(program):
    return program.window(title=DIALOG_TITLE, timeout=30)


def show_options(dialog):
    """Options, then wait until the buttons below are enabled and the last page is there."""
    dialog.click(text="^Options$")

    def shown():
        dialog.refresh()
        ids = {c["id"]: c for c in dialog.controls}
        return (ids.get(9001, {}).get("enabled") and 3144 in ids) or None
    kebwine.wait_until(shown, 10, what="the option pages")


def test_typed_host_connects_and_is_remembered(viewer, program_dir, appdata):
    srv = scripted()
    program = viewer()
    dialog = open_dialog(program)
    assert dialog.control(id=HOST_CAPTION)["text"] == "server[:port]"
    assert not dialog.control(id=REPEATER_FIELD)["visible"]
    typed = "localhost::%d" % srv.port
    dialog.set_text(typed, id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    handshake_done(srv)
    dialog.wait_gone()
    finish(srv, program)

    # The list keeps the text as typed; the host itself is kept in capitals.
    options = read_ini(program_dir / "options.keb")
    assert options["connection"]["index"] == "A"
    assert options["connection"]["a"] == typed
    host_file = read_ini(appdata / ("LOCALHOST-%d.keb" % srv.port))
    assert host_file["connection"]["host"] == "LOCALHOST"
    assert host_file["connection"]["port"] == str(srv.port)
    assert host_file["options"]["preferred_encoding"] == "10"
    assert "giienable" in host_file["options"]
    credentials = read_ini(appdata / "raroze-zez32" / "credentials.ini")
    assert credentials["recent"]["host0"] == typed


def test_a_recent_host_is_chosen_from_the_list(viewer, program_dir, appdata):
    srv = scripted()
    dead = kebwine.free_tcp_port()
    good = "127.0.0.1::%d" % srv.port
    bad = "127.0.0.1::%d" % dead
    (program_dir / "options.keb").write_text("[connection]\r\nindex=BA\r\nA=%s\r\nB=%s\r\n" % (good, bad))
    (appdata / "raroze-zez32").mkdir(parents=True)
    (appdata / "raroze-zez32" / "credentials.ini").write_text(
        "[recent]\r\nhost0=other.example:1\r\nhost1=%s\r\n" % good)

    program = viewer()
    dialog = open_dialog(program)
    combo = dialog.control(id=HOST, cls="ComboBox")
    # The recent-host list first, then the credentials file's hosts not listed yet.
    assert combo["items"] == [bad, good, "other.example:1"]
    assert combo["text"] == bad
    dialog.choose(item=good, id=HOST)
    # The chosen entry moves to the front of the list.
    # The profile functions rewrite the whole file: in between it may lack the section.
    kebwine.wait_until(lambda: read_ini(program_dir / "options.keb").get("connection", {}).get("index") == "AB"
                       or None, 10, what="the chosen host to move to the front")
    dialog.click(text="^Connect$")
    handshake_done(srv)
    finish(srv, program)
    options = read_ini(program_dir / "options.keb")["connection"]
    assert (options["index"], options["a"], options["b"]) == ("AB", good, bad)


def test_cancel_ends_quietly(viewer, program_dir, appdata):
    program = viewer()
    dialog = open_dialog(program)
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0
    assert not (appdata / "raroze-zez32" / "credentials.ini").exists()


def test_encoders_page_reaches_the_server(viewer, program_dir, appdata):
    """Options opens the pages; Hextile and compression level 2 chosen on "Encoders" are
    what the viewer announces."""
    srv = scripted()
    program = viewer()
    dialog = open_dialog(program)
    tabs = dialog.control(id=2033)
    assert not tabs["enabled"]
    show_options(dialog)
    dialog.check(1, id=2005)  # Hextile
    dialog.set_text("2", id=1107)  # compression level
    dialog.set_text("127.0.0.1::%d" % srv.port, id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    record = handshake_done(srv)
    finish(srv, program)
    encodings = next(m for m in record["messages"] if m["name"] == "SetEncodings")["encodings"]
    assert encodings[0] == 5
    assert -256 + 2 in encodings  # compression level 2
    host_file = read_ini(appdata / ("127.0.0.1-%d.keb" % srv.port))
    assert host_file["options"]["preferred_encoding"] == "5"
    assert host_file["options"]["compresslevel"] == "2"


def test_repeater_gets_the_id_entry(viewer, program_dir, appdata):
    srv = scripted("repeater-00")
    program = viewer()
    dialog = open_dialog(program)
    dialog.click(text="^Repeater$", how="send")
    kebwine.wait_until(lambda: dialog.refresh().control(id=REPEATER_FIELD)["visible"] or None, 10,
                       what="the repeater field")
    assert dialog.control(id=HOST_CAPTION)["text"] == "ID:12345679"
    assert dialog.control(id=REPEATER_CAPTION)["text"] == "repeater:port"
    dialog.set_text("ID:12345679", id=HOST, cls="ComboBox")
    dialog.set_text("127.0.0.1::%d" % srv.port, id=REPEATER_FIELD)
    dialog.click(text="^Connect$")
    record = handshake_done(srv)
    finish(srv, program)
    assert record["handshake"]["repeater_target"] == "ID:12345679"


def test_connection_file_on_the_command_line_connects_with_its_password(viewer, program_dir, appdata):
    srv = rfbserver.Server({"handshake": {"sectypes": [2], "password": "test"}}, timeout=60, quiet=True).start()
    conn = program_dir / "server.keb"
    conn.write_text("[connection]\r\nhost=127.0.0.1\r\nport=%d\r\nproxyhost=\r\nproxyport=0\r\npassword=%s\r\n"
                    "[options]\r\nuse_encoding_5=1\r\npreferred_encoding=5\r\n"
                    % (srv.port, stored_password("test").hex()))
    program = viewer(kebwine.win_path(conn))
    record = handshake_done(srv)
    finish(srv, program)
    assert record["handshake"]["rounds"][0]["password_ok"], record["handshake"]
    encodings = next(m for m in record["messages"] if m["name"] == "SetEncodings")["encodings"]
    assert encodings[0] == 5


@pytest.mark.parametrize("content", [
    "[connection]\r\nhost=127.0.0.1\r\nport=0\r\n",
    "[connection]\r\nhost=127.0.0.1\r\n",
    "[connection]\r\nhost=127.0.0.1\r\nport=70000\r\n",
], ids=["port-0", "no-port", "port-too-large"])
def test_connection_file_without_a_usable_port_asks_for_the_server(viewer, program_dir, appdata, content):
    conn = program_dir / "broken.keb"
    conn.write_text(content)
    program = viewer(kebwine.win_path(conn))
    dialog = open_dialog(program)
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


def test_failed_connection_shows_the_information_dialog(viewer, program_dir, appdata):
    program = viewer()
    dialog = open_dialog(program)
    dialog.set_text("127.0.0.1::%d" % kebwine.free_tcp_port(), id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    info = program.window(title=INFO_TITLE, timeout=30)
    assert "Failed to connect to the server" in info.message
    assert "Error number: 50195" in info.message
    assert re.search(r"Quillmar Remote -  \d+\.\d+\.\d+\.\d+", info.message)
    assert re.search(r"\b\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\b", info.message)
    for link in ("Forum", "Web site", "Source code", "Downloads"):
        assert link in info.statics
    info.click(text="^Close$", how="send")
    assert program.wait(20) == 0


def test_about_box(viewer, program_dir, appdata):
    program = viewer()
    dialog = open_dialog(program)
    dialog.click(text="^About$")
    about = program.window(title="^Quillmar Remote - About$")
    assert re.fullmatch(r"Quillmar Remote -  \d+\.\d+\.\d+\.\d+", about.control(id=2077)["text"])
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", about.control(id=1017)["text"])
    kebwine.save_png(about.screenshot(), str(program_dir / "about.png"))
    about.click(text="^OK$")
    about.wait_gone()
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


# ---- Remembered passwords (the credentials file) ----

MASK = bytes.fromhex("A71F62D04B953EC8702DB6E4198F53CA")


def remember(appdata, hosts, passwords):
    """credentials.ini with the recent hosts and, per host text, a remembered password."""
    folder = appdata / "raroze-zez32"
    folder.mkdir(parents=True, exist_ok=True)
    lines = ["[recent]"] + ["host%d=%s" % (i, h) for i, h in enumerate(hosts)] + ["[credentials]"]
    for host, password in passwords.items():
        masked = bytes(b ^ MASK[i % 16] for i, b in enumerate(password.encode()))
        lines += ["%s=1" % host, "%s_pass=%s" % (host, masked.hex().upper())]
    (folder / "credentials.ini").write_text("\r\n".join(lines) + "\r\n")


def password_server(password):
    return rfbserver.Server({"handshake": {"sectypes": [2], "password": password}}, timeout=60, quiet=True).start()


def test_remembered_password_of_the_chosen_host_is_used(viewer, program_dir, appdata):
    srv = password_server("test")
    host = "127.0.0.1::%d" % srv.port
    remember(appdata, [host], {host: "test"})
    program = viewer()
    dialog = open_dialog(program)
    assert dialog.control(id=HOST, cls="ComboBox")["text"] == host
    dialog.click(text="^Connect$")
    record = handshake_done(srv)
    finish(srv, program)
    assert record["handshake"]["rounds"][0]["password_ok"]
    # Connecting keeps the password remembered.
    assert "%s_pass" % host.lower() in read_ini(appdata / "raroze-zez32" / "credentials.ini")["credentials"]


def test_remembered_password_stays_with_its_host(viewer, program_dir, appdata):
    """The first host of the list has a remembered password; the person picks another host,
    whose server then asks for its own password instead of being sent the first one's."""
    srv = password_server("other")
    first = "127.0.0.1::%d" % kebwine.free_tcp_port()
    second = "127.0.0.1::%d" % srv.port
    (program_dir / "options.keb").write_text("[connection]\r\nindex=BA\r\nA=%s\r\nB=%s\r\n" % (second, first))
    remember(appdata, [], {first: "test"})
    program = viewer()
    dialog = open_dialog(program)
    assert dialog.control(id=HOST, cls="ComboBox")["text"] == first
    dialog.choose(item=second, id=HOST)
    dialog.click(text="^Connect$")
    auth = program.window(title=r"^Quillmar Remote - Authentication   127\.0\.0\.1:%d$" % srv.port, timeout=30)
    auth.click(text="^Cancel$", how="send")
    assert program.wait(20) == 0
    srv.stop()
    srv.wait(10)
    assert "rounds" not in srv.session.record["handshake"] or not any(
        r.get("password_ok") is False for r in srv.session.record["handshake"]["rounds"])


# ---- Connection files through the file dialogs ----

def test_save_as_writes_a_connection_file(viewer, program_dir, appdata, tmp_path):
    program = viewer()
    dialog = open_dialog(program)
    dialog.set_text("srv.example:3", id=HOST, cls="ComboBox")
    show_options(dialog)
    dialog.check(1, id=1024)  # cache encoding, on the Encoders page
    dialog.click(text="^Save as$")
    save = program.window(title="^Save As$")
    assert save.control(id=1148, cls="^Edit$")["text"] == "SRV.EXAMPLE-3.keb"
    target = tmp_path / "saved.keb"
    save.set_text(kebwine.win_path(target), id=1148)
    save.click(text="^Save$")
    save.wait_gone()
    # The file is complete once its last key is there.
    kebwine.wait_until(lambda: target.is_file() and "preemptiveupdates" in read_ini(target).get("options", {}) or None,
                       10, what="the connection file")
    saved = read_ini(target)
    assert (saved["connection"]["host"], saved["connection"]["port"]) == ("SRV.EXAMPLE", "5903")
    assert saved["options"]["enablecache"] == "1"
    assert saved["options"]["preferred_encoding"] == "10"
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


def test_load_opens_a_connection_file(viewer, program_dir, appdata, tmp_path):
    srv = scripted()
    conn = tmp_path / "load.keb"
    conn.write_text("[connection]\r\nhost=127.0.0.1\r\nport=%d\r\nproxyhost=\r\nproxyport=0\r\n"
                    "[options]\r\npreferred_encoding=5\r\nquality=3\r\n" % srv.port)
    program = viewer()
    dialog = open_dialog(program)
    show_options(dialog)
    dialog.click(text="^Load $")
    opened = program.window(title="^Open$")
    opened.set_text(kebwine.win_path(conn), id=1148)
    opened.click(text="^Open$")
    opened.wait_gone()
    kebwine.wait_until(lambda: dialog.refresh().control(id=HOST, cls="ComboBox")["text"] == "127.0.0.1::%d" % srv.port
                       or None, 10, what="the file's server in the host field")
    assert dialog.control(id=2005)["check"] == 1  # Hextile, the file's preferred encoding
    dialog.click(text="^Connect$")
    record = handshake_done(srv)
    finish(srv, program)
    encodings = next(m for m in record["messages"] if m["name"] == "SetEncodings")["encodings"]
    assert encodings[0] == 5
    assert -32 + 3 in encodings  # quality 3


# ---- Per-host settings, Delete and Restore defaults ----

@pytest.mark.parametrize("only_default", [0, 1], ids=["per-host-file", "options-file-only"])
def test_a_chosen_host_brings_its_own_settings(viewer, program_dir, appdata, only_default):
    """With "UseOnlyDefaultConfigFile" off, choosing a host loads its per-host file (here:
    Hextile preferred) over the options file; with it on, the per-host file is left alone."""
    srv = scripted()
    good = "127.0.0.1::%d" % srv.port
    (program_dir / "options.keb").write_text(
        "[options]\r\nUseOnlyDefaultConfigFile=%d\r\n[connection]\r\nindex=BA\r\nA=%s\r\nB=other.example:1\r\n"
        % (only_default, good))
    appdata.mkdir(parents=True)
    (appdata / ("127.0.0.1-%d.keb" % srv.port)).write_text("[options]\r\npreferred_encoding=5\r\n")
    program = viewer()
    dialog = open_dialog(program)
    dialog.choose(item=good, id=HOST)
    dialog.click(text="^Connect$")
    record = handshake_done(srv)
    finish(srv, program)
    encodings = next(m for m in record["messages"] if m["name"] == "SetEncodings")["encodings"]
    assert encodings[0] == (16 if only_default else 5)




def test_delete_forgets_the_host(viewer, program_dir, appdata):
    keep, forget = "keep.example:1", "forget.example::6000"
    (program_dir / "options.keb").write_text("[connection]\r\nindex=BA\r\nA=%s\r\nB=%s\r\n" % (keep, forget))
    appdata.mkdir(parents=True)
    host_file = appdata / "FORGET.EXAMPLE-6000.keb"
    host_file.write_text("[options]\r\nviewonly=1\r\n")
    program = viewer()
    dialog = open_dialog(program)
    assert dialog.control(id=HOST, cls="ComboBox")["text"] == forget
    show_options(dialog)
    dialog.click(text="^Delete$")
    kebwine.wait_until(lambda: dialog.refresh().control(id=HOST, cls="ComboBox")["items"] == [keep] or None, 10,
                       what="the host to leave the list")
    assert not host_file.exists()
    options = read_ini(program_dir / "options.keb")["connection"]
    assert options["index"] == "A" and "b" not in options
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


def test_restore_defaults(viewer, program_dir, appdata):
    (program_dir / "options.keb").write_text("[options]\r\nviewonly=1\r\nquality=2\r\n")
    program = viewer()
    dialog = open_dialog(program)
    show_options(dialog)
    assert dialog.control(id=1005)["check"] == 1  # "View only" on the Input page
    assert dialog.control(id=1108)["text"] == "2"
    dialog.click(text="^Restore defaults$")
    kebwine.wait_until(lambda: dialog.refresh().control(id=1005)["check"] == 0 or None, 10, what="the defaults")
    assert dialog.control(id=1108)["text"] == "8"
    options = program_dir / "options.keb"
    assert not options.exists() or "options" not in read_ini(options)  # the options file went
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


def test_untrusted_server_allowed_into_a_chosen_connection_file(viewer, program_dir, appdata, tmp_path):
    """With per-host settings in use, "Don't ask anymore" for a server without
    authentication writes "AllowUntrustedServers" into a connection file the person picks."""
    srv = scripted()
    (program_dir / "options.keb").write_text("[options]\r\nAllowUntrustedServers=0\r\nUseOnlyDefaultConfigFile=0\r\n")
    program = viewer("127.0.0.1::%d" % srv.port)
    question = program.window(title="^Brandwyn Viewer$", timeout=30)
    assert "Can it be trusted?" in question.message
    question.check(1, text="^Don't ask anymore")
    question.click(id=1000, how="send")
    save = program.window(title="^Save As$")
    assert save.control(id=1148, cls="^Edit$")["text"] == "127.0.0.1-%d.keb" % srv.port
    target = tmp_path / "trusted.keb"
    save.set_text(kebwine.win_path(target), id=1148)
    save.click(text="^Save$")
    handshake_done(srv)
    finish(srv, program)
    assert read_ini(target)["options"]["allowuntrustedservers"] == "1"
    assert read_ini(program_dir / "options.keb")["options"]["allowuntrustedservers"] == "0"


def test_save_writes_the_options_file(viewer, program_dir, appdata):
    program = viewer()
    dialog = open_dialog(program)
    show_options(dialog)
    dialog.check(1, id=1005)  # "View only", on the Input page
    dialog.set_text("300", id=1093, cls="ComboBox")  # scale, on the Display page
    dialog.click(text="^Save$")
    # Complete once its last key is there.
    kebwine.wait_until(lambda: "preemptiveupdates" in read_ini(program_dir / "options.keb").get("options", {})
                       or None, 10, what="the options file")
    options = read_ini(program_dir / "options.keb")["options"]
    assert options["viewonly"] == "1"
    assert (options["scale_num"], options["scale_den"], options["scaling"]) == ("3", "1", "1")
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


CURSOR_SHAPE, CURSOR_POSITION = -239, -232  # 0xFFFFFF11, 0xFFFFFF18
# The preset's radio, its label, what the server then gets (first encoding, bits per
# pixel, cursor shape asked for, a quality level) and the host file's keys.
QUICK_PRESETS = [
    (3135, "Slow: 8 colours, ZRLE, cache", 16, 8, True, False, {"quickoption": "5", "8bit": "3", "enablecache": "1"}),
    (3137, "Opalo: full colours, no cursor shape", 9, 32, False, True,
     {"quickoption": "7", "8bit": "0", "enablecache": "0", "use_encoding_1": "0", "cursorshape": "0"}),
]


@pytest.mark.parametrize("radio,label,first,bpp,cursor,quality,keys", QUICK_PRESETS, ids=["slow", "opalo"])
def test_quick_option_chosen_on_its_page(viewer, program_dir, appdata, radio, label, first, bpp, cursor, quality,
                                         keys):
    """The person goes to "Quick enc" with the arrow keys on the tabs, chooses a preset and
    leaves the page: the slow-line preset sends ZRLE, 8 colours, the cache encoding and no
    quality level; the Opalo preset sends Opalo in full colour without cursor shapes."""
    srv = scripted()
    program = viewer()
    dialog = open_dialog(program)
    show_options(dialog)
    for _ in range(5):  # Encoders -> Input -> Display -> Misc -> Security -> Quick enc
        dialog.keys(vk="RIGHT", id=2033)
    kebwine.wait_until(lambda: dialog.refresh().control(id=radio)["visible"] or None, 10, what="the Quick enc page")
    assert dialog.control(id=radio)["text"] == label
    dialog.check(1, id=radio)
    dialog.keys(vk="RIGHT", id=2033)  # leaving the page applies the preset
    kebwine.wait_until(lambda: dialog.refresh().control(id=3140)["visible"] or None, 10, what="the Listen page")
    dialog.set_text("127.0.0.1::%d" % srv.port, id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    record = handshake_done(srv)
    finish(srv, program)
    messages_ = record["messages"]
    encodings = next(m for m in messages_ if m["name"] == "SetEncodings")["encodings"]
    pixel_format = next(m for m in messages_ if m["name"] == "SetPixelFormat")["pixel_format"]
    assert encodings[0] == first
    assert bool([e for e in encodings if -32 <= e <= -23]) == quality
    assert (CURSOR_SHAPE in encodings) == cursor and (CURSOR_POSITION in encodings) == cursor
    assert pixel_format["bpp"] == bpp
    host_file = read_ini(appdata / ("127.0.0.1-%d.keb" % srv.port))["options"]
    assert {k: host_file[k] for k in keys} == keys


def test_plugin_that_cannot_be_loaded_keeps_the_dialog_open(viewer, program_dir, appdata):
    program = viewer()
    dialog = open_dialog(program)
    show_options(dialog)
    dialog.check(1, id=3119)  # "Use an encryption plug-in", on the Security page
    dialog.set_text("127.0.0.1::5901", id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    box = program.box(heading="^(Brandwyn - Plugin|Plugin Loading)$")
    if box.heading != "Plugin Loading":  # the loader's own word on a file it cannot use
        box.click(text="^OK$", how="send")
        box.wait_gone()
        box = program.box(heading="^Plugin Loading$")
    assert "The Plugin cannot be loaded." in box.body
    box.click(text="^OK$", how="send")
    box.wait_gone()
    open_dialog(program)  # still there
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


def test_conf_page_switches_to_the_per_host_file(viewer, program_dir, appdata):
    srv = scripted()
    host = "127.0.0.1::%d" % srv.port
    (program_dir / "options.keb").write_text("[connection]\r\nindex=A\r\nA=%s\r\n" % host)
    appdata.mkdir(parents=True)
    (appdata / ("127.0.0.1-%d.keb" % srv.port)).write_text("[options]\r\npreferred_encoding=5\r\n")
    program = viewer()
    dialog = open_dialog(program)
    show_options(dialog)
    assert dialog.control(id=3142)["text"].endswith("\\options.keb")
    assert dialog.control(id=3143)["text"] == ""
    assert dialog.control(id=2005)["check"] == 0
    dialog.check(0, id=3144)  # "Use only the options file" off
    kebwine.wait_until(lambda: dialog.refresh().control(id=3143)["text"].endswith("\\127.0.0.1-%d.keb" % srv.port)
                       or None, 10, what="the per-host file on the Conf page")
    assert dialog.control(id=2005)["check"] == 1  # Hextile, from the per-host file
    dialog.click(text="^Connect$")
    record = handshake_done(srv)
    finish(srv, program)
    assert next(m for m in record["messages"] if m["name"] == "SetEncodings")["encodings"][0] == 5


def test_option_area_sizes_the_dialog(viewer, program_dir, appdata):
    """Hidden, the dialog ends at the option area's edge and the buttons below are off;
    shown, its client area reaches the Save button plus a 16-pixel margin (96 DPI)."""
    program = viewer()
    dialog = open_dialog(program)
    area = dialog.control(id=2030)["rect"]
    client = dialog.refresh().client_rect()
    assert client[3] == area[1]
    for id_ in (2033, 1126, 2040, 9001, 1147, 2037):
        assert not dialog.control(id=id_)["enabled"]
    show_options(dialog)
    save = dialog.control(id=2037)["rect"]
    client = dialog.client_rect()
    assert (client[2] - save[2], client[3] - save[3]) == (16, 16)
    dialog.click(text="^Options$")
    kebwine.wait_until(lambda: not dialog.refresh().control(id=2037)["enabled"] or None, 10, what="the area hidden")
    assert dialog.client_rect()[3] == area[1]
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0


# ---- Encryption plug-ins on the Security page ----

def test_plugin_chosen_on_the_security_page_carries_the_session(viewer, program_dir, appdata):
    """The plug-ins in the program's folder are listed; the person ticks the option, picks
    one, configures it and connects: the session runs inside the plug-in's channel."""
    plugin = pytest.importorskip("rfboracle.plugin")
    source = kebwine.BINARY_DIR / "tests" / "testplugins" / "KEBTestChannel.dsm"
    if not source.exists():
        pytest.skip("test plug-in missing: %s" % source)
    shutil.copy2(str(source), str(program_dir / "KEBTestChannel.dsm"))
    channel = plugin.RecordChannel(plugin.key_of("NoPassword"))

    def scenario(s):
        s.channel = channel
        s.handshake(sectypes=[2], password="pw")
        s.wait_for("FramebufferUpdateRequest")
        s.serve()
    srv = rfbserver.Server(scenario, timeout=60, quiet=True).start()

    program = viewer()
    dialog = open_dialog(program)
    show_options(dialog)
    combo = dialog.control(id=3118, cls="ComboBox")
    assert combo["items"] == ["KEBTestChannel.dsm"] and not combo["enabled"]
    assert not dialog.control(id=3120)["enabled"]  # Configure: nothing chosen yet
    dialog.check(1, id=3119)
    dialog.choose(item="KEBTestChannel.dsm", id=3118)
    kebwine.wait_until(lambda: dialog.refresh().control(id=3120)["enabled"] or None, 10, what="Configure")
    dialog.click(id=3120, how="command")
    dialog.set_text("127.0.0.1::%d" % srv.port, id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    auth = program.window(title=r"^Quillmar Remote - Authentication   127\.0\.0\.1:%d$" % srv.port, timeout=30)
    auth.set_text("pw", id=1006)
    auth.click(text="^Log in$", how="send")
    kebwine.wait_until(lambda: srv.session and srv.session.messages_of("SetEncodings") or None, 30,
                       what="the handshake inside the plug-in's channel; server log:\n%s" % srv.report())
    assert channel.records_read > 0
    finish(srv, program)
    assert read_ini(appdata / ("127.0.0.1-%d.keb" % srv.port))["options"]["dsmplugin"] == "KEBTestChannel.dsm"


def test_connect_shows_a_real_servers_screen(viewer, session, program_dir, appdata, tmp_path):
    """TigerVNC's Xvnc as the server: the host typed in the dialog, Connect, and the viewer
    window shows the server's screen."""
    import numpy as np
    xvnc = session.xvnc(160, 120)
    picture = np.zeros((120, 160, 3), dtype=np.uint8)
    picture[:, :80] = (200, 30, 30)
    picture[:, 80:] = (20, 90, 220)
    xvnc.show_image(picture)
    # Pixel for pixel: no automatic scale to the screen, no toolbar above the view.
    (program_dir / "options.keb").write_text("[options]\r\nAutoScaling=0\r\nshowtoolbar=0\r\n")
    program = viewer()
    dialog = open_dialog(program)
    dialog.set_text("127.0.0.1::%d" % xvnc.port, id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    frame = program.window(cls="^KEBMDI_Window$", timeout=30)

    def shown():
        try:
            shot = frame.screenshot()
        except kebwine.HarnessError:  # the window may be changing its size
            return None
        return (shot.shape == picture.shape and np.array_equal(shot, picture)) or None
    kebwine.wait_until(shown, 20, interval=0.3, what="the server's screen in the viewer")
    assert program.close() == 0


def test_unreadable_host_keeps_the_dialog_open(viewer, program_dir, appdata):
    program = viewer()
    dialog = open_dialog(program)
    dialog.set_text("srv:abc", id=HOST, cls="ComboBox")
    dialog.click(text="^Connect$")
    box = program.box(heading="^Argument error$")
    assert box.body == "Invalid KEB Server specified."
    box.click(text="^OK$", how="send")
    box.wait_gone()
    open_dialog(program)
    assert "index=\r\n" in (program_dir / "options.keb").read_bytes().decode()  # nothing remembered
    dialog.click(text="^Cancel$")
    assert program.wait(20) == 0
