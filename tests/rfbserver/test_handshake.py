"""The test server's handshake scripts and client-message parser, checked byte by byte
from the client side with a plain socket."""

import socket
import struct
import zlib

import pytest

import rfbserver

PF_RGB888 = bytes.fromhex("20180001" "00ff00ff00ff" "100800" "000000")
V38, V37, V33 = b"RFB 003.008\n", b"RFB 003.007\n", b"RFB 003.003\n"


def server_init(w, h, name, length=None):
    return struct.pack(">HH", w, h) + PF_RGB888 + struct.pack(
        ">I", len(name) if length is None else length) + name


def reason(text):
    return struct.pack(">I", len(text)) + text


SI = server_init(16, 8, b"n")


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)

    def expect(self, want):
        got = b""
        while len(got) < len(want):
            chunk = self.sock.recv(len(want) - len(got))
            assert chunk, "server closed after %r, expected %r" % (got, want)
            got += chunk
        assert got == want

    def expect_eof(self):
        self.sock.settimeout(5)
        assert self.sock.recv(1) == b""

    def expect_nothing(self, seconds):
        self.sock.settimeout(seconds)
        with pytest.raises(socket.timeout):
            self.sock.recv(1)

    def send(self, data):
        self.sock.sendall(data)

    def finish(self):
        """Stops sending, reads what the server still sends until it closes, and closes:
        the server has read everything sent before (a close with unread bytes would reset
        the connection and could lose them)."""
        self.sock.shutdown(socket.SHUT_WR)
        self.sock.settimeout(20)
        while self.sock.recv(65536):
            pass
        self.sock.close()

    def close(self):
        self.sock.close()


def start(handshake, steps=(), end="close", timeout=10):
    scenario = {"image": {"pattern": "solid:000000", "width": 16, "height": 8},
                "handshake": dict(handshake, name=handshake.get("name", "n")),
                "steps": list(steps), "end": end}
    return rfbserver.Server(scenario, timeout=timeout, quiet=True).start()


LIST_NONE = [("S", V38), ("C", V38), ("S", b"\x01\x01"), ("C", b"\x01")]
HELPDESK = b"\x02" + (b"desk A" + bytes(122)) + (b"desk B" + bytes(122))

