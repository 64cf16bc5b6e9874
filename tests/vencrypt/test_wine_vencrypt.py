"""VeNCrypt end to end: KEBviewer.exe under Wine against TigerVNC's Xvnc with a
self-signed certificate made by openssl. The certificate fails the chain check, so a person
is asked; accepting it with "Don't ask anymore" remembers its SHA-1 thumbprint for the
host and port, and the next connection goes straight through; "View Certificate" shows the
system's certificate dialog and asks again. The TLS channel (SChannel under Wine) then
carries the session: the server's picture and, inside TLS, the password
challenge of X509Vnc. The scripted server's VeNCrypt side (rfboracle/vencrypt.py, Python's
ssl) checks what Xvnc cannot show without system accounts: the sub-type chosen from its
list, the Plain credentials typed into the logon dialog and sent inside TLS, and the TLS
close notification that a refused certificate sends."""
import re
import subprocess
import time

import pytest

import kebwine
from rfboracle import vencrypt
from displaytest import exact, frame, one_to_one, picture_server, point_away, server_log, server_view, stripes, \
    wait_picture

W, H = 320, 200
FAILURE_TITLE = "Quillmar Remote - Information"


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """A self-signed certificate for 127.0.0.1 and its key; the thumbprint as the viewer
    writes it (lower-case hex bytes joined by "-")."""
    folder = tmp_path_factory.mktemp("cert")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out",
                    str(cert), "-days", "2", "-subj", "/CN=keb-test-server"],
                   check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = subprocess.run(["openssl", "x509", "-in", str(cert), "-noout", "-fingerprint", "-sha1"], check=True,
                         timeout=30, capture_output=True, text=True).stdout
    thumbprint = out.strip().split("=", 1)[1].replace(":", "-").lower()
    return cert, key, thumbprint


def xvnc_with(session, certificate, types, *extra):
    cert, key, _ = certificate
    server = session.xvnc(W, H, extra=["-SecurityTypes", types, "-X509Cert", str(cert), "-X509Key", str(key)]
                          + list(extra))
    server.show_image(stripes(W, H))
    point_away(server)
    return server


def accept_certificate(program, remember):
    box = program.box(heading="^Invalid server certificate$", timeout=30)
    assert box.title == "Quillmar Remote - Warning"
    assert box.body.rstrip().endswith("Do you want to continue?"), box.body
    if remember:
        box.check(1, text="^Don't ask anymore")
    box.click(text="^OK$", how="send")


def remembered(program_dir):
    text = (program_dir / "options.keb").read_text(errors="replace") if (program_dir / "options.keb").exists() else ""
    return dict(re.findall(r"(?m)^(127\.0\.0\.1:\d+)=([0-9a-f-]+)\r?$", text.split("[thumbprint]", 1)[-1])) \
        if "[thumbprint]" in text else {}


def test_x509none_asks_once_and_remembers_the_thumbprint(session, viewer, program_dir, tmp_path, certificate):
    server = xvnc_with(session, certificate, "X509None")
    one_to_one(program_dir)
    program = viewer("127.0.0.1::%d" % server.port, "-nocursorshape")
    accept_certificate(program, remember=True)
    wait_picture(frame(program), server.screenshot, exact, save_to=tmp_path / "first")
    assert remembered(program_dir) == {"127.0.0.1:%d" % server.port: certificate[2]}
    assert program.close() == 0

    # The same certificate on the same host and port: no question.
    program = viewer("127.0.0.1::%d" % server.port, "-nocursorshape")
    wait_picture(frame(program), server.screenshot, exact, save_to=tmp_path / "second")
    assert not [w for w in program.windows() if w.kind != "window"]
    assert program.close() == 0


def test_x509vnc_runs_the_password_challenge_inside_tls(session, viewer, program_dir, tmp_path, certificate):
    passwd = tmp_path / "passwd"
    subprocess.run(["x11vnc", "-storepasswd", "secret", str(passwd)], check=True, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    server = xvnc_with(session, certificate, "X509Vnc", "-PasswordFile", str(passwd))
    one_to_one(program_dir)
    program = viewer("127.0.0.1::%d" % server.port, "-nocursorshape", "-password", "secret")
    accept_certificate(program, remember=False)
    wait_picture(frame(program), server.screenshot, exact, save_to=tmp_path / "x509vnc")
    assert remembered(program_dir) == {}
    assert program.close() == 0


def test_certificate_viewed_then_refused_ends_quietly(session, viewer, certificate):
    server = xvnc_with(session, certificate, "X509None")
    program = viewer("127.0.0.1::%d" % server.port)
    box = program.box(heading="^Invalid server certificate$", timeout=30)
    # "View Certificate" shows the system's certificate dialog, then asks again.
    box.click(text="^View Certificate$", how="post")
    program.window(title="^Certificate$", timeout=30).close()
    box = program.box(heading="^Invalid server certificate$", timeout=30)
    box.click(text="^Cancel$", how="send")
    assert program.wait(20) == 0
    kebwine.wait_until(lambda: "closed: 127.0.0.1" in server_log(server) or None, 10,
                       what="Xvnc to see the connection end; its log:\n%s" % server_log(server))
    assert "Client pixel format" not in server_log(server)


# ---- The scripted server ----

AUTH_TITLE = r"^Quillmar Remote - Authentication   127\.0\.0\.1:%d$"


def test_x509plain_credentials_typed_and_sent_inside_tls(viewer, program_dir, tmp_path, certificate):
    cert, key, _ = certificate
    record = {}
    srv = picture_server(vencrypt.vencrypt_auth(cert, key, subtypes=(258, 262, 256), record=record), [19])
    one_to_one(program_dir)
    program = viewer("127.0.0.1::%d" % srv.port)
    accept_certificate(program, remember=False)
    dialog = program.window(title=AUTH_TITLE % srv.port, timeout=30)
    dialog.set_text("someone", id=604)
    dialog.set_text("a password of some length", id=1006)
    dialog.click(text="^Log in$", how="send")
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / "x509plain")
    assert record["subtype"] == 262 and record["client_version"] == (0, 2)
    assert record["tls"].startswith("TLSv1")
    assert (record["user"], record["password"]) == ("someone", "a password of some length")
    assert program.close() == 0


def test_refused_certificate_sends_the_close_notification(viewer, certificate):
    cert, key, _ = certificate
    record = {}
    srv = picture_server(vencrypt.vencrypt_auth(cert, key, subtypes=(262,), record=record), [19],
                         expect={"peer_closed_at": "auth"})
    program = viewer("127.0.0.1::%d" % srv.port, "-password", "unused")
    box = program.box(heading="^Invalid server certificate$", timeout=30)
    box.click(text="^Cancel$", how="send")
    assert program.wait(20) == 0
    srv.wait(10)
    assert record.get("close_notify") is True, record
    assert "user" not in record
