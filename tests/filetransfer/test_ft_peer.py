"""The viewer's file-transfer protocol over a real loopback session (keb_ftpeer, natively
or under Wine) against the scripted server's file-transfer side: access and drive list,
a listing, downloads and uploads of files (compressed and raw blocks, a resumed download),
and folders both ways as ZIP archives made and checked with Python's zipfile."""
import os
import random
import shlex
import subprocess
import sys
import zipfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "rfbserver"))

import rfbserver  # noqa: E402
from rfboracle.filetransfer import FOLDER_MARK, FileTransferServer  # noqa: E402

FTPEER = shlex.split(os.environ.get("KEB_FTPEER", ""))
UNDER_WINE = os.environ.get("KEB_UNDER_WINE") == "1"
TIMEOUT = 180


def text_data(n, seed=0):
    words = b"the quick brown fox jumps over the lazy dog; "
    return bytes(words[(i + seed) % len(words)] for i in range(n))


def noise(n, seed=1):
    r = random.Random(seed)
    return bytes(r.getrandbits(8) for _ in range(n))


def run_peer(tmp_path, commands, version=3, refuse=False):
    """Serves the remote folder tmp/remote as drive C: and runs keb_ftpeer with the local
    folder tmp/local (as its working folder, so that paths mean the same under Wine).
    Returns (exit code, output lines, the server's events, the server's verdict)."""
    if not FTPEER:
        pytest.skip("KEB_FTPEER is not set")
    remote, local = tmp_path / "remote", tmp_path / "local"
    remote.mkdir(exist_ok=True)
    local.mkdir(exist_ok=True)
    holder = {}

    def scenario(s):
        s.handshake(version="RFB 003.008\n", sectypes=[1], width=64, height=32)
        s.wait_for("SetEncodings")
        ft = FileTransferServer(s, str(remote), version=version, refuse_access=refuse)
        holder["ft"] = ft
        ft.serve(seconds=TIMEOUT - 20)

    srv = rfbserver.Server(scenario, timeout=TIMEOUT, quiet=True).start()
    p = subprocess.run(FTPEER + [str(srv.port), "."] + commands, cwd=str(local),
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
    code = srv.wait(timeout=30)
    out = [l for l in p.stdout.decode("latin-1").splitlines() if not l.startswith("wine:")]
    ft = holder.get("ft")
    return p.returncode, out, ft.events if ft else [], code, srv


def statuses(out):
    return [l[len("STATUS "):] for l in out if l.startswith("STATUS ")]


def events_of(events, kind):
    return [e for e in events if e[0] == kind]


def test_access_drives_and_a_listing(tmp_path):
    (tmp_path / "remote").mkdir()
    (tmp_path / "remote" / "sub").mkdir()
    (tmp_path / "remote" / "a.txt").write_bytes(b"x" * 1234)
    rc, out, events, code, srv = run_peer(tmp_path, ["access", "list", "C:\\", "close"])
    assert rc == 0, "\n".join(out)
    assert code == 0, srv.report()
    assert "Connected..." in statuses(out)
    assert [e[0] for e in events][:3] == ["access", "session-start", "drives"]
    assert "DRIVE C:" in out and "DRIVE My Documents" in out
    assert "ENTRY a.txt 1234 0" in out and "ENTRY sub 0 1" in out
    assert events[-1] == ("session-end",)


def test_refused_access(tmp_path):
    rc, out, events, code, srv = run_peer(tmp_path, ["access"], refuse=True)
    assert rc == 0, "\n".join(out)
    assert "> WARNING: File Transfer is Disabled on the Remote Machine" in statuses(out)
    assert events_of(events, "drives") == []


@pytest.mark.parametrize("version", [1, 2, 3])
def test_download_and_upload_of_files(tmp_path, version):
    data = text_data(3 * 8192) + noise(8192) + text_data(500, 3)
    (tmp_path / "remote").mkdir()
    (tmp_path / "remote" / "down.bin").write_bytes(data)
    (tmp_path / "local").mkdir()
    up = noise(20000, 5) + text_data(9000)
    (tmp_path / "local" / "up.bin").write_bytes(up)
    rc, out, events, code, srv = run_peer(
        tmp_path, ["access", "list", "C:\\", "get", "down.bin", "put", "up.bin"], version=version)
    assert rc == 0, "\n".join(out)
    assert code == 0, srv.report()
    assert (tmp_path / "local" / "down.bin").read_bytes() == data
    assert sorted(os.listdir(tmp_path / "local")) == ["down.bin", "up.bin"]
    sent = events_of(events, "download-sent")[0]
    if version == 1:
        assert sent[4] == [0] * 9          # the old protocol: 4096-byte blocks, no compression
    else:
        assert sent[4] == [1, 1, 1, 0, 1]  # the noise block is sent raw
    assert (tmp_path / "remote" / "up.bin").read_bytes() == up
    assert " File < down.bin > successfully RECEIVED..." in statuses(out)
    assert any(s.endswith("up.bin > successfully SENT...") for s in statuses(out)), statuses(out)


# Windows names a device by COM or LPT with a digit, the superscript digits (one byte each
# in the ANSI code page, which the protocol's names are in) among them, also with an
# extension and blanks before it: such a name is refused, a near one is downloaded.
@pytest.mark.parametrize("name,refused", [(b"COM\xb9", True), (b"LPT\xb3.txt", True), (b"com1 .txt", True),
                                          (b"COM\xb9x.txt", False)],
                         ids=["COM1 superscript", "LPT3 superscript with extension", "com1 blank extension",
                              "a plain name"])
def test_device_names_are_not_downloaded(tmp_path, name, refused):
    # The server's folder holds the name as text; the viewer's argument is its ANSI bytes
    # (under Wine, the text that Wine turns into them).
    text = name.decode("latin-1")
    (tmp_path / "remote").mkdir()
    (tmp_path / "remote" / text).write_bytes(b"device")
    rc, out, events, code, srv = run_peer(tmp_path, ["access", "list", "C:\\", "get",
                                                     text if UNDER_WINE else os.fsdecode(name)])
    assert code == 0, srv.report()
    invalid = " ERROR: File < Invalid remote file name > is not accessible on Remote Machine"
    assert (invalid in statuses(out)) == refused, "\n".join(out)
    local = os.listdir(tmp_path / "local")
    if refused:
        assert local == [], local
    else:
        assert local == [text if UNDER_WINE else os.fsdecode(name)], local
        assert rc == 0, "\n".join(out)


def test_interrupted_download_resumes_from_its_partial_file(tmp_path):
    data = noise(5 * 8192 + 99, 9)
    (tmp_path / "remote").mkdir()
    (tmp_path / "remote" / "big.bin").write_bytes(data)
    (tmp_path / "local").mkdir()
    # What an interrupted download left: the first three blocks, the third spoiled.
    partial = bytearray(data[:3 * 8192])
    partial[2 * 8192 + 5] ^= 0xFF
    (tmp_path / "local" / "!ZELKPFT-big.bin").write_bytes(bytes(partial))
    rc, out, events, code, srv = run_peer(tmp_path, ["access", "list", "C:\\", "get", "big.bin"])
    assert rc == 0, "\n".join(out)
    assert code == 0, srv.report()
    assert events_of(events, "checksums")[0][1] == 3
    assert events_of(events, "download-sent")[0][4][:3] == [2, 2, 0] or \
        events_of(events, "download-sent")[0][4][:3] == [2, 2, 1]
    assert (tmp_path / "local" / "big.bin").read_bytes() == data
    assert sorted(os.listdir(tmp_path / "local")) == ["big.bin"]


def test_folders_travel_as_zip_archives(tmp_path):
    remote, local = tmp_path / "remote", tmp_path / "local"
    (remote / "rdir" / "inner").mkdir(parents=True)
    (remote / "rdir" / "one.txt").write_bytes(text_data(30000))
    (remote / "rdir" / "inner" / "two.bin").write_bytes(noise(5000, 2))
    (local / "ldir" / "deep" / "deeper").mkdir(parents=True)
    (local / "ldir" / "a.txt").write_bytes(text_data(12345, 1))
    (local / "ldir" / "deep" / "deeper" / "noext").write_bytes(noise(777, 3))
    (local / "ldir" / "deep" / "b.bin").write_bytes(b"")
    rc, out, events, code, srv = run_peer(
        tmp_path, ["access", "list", "C:\\", "get", "[ rdir ]", "put", "[ ldir ]"])
    assert rc == 0, "\n".join(out)
    assert code == 0, srv.report()
    # Download: the server's archive is unpacked into a folder of its name and deleted.
    assert events_of(events, "download-request")[0][1] == "C:\\[ rdir ]"
    assert (local / "rdir" / "one.txt").read_bytes() == text_data(30000)
    assert (local / "rdir" / "inner" / "two.bin").read_bytes() == noise(5000, 2)
    assert not any(n.startswith(FOLDER_MARK) for n in os.listdir(local))
    assert " Remote Folder < rdir > successfully RECEIVED..." in statuses(out)
    # Upload: one archive whose entries zipfile reads back without a CRC error.
    received = events_of(events, "folder-received")[0]
    assert received[1] == "C:\\" + FOLDER_MARK + "ldir.zip"
    assert received[3] is None
    files = [n for n in received[2] if not n.endswith("/")]
    assert sorted(files) == ["a.txt", "deep/b.bin", "deep/deeper/noext"]
    assert (remote / "ldir" / "a.txt").read_bytes() == text_data(12345, 1)
    assert (remote / "ldir" / "deep" / "deeper" / "noext").read_bytes() == noise(777, 3)
    assert " Local Folder < ldir > successfully SENT." in statuses(out)
