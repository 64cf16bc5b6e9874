"""Server side of the RFB handshake, scripted by a dict of parameters.

Steps, in order (their names are used by close_at / stall_at and in the record):
  accept          the TCP connection was accepted
  repeater        (only with `repeater`) the repeater's version was sent and, for
                  0.0, the viewer's 250-byte target field read
  version         the ProtocolVersion was sent
  client_version  the viewer's 12-byte answer was read
  extra_text      (minors 14, 16, 18) the u32 length and text were sent, the u32 answer read
  sectypes        the security types (list form) or the u32 type (3.3 form) were sent
  choice          the viewer's chosen type was read (list form)
  auth            the type's own exchange was done (104, 105, 116, 2, 112, 113, or a
                  callback)
  result          the SecurityResult (and reason) was sent
  clientinit      ClientInit was read
  serverinit      ServerInit was sent; the handshake is complete

Parameters (all optional; text values are str (latin-1) or bytes, "hex:..." for raw):
  repeater        version the repeater sends first, e.g. "RFB 000.000\\n"
  version         ProtocolVersion sent (default "RFB 003.008\\n"); None sends nothing
  extra_text      text for minors 14/16/18 (default "Test server wants to connect")
  extra_text_length  value of its u32 length field
  form            "list" or "u32": negotiation form (default: by the viewer's minor)
  sectypes        list of types offered (default [1]); count: value of the count byte
  type33          u32 type of the 3.3 form (default: first of sectypes)
  reason          reason string sent after a 0 count or type 0
  result          SecurityResult (default 0; -1 continue; None: send none)
  result_reason   reason after a failure result (sent for 1 with minor >= 7 and for 3)
  send_reason     force (true) or suppress (false) the reason after the result
  server_text     type 104 text; server_text_length: its u32 LE length field
  helpdesk        type 105 entries (list of text); helpdesk_count: the count byte
  challenge       type 2 challenge (hex, 16 bytes); password: checked when given
  user, mslogon_block, dh   the logon types 112 and 113 (rfboracle/logon.py)
  auth            Python callable (session, type) for other types
  rounds          list of dicts with the per-round keys above (sectypes, count, type33,
                  reason, result, result_reason, send_reason, server_text, helpdesk,
                  challenge, password, user, mslogon_block, dh, auth) for layered
                  schemes ("continue" results)
  width, height, pixel_format (dict or name), name, name_size (generated name length),
  name_length     ServerInit fields; name_length overrides the u32 length field
  close_at, stall_at   step name after which the server closes / falls silent
                  (stall: waits until the viewer closes, bounded by the timeout);
                  "step:N" applies to round N (from 0) only
                  A viewer closing the connection during the handshake is a failure
                  unless expect names the step ("peer_closed_at").
  expect          dict of recorded values that must match (see the record keys)
"""

import re
import struct

from . import logon
from .pixfmt import PixelFormat
from .errors import PeerClosed, HandshakeStopped

STEPS = ("accept", "repeater", "version", "client_version", "extra_text", "sectypes",
         "choice", "auth", "result", "clientinit", "serverinit")

ROUND_KEYS = ("sectypes", "count", "type33", "reason", "result", "result_reason",
              "send_reason", "server_text", "server_text_length", "helpdesk",
              "helpdesk_count", "challenge", "password", "user", "mslogon_block", "dh",
              "auth")

CONTINUE = 0xFFFFFFFF


def to_bytes(v):
    if v is None:
        return b""
    if isinstance(v, (bytes, bytearray)):
        return bytes(v)
    v = str(v)
    if v.startswith("hex:"):
        return bytes.fromhex(v[4:])
    return v.encode("latin-1")


def _reason(text):
    t = to_bytes(text)
    return struct.pack(">I", len(t)) + t


def check_script(script):
    """Raise ValueError for parameters the handshake script does not know."""
    bad = set(script) - set(_ALL_KEYS)
    if bad:
        raise ValueError("unknown handshake parameters: %s" % ", ".join(sorted(bad)))
    for k in ("close_at", "stall_at"):
        v = script.get(k)
        if v is not None and v.split(":")[0] not in STEPS:
            raise ValueError("%s must be one of %s (optionally ':round')"
                             % (k, ", ".join(STEPS)))
    for rnd in script.get("rounds") or []:
        bad = set(rnd) - set(ROUND_KEYS)
        if bad:
            raise ValueError("unknown round parameters: %s" % ", ".join(sorted(bad)))
    if "pixel_format" in script:
        PixelFormat.from_dict(script["pixel_format"])


