"""kebdecode_dump, the decoders' test client, against ServerInits that claim too much: it
bounds them as the viewer does (a side above 20000 pixels is refused, at most 2024 bytes of
the desktop name are kept and the rest is read and dropped) and an empty desktop is no
fault."""

import os
import subprocess
import threading

import pytest

import rfbserver
from rfbserver import named_format
from test_oracle import pf_arg

# Far below what a 4 GiB name or a 65535 x 65535 framebuffer would take.
MAX_RSS_KB = 1 << 20


def dump(kebdump, tmp_path, handshake):
    """Runs the client against the scripted server's handshake; returns (exit code,
    standard error, the output file or None, the largest resident size in KB)."""
    srv = rfbserver.Server({"handshake": handshake}, timeout=60, quiet=True).start()
    out = tmp_path / "out"
    p = subprocess.Popen([kebdump, "127.0.0.1", str(srv.port), pf_arg(named_format("rgb888")), "raw", "1",
                          str(out)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    killer = threading.Timer(60, p.kill)
    killer.start()
    try:
        err = p.stderr.read()
        _, status, usage = os.wait4(p.pid, 0)
    finally:
        killer.cancel()
        p.returncode = os.waitstatus_to_exitcode(status)
        srv.stop()
        srv.wait(15)
    return p.returncode, err, out.read_bytes() if out.exists() else None, usage.ru_maxrss


@pytest.mark.parametrize("case,handshake,code,says", [
    ("name of 3000 bytes", {"name_size": 3000, "width": 64, "height": 48}, 0, None),
    ("name claiming 4 GiB", {"name": "short", "name_length": 0xFFFFFFF0, "close_at": "serverinit"}, 1,
     "rdr::EndOfStream"),
    ("65535 x 65535 pixels", {"width": 65535, "height": 65535, "close_at": "serverinit"}, 1,
     "framebuffer of 65535 x 65535 pixels: a side is above 20000"),
    ("20001 x 100 pixels", {"width": 20001, "height": 100, "close_at": "serverinit"}, 1,
     "a side is above 20000"),
    ("0 x 0 pixels", {"width": 0, "height": 0, "close_at": "serverinit"}, 1, "0 of 1 updates"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_server_init_is_bounded(kebdump, tmp_path, case, handshake, code, says):
    got, err, out, rss = dump(kebdump, tmp_path, handshake)
    assert got == code, err
    assert "runtime error" not in err and "AddressSanitizer" not in err, err
    if says:
        assert says in err
    assert rss < MAX_RSS_KB, "%d KB resident" % rss
    if case.startswith("0 x 0"):
        assert out == b"0 0\n"
    if code == 0:
        assert out.startswith(b"64 48\n") and len(out) == len(b"64 48\n") + 64 * 48 * 3