# id, handshake parameters, dialogue (S: server sends exactly, C: client sends,
# EOF: server closes, QUIET: server sends nothing for a while), expected record values
HANDSHAKES = [
    ("38-none", {}, LIST_NONE + [("S", bytes(4)), ("C", b"\x01"), ("S", SI), ("EOF",)],
     {"choice": 1, "clientinit_flags": 1, "completed": True}),
    ("37-none-no-result", {"version": V37}, [
        ("S", V37), ("C", V37), ("S", b"\x01\x01"), ("C", b"\x01"), ("C", b"\x00"),
        ("S", SI), ("EOF",)], {"completed": True, "shared": False}),
    ("33-none", {"version": V33}, [
        ("S", V33), ("C", V33), ("S", b"\0\0\0\x01"), ("C", b"\x01"), ("S", SI), ("EOF",)],
     {"form": "u32", "completed": True}),
    ("33-type0-reason", {"version": V33, "type33": 0, "reason": "busy"}, [
        ("S", V33), ("C", V33), ("S", bytes(4) + reason(b"busy"))], {"completed": False}),
    ("35-answered-38", {"version": b"RFB 003.005\n",
                        "expect": {"peer_closed_at": "sectypes"}}, [
        ("S", b"RFB 003.005\n"), ("C", V38), ("S", b"\x01\x01")],
     {"client_version": "RFB 003.008\n"}),
    ("314-extra-text", {"version": b"RFB 003.014\n", "extra_text": "hello"}, [
        ("S", b"RFB 003.014\n"), ("C", b"RFB 003.014\n"), ("S", b"\0\0\0\x05hello"),
        ("C", b"\0\0\0\x01"), ("S", b"\0\0\0\x01"), ("C", b"\x01"), ("S", SI), ("EOF",)],
     {"extra_text_answer": 1, "form": "u32", "completed": True}),
    ("318-extra-text-refused", {"version": b"RFB 003.018\n", "extra_text": "hi",
                                "extra_text_length": 1025}, [
        ("S", b"RFB 003.018\n"), ("C", b"RFB 003.018\n"), ("S", b"\0\0\x04\x01hi"),
        ("C", bytes(4)), ("EOF",)], {"extra_text_answer": 0, "completed": False}),
    ("repeater-00", {"repeater": "RFB 000.000\n", "expect": {"peer_closed_at": "version"}}, [
        ("S", b"RFB 000.000\n"), ("C", b"host.example:5901".ljust(250, b"\0")),
        ("S", V38)], {"repeater_target": "host.example:5901", "repeater_padding_ok": True}),
    ("repeater-38", {"repeater": V38, "expect": {"peer_closed_at": "sectypes"}}, [("S", V38 + V38), ("C", V38), ("S", b"\x01\x01")],
     {"client_version": "RFB 003.008\n"}),
    ("empty-list", {"sectypes": [], "reason": "nosec!"}, [
        ("S", V38), ("C", V38), ("S", b"\x00" + reason(b"nosec!"))], {"completed": False}),
    ("count-override", {"sectypes": [1, 2], "count": 5,
                        "expect": {"peer_closed_at": "result"}}, [
        ("S", V38), ("C", V38), ("S", b"\x05\x01\x02"), ("C", b"\x01")], {"choice": 1}),
    ("fail-reason-38", {"result": 1, "result_reason": "no"}, LIST_NONE + [
        ("S", b"\0\0\0\x01" + reason(b"no"))], {"result": 1, "completed": False}),
    ("fail-37-des", {"version": V37, "sectypes": [2], "result": 1, "result_reason": "bad",
                     "challenge": "0f" * 16, "password": "pw"}, [
        ("S", V37), ("C", V37), ("S", b"\x01\x02"), ("C", b"\x02"), ("S", b"\x0f" * 16),
        ("C", bytes(16)), ("S", b"\0\0\0\x01" + reason(b"bad"))],
     {"des_response": "00" * 16, "password_ok": False}),
    ("fail-33-no-reason", {"version": V33, "type33": 2, "result": 1,
                           "challenge": "01" * 16}, [
        ("S", V33), ("C", V33), ("S", b"\0\0\0\x02" + b"\x01" * 16), ("C", bytes(16)),
        ("S", b"\0\0\0\x01"), ("QUIET",)], {"result": 1}),
    ("too-many", {"result": 2}, LIST_NONE + [("S", b"\0\0\0\x02"), ("QUIET",)],
     {"result": 2}),
    ("fail-3-reason", {"result": 3, "result_reason": "r"}, LIST_NONE + [
        ("S", b"\0\0\0\x03" + reason(b"r"))], {"result": 3}),
    ("104-server-text", {"sectypes": [104], "server_text": "Allow?"}, [
        ("S", V38), ("C", V38), ("S", b"\x01\x68"), ("C", b"\x68"),
        ("S", b"\x06\0\0\0Allow?"), ("C", b"\x01\0\0\0"), ("S", bytes(4)), ("C", b"\x01"),
        ("S", SI)], {"answer": 1, "completed": True}),
    ("105-helpdesk", {"sectypes": [105], "helpdesk": ["desk A", "desk B"]}, [
        ("S", V38), ("C", V38), ("S", b"\x01\x69"), ("C", b"\x69"), ("S", HELPDESK),
        ("C", b"\x02\0\0\0"), ("S", bytes(4)), ("C", b"\x01"), ("S", SI)],
     {"answer": 2}),
    ("116-info", {"sectypes": [116]}, [
        ("S", V38), ("C", V38), ("S", b"\x01\x74"), ("C", b"\x74\x03abc"), ("S", bytes(4)),
        ("C", b"\x01"), ("S", SI)], {"info_msg_116": "abc"}),
    ("117-clientinit-info", {"sectypes": [117, 1]}, [
        ("S", V38), ("C", V38), ("S", b"\x02\x75\x01"), ("C", b"\x01"), ("S", bytes(4)),
        ("C", b"\x03\x05hello"), ("S", SI)], {"info_msg": "hello", "clientinit_flags": 3}),
    ("continue-then-des", {"rounds": [{"sectypes": [1], "result": -1},
                                      {"sectypes": [2], "challenge": "aa" * 16}]},
     LIST_NONE + [("S", b"\xff\xff\xff\xff\x01\x02"), ("C", b"\x02"), ("S", b"\xaa" * 16),
                  ("C", bytes(16)), ("S", bytes(4)), ("C", b"\x01"), ("S", SI)],
     {"choices": [1, 2], "completed": True}),
    ("no-result", {"result": None}, LIST_NONE + [("C", b"\x01"), ("S", SI)],
     {"completed": True}),
    ("name-length-huge", {"name": "short", "name_length": 0x7FFFFFF0,
                          "close_at": "serverinit"}, LIST_NONE + [
        ("S", bytes(4)), ("C", b"\x01"), ("S", server_init(16, 8, b"short", 0x7FFFFFF0)),
        ("EOF",)], {"stopped_at": "serverinit"}),
    ("name-3000-odd-size", {"name_size": 3000, "width": 333, "height": 1}, LIST_NONE + [
        ("S", bytes(4)), ("C", b"\x01"),
        ("S", server_init(333, 1, (b"Test desktop name " * 167)[:3000]))], {}),
    ("zero-size-server-pf", {"width": 0, "height": 0, "pixel_format": "rgb565be"},
     LIST_NONE + [("S", bytes(4)), ("C", b"\x01"),
                  ("S", bytes(4) + bytes.fromhex("10100101001f003f001f0b0500000000")
                   + b"\0\0\0\x01n")], {"completed": True}),
    ("close-after-version", {"close_at": "version"}, [("S", V38), ("EOF",)],
     {"stopped_at": "version"}),
    ("silent", {"stall_at": "accept"}, [("QUIET",)], {"stopped_at": "accept"}),
]


