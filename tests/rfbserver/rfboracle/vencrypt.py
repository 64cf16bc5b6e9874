"""Server side of VeNCrypt (security type 19), written from the protocol with Python's ssl
module.

Order on the wire: the server's version (u8 major 0, u8 minor 2), the viewer's version, one
status byte (0 = accepted), the count byte and that many u32 big-endian sub-types, the
viewer's choice (u32). For the TLS sub-types (256 and above) the server acknowledges with a
byte 1 and a TLS handshake follows, the server's certificate given; from then on every byte
travels in TLS records. X509None (260) needs nothing more; Plain (256) and X509Plain (262)
carry the credentials: u32 user-name length, u32 password length, the user name, the
password.

TLS runs on memory BIOs (ssl.SSLObject) over the session's socket; records are read whole
(5-byte header, then the length it gives).
"""

import ssl
import struct

from .errors import PeerClosed

TLS_SUBTYPES = (256, 257, 258, 259, 260, 261, 262)


class TlsChannel:
    """The session's channel once the handshake is done (see session.Session.recv/send)."""

    def __init__(self, obj, incoming, outgoing):
        self.obj, self.incoming, self.outgoing = obj, incoming, outgoing
        self.pending = b""
        self.closed_by_peer = False

    def encrypt(self, data):
        if data:
            self.obj.write(data)
        return self.outgoing.read()

    def feed_record(self, raw_recv):
        header = raw_recv(5)
        self.incoming.write(header + raw_recv(struct.unpack(">H", header[3:5])[0]))

    def read(self, n, raw_recv):
        while len(self.pending) < n:
            try:
                chunk = self.obj.read(1 << 16)
            except ssl.SSLWantReadError:
                self.feed_record(raw_recv)
                continue
            except ssl.SSLZeroReturnError:
                chunk = b""
            if not chunk:
                self.closed_by_peer = True
                raise PeerClosed("the viewer ended the TLS session (close notification)")
            self.pending += chunk
        out, self.pending = self.pending[:n], self.pending[n:]
        return out


def vencrypt_auth(cert, key, subtypes=(262,), record=None):
    """An `auth` callback of the handshake for type 19. record gets the chosen sub-type,
    whether TLS was set up, the credentials, and whether the viewer sent the TLS close
    notification instead of going on ("close_notify")."""
    record = record if record is not None else {}

    def auth(s, chosen):
        s.send(bytes([0, 2]))
        record["client_version"] = tuple(s.recv(2))
        s.send(bytes([0, len(subtypes)]) + b"".join(struct.pack(">I", t) for t in subtypes))
        sub = struct.unpack(">I", s.recv(4))[0]
        record["subtype"] = sub
        if sub not in TLS_SUBTYPES:
            return record
        s.send(b"\x01")
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(str(cert), str(key))
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        obj = ctx.wrap_bio(incoming, outgoing, server_side=True)
        channel = TlsChannel(obj, incoming, outgoing)
        for _ in range(100):
            try:
                obj.do_handshake()
                break
            except ssl.SSLWantReadError:
                out = outgoing.read()
                if out:
                    s.send(out)
                channel.feed_record(s.recv)
        out = outgoing.read()
        if out:
            s.send(out)
        record["tls"] = obj.version()
        s.channel = channel
        try:
            if sub in (256, 262):
                ulen, plen = struct.unpack(">II", s.recv(8))
                record["user"] = s.recv(ulen).decode("latin-1") if ulen else ""
                record["password"] = s.recv(plen).decode("latin-1") if plen else ""
        except PeerClosed:
            record["close_notify"] = channel.closed_by_peer
            raise
        return record

    return auth
