"""The test server's logon schemes (types 112 and 113) against a plain-socket client that
plays the viewer's side from the protocol, with known DH values, so that what the server
records (user, password, mask, key) can be trusted when it judges the viewer."""

import socket
import struct

import pytest
from Cryptodome.Cipher import DES

import rfbserver

V38, V33 = b"RFB 003.008\n", b"RFB 003.003\n"


def rfb_des(key):
    return DES.new(bytes(int("{:08b}".format(b)[::-1], 2) for b in key), DES.MODE_ECB)


def chained(data, key):
    """DES chained from the key as initial vector, written out block by block."""
    out, prev = b"", key
    for i in range(0, len(data), 8):
        block = rfb_des(key).encrypt(bytes(a ^ b for a, b in zip(data[i:i + 8], prev)))
        out += block
        prev = block
    return out


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)

    def read(self, n):
        got = b""
        while len(got) < n:
            chunk = self.sock.recv(n - len(got))
            assert chunk, "server closed after %r" % got
            got += chunk
        return got

    def send(self, data):
        self.sock.sendall(data)


def start(**handshake):
    scenario = {"image": {"pattern": "solid:000000", "width": 16, "height": 8},
                "handshake": dict(handshake, name="n"), "steps": [], "end": "close"}
    return rfbserver.Server(scenario, timeout=10, quiet=True).start()


@pytest.mark.parametrize("form", ["list 113", "3.3 -6"])
def test_mslogon2_with_known_values(form):
    # g = 5, m = 23: server private 6 gives 5^6 mod 23 = 8; the client's private 15 gives
    # 5^15 mod 23 = 19; the key is 19^6 mod 23 = 2 = 8^15 mod 23.
    dh = {"generator": 5, "modulus": 23, "private": 6}
    if form == "list 113":
        srv = start(sectypes=[113], dh=dh, user="kim", password="pass word")
    else:
        srv = start(version=V33, type33=0xFFFFFFFA, dh=dh, user="kim", password="pass word")
    c = Client(srv.port)
    version = c.read(12)
    c.send(version)
    if form == "list 113":
        assert c.read(2) == b"\x01\x71"
        c.send(b"\x71")
    else:
        assert c.read(4) == b"\xff\xff\xff\xfa"
    assert c.read(24) == struct.pack(">QQQ", 5, 23, 8)
    c.send(struct.pack(">Q", 19))
    key = struct.pack(">Q", 2)
    c.send(chained(b"kim".ljust(256, b"\0"), key) + chained(b"pass word".ljust(64, b"\0"), key))
    assert c.read(4) == bytes(4)
    c.send(b"\x01")
    assert srv.wait(10) == 0, srv.report()
    rec = srv.session.record["handshake"]["rounds"][0]
    assert (rec["client_public"], rec["dh_key"]) == (19, 2)
    assert (rec["user"], rec["password"]) == ("kim", "pass word")
    assert rec["user_ok"] and rec["password_ok"]
    assert rec["user_padding_ok"] and rec["password_padding_ok"]


def test_mslogon1_reads_the_password_out_of_the_mask():
    block = bytes(range(64))
    challenge = bytes.fromhex("00112233445566778899aabbccddeeff")
    srv = start(version=V33, type33=112, mslogon_block=block.hex(), challenge=challenge.hex(),
                user="kim", password="twelve chars")
    c = Client(srv.port)
    c.send(c.read(12))
    assert c.read(4) == struct.pack(">I", 112)
    assert c.read(80) == block + challenge
    password = b"twelve chars"
    # The long stored form: first block enciphered with the fixed password key.
    form = rfb_des(bytes.fromhex("5CE1097A33D48B26")).encrypt(password[:8]) + password[8:].ljust(24, b"\0")
    masked = bytes(a ^ b for a, b in zip(form, block[:32])) + block[32:]
    response = rfb_des(password[:8]).encrypt(challenge)
    c.send(b"kim".ljust(256, b"\0") + bytes(256) + masked + response)
    assert c.read(4) == bytes(4)
    c.send(b"\x01")
    assert srv.wait(10) == 0, srv.report()
    rec = srv.session.record["handshake"]["rounds"][0]
    assert rec["mask_password"] == "twelve chars"
    assert rec["mask_ok"] and rec["mask_tail_ok"] and rec["password_ok"] and rec["user_ok"]
    assert (rec["user"], rec["domain"]) == ("kim", "")
