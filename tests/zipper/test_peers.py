"""Archives made by our archiver (keb_zip, natively or under Wine), checked and
extracted by Debian's unzip, zipinfo, zipdetails, 7zz and Python's zipfile."""
import datetime
import os
import random
import re
import shutil
import stat
import subprocess
import zipfile
from zoneinfo import ZoneInfo

import pytest

KEB_ZIP = os.environ.get("KEB_ZIP", "")
RUNNER = os.environ.get("KEB_ZIP_RUNNER", "")
UNDER_WINE = bool(RUNNER)

pytestmark = pytest.mark.skipif(not KEB_ZIP, reason="KEB_ZIP not set")

FIXED_TIME = 1650000001  # an odd second: rounded up to the next even one in the DOS field


def keb_zip(args, cwd, env=None, check=True):
    cmd = ([RUNNER] if RUNNER else []) + [KEB_ZIP] + list(args)
    full_env = dict(os.environ)
    full_env.update(env or {})
    p = subprocess.run(cmd, cwd=cwd, env=full_env, capture_output=True, timeout=300)
    if check:
        assert p.returncode == 0, (p.returncode, p.stdout, p.stderr)
    return p


def peer(args, cwd=None, env=None, check=True):
    p = subprocess.run(args, cwd=cwd, env=env, capture_output=True, timeout=300)
    if check:
        assert p.returncode == 0, (args, p.returncode, p.stdout, p.stderr)
    return p


def make_fixtures(root):
    """The fixture folder: sizes around the window and block limits, random and
    repetitive data, CRLF text, a file named ".zip", empty and nested folders."""
    rng = random.Random(8)
    files = {
        "empty": b"",
        "one": b"\x5a",
        "random-32767": rng.randbytes(32767),
        "random-32769": rng.randbytes(32769),
        "random-65535": rng.randbytes(65535),
        "random-65537": rng.randbytes(65537),
        "repeat-32768": b"abcdefgh" * 4096,
        "repeat-65536": b"0123456789" * 6553 + b"012345",
        "crlf.txt": b"".join(b"line %d of the text\r\n" % i for i in range(5000)),
        ".zip": b"not really an archive " * 300,
        "nested/deeper/deepest/data.bin": rng.randbytes(200000),
        "nested/deeper/text.txt": b"hello\n" * 20000,
        "name with spaces.txt": b"spaces\n",
    }
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "empty folder"))
    os.makedirs(os.path.join(root, "nested", "empty inside"))
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames + dirnames:
            os.utime(os.path.join(dirpath, name), (FIXED_TIME, FIXED_TIME))
    return files


@pytest.fixture
def src(tmp_path):
    root = tmp_path / "src"
    root.mkdir()
    make_fixtures(str(root))
    return root


def check_with_every_peer(archive):
    out = peer(["unzip", "-t", str(archive)]).stdout.decode()
    assert "No errors detected" in out
    out = peer(["7zz", "t", str(archive)]).stdout.decode()
    assert "Everything is Ok" in out
    with zipfile.ZipFile(archive) as z:
        assert z.testzip() is None


def extract_with_every_peer(archive, tmp_path, reference):
    """Extracts with unzip, 7zz and zipfile; each tree must equal the reference (diff -r)."""
    for tool in ("unzip", "7zz", "python"):
        dest = tmp_path / ("x-" + tool)
        dest.mkdir()
        if tool == "unzip":
            peer(["unzip", "-q", str(archive), "-d", str(dest)])
        elif tool == "7zz":
            peer(["7zz", "x", "-y", "-o" + str(dest), str(archive)])
        else:
            with zipfile.ZipFile(archive) as z:
                z.extractall(dest)
        peer(["diff", "-r", str(reference), str(dest)])


