"""The server certificate checked by the real TLS provider (SChannel and crypt32 under
Wine) against a real openssl s_server, which the scripted server hands the TLS to after
the VeNCrypt negotiation. A test root is made a trusted root of the session's private Wine
prefix (keb_trustroot.exe, the machine's store, as an administrator installs a company
root), and publishes its revocation list on loopback (the chain's revocation is checked:
without a list the check cannot finish, 0x800B010E); a chain from it for the address
connected to goes through without a question; a certificate from it for another name is
asked about; a thumbprint remembered for another host or port does not stand for this
one."""
import functools
import http.server
import os
import re
import subprocess
import threading

import pytest

import kebwine
from displaytest import exact, frame, picture_server, server_view, wait_picture
from rfboracle import vencrypt

TRUSTROOT = os.environ.get("KEB_TRUSTROOT_EXE", str(kebwine.BINARY_DIR / "tests" / "keb_trustroot.exe"))


def _openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, timeout=60, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """A root, its revocation list served over HTTP on loopback, and two server
    certificates it signed: one for 127.0.0.1, one for another name. Each with its key and
    its SHA-1 thumbprint as the viewer writes it."""
    d = tmp_path_factory.mktemp("pki")
    handler = functools.partial(_QuietHandler, directory=str(d))
    web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=web.serve_forever, daemon=True).start()
    crl_url = "http://127.0.0.1:%d/root.crl" % web.server_address[1]
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(d / "root.key"), "-out",
             str(d / "root.pem"), "-days", "2", "-subj", "/CN=KEB test root",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    _openssl("x509", "-in", str(d / "root.pem"), "-outform", "DER", "-out", str(d / "root.der"))
    (d / "index.txt").write_text("")
    (d / "crlnumber").write_text("01\n")
    (d / "ca.cnf").write_text("[ca]\ndefault_ca = test\n[test]\ndatabase = %s\ncrlnumber = %s\ndefault_md = sha256\n"
                              "default_crl_days = 2\ncertificate = %s\nprivate_key = %s\n"
                              % (d / "index.txt", d / "crlnumber", d / "root.pem", d / "root.key"))
    _openssl("ca", "-config", str(d / "ca.cnf"), "-gencrl", "-out", str(d / "root.crl.pem"))
    _openssl("crl", "-in", str(d / "root.crl.pem"), "-outform", "DER", "-out", str(d / "root.crl"))
    leaves = {}
    # The address also as a DNS name: Wine's check of the name matches DNS names only,
    # Windows' matches the IP address entry too.
    for name, san in (("right", "DNS:127.0.0.1,IP:127.0.0.1"), ("wrong", "DNS:other.example")):
        ext = d / (name + ".ext")
        ext.write_text("subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n"
                       "keyUsage=critical,digitalSignature,keyEncipherment\ncrlDistributionPoints=URI:%s\n"
                       % (san, crl_url))
        key, csr, cert = d / (name + ".key"), d / (name + ".csr"), d / (name + ".pem")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out", str(csr),
                 "-subj", "/CN=%s" % san.split(",")[0].split(":", 1)[1])
        _openssl("x509", "-req", "-in", str(csr), "-CA", str(d / "root.pem"), "-CAkey", str(d / "root.key"),
                 "-CAcreateserial", "-out", str(cert), "-days", "2", "-extfile", str(ext))
        out = subprocess.run(["openssl", "x509", "-in", str(cert), "-noout", "-fingerprint", "-sha1"], check=True,
                             timeout=30, capture_output=True, text=True).stdout
        leaves[name] = (cert, key, out.strip().split("=", 1)[1].replace(":", "-").lower())
    yield {"root": d / "root.der", **leaves}
    web.shutdown()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def trusted_root(session, pki):
    if not os.path.exists(TRUSTROOT):
        pytest.skip("keb_trustroot.exe is not built: %s" % TRUSTROOT)
    program = session.start(TRUSTROOT, kebwine.win_path(pki["root"]))
    assert program.wait(60) == 0, "the test root could not be made trusted"
    return pki


def serve(leaf, expect=None, record=None):
    cert, key, _ = leaf
    return picture_server(vencrypt.s_server_auth(cert, key, subtypes=(260,), record=record), [19], expect)


def remembered(program_dir):
    path = program_dir / "options.keb"
    text = path.read_text(errors="replace") if path.exists() else ""
    return dict(re.findall(r"(?m)^([^=\r\n]+:\d+)=([0-9a-f-]+)\r?$", text.split("[thumbprint]", 1)[-1])) \
        if "[thumbprint]" in text else {}


def no_question(program):
    return not [w for w in program.windows() if w.kind != "window"]


def test_chain_from_a_trusted_root_goes_through_without_a_question(viewer, program_dir, tmp_path, trusted_root):
    srv = serve(trusted_root["right"])
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / "trusted")
    assert no_question(program)
    assert remembered(program_dir) == {}
    assert program.close() == 0


def test_certificate_for_another_name_is_asked_about(viewer, program_dir, tmp_path, trusted_root):
    srv = serve(trusted_root["wrong"])
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    box = program.box(heading="^Invalid server certificate$", timeout=30)
    # The provider's reason: the name does not match (CERT_E_CN_NO_MATCH).
    assert "0x800B010F" in box.body, box.body
    box.click(text="^OK$", how="send")
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / "wrong-name")
    assert remembered(program_dir) == {}
    assert program.close() == 0


def test_thumbprint_remembered_for_another_host_or_port_is_no_answer(viewer, program_dir, trusted_root):
    cert, key, thumbprint = trusted_root["wrong"]
    record = {}
    srv = serve(trusted_root["wrong"], expect={"peer_closed_at": "auth"}, record=record)
    (program_dir / "options.keb").write_text("[thumbprint]\r\n127.0.0.1:%d=%s\r\nlocalhost:%d=%s\r\n"
                                             % (srv.port + 1, thumbprint, srv.port, thumbprint))
    program = viewer("127.0.0.1::%d" % srv.port)
    box = program.box(heading="^Invalid server certificate$", timeout=30)
    box.click(text="^Cancel$", how="send")
    assert program.wait(20) == 0
    srv.wait(10)
    assert record["subtype"] == 260
    assert remembered(program_dir) == {"127.0.0.1:%d" % (srv.port + 1): thumbprint,
                                       "localhost:%d" % srv.port: thumbprint}