class _Run:
    def __init__(self, s, script):
        self.s = s
        self.script = dict(script)
        check_script(self.script)
        self.round_idx = 0
        self.hs = s.record["handshake"]
        self.minor = None

    def done(self, step):
        self.s.hs_step = step
        self.hs.setdefault("steps", []).append(step)
        # "choice:3" names the step of the fourth round only
        names = (step, "%s:%d" % (step, self.round_idx))
        if self.script.get("close_at") in names:
            self.s.log("handshake: closing after step %s" % step)
            self.hs["stopped_at"] = step
            self.s.close()
            raise HandshakeStopped(step)
        if self.script.get("stall_at") in names:
            self.s.log("handshake: silent after step %s, waiting for the viewer to close"
                       % step)
            self.hs["stopped_at"] = step
            self.s.wait_peer_close_raw()
            raise HandshakeStopped(step)

    def recv(self, n):
        return self.s.recv(n)

    def run(self):
        s, sp, hs = self.s, self.script, self.hs
        self.done("accept")
        if sp.get("repeater") is not None:
            rv = to_bytes(sp["repeater"])
            s.send(rv)
            if rv[:12] == b"RFB 000.000\n":
                target = self.recv(250)
                hs["repeater_target"] = target.split(b"\0", 1)[0].decode("latin-1")
                hs["repeater_field_hex"] = target.hex()
                text = target.split(b"\0", 1)[0]
                hs["repeater_padding_ok"] = target[len(text):] == bytes(250 - len(text))
            self.done("repeater")
        version = sp.get("version", "RFB 003.008\n")
        if version is not None:
            s.send(to_bytes(version))
        self.done("version")
        cv = self.recv(12)
        hs["client_version"] = cv.decode("latin-1")
        m = re.match(rb"RFB (\d{3})\.(\d{3})\n$", cv)
        if not m:
            s.unexpected("client version %r is not 'RFB xxx.yyy\\n'" % cv)
            self.done("client_version")
            s.close()
            raise HandshakeStopped("client_version")
        self.minor = int(m.group(2))
        hs["client_major"] = int(m.group(1))
        hs["client_minor"] = self.minor
        self.done("client_version")
        if self.minor in (14, 16, 18):
            text = to_bytes(sp.get("extra_text", "Test server wants to connect"))
            n = sp.get("extra_text_length", len(text))
            s.send(struct.pack(">I", n & 0xFFFFFFFF) + text)
            ans = struct.unpack(">I", self.recv(4))[0]
            hs["extra_text_answer"] = ans
            self.minor -= 10
            self.done("extra_text")
            if ans == 0:
                s.log("handshake: viewer refused the connection text")
                raise HandshakeStopped("extra_text")
        form = sp.get("form") or ("list" if self.minor >= 7 else "u32")
        hs["form"] = form
        rounds = sp.get("rounds") or [{k: sp[k] for k in ROUND_KEYS if k in sp}]
        hs["rounds"] = []
        for i, rnd in enumerate(rounds):
            self.round_idx = i
            result = self.round(rnd, form)
            if result != CONTINUE:
                break
            if i + 1 == len(rounds):
                s.log("handshake: 'continue' sent and no further round scripted")
                self.s.wait_peer_close_raw()
                raise HandshakeStopped("result")
        if result not in (0, None):
            # The viewer fails the connection now; nothing more to script.
            s.log("handshake: security result %d sent, waiting for the viewer to close"
                  % result)
            self.s.wait_peer_close_raw()
            raise HandshakeStopped("result")
        flags = self.recv(1)[0]
        hs["clientinit_flags"] = flags
        hs["shared"] = bool(flags & 1)
        if flags & 2:
            n = self.recv(1)[0]
            hs["info_msg"] = self.recv(n).decode("latin-1")
        if flags & ~3:
            s.unexpected("ClientInit flags 0x%02x have bits other than 0 and 1" % flags)
        self.done("clientinit")
        self.server_init()
        self.done("serverinit")

    def round(self, rnd, form):
        s, hs = self.s, self.hs
        rec = {}
        hs["rounds"].append(rec)
        types = [int(t) for t in rnd.get("sectypes", [1])]
        rec["offered"] = types
        if form == "list":
            count = rnd.get("count", len(types))
            s.send(bytes([count & 0xFF]) + bytes(t & 0xFF for t in types))
            self.done("sectypes")
            if count == 0:
                s.send(_reason(rnd.get("reason", "No security types for you")))
                s.log("handshake: empty type list sent with its reason")
                self.s.wait_peer_close_raw()
                raise HandshakeStopped("sectypes")
            chosen = self.recv(1)[0]
            rec["choice"] = chosen
            if chosen not in types:
                s.unexpected("viewer chose type %d, which was not offered %s"
                             % (chosen, types))
            self.done("choice")
        else:
            chosen = int(rnd.get("type33", types[0] if types else 0)) & 0xFFFFFFFF
            s.send(struct.pack(">I", chosen))
            rec["type33"] = chosen
            self.done("sectypes")
            if chosen == 0:
                s.send(_reason(rnd.get("reason", "Connection refused by test server")))
                self.s.wait_peer_close_raw()
                raise HandshakeStopped("sectypes")
        self.auth(rnd, chosen, rec, form)
        self.done("auth")
        result = rnd.get("result", 0)
        if result is None:
            rec["result"] = None
            return None
        result &= 0xFFFFFFFF
        if chosen == 1 and self.minor < 8 and "result" not in rnd:
            rec["result"] = None        # 3.3 / 3.7: no SecurityResult for None
            return 0
        s.send(struct.pack(">I", result))
        rec["result"] = result
        send_reason = rnd.get("send_reason")
        if send_reason is None:
            send_reason = (result == 1 and self.minor >= 7) or result == 3
        if send_reason:
            s.send(_reason(rnd.get("result_reason", "Authentication failed")))
        self.done("result")
        return result

    def auth(self, rnd, chosen, rec, form):
        s = self.s
        if callable(rnd.get("auth")):
            rnd["auth"](s, chosen)
        elif chosen == 1:
            pass
        elif chosen == 116:
            if form == "list":
                n = self.recv(1)[0]
                rec["info_msg"] = self.recv(n).decode("latin-1")
        elif chosen == 104:
            text = to_bytes(rnd.get("server_text", "Connection request from test server"))
            n = rnd.get("server_text_length", len(text))
            s.send(struct.pack("<I", n & 0xFFFFFFFF) + text)
            rec["answer"] = struct.unpack("<I", self.recv(4))[0]
        elif chosen == 105:
            entries = [to_bytes(e) for e in rnd.get("helpdesk", ["Helpdesk one",
                                                                 "Helpdesk two"])]
            count = rnd.get("helpdesk_count", len(entries))
            body = bytes([count & 0xFF]) + b"".join(
                (e[:128] + b"\0" * 128)[:128] for e in entries)
            s.send(body)
            rec["answer"] = struct.unpack("<I", self.recv(4))[0]
        elif chosen == 2:
            challenge = bytes.fromhex(rnd.get("challenge", "00112233445566778899aabbccddeeff"))
            s.send(challenge)
            resp = self.recv(16)
            rec["des_response"] = resp.hex()
            if "password" in rnd:
                rec["password_ok"] = resp == vnc_des_response(rnd["password"], challenge)
        elif chosen == 112:
            logon.mslogon1(s, rnd, rec, to_bytes, vnc_des_response)
        elif chosen in (113, 0xFFFFFFFA):     # -6 in the 3.3 form: the same scheme
            logon.mslogon2(s, rnd, rec, to_bytes)
        else:
            s.log("handshake: no exchange scripted for type %d; going on to the result"
                  % chosen)

    def server_init(self):
        s, sp = self.s, self.script
        w = sp.get("width", s.desktop.shape[1])
        h = sp.get("height", s.desktop.shape[0])
        pf = PixelFormat.from_dict(sp.get("pixel_format", "rgb888"))
        if "name_size" in sp:
            pat = b"Test desktop name "
            name = (pat * (sp["name_size"] // len(pat) + 1))[:sp["name_size"]]
        else:
            name = to_bytes(sp.get("name", "rfbserver test desktop"))
        n = sp.get("name_length", len(name))
        s.send(struct.pack(">HH", w & 0xFFFF, h & 0xFFFF) + pf.pack()
               + struct.pack(">I", n & 0xFFFFFFFF) + name)
        # Complete before the reader starts: whoever sees the viewer's first message sees
        # a completed handshake.
        s.record["handshake"]["completed"] = True
        s.server_init_done(w, h, pf)


_ALL_KEYS = set(ROUND_KEYS) | {
    "repeater", "version", "extra_text", "extra_text_length", "form", "rounds", "width",
    "height", "pixel_format", "name", "name_size", "name_length", "close_at", "stall_at",
    "expect"}


def vnc_des_response(password, challenge):
    """The VNC authentication response (DES with bit-reversed key bytes)."""
    try:
        from Cryptodome.Cipher import DES   # Debian's python3-pycryptodome
    except ImportError:
        from Crypto.Cipher import DES
    key = (to_bytes(password) + b"\0" * 8)[:8]
    key = bytes(int("{:08b}".format(b)[::-1], 2) for b in key)
    return DES.new(key, DES.MODE_ECB).encrypt(challenge)


def run(s, script):
    """Run the handshake on session `s`; returns the handshake record."""
    hs = s.record["handshake"]
    hs["completed"] = False
    r = _Run(s, script)
    try:
        r.run()
    except HandshakeStopped:
        pass
    except PeerClosed as e:
        hs["peer_closed_at"] = s.hs_step
        s.log("handshake: the viewer closed the connection after step %s (%s)"
              % (s.hs_step, e))
    expect = script.get("expect") or {}
    if "peer_closed_at" in hs and "peer_closed_at" not in expect:
        s.fail("the viewer closed the connection during the handshake after step %s"
               % hs["peer_closed_at"])
    for k, v in expect.items():
        got = _lookup(hs, k)
        s.check(got == v, "handshake %s: expected %r, got %r" % (k, v, got))
    return hs


def _lookup(hs, key):
    if key in ("choice", "answer", "info_msg_116", "result", "des_response",
               "password_ok", "user_ok", "mask_ok"):
        rounds = hs.get("rounds") or [{}]
        k = "info_msg" if key == "info_msg_116" else key
        return rounds[-1].get(k)
    if key == "choices":
        return [r.get("choice") for r in hs.get("rounds", [])]
    return hs.get(key)
