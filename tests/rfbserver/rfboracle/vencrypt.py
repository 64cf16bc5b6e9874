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
(5-byte header, then the length it gives). Or (s_server_auth) a real `openssl s_server`
does the TLS: the viewer's raw bytes are relayed to it over a Unix socket, and the
session's plain bytes go in and out of its standard streams.
"""

import os
import select
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time

from .errors import PeerClosed, ScriptTimeout

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


def _negotiate(s, subtypes, record):
    """Version and sub-type; True when the viewer chose a TLS sub-type (acknowledged)."""
    s.send(bytes([0, 2]))
    record["client_version"] = tuple(s.recv(2))
    s.send(bytes([0, len(subtypes)]) + b"".join(struct.pack(">I", t) for t in subtypes))
    sub = struct.unpack(">I", s.recv(4))[0]
    record["subtype"] = sub
    if sub not in TLS_SUBTYPES:
        return False
    s.send(b"\x01")
    return True


def _read_credentials(s, sub, record):
    if sub in (256, 262):
        ulen, plen = struct.unpack(">II", s.recv(8))
        record["user"] = s.recv(ulen).decode("latin-1") if ulen else ""
        record["password"] = s.recv(plen).decode("latin-1") if plen else ""


class SServerChannel:
    """The session's channel when openssl s_server does the TLS (-quiet: its standard
    streams carry nothing but the session's bytes, and it takes no commands from them)."""

    def __init__(self, sock, cert, key, chain=None, timeout=60.0, server_args=()):
        self.sock, self.timeout = sock, timeout
        # openssl cannot name a Unix socket path of more than about 30 characters.
        self.folder = tempfile.mkdtemp(prefix="kebtls", dir="/tmp" if os.path.isdir("/tmp") else None)
        path = os.path.join(self.folder, "s")
        cmd = ["openssl", "s_server", "-quiet", "-naccept", "1", "-unix", path, "-cert", str(cert), "-key", str(key)]
        if chain:
            cmd += ["-cert_chain", str(chain)]
        cmd += [str(a) for a in server_args]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while not os.path.exists(path):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise ScriptTimeout("openssl s_server did not start: %s" % self.proc.stderr.read(4096))
            time.sleep(0.02)
        self.tls = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.tls.connect(path)
        self.pending = b""
        self.ended = False
        self.cond = threading.Condition()
        for target in (self._viewer_to_tls, self._tls_to_viewer, self._plain_in):
            threading.Thread(target=target, daemon=True).start()
        threading.Thread(target=self._reap, daemon=True).start()

    def _viewer_to_tls(self):
        try:
            while True:
                if not select.select([self.sock], [], [], 0.25)[0]:
                    continue
                try:
                    data = self.sock.recv(1 << 16, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    continue
                if not data:
                    break
                self.tls.sendall(data)
        except OSError:
            pass
        try:
            self.tls.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def _tls_to_viewer(self):
        try:
            while True:
                data = self.tls.recv(1 << 16)
                if not data:
                    break
                self.sock.sendall(data)
        except OSError:
            pass

    def _plain_in(self):
        while True:
            data = os.read(self.proc.stdout.fileno(), 1 << 16)
            with self.cond:
                if not data:
                    self.ended = True
                else:
                    self.pending += data
                self.cond.notify_all()
            if not data:
                return

    def _reap(self):
        try:
            self.proc.wait(self.timeout + 60)
        except subprocess.TimeoutExpired:
            pass
        self.close()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        try:
            os.unlink(os.path.join(self.folder, "s"))
            os.rmdir(self.folder)
        except OSError:
            pass

    def encrypt(self, data):
        if data:
            try:
                self.proc.stdin.write(data)
                self.proc.stdin.flush()
            except OSError as e:
                raise PeerClosed("the TLS session ended (%s)" % e)
        return b""

    def read(self, n, raw_recv):
        deadline = time.monotonic() + self.timeout
        with self.cond:
            while len(self.pending) < n:
                if self.ended:
                    raise PeerClosed("the TLS session ended")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise ScriptTimeout("nothing from the viewer inside TLS")
                self.cond.wait(left)
            out, self.pending = self.pending[:n], self.pending[n:]
        return out


def s_server_auth(cert, key, chain=None, subtypes=(260,), record=None, server_args=()):
    """An `auth` callback of the handshake for type 19 whose TLS is a real openssl
    s_server's, with the certificate (and the chain file) given, and s_server's further
    options. record gets the sub-type and the Plain credentials; the session's channel is
    the SServerChannel."""
    record = record if record is not None else {}

    def auth(s, chosen):
        if not _negotiate(s, subtypes, record):
            return record
        s.channel = SServerChannel(s.sock, cert, key, chain, server_args=server_args)
        _read_credentials(s, record["subtype"], record)
        return record

    return auth


def vencrypt_auth(cert, key, subtypes=(262,), record=None):
    """An `auth` callback of the handshake for type 19. record gets the chosen sub-type,
    whether TLS was set up, the credentials, and whether the viewer sent the TLS close
    notification instead of going on ("close_notify")."""
    record = record if record is not None else {}

    def auth(s, chosen):
        if not _negotiate(s, subtypes, record):
            return record
        sub = record["subtype"]
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
            _read_credentials(s, sub, record)
        except PeerClosed:
            record["close_notify"] = channel.closed_by_peer
            raise
        return record

    return auth