def test_folder_call_is_accepted_and_reproduced_by_every_peer(src, tmp_path):
    archive = tmp_path / "!ZELKDIR-src.zip"
    keb_zip(["--folder", str(src), str(archive)], cwd=tmp_path)
    check_with_every_peer(archive)
    extract_with_every_peer(archive, tmp_path, src)
    with zipfile.ZipFile(archive) as z:
        names = z.namelist()
        assert "src/" not in names and not any(n.startswith("src/") for n in names)
        assert not any(os.path.basename(n.rstrip("/")).startswith("zi") for n in names)
        for info in z.infolist():
            assert info.create_system == 11 and info.create_version == 23, info
            if info.compress_type == zipfile.ZIP_DEFLATED:
                assert info.flag_bits == 0x4 and info.extract_version == 20, info
            else:
                assert info.flag_bits == 0 and info.extract_version == 10, info
        # Random data that does not shrink is stored; repetitive data is deflated.
        assert z.getinfo("random-32767").compress_type == zipfile.ZIP_STORED
        assert z.getinfo("repeat-65536").compress_type == zipfile.ZIP_DEFLATED
        assert z.getinfo("crlf.txt").compress_type == zipfile.ZIP_DEFLATED
    assert not [p for p in os.listdir(src) if p.startswith("zi")]


def test_zipinfo_and_zipdetails_see_our_header_fields(src, tmp_path):
    archive = tmp_path / "fields.zip"
    keb_zip(["-1", "-S", "-r", str(archive), "."], cwd=src)
    info = peer(["zipinfo", "-v", str(archive)]).stdout.decode()
    entries = info.count("Central directory entry #")
    assert entries == len(zipfile.ZipFile(archive).namelist())
    assert info.count("file system or operating system of origin:      NTFS") == entries
    assert info.count("version of encoding software:                   2.3") == entries
    assert info.count("A subfield with ID 0x5455 (universal time)") == entries
    assert "extended local header:                          yes" not in info

    details = peer(["zipdetails", str(archive)]).stdout.decode()
    flags = re.findall(r"General Purpose Flag\s+([0-9A-F]{4})", details)
    versions = re.findall(r"Extract Zip Spec\s+([0-9A-F]{2})", details)
    methods = re.findall(r"Compression Method\s+([0-9A-F]{4})", details)
    assert len(flags) == 2 * entries  # local and central
    for flag, version, method in zip(flags, versions, methods):
        if method == "0008":
            assert (flag, version) == ("0004", "14")
        else:
            assert (flag, version) == ("0000", "0A")
    assert details.count("5455 'UT: Extended Timestamp'") == 2 * entries


@pytest.mark.parametrize("level,flag", [("0", None), ("1", 0x4), ("6", 0x0), ("9", 0x2)])
def test_every_level_is_reproduced(src, tmp_path, level, flag):
    archive = tmp_path / ("level%s.zip" % level)
    keb_zip(["-" + level, "-q", "-r", "-S", str(archive), "."], cwd=src)
    check_with_every_peer(archive)
    extract_with_every_peer(archive, tmp_path, src)
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            if level == "0":
                assert info.compress_type == zipfile.ZIP_STORED
            elif info.compress_type == zipfile.ZIP_DEFLATED:
                assert info.flag_bits == flag


@pytest.mark.parametrize("zone", ["America/New_York", "Asia/Kolkata"])
def test_modification_times_in_two_time_zones(tmp_path, zone):
    folder = tmp_path / "t"
    folder.mkdir()
    # One time in summer and one in winter: the zone's offset differs between them.
    times = {"summer.txt": 1656680401, "winter.txt": 1671000001, "old.txt": 300000001}
    for name, t in times.items():
        (folder / name).write_bytes(b"x" * 100)
        os.utime(folder / name, (t, t))
    archive = tmp_path / "times.zip"
    env = {"TZ": zone}
    keb_zip(["-q", str(archive), "summer.txt", "winter.txt", "old.txt"], cwd=folder, env=env)
    with zipfile.ZipFile(archive) as z:
        for name, t in times.items():
            local = datetime.datetime.fromtimestamp(t + 1, ZoneInfo(zone))
            expected = (local.year, local.month, local.day, local.hour, local.minute, local.second)
            if t < 315532800:
                expected = (1980, 1, 1, 0, 0, 0)
            assert z.getinfo(name).date_time == expected, (name, zone)
    # unzip restores the exact time from the extended time stamp.
    dest = tmp_path / "x"
    dest.mkdir()
    peer(["unzip", "-q", str(archive), "-d", str(dest)], env=dict(os.environ, TZ=zone))
    for name, t in times.items():
        assert int(os.stat(dest / name).st_mtime) == t


