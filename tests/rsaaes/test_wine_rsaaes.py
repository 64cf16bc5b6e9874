"""The RSA-AES security types end to end: KEBviewer.exe under Wine against the scripted
server's RSA-AES side (rfboracle/rsaaes.py, pycryptodome's RSA and EAX). A person accepts
the server's identity (or has it remembered), types the credentials into the dialog that
shows the key's signature and catchphrase, and sees the server's picture through the
AES-EAX channel (or plain, for the authentication-only types)."""
import re

import kebwine
from displaytest import exact, frame, picture_server, server_view, wait_picture
from rfboracle import rsaaes

AUTH_TITLE = r"^Quillmar Remote - Authentication   127\.0\.0\.1:%d$"
FAILURE_TITLE = "Quillmar Remote - Information"


def accept_identity(program, fingerprint, remember):
    box = program.box(heading="^Identity confirmation$", timeout=30)
    assert box.title == "Quillmar Remote - Warning"
    assert "Fingerprint: %s" % fingerprint in box.body
    if remember:
        box.check(1, text="^Don't ask anymore")
    box.click(text="^OK$", how="send")


def test_type_5_asks_identity_and_credentials_and_remembers_the_key(viewer, program_dir, tmp_path):
    record = {}
    srv = picture_server(rsaaes.rsa_aes_auth(subtype=1, record=record), [2, 5])
    program = viewer("127.0.0.1::%d" % srv.port)
    kebwine.wait_until(lambda: "fingerprint" in record or None, 30, what="the server's key")
    accept_identity(program, record["fingerprint"], remember=True)
    dialog = program.window(title=AUTH_TITLE % srv.port, timeout=30)
    statics = {c["id"]: c["text"] for c in dialog.controls}
    assert statics.get(2069) == record["fingerprint"]           # signature: the text form
    assert re.match(r"^[A-Z][a-z]+ [a-z]+ [a-z]+\. [A-Z][a-z]+ [a-z]+ [a-z]+\.$", statics.get(2068, "")), statics
    dialog.set_text("someone", id=604)
    dialog.set_text("long secret password", id=1006)
    dialog.click(text="^Log in$", how="send")
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / "type5")
    assert record["client_bits"] == 2048 and record["client_random_length"] == 16
    assert record["client_hash_ok"]
    assert (record["user"], record["password"]) == ("someone", "long secret password")
    assert srv.session.record["handshake"]["rounds"][0]["choice"] == 5
    options = (program_dir / "options.keb").read_text(errors="replace")
    assert re.search(r"(?m)^\[fingerprint\]\r?\n127\.0\.0\.1:%d=%s\r?$" % (srv.port, record["fingerprint"]),
                     options), options
    assert program.close() == 0


def test_remembered_key_and_known_password_go_straight_through(viewer, program_dir, tmp_path):
    """Type 129 (256-bit keys, SHA-256), password only; the options file already holds the
    key's fingerprint for this host and port."""
    record = {}
    auth = rsaaes.rsa_aes_auth(subtype=2, record=record)
    srv = picture_server(auth, [5, 129])
    block = rsaaes.key_block(2048, rsaaes.server_key().n, rsaaes.server_key().e)
    (program_dir / "options.keb").write_text("[fingerprint]\r\n127.0.0.1:%d=%s\r\n" % (srv.port, rsaaes.fingerprint(block)))
    program = viewer("-password", "pw", "127.0.0.1::%d" % srv.port)
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / "type129")
    assert srv.session.record["handshake"]["rounds"][0]["choice"] == 129
    assert record["client_random_length"] == 32
    assert (record["user"], record["password"]) == ("", "pw")
    assert not [w for w in program.windows() if w.kind != "window"]  # no prompt came
    assert program.close() == 0


def test_authentication_only_type_continues_plain(viewer, program_dir, tmp_path):
    record = {}
    srv = picture_server(rsaaes.rsa_aes_auth(subtype=0, record=record), [130])
    program = viewer("127.0.0.1::%d" % srv.port)
    kebwine.wait_until(lambda: "fingerprint" in record or None, 30, what="the server's key")
    accept_identity(program, record["fingerprint"], remember=False)
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / "type130")
    assert srv.session.channel is None
    assert "[fingerprint]" not in (program_dir / "options.keb").read_text(errors="replace")
    assert program.close() == 0


def test_refusals_of_the_exchange(viewer):
    """Keys the viewer refuses, and a key hash that does not match. A degenerate key (its
    length field says 2048 bits, its modulus is 1, or 512 bits behind zero bytes, or its
    exponent is 1) is refused before the viewer sends anything: Wine's key import takes
    such keys, and the random "enciphered" with them would travel readable."""
    cases = [
        (dict(bits=1023), "Server RSA key is too small (1023)"),
        (dict(exponent_field=b"\0" * 251 + b"\1" + b"\0\1\0\1"), "Server RSA exponent is too big (251)"),
        (dict(modulus_field=bytes(255) + b"\1"), "Server RSA key is too small (1)"),
        (dict(modulus_field=bytes(192) + rsaaes.server_key().n.to_bytes(256, "big")[:64]),
         "Server RSA key is too small (512)"),
        (dict(exponent_field=b"\0" * 255 + b"\1"), "Invalid server RSA key (2148073493)"),
        (dict(bad_hash=True), "Hash does not match"),
    ]
    for params, text in cases:
        record = {}
        auth = rsaaes.rsa_aes_auth(record=record, **params)
        srv = picture_server(auth, [5], expect={"peer_closed_at": "choice"})
        program = viewer("-password", "pw", "127.0.0.1::%d" % srv.port)
        if "Hash" in text:
            box = program.box(heading="^Identity confirmation$", timeout=30)
            box.click(text="^OK$", how="send")
        box = program.window(title=FAILURE_TITLE, timeout=30)
        assert text in box.message, box.message
        box.click(text="^Close$", how="send")
        assert program.wait(20) == 0
        srv.wait(10)
        if "Hash" not in text:
            assert len(srv.session.rx) == record["rx_after_key"], "the viewer sent %d bytes after the key" % (
                len(srv.session.rx) - record["rx_after_key"])