@pytest.mark.parametrize("case_id,params,dialogue,expect", HANDSHAKES,
                         ids=[c[0] for c in HANDSHAKES])
def test_handshake_bytes(case_id, params, dialogue, expect):
    srv = start(params)
    c = Client(srv.port)
    for step in dialogue:
        if step[0] == "S":
            c.expect(step[1])
        elif step[0] == "C":
            c.send(step[1])
        elif step[0] == "EOF":
            c.expect_eof()
        elif step[0] == "QUIET":
            c.expect_nothing(0.3)
    c.close()
    assert srv.wait(10) == 0, srv.report()
    hs = srv.session.record["handshake"]
    for k, v in expect.items():
        assert rfbserver.handshake._lookup(hs, k) == v, k


# client behaviour -> exit code of the server
VERDICTS = [
    ("viewer-closes-mid-handshake", {}, [("S", V38), ("C", V38)], 1),
    ("choice-not-offered", {"sectypes": [2]}, [("S", V38), ("C", V38), ("S", b"\x01\x02"),
                                                ("C", b"\x01")], 1),
    ("bad-client-version", {}, [("S", V38), ("C", b"RFB 3.8 junk\n")], 1),
    ("viewer-silent", {}, [("S", V38), ("WAIT",)], 2),
    ("expect-mismatch", {"expect": {"choice": 2}}, LIST_NONE + [
        ("S", bytes(4)), ("C", b"\x01"), ("S", SI)], 1),
]


@pytest.mark.parametrize("case_id,params,dialogue,code", VERDICTS,
                         ids=[c[0] for c in VERDICTS])
def test_verdicts(case_id, params, dialogue, code):
    # Only the silent viewer meets the server's time limit: it waits for the server to give up.
    silent = ("WAIT",) in dialogue
    srv = start(params, timeout=1.5 if silent else 30)
    c = Client(srv.port)
    for step in dialogue:
        if step[0] == "S":
            c.expect(step[1])
        elif step[0] == "C":
            c.send(step[1])
        elif step[0] == "WAIT":
            srv.wait(30)
    c.close()
    assert srv.wait(10) == code, srv.report()


def ext_clip(payload):
    return b"\x06\0\0\0" + struct.pack(">i", -len(payload)) + payload


PROVIDE = struct.pack(">I", 0x10000001) + zlib.compress(struct.pack(">I", 3) + b"hi\0")

