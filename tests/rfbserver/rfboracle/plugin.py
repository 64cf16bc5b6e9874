"""Server side of the test encryption plug-in (tests/plugin/testplugin.c), written from its
description, and of the plug-in challenge-response of security types 115 and 114.

The cipher: every byte is XOR-ed with a key byte and with (counter * 7) mod 256, the counter
running on per direction from 0. The key of a text is (0x5A + the sum of its bytes) mod 256.
  stream    the library's own transform, from the first byte of the connection
  records   per-connection objects: records of one length byte (1..255) and that many
            ciphered bytes
The integrated kind starts plain; after a challenge-response round both directions switch
to records keyed with key(password) XOR every challenge byte, counters from 0. Its
response is each challenge byte XOR-ed with the password (cycled; nothing without one) and
the round number.

A session's channel: `Session.channel` with encrypt(bytes) -> bytes and
read(n, raw_recv) -> n plain bytes.
"""

import struct


def key_of(text):
    if isinstance(text, str):
        text = text.encode("latin-1")
    return (0x5A + sum(text)) & 0xFF


class _Direction:
    def __init__(self, key):
        self.key = key & 0xFF
        self.counter = 0

    def run(self, data):
        out = bytearray()
        for b in data:
            out.append(b ^ self.key ^ ((self.counter * 7) & 0xFF))
            self.counter += 1
        return bytes(out)


class StreamChannel:
    """The library's stream transform: byte for byte."""

    def __init__(self, key):
        self.out = _Direction(key)
        self.inp = _Direction(key)

    def encrypt(self, data):
        return self.out.run(data)

    def read(self, n, raw_recv):
        return self.inp.run(raw_recv(n))


class RecordChannel:
    """Per-connection objects: records of at most 255 bytes behind a length byte."""

    def __init__(self, key):
        self.out = _Direction(key)
        self.inp = _Direction(key)
        self.pending = b""
        self.records_read = 0

    def encrypt(self, data):
        out = bytearray()
        for i in range(0, len(data), 255):
            part = data[i:i + 255]
            out.append(len(part))
            out += self.out.run(part)
        return bytes(out)

    def read(self, n, raw_recv):
        while len(self.pending) < n:
            size = raw_recv(1)[0]
            if size == 0:
                raise ValueError("empty record from the viewer")
            self.pending += self.inp.run(raw_recv(size))
            self.records_read += 1
        out, self.pending = self.pending[:n], self.pending[n:]
        return out


def integrated_key(password, challenge):
    k = key_of(password)
    for b in challenge:
        k ^= b
    return k


def response(challenge, password, rnd):
    pw = password.encode("latin-1") if isinstance(password, str) else password
    return bytes(c ^ (pw[i % len(pw)] if pw else 0) ^ rnd for i, c in enumerate(challenge))


def secure_plugin_auth(password, challenges, mode=1, expect_password=None, record=None):
    """An `auth` callback of the handshake for types 115 and 114: one round per challenge
    (bytes; the plug-in asks for another round when the first begins with b"M"). Checks
    each response; for 115 sends the mode byte and, unless the mode is 2, reads the
    viewer's password message. From the first round on the session's channel is the
    plug-in's. For 114 the channel starts after the SecurityResult, which this callback
    sends itself (plain, 0): script such a round with "result": None."""
    record = record if record is not None else {}

    def auth(s, chosen):
        current = chosen == 115
        record.update(responses=[], responses_ok=[], passwords=[])
        for rnd, challenge in enumerate(challenges):
            s.send(struct.pack("<H", len(challenge)) + challenge + (bytes([mode]) if current else b""))
            n = struct.unpack("<H", s.recv(2))[0]
            got = s.recv(n)
            record["responses"].append(got.hex())
            ok = got == response(challenge, password, rnd)
            record["responses_ok"].append(ok)
            s.check(ok, "plug-in response of round %d: %s" % (rnd, got.hex()))
            channel = RecordChannel(integrated_key(password, challenge))
            if current:
                s.channel = channel
                if mode != 2:
                    n = struct.unpack("<H", s.recv(2))[0]
                    pw = s.recv(n).decode("latin-1")
                    record["passwords"].append(pw)
                    if expect_password is not None:
                        s.check(pw == expect_password, "password message %r, expected %r"
                                % (pw, expect_password))
            elif rnd + 1 == len(challenges):
                s.send(struct.pack(">I", 0))
                s.channel = channel
        return record

    return auth
