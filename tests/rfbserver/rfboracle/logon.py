"""Server side of the two logon schemes that carry a Windows user name.

Type 112 (3.3 only; the viewer then runs type 2 as the logon form): the server sends a
64-byte block and the 16-byte challenge; the viewer answers with a 256-byte user name,
a 256-byte second name (domain), the block with its first 32 bytes XOR-ed with the long
stored form of the password (32 characters NUL-padded, the first 8 bytes DES-enciphered
with the fixed password key), and the DES response to the challenge (key: the first 8
password characters).

Type 113 (or -6 in the 3.3 form): the server sends generator, modulus and its public
value as 8-byte big-endian numbers; the viewer answers with its public value, then a
256-byte user name and a 64-byte password, each NUL-padded and DES-chained (CBC) from
the shared key, which is both the DES key and the initial vector.

DES follows the RFB convention throughout: each key byte bit-reversed, then standard DES.

Round parameters used here:
  user            expected user name (user_ok recorded)
  password        expected password (password_ok recorded)
  mslogon_block   type 112: the 64-byte block, hex (default: random)
  challenge       type 112: the challenge, hex
  dh              type 113: dict with generator, modulus, private (the server's private
                  value; default random) and public (a value sent instead of the
                  server's real public value); values are sent as u64 whatever they are
A viewer that refuses the values closes the connection: the record then shows how far it
went (client_public present or not; user never).
"""

import os
import random
import struct

try:
    from Cryptodome.Cipher import DES   # Debian's python3-pycryptodome
except ImportError:                      # pragma: no cover
    from Crypto.Cipher import DES

PASSWORD_KEY = bytes.fromhex("5CE1097A33D48B26")
DEFAULT_MODULUS = 2147483647   # 2^31 - 1, a prime
DEFAULT_GENERATOR = 7          # a primitive root of it


def rfb_key(key):
    return bytes(int("{:08b}".format(b)[::-1], 2) for b in key)


def des_ecb(key, data, decrypt=False):
    c = DES.new(rfb_key(key), DES.MODE_ECB)
    return c.decrypt(data) if decrypt else c.encrypt(data)


def long_stored_password(password):
    """The 32-byte long stored form of a password."""
    p = (password + b"\0" * 32)[:32]
    return des_ecb(PASSWORD_KEY, p[:8]) + p[8:]


def read_long_stored_password(form):
    """The password text held in a 32-byte long stored form."""
    plain = des_ecb(PASSWORD_KEY, form[:8], decrypt=True) + form[8:]
    return plain.split(b"\0", 1)[0]


def text_field(field, rec, name):
    """Records the text of a NUL-padded field and whether the rest of it is zero."""
    text = field.split(b"\0", 1)[0]
    rec[name] = text.decode("latin-1")
    rec[name + "_padding_ok"] = field[len(text):] == bytes(len(field) - len(text))
    return text


def _expect(rnd, rec, key, got):
    if key in rnd:
        want = rnd[key]
        want = want.encode("latin-1") if isinstance(want, str) else bytes(want)
        rec[key + "_ok"] = got == want


def mslogon1(s, rnd, rec, to_bytes, vnc_des_response):
    block = bytes.fromhex(rnd["mslogon_block"]) if "mslogon_block" in rnd else os.urandom(64)
    challenge = bytes.fromhex(rnd.get("challenge", "00112233445566778899aabbccddeeff"))
    rec["mslogon_block"] = block.hex()
    s.send(block + challenge)
    user = s.recv(256, "the user name")
    text_field(user, rec, "user")
    domain = s.recv(256, "the second name")
    text_field(domain, rec, "domain")
    masked = s.recv(64, "the masked block")
    rec["mask_tail_ok"] = masked[32:] == block[32:]
    form = bytes(a ^ b for a, b in zip(masked[:32], block[:32]))
    rec["mask_hex"] = form.hex()
    rec["mask_password"] = read_long_stored_password(form).decode("latin-1")
    resp = s.recv(16, "the challenge response")
    rec["des_response"] = resp.hex()
    if "password" in rnd:
        password = to_bytes(rnd["password"])
        rec["password_ok"] = resp == vnc_des_response(password, challenge)
        rec["mask_ok"] = form == long_stored_password(password)
    _expect(rnd, rec, "user", user.split(b"\0", 1)[0])


def mslogon2(s, rnd, rec, to_bytes):
    dh = dict(rnd.get("dh") or {})
    m = int(dh.get("modulus", DEFAULT_MODULUS))
    g = int(dh.get("generator", DEFAULT_GENERATOR))
    if "private" in dh:
        x = int(dh["private"])
    else:
        x = random.SystemRandom().randrange(2, m - 1) if m > 4 else 2
    if "public" in dh:
        ours = int(dh["public"])
    else:
        ours = pow(g, x, m) if m > 1 else 0
    rec.update(dh_generator=g, dh_modulus=m, dh_private=x, dh_server_public=ours)
    s.send(struct.pack(">QQQ", g & (2**64 - 1), m & (2**64 - 1), ours & (2**64 - 1)))
    theirs = struct.unpack(">Q", s.recv(8, "the viewer's public value"))[0]
    rec["client_public"] = theirs
    rec["client_public_ok"] = 1 < theirs < m
    if not rec["client_public_ok"]:
        s.unexpected("the viewer's public value %d is not within 2 .. %d" % (theirs, m - 1))
        return
    key = pow(theirs, x, m).to_bytes(8, "big")
    rec["dh_key"] = int.from_bytes(key, "big")

    def unchain(data):
        return DES.new(rfb_key(key), DES.MODE_CBC, iv=key).decrypt(data)

    user = unchain(s.recv(256, "the user name"))
    password = unchain(s.recv(64, "the password"))
    text_field(user, rec, "user")
    text_field(password, rec, "password")
    _expect(rnd, rec, "user", user.split(b"\0", 1)[0])
    if "password" in rnd:
        rec["password_ok"] = password.split(b"\0", 1)[0] == to_bytes(rnd["password"])
