"""The server certificate checked by the real TLS provider (SChannel and crypt32 under
Wine) against a real openssl s_server, which the scripted server hands the TLS to after
the VeNCrypt negotiation. A test root is made a trusted root of the session's private Wine
prefix (keb_trustroot.exe, the machine's store, as an administrator installs a company
root), and publishes its revocation list on loopback (the chain's revocation is checked:
without a list the check cannot finish, 0x800B010E); a chain from it for the address
connected to goes through without a question; a certificate from it for another name, or
for the right name but issued only for client authentication, is asked about; a
thumbprint remembered for another host or port does not stand for this one. A server that
asks for a client certificate gets none, though the user's personal store holds one with
its key (keb_clientcert.exe), and the session goes on."""
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
CLIENTCERT = os.environ.get("KEB_CLIENTCERT_EXE", str(kebwine.BINARY_DIR / "tests" / "keb_clientcert.exe"))


def _openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, timeout=60, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """A root, its revocation list served over HTTP on loopback, and the certificates it
    signed: for servers, one for 127.0.0.1 and one for another name; one for 127.0.0.1
    issued only for client authentication; and a user's, for client authentication, also
    as a PKCS#12 file with its key. Each with its key and its SHA-1 thumbprint as the
    viewer writes it."""
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
    for name, san, usage in (("right", "DNS:127.0.0.1,IP:127.0.0.1", "serverAuth"),
                             ("wrong", "DNS:other.example", "serverAuth"),
                             ("clientonly", "DNS:127.0.0.1,IP:127.0.0.1", "clientAuth"),
                             ("user", "DNS:user.example", "clientAuth")):
        ext = d / (name + ".ext")
        ext.write_text("subjectAltName=%s\nextendedKeyUsage=%s\nbasicConstraints=CA:FALSE\n"
                       "keyUsage=critical,digitalSignature,keyEncipherment\ncrlDistributionPoints=URI:%s\n"
                       % (san, usage, crl_url))
        key, csr, cert = d / (name + ".key"), d / (name + ".csr"), d / (name + ".pem")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out", str(csr),
                 "-subj", "/CN=%s" % san.split(",")[0].split(":", 1)[1])
        _openssl("x509", "-req", "-in", str(csr), "-CA", str(d / "root.pem"), "-CAkey", str(d / "root.key"),
                 "-CAcreateserial", "-out", str(cert), "-days", "2", "-extfile", str(ext))
        out = subprocess.run(["openssl", "x509", "-in", str(cert), "-noout", "-fingerprint", "-sha1"], check=True,
                             timeout=30, capture_output=True, text=True).stdout
        leaves[name] = (cert, key, out.strip().split("=", 1)[1].replace(":", "-").lower())
    _openssl("pkcs12", "-export", "-in", str(d / "user.pem"), "-inkey", str(d / "user.key"), "-out",
             str(d / "user.pfx"), "-passout", "pass:", "-keypbe", "PBE-SHA1-3DES", "-certpbe", "PBE-SHA1-3DES",
             "-macalg", "sha1")
    yield {"root": d / "root.der", "root_pem": d / "root.pem", "user_pfx": d / "user.pfx", **leaves}
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


@pytest.fixture(scope="module")
def client_certificate(session, trusted_root):
    """The user's client certificate, with its key, in the personal store of the prefix."""
    if not os.path.exists(CLIENTCERT):
        pytest.skip("keb_clientcert.exe is not built: %s" % CLIENTCERT)
    program = session.start(CLIENTCERT, kebwine.win_path(trusted_root["user_pfx"]))
    assert program.wait(60) == 0, "the client certificate could not be put into the personal store"
    return trusted_root


def serve(leaf, expect=None, record=None, server_args=()):
    cert, key, _ = leaf
    return picture_server(vencrypt.s_server_auth(cert, key, subtypes=(260,), record=record, server_args=server_args),
                          [19], expect)


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


# The provider's reason for each: the name does not match (CERT_E_CN_NO_MATCH); the
# certificate was not issued for server authentication (CERT_E_WRONG_USAGE).
@pytest.mark.parametrize("leaf,reason", [("wrong", "0x800B010F"), ("clientonly", "0x800B0110")],
                         ids=["another name", "only for client authentication"])
def test_certificate_that_does_not_stand_for_the_server_is_asked_about(viewer, program_dir, tmp_path, trusted_root,
                                                                        leaf, reason):
    srv = serve(trusted_root[leaf])
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    box = program.box(heading="^Invalid server certificate$", timeout=30)
    assert reason in box.body, box.body
    box.click(text="^OK$", how="send")
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / leaf)
    assert remembered(program_dir) == {}
    assert program.close() == 0


def client_certificate_messages(log):
    """The bodies (hex bytes) of the client's Certificate messages in s_server's -msg log,
    and whether the server asked for one (a CertificateRequest went out)."""
    bodies, asked, lines = [], False, log.read_text(errors="replace").splitlines()
    for i, line in enumerate(lines):
        if re.match(r">>> .*Handshake .*CertificateRequest$", line):
            asked = True
        if re.match(r"<<< .*Handshake .*Certificate$", line):
            body = []
            for more in lines[i + 1:]:
                if not re.match(r"^\s+[0-9a-f]{2}( |$)", more):
                    break
                body += more.split()
            bodies.append(" ".join(body))
    return bodies, asked


def test_no_client_certificate_goes_to_a_server_that_asks(viewer, tmp_path, client_certificate):
    pki = client_certificate
    log = tmp_path / "s_server-msg.txt"
    # -verify 1: the server asks for a certificate (naming the test root, which issued the
    # user's) and goes on without one.
    srv = serve(pki["right"], server_args=("-verify", "1", "-CAfile", pki["root_pem"], "-msg", "-msgfile", log))
    program = viewer("127.0.0.1::%d" % srv.port, "-nocursorshape")
    wait_picture(frame(program), lambda: server_view(srv), exact, save_to=tmp_path / "asked")
    assert no_question(program)
    bodies, asked = client_certificate_messages(log)
    assert asked, log.read_text()
    # One Certificate message, with an empty list: type 11, length 3, list length 0.
    assert bodies == ["0b 00 00 03 00 00 00"], log.read_text()
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