# bytes the viewer may send -> what the record must hold
CLIENT_MESSAGES = [
    (b"\x00\0\0\0" + bytes.fromhex("08080001000700070003000306") + b"\x01\0\0",
     {"name": "SetPixelFormat", "pixel_format": {"bpp": 8, "depth": 8, "red_max": 7,
                                                 "blue_shift": 6, "pad": "010000"}}),
    (b"\x02\0\0\x03" + struct.pack(">iii", 5, 16, -239),
     {"name": "SetEncodings", "encodings": [5, 16, -239]}),
    (b"\x03\x01" + struct.pack(">HHHH", 1, 2, 3, 4),
     {"name": "FramebufferUpdateRequest", "incremental": 1, "x": 1, "y": 2, "w": 3, "h": 4}),
    (b"\x04\x01\0\0\0\0\xff\x0d", {"name": "KeyEvent", "down": 1, "key": 0xFF0D}),
    (b"\x05\x05\x00\x0a\x00\x14", {"name": "PointerEvent", "buttons": 5, "x": 10, "y": 20}),
    (b"\x06\0\0\0\0\0\0\x02hi", {"name": "ClientCutText", "text": "hi"}),
    (ext_clip(struct.pack(">IIIII", 0x1b00000f, 10485760, 2097152, 2097152, 0)),
     {"name": "ClientCutText", "extended": {"action": "caps", "formats": 15,
                                            "limits": [10485760, 2097152, 2097152, 0]}}),
    (ext_clip(struct.pack(">I", 0x0200000f)),
     {"extended": {"action": "request", "formats": 15}}),
    (ext_clip(PROVIDE), {"extended": {"action": "provide", "items": {"text": "hi\0"}}}),
    (b"\x07\x07\x03\x00" + bytes(8), {"name": "FileTransfer", "content_type": 7, "param": 3}),
    (b"\x07\x08\x00\x00" + struct.pack(">iI", 1234, 9) + b"C:\\a.txt," + b"\0\0\0\x01",
     {"content_type": 8, "size": 1234, "body": "C:\\a.txt,", "size_high": 1}),
    (b"\x07\x05\x00\x00" + struct.pack(">iI", 2, 8192),
     {"content_type": 5, "size": 2, "length": 8192, "body": ""}),
    (b"\x07\x01\x01\x00" + struct.pack(">iI", 0, 3) + b"C:\\",
     {"content_type": 1, "param": 1, "body": "C:\\"}),
    (b"\x08\x02\0\0", {"name": "SetServerScale", "scale": 2}),
    (b"\x09\x01\0\0", {"name": "ServerInput", "disable": 1}),
    (b"\x0a\x00\x00\x01\x00\x01", {"name": "DesktopSelection", "x": 1, "y": 1}),
    (b"\x0b\0\0\0\xff\xff\xff\xff", {"name": "TextChat", "chat": "open"}),
    (b"\x0b\0\0\0\0\0\0\x03hey", {"name": "TextChat", "text": "hey"}),
    (b"\x0d", {"name": "KeepAlive"}),
    (b"\x50\0\0\0", {"name": "PluginStreaming"}),
    (b"\xfb\x00\x00\x02\x00\x03\x02\x00" + struct.pack(">IHHHHI", 1, 0, 0, 800, 600, 2)
     + struct.pack(">IHHHHI", 1, 800, 0, 640, 480, 2),
     {"name": "MonitorInfo", "count": 2, "monitors": [
         {"one": 1, "x": 0, "y": 0, "w": 800, "h": 600, "mode": 2},
         {"one": 1, "x": 800, "y": 0, "w": 640, "h": 480, "mode": 2}]}),
    (b"\xfd\x81\x00\x02\x00\x01", {"name": "Gii", "subtype": 1, "length": 2,
                                   "payload": "0001"}),
    (b"\xfe\x01\0\0", {"name": "CopyDataValue", "value": 1}),
]


def _subset(want, got):
    if isinstance(want, dict):
        return isinstance(got, dict) and all(_subset(v, got.get(k)) for k, v in want.items())
    return want == got


def test_client_messages_are_parsed_and_recorded():
    srv = start({}, end="wait_close")
    c = Client(srv.port)
    for step in LIST_NONE + [("S", bytes(4)), ("C", b"\x01"), ("S", SI)]:
        c.expect(step[1]) if step[0] == "S" else c.send(step[1])
    stream = b"".join(m for m, _ in CLIENT_MESSAGES)
    c.send(stream + b"\x63junk")          # an unknown type ends parsing
    c.finish()
    assert srv.wait(10) == 1, srv.report()    # the unknown type is unexpected
    rec = srv.session.record
    msgs = rec["messages"]
    assert len(msgs) == len(CLIENT_MESSAGES)
    for (data, want), got in zip(CLIENT_MESSAGES, msgs):
        assert _subset(want, got), "%s: %r" % (data[:12].hex(), got)
    assert any("unknown client message type 99" in u for u in rec["unexpected"])
    assert bytes(srv.session.rx).endswith(stream + b"\x63junk")
    # the server follows the client's pixel format
    assert srv.session.pf.bpp == 8 and srv.session.pf.pad == b"\x01\0\0"
