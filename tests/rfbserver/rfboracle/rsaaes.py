"""Server side of the RSA-AES security types (5, 6, 129, 130), written from the protocol with
pycryptodome: RSA keys and PKCS #1 v1.5, SHA-1 / SHA-256 and AES in EAX mode.

Order on the wire (integers big-endian): the server's key (u32 bits, modulus, exponent, each
(bits + 7) / 8 bytes), the client's key, the client's random (u16 length, RSA ciphertext),
the server's random (the same with the client's key). Keys: H = SHA-1 for 128-bit AES,
SHA-256 for 256-bit; what the client sends is keyed with H(server random, client random),
what it receives with H(client random, server random), cut to 16 or 32 bytes. Then, inside
the channel: the client's H(client key block, server key block), the server's
H(server key block, client key block), the subtype byte (0 none, 1 user and password, 2
password) and the credentials (u8 length and text each). Types 6 and 130 drop the channel
before the SecurityResult.

Channel records: u16 plain length n, n ciphered bytes, 16-byte tag; nonce = the direction's
record counter (u32 little-endian) and 12 zero bytes; the length field is the header.
"""

import hashlib
import os
import struct

try:
    from Cryptodome.Cipher import AES, PKCS1_v1_5
    from Cryptodome.PublicKey import RSA
except ImportError:  # pragma: no cover
    from Crypto.Cipher import AES, PKCS1_v1_5
    from Crypto.PublicKey import RSA

_KEYS = {}


def server_key(bits=2048):
    """An RSA key of that size, made once per process."""
    if bits not in _KEYS:
        _KEYS[bits] = RSA.generate(bits)
    return _KEYS[bits]


def key_block(bits, n, e):
    size = (bits + 7) // 8
    return struct.pack(">I", bits) + n.to_bytes(size, "big") + e.to_bytes(size, "big")


def fingerprint(block):
    """The text form the viewer shows and remembers: SHA-1 of the key block, 8 bytes."""
    return "-".join("%02x" % b for b in hashlib.sha1(block).digest()[:8])


class EaxChannel:
    def __init__(self, send_key, recv_key):
        self.send_key, self.recv_key = send_key, recv_key
        self.send_counter = self.recv_counter = 0
        self.pending = b""
        self.tamper_next = False  # flip a bit of the next record's tag

    @staticmethod
    def _nonce(counter):
        return struct.pack("<I", counter) + bytes(12)

    def encrypt(self, data):
        out = b""
        for i in range(0, max(len(data), 1), 0xFFFF):
            part = data[i:i + 0xFFFF]
            header = struct.pack(">H", len(part))
            c = AES.new(self.send_key, AES.MODE_EAX, nonce=self._nonce(self.send_counter), mac_len=16)
            self.send_counter += 1
            c.update(header)
            ct, tag = c.encrypt_and_digest(part)
            if self.tamper_next:
                tag = tag[:-1] + bytes([tag[-1] ^ 1])
                self.tamper_next = False
            out += header + ct + tag
        return out

    def read(self, n, raw_recv):
        while len(self.pending) < n:
            header = raw_recv(2)
            size = struct.unpack(">H", header)[0]
            body = raw_recv(size + 16)
            c = AES.new(self.recv_key, AES.MODE_EAX, nonce=self._nonce(self.recv_counter), mac_len=16)
            self.recv_counter += 1
            c.update(header)
            self.pending += c.decrypt_and_verify(body[:size], body[size:])
        out, self.pending = self.pending[:n], self.pending[n:]
        return out


def rsa_aes_auth(subtype=1, key=None, bits=None, record=None, bad_hash=False, exponent_field=None,
                 modulus_field=None):
    """An `auth` callback of the handshake for types 5, 6, 129 and 130. record gets the
    fingerprint, the client's key size, whether its hash matched and the credentials, and
    in "rx_after_key" how many bytes the viewer had sent when the server's key went out.
    bits overrides the u32 length field of the server's key; exponent_field and
    modulus_field replace the exponent's and the modulus's bytes."""
    record = record if record is not None else {}

    def auth(s, chosen):
        k = key or server_key()
        kbits = 256 if chosen in (129, 130) else 128
        h = hashlib.sha256 if kbits == 256 else hashlib.sha1
        size = (k.size_in_bits() + 7) // 8
        block = key_block(k.size_in_bits(), k.n, k.e)
        if exponent_field is not None:
            block = block[:4 + size] + exponent_field
        if modulus_field is not None:
            block = block[:4] + modulus_field + block[4 + size:]
        if bits is not None:
            block = struct.pack(">I", bits) + block[4:]
        record["fingerprint"] = fingerprint(block)
        s.send(block)
        record["rx_after_key"] = len(s.rx)
        cbits = struct.unpack(">I", s.recv(4))[0]
        csize = (cbits + 7) // 8
        cn = int.from_bytes(s.recv(csize), "big")
        ce = int.from_bytes(s.recv(csize), "big")
        record["client_bits"] = cbits
        client_block = key_block(cbits, cn, ce)
        n = struct.unpack(">H", s.recv(2))[0]
        client_random = PKCS1_v1_5.new(k).decrypt(s.recv(n), None)
        record["client_random_length"] = len(client_random) if client_random else None
        server_random = os.urandom(kbits // 8)
        ct = PKCS1_v1_5.new(RSA.construct((cn, ce))).encrypt(server_random)
        s.send(struct.pack(">H", len(ct)) + ct)
        kb = kbits // 8
        recv_key = h(server_random + client_random).digest()[:kb]
        send_key = h(client_random + server_random).digest()[:kb]
        s.channel = EaxChannel(send_key, recv_key)
        theirs = s.recv(h().digest_size)
        record["client_hash_ok"] = theirs == h(client_block + block).digest()
        s.check(record["client_hash_ok"], "the viewer's key hash")
        ours = h(block + client_block).digest()
        if bad_hash:
            ours = bytes([ours[0] ^ 1]) + ours[1:]
        s.send(ours + bytes([subtype]))
        if subtype in (1, 2):
            user = s.recv(s.recv(1)[0]).decode("latin-1")
            password = s.recv(s.recv(1)[0]).decode("latin-1")
            record["user"], record["password"] = user, password
        if chosen in (6, 130):
            s.channel = None
        return record

    return auth
