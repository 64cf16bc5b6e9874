"""The command line as shell and Wine tests use it, and the scenario forms."""

import json
import os
import socket
import struct
import subprocess
import time

import pytest

import rfbserver
from rfbserver import scenarios

HERE = os.path.dirname(os.path.abspath(__file__))
CLI = ["/usr/bin/python3", os.path.join(HERE, "rfbserver.py")]


def wait_port(path, proc, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if os.path.exists(path):
            return int(open(path).read())
        assert proc.poll() is None, proc.communicate()
        time.sleep(0.02)
    raise AssertionError("no port file")


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        assert chunk, "server closed early"
        data += chunk
    return data


def viewer_38(sock):
    """A minimal 3.8 viewer: handshake, one full request, read the update header."""
    assert recv_exact(sock, 12) == b"RFB 003.008\n"
    sock.sendall(b"RFB 003.008\n")
    n = recv_exact(sock, 1)[0]
    recv_exact(sock, n)
    sock.sendall(b"\x01")
    assert recv_exact(sock, 4) == bytes(4)
    sock.sendall(b"\x01")
    si = recv_exact(sock, 24)
    w, h = struct.unpack(">HH", si[:4])
    recv_exact(sock, struct.unpack(">I", si[20:24])[0])
    return w, h


def test_cli_records_a_session(tmp_path):
    port_file, rec, raw = tmp_path / "port", tmp_path / "rec.json", tmp_path / "rx.bin"
    p = subprocess.Popen(CLI + ["--scenario", "handshake-38-none", "--port-file",
                                str(port_file), "--record", str(rec), "--record-raw",
                                str(raw), "--timeout", "20"],
                         stderr=subprocess.PIPE, text=True)
    try:
        s = socket.create_connection(("127.0.0.1", wait_port(port_file, p)), timeout=5)
        w, h = viewer_38(s)
        s.sendall(struct.pack(">BBHHHH", 3, 0, 0, 0, w, h))
        assert recv_exact(s, 4) == b"\x00\x00\x00\x01"
        key = struct.pack(">BBxxI", 4, 1, 0x61)
        s.sendall(key)
        # Done: the server reads to the end, closes, and the rest of its update is read
        # (a close with unread bytes would reset the connection).
        s.shutdown(socket.SHUT_WR)
        while s.recv(65536):
            pass
        s.close()
        _, err = p.communicate(timeout=20)
    finally:
        p.kill()
    assert p.returncode == 0, err
    r = json.loads(rec.read_text())
    msgs = r["connections"][0]["messages"]
    assert [m["name"] for m in msgs] == ["FramebufferUpdateRequest", "KeyEvent"]
    assert raw.read_bytes().endswith(key)
    assert "C> KeyEvent" in err


@pytest.mark.parametrize("args,code,text", [
    (["--scenario", "silent", "--timeout", "0.5"], 2, "no viewer connected"),
    (["--scenario", "no-such-scenario"], 3, "unknown scenario"),
    (["--list"], 0, "hostile-rre-count"),
    (["--check", "--scenario", os.path.join(HERE, "examples",
                                            "hextile-bell-clipboard.json")], 0, "well formed"),
    (["--check", "--scenario", "update-raw", "--param", 'steps.1.rects.0.enc="nosuch"'],
     3, "unknown encoding"),
])
def test_cli_exit_codes(args, code, text):
    p = subprocess.run(CLI + args, capture_output=True, text=True, timeout=30)
    assert p.returncode == code, p.stderr
    assert text in p.stdout + p.stderr


def test_cli_params_and_reverse_connection(tmp_path):
    """--param overrides a JSON scenario; --connect reaches a listening viewer."""
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(1)
    lsock.settimeout(10)
    p = subprocess.Popen(CLI + ["--scenario", os.path.join(HERE, "examples",
                                                           "hextile-bell-clipboard.json"),
                                "--param", 'handshake.version="RFB 003.003\\n"',
                                "--param", "handshake.close_at=version",
                                "--connect", "127.0.0.1:%d" % lsock.getsockname()[1],
                                "--timeout", "10"], stderr=subprocess.PIPE, text=True)
    try:
        s, _ = lsock.accept()
        s.settimeout(5)
        assert recv_exact(s, 12) == b"RFB 003.003\n"
        assert s.recv(1) == b""
        _, err = p.communicate(timeout=20)
    finally:
        p.kill()
        lsock.close()
    assert p.returncode == 0, err


def test_per_connection_scenarios():
    """A scenario can differ per connection (reconnect tests)."""
    d = {"handshake": {}, "steps": [], "end": "close",
         "connections": [{"handshake": {"close_at": "version"}},
                         {"handshake": {"version": "RFB 003.007\n", "close_at": "version"}}]}
    scenarios.check(d)
    srv = rfbserver.Server(d, connections=2, timeout=10, quiet=True).start()
    got = []
    for _ in range(2):
        s = socket.create_connection(("127.0.0.1", srv.port), timeout=5)
        got.append(recv_exact(s, 12))
        assert s.recv(1) == b""
        s.close()
    assert srv.wait(10) == 0, srv.report()
    assert got == [b"RFB 003.008\n", b"RFB 003.007\n"]


def test_builtin_scenarios_are_well_formed():
    for name in scenarios.names():
        d = scenarios.load_dict(name, {})
        if d is not None:
            scenarios.check(d)
