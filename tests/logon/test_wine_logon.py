"""The logon schemes that carry a Windows user name, end to end: KEBviewer.exe under Wine
against the scripted test server, which plays type 113 (Diffie-Hellman, then user name
and password DES-chained under the agreed key) and type 112 (3.3 only: user name, second
name, the password's long stored form masked into the server's block, the challenge
response) with its own DH and DES and judges what arrives. User name and password come
from the command line, or a person types them into the logon dialog and presses Log in.
Server values that would give a guessable key end the connection with a message before
any credentials leave."""

import pytest

import kebwine
import rfbserver

INFO_TITLE = "Quillmar Remote - Information"
LOGON_TITLE = r"^Quillmar Remote - Authentication   127\.0\.0\.1:%d$"
UNSECURED_TITLE = r"^Quillmar Remote - Authentication - Unsecured Transmission   127\.0\.0\.1:%d$"
USER_FIELD, PASSWORD_FIELD = 604, 1006
V33 = "RFB 003.003\n"


def scripted(**handshake):
    return rfbserver.Server({"handshake": handshake}, timeout=60, quiet=True).start()


def handshake_done(srv, timeout=30):
    """The scripted server's first round once the viewer's SetEncodings arrived."""
    def done():
        msgs = srv.session.record["messages"] if srv.session else []
        return "SetEncodings" in [m.get("name") for m in msgs] or None
    kebwine.wait_until(done, timeout, interval=0.05, what="the handshake; server log:\n%s" % srv.report())
    return srv.session.record["handshake"]["rounds"][0]


def finish(srv, program):
    program.kill()
    srv.stop()
    srv.wait(10)


def type_logon(program, title, user, password):
    """A person types user name and password into the logon dialog, sees them there and
    presses Log in."""
    dialog = program.window(title=title)
    edits = sorted(c["id"] for c in dialog.controls if c["class"].lower() == "edit")
    assert edits == [USER_FIELD, PASSWORD_FIELD]
    dialog.keys(chars=user, id=USER_FIELD)
    dialog.keys(chars=password, id=PASSWORD_FIELD)

    def shown():
        d = dialog.refresh()
        return d.control(id=USER_FIELD)["text"] == user and len(d.control(id=PASSWORD_FIELD)["text"]) == len(password)
    kebwine.wait_until(lambda: shown() or None, 10, what="the fields to show what was typed")
    # Posted as the keys were, so the dialog takes every key before the button's command.
    dialog.click(text="^Log in$", how="command")
    dialog.wait_gone()


# ---- Type 113 ----

@pytest.mark.parametrize("form", ["3.8 list", "3.3 -6"])
def test_mslogon2_with_user_and_password_from_the_command_line(viewer, tmp_path, form):
    params = dict(user="QUILLMAR\\kim", password="Winter 2026!", dh={"generator": 7, "modulus": 2147483647})
    if form == "3.8 list":
        srv = scripted(sectypes=[1, 2, 113], **params)
    else:
        srv = scripted(version=V33, type33=0xFFFFFFFA, **params)
    log = tmp_path / "viewer.log"
    program = viewer("127.0.0.1::%d" % srv.port, "-user", "QUILLMAR\\kim", "-password", "Winter 2026!",
                     "-loglevel", "100", "-logfile", kebwine.win_path(log))
    rec = handshake_done(srv)
    if form == "3.8 list":
        assert rec["choice"] == 113  # preferred over the plain password scheme
    assert rec["client_public_ok"]
    assert (rec["user"], rec["password"]) == ("QUILLMAR\\kim", "Winter 2026!")
    assert rec["user_padding_ok"] and rec["password_padding_ok"]
    # The key-exchange detail, with the values the server saw; never the key, which hides
    # the credentials.
    text = log.read_text(errors="replace")
    assert "Command line MS-Logon." in text
    assert "After DH: g=7, m=2147483647, i=%d\n" % rec["client_public"] in text.replace("\r\n", "\n")
    assert "key=" not in text
    if rec["dh_key"] >= 100000:  # a short number could turn up in a time of day
        assert str(rec["dh_key"]) not in text
    finish(srv, program)


def test_mslogon2_typed_into_the_logon_dialog(viewer):
    srv = scripted(sectypes=[113], dh={"generator": 5, "modulus": 1000003})
    program = viewer("127.0.0.1::%d" % srv.port)
    type_logon(program, LOGON_TITLE % srv.port, "kim", "typed secret")
    rec = handshake_done(srv)
    assert rec["client_public"] < 1000003
    assert (rec["user"], rec["password"]) == ("kim", "typed secret")
    finish(srv, program)


@pytest.mark.parametrize("dh,public_sent", [
    ({"generator": 0, "modulus": 23}, False),
    ({"generator": 2, "modulus": 0}, False),
    ({"generator": 2, "modulus": 2**31 + 1}, False),
    ({"generator": 5, "modulus": 23, "public": 1}, True),
    ({"generator": 5, "modulus": 23, "public": 23}, True),
    ({"generator": 5, "modulus": 23, "public": 2**64 - 1}, True),
])
def test_mslogon2_refuses_server_values_that_give_a_guessable_key(viewer, dh, public_sent):
    srv = scripted(sectypes=[113], dh=dh, expect={"peer_closed_at": "choice"})
    program = viewer("127.0.0.1::%d" % srv.port, "-user", "kim", "-password", "secret")
    box = program.window(title=INFO_TITLE, timeout=30)
    assert "key agreement values were refused" in box.message
    srv.wait(10)
    rec = srv.session.record["handshake"]["rounds"][0]
    assert ("client_public" in rec) == public_sent
    assert "user" not in rec and "password" not in rec  # nothing of the credentials left
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0


# ---- Type 112 ----

def test_mslogon1_with_user_and_password_from_the_command_line(viewer):
    srv = scripted(version=V33, type33=112, user="kim", password="twelve chars")
    program = viewer("127.0.0.1::%d" % srv.port, "-user", "kim", "-password", "twelve chars")
    rec = handshake_done(srv)
    assert rec["user"] == "kim" and rec["domain"] == ""
    assert rec["user_padding_ok"] and rec["domain_padding_ok"]
    assert rec["mask_password"] == "twelve chars"  # all twelve in the mask
    assert rec["mask_ok"] and rec["mask_tail_ok"]
    assert rec["password_ok"]  # the first eight in the response
    finish(srv, program)


def test_mslogon1_typed_into_the_unsecured_dialog(viewer):
    srv = scripted(version=V33, type33=112, user="kim", password="typed secret")
    program = viewer("127.0.0.1::%d" % srv.port)
    type_logon(program, UNSECURED_TITLE % srv.port, "kim", "typed secret")
    rec = handshake_done(srv)
    assert rec["user_ok"] and rec["mask_ok"] and rec["mask_tail_ok"] and rec["password_ok"]
    finish(srv, program)


def test_mslogon1_refused_by_the_server(viewer):
    srv = scripted(version=V33, type33=112, password="other", result=1)
    program = viewer("127.0.0.1::%d" % srv.port, "-user", "kim", "-password", "wrong")
    box = program.window(title=INFO_TITLE, timeout=30)
    assert "KEB authentication failed!" in box.message
    assert srv.session.record["handshake"]["rounds"][0]["password_ok"] is False
    box.click(text="^Close$", how="send")
    assert program.wait(20) == 0
    srv.wait(10)
