"""Shared pieces of the extractor's peer tests: the extractor under test (keb_unzip,
natively or under Wine), the Debian peers, a source tree, and a ZIP writer built from
the published format with every field under the test's control."""
import os
import random
import shlex
import struct
import subprocess
import zlib

import pytest

KEB_UNZIP = shlex.split(os.environ.get('KEB_UNZIP', ''))
UNDER_WINE = os.environ.get('KEB_UNDER_WINE') == '1'
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fixtures')
TIMEOUT = 120


def run(cmd, cwd, stdin=None):
    p = subprocess.run(cmd, cwd=cwd, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=TIMEOUT)
    return p.returncode, p.stdout.decode('latin-1')


def keb(args, cwd):
    """Runs the extractor; paths are given relative to cwd so that they mean the same
    natively and under Wine."""
    if not KEB_UNZIP:
        pytest.skip('KEB_UNZIP is not set')
    rc, out = run(KEB_UNZIP + list(args), cwd)
    if UNDER_WINE:
        program = '\n'.join(l for l in out.split('\n') if not l.startswith('wine:'))
        if rc != 0 and not program.strip():
            # Under a heavily loaded machine Wine has now and then ended with 1 before the
            # program printed anything. One more run tells that apart from a real result
            # (a quiet run with warnings gives the same code and silence again).
            rc, out = run(KEB_UNZIP + list(args), cwd)
            program = '\n'.join(l for l in out.split('\n') if not l.startswith('wine:'))
            if not program.strip():
                return rc, out  # Wine's own lines, if any, are all there is to show
        out = program
    return rc, out


def same_tree(a, b):
    rc, out = run(['diff', '-r', str(a), str(b)], cwd='/')
    return rc == 0, out


def mtimes(root):
    """Modification time (whole seconds) of every path under root, by relative path."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            out[os.path.relpath(p, root)] = int(os.stat(p).st_mtime)
    return out


def all_paths(root):
    found = set()
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            found.add(os.path.relpath(os.path.join(dirpath, name), root))
    return found


TREE_TIME = 1700000000   # even, so that DOS times keep it


@pytest.fixture
def tree(tmp_path):
    """A folder of varied files with fixed times; returns its path."""
    src = tmp_path / 'src'
    rnd = random.Random(1234)
    words = [b'alpha', b'beta', b'gamma', b'delta', b'epsilon', b'\n', b'zeta', b'eta']
    files = {
        'text.txt': b' '.join(rnd.choice(words) for _ in range(40000)),
        'bin/random.bin': bytes(rnd.getrandbits(8) for _ in range(100000)),
        'bin/zeros.bin': bytes(300000),
        'empty.txt': b'',
        'deep/a/b/c/leaf.txt': b'leaf\n',
        'with space.txt': b'spaces in the name\n',
    }
    block = bytes(rnd.getrandbits(8) for _ in range(40000))
    files['repeat.bin'] = block * 4     # repeats 40000 bytes back: beyond deflate's window
    for rel, data in files.items():
        p = src / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    for dirpath, dirnames, filenames in os.walk(src, topdown=False):
        for name in filenames + dirnames:
            os.utime(os.path.join(dirpath, name), (TREE_TIME, TREE_TIME))
    os.utime(src, (TREE_TIME, TREE_TIME))
    return src


# ------------------------------------------------------------------ ZIP writer

DOS_TIME = (13 << 11) | (32 << 5)               # 13:32:00
DOS_DATE = (44 << 9) | (5 << 5) | 1             # 2024-05-01


class Entry:
    def __init__(self, name, data=b'', method=8, **kw):
        self.name = name if isinstance(name, bytes) else name.encode('latin-1')
        self.data = data
        self.method = method
        self.host = kw.get('host', 3)
        self.version = kw.get('version', 20)
        self.flags = kw.get('flags', 0)
        self.external = kw.get('external', 0o100644 << 16)
        self.payload = kw.get('payload')
        self.crc = kw.get('crc')
        self.csize = kw.get('csize')
        self.usize = kw.get('usize')
        self.local_name = kw.get('local_name')
        self.local_method = kw.get('local_method')
        self.offset = kw.get('offset')


def raw_deflate(data, level=6):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def make_zip(entries, prefix=b'', comment=b'', cd_offset=None, total=None):
    out = bytearray(prefix)
    central = bytearray()
    base = len(prefix)
    for e in entries:
        payload = e.payload if e.payload is not None else (raw_deflate(e.data) if e.method == 8 else e.data)
        crc = e.crc if e.crc is not None else zlib.crc32(e.data) & 0xFFFFFFFF
        csize = e.csize if e.csize is not None else len(payload)
        usize = e.usize if e.usize is not None else len(e.data)
        offset = e.offset if e.offset is not None else len(out) - base
        lname = e.local_name if e.local_name is not None else e.name
        lmethod = e.local_method if e.local_method is not None else e.method
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, e.version, e.flags, lmethod, DOS_TIME, DOS_DATE,
                           crc, csize, usize, len(lname), 0) + lname + payload
        central += struct.pack('<IBBHHHHHIIIHHHHHII', 0x02014b50, 30, e.host, e.version, e.flags, e.method,
                               DOS_TIME, DOS_DATE, crc, csize, usize, len(e.name), 0, 0, 0, 0, e.external,
                               offset) + e.name
    cd = len(out) - base
    n = len(entries) if total is None else total
    out += central
    out += struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, n, n, len(central),
                       cd if cd_offset is None else cd_offset, len(comment)) + comment
    return bytes(out)