def test_encrypted_archive_opens_with_the_password(src, tmp_path):
    archive = tmp_path / "secret.zip"
    keb_zip(["-e", "-q", "-S", "-r", str(archive), "."], cwd=src, env={"KEB_ZIP_PASSWORD": "s3cret word"})
    dest = tmp_path / "u"
    peer(["unzip", "-q", "-P", "s3cret word", str(archive), "-d", str(dest)])
    peer(["diff", "-r", str(src), str(dest)])
    wrong = peer(["unzip", "-q", "-P", "wrong", str(archive), "-d", str(tmp_path / "w")], check=False)
    assert wrong.returncode != 0
    dest7 = tmp_path / "s"
    peer(["7zz", "x", "-y", "-ps3cret word", "-o" + str(dest7), str(archive)])
    peer(["diff", "-r", str(src), str(dest7)])
    with zipfile.ZipFile(archive) as z:
        z.setpassword(b"s3cret word")
        assert z.testzip() is None
        assert z.getinfo("crlf.txt").flag_bits & 0x9 == 0x9


def test_update_and_delete_leave_archives_the_peers_accept(src, tmp_path):
    archive = tmp_path / "changing.zip"
    keb_zip(["-q", "-S", "-r", str(archive), "."], cwd=src)
    (src / "added.txt").write_bytes(b"added later\n" * 100)
    os.utime(src / "crlf.txt", (FIXED_TIME + 100, FIXED_TIME + 100))
    p = keb_zip(["-u", "-S", "-r", str(archive), "."], cwd=src)
    out = p.stdout.decode()
    assert "adding: added.txt" in out and "updating: crlf.txt" in out
    check_with_every_peer(archive)
    keb_zip(["-d", "-q", str(archive), "nested/*"], cwd=src)
    check_with_every_peer(archive)
    with zipfile.ZipFile(archive) as z:
        assert not [n for n in z.namelist() if n.startswith("nested/")]
        assert z.read("added.txt") == b"added later\n" * 100


def test_line_end_conversion_is_what_unzip_reads(tmp_path):
    folder = tmp_path / "l"
    folder.mkdir()
    (folder / "dos.txt").write_bytes(b"one\r\ntwo\r\n" * 5000)
    archive = tmp_path / "ll.zip"
    keb_zip(["-ll", "-q", str(archive), "dos.txt"], cwd=folder)
    assert peer(["unzip", "-p", str(archive), "dos.txt"]).stdout == b"one\ntwo\n" * 5000


@pytest.mark.skipif(not UNDER_WINE, reason="Windows attributes of read-only folders")
def test_read_only_folders_under_wine(tmp_path):
    folder = tmp_path / "ro"
    (folder / "locked").mkdir(parents=True)
    (folder / "locked" / "inside.txt").write_bytes(b"inside\n")
    (folder / "plain.txt").write_bytes(b"plain\n")
    os.chmod(folder / "locked" / "inside.txt", stat.S_IREAD)
    os.chmod(folder / "locked", stat.S_IREAD | stat.S_IEXEC)
    try:
        archive = tmp_path / "ro.zip"
        keb_zip(["--folder", str(folder), str(archive)], cwd=tmp_path)
        check_with_every_peer(archive)
        with zipfile.ZipFile(archive) as z:
            assert z.read("locked/inside.txt") == b"inside\n"
            assert z.getinfo("locked/inside.txt").external_attr & 0x01
            assert z.getinfo("locked/").external_attr & 0x11 == 0x11
        dest = tmp_path / "back"
        dest.mkdir()
        peer(["unzip", "-q", str(archive), "-d", str(dest)])
        peer(["diff", "-r", str(folder), str(dest)])
    finally:
        os.chmod(folder / "locked", stat.S_IRWXU)
        os.chmod(folder / "locked" / "inside.txt", stat.S_IRWXU)
