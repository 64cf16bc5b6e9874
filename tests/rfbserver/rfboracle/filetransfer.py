"""The server side of the file-transfer messages (RFB message 7), written from the
protocol: the access answer and protocol version, drive lists and folder listings from a
folder of the test machine that stands for drive C:, downloads (raw or zlib blocks, blocks
the viewer already has skipped by their adler32), uploads (raw, zlib and unchanged
blocks), folder commands, and folders travelling as ZIP archives made and checked with
Python's zipfile.

Header: type 7, content type, parameter (u16 little-endian), size and length (u32
big-endian), then `length` body bytes. A file header and an upload offer carry the
size's high 32 bits after the body (not in version 1).

    ft = FileTransferServer(session, root, version=3)
    ft.serve()          # answers the viewer until it closes or the time runs out
    ft.events           # what happened, in order, for the test to check
"""
import datetime
import io
import os
import struct
import time
import zipfile
import zlib

from .errors import PeerClosed, ScriptTimeout

BLOCK = 8192                # 4096 in protocol version 1
FOLDER_MARK = "!ZELKDIR-"
FILE_ATTRIBUTE_DIRECTORY = 0x10
FILE_ATTRIBUTE_NORMAL = 0x80
EPOCH_AS_FILETIME = 116444736000000000


def message(content_type, param=0, size=0, body=b"", tail=b""):
    if isinstance(body, str):
        body = body.encode("latin-1")
    return (struct.pack("<BBH", 7, content_type, param) + struct.pack(">II", size & 0xFFFFFFFF, len(body))
            + body + tail)


def find_data(name, is_dir, size, mtime):
    """A Windows find-data record: attributes, three FILETIMEs, size high/low, two
    reserved words, a 260-byte name and a 14-byte short name (little-endian)."""
    ft = int(mtime * 10000000) + EPOCH_AS_FILETIME
    raw_name = name.encode("latin-1")[:259]
    return (struct.pack("<I", FILE_ATTRIBUTE_DIRECTORY if is_dir else FILE_ATTRIBUTE_NORMAL)
            + struct.pack("<QQQ", ft, ft, ft)
            + struct.pack("<II", size >> 32, size & 0xFFFFFFFF) + bytes(8)
            + raw_name.ljust(260, b"\0") + bytes(14))


def zip_folder(folder):
    """The folder packed as a ZIP archive, names relative to it."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for dirpath, dirnames, filenames in sorted(os.walk(folder)):
            dirnames.sort()
            for f in sorted(filenames):
                full = os.path.join(dirpath, f)
                z.write(full, os.path.relpath(full, folder).replace(os.sep, "/"))
    return out.getvalue()


class FileTransferServer:
    def __init__(self, session, root, version=3, compress_blocks=True, refuse_access=False):
        self.s = session
        self.root = root
        self.version = version
        self.compress_blocks = compress_blocks
        self.refuse_access = refuse_access
        self.events = []
        self.s.parse_opts.ft_version = version

    # -- paths ------------------------------------------------------------------------
    def local(self, remote):
        """The test folder's path for a remote path on drive C:."""
        if not remote[:3].upper() == "C:\\":
            return None
        parts = [p for p in remote[3:].split("\\") if p]
        if any(p in (".", "..") for p in parts):
            return None
        return os.path.join(self.root, *parts)

    # -- sending ----------------------------------------------------------------------
    def send(self, content_type, param=0, size=0, body=b"", tail=b""):
        self.s.send_raw(message(content_type, param, size, body, tail), "file transfer %d" % content_type)

    def next(self, timeout=30):
        return self.s.next_message("FileTransfer", timeout)

    # -- serving ----------------------------------------------------------------------
    def serve(self, seconds=60):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                m = self.s.next_message("FileTransfer", end - time.monotonic(), raise_timeout=False)
            except PeerClosed:
                return
            if m is None:
                return
            self.handle(m)

    def handle(self, m):
        ct, param, body = m["content_type"], m["param"], m.get("data", b"")
        text = body.decode("latin-1").rstrip("\0")
        if ct == 7 and not any(e[0] == "access" for e in self.events):
            self.events.append(("access", param))
            answer = 0xFFFFFFFF if self.refuse_access else 0
            if self.version == 1:
                self.send(7, 0, answer)     # an old server answers the probe with an abort
            else:
                if self.version >= 3:
                    self.send(17, self.version)
                self.send(14, 0, answer)
        elif ct == 15:
            self.events.append(("session-start",))
        elif ct == 16:
            self.events.append(("session-end",))
        elif ct == 1 and param == 2:
            self.events.append(("drives",))
            self.send(2, 3, 0, b"C:l\0")
        elif ct == 1 and param == 1:
            self.list_folder(text)
        elif ct == 3:
            self.download(text, m["size"])
        elif ct == 8:
            self.upload(text, m["size"] & 0xFFFFFFFF, m.get("size_high", 0))
        elif ct == 10:
            self.command(param, text)
        else:
            self.events.append(("other", ct, param))

    def list_folder(self, remote):
        folder = self.local(remote)
        self.events.append(("list", remote))
        if folder is None or not os.path.isdir(folder):
            self.send(2, 1, 0)              # no medium
            return
        self.send(2, 1, 0, remote.encode("latin-1") + b"\0")
        for name in sorted(os.listdir(folder)):
            full = os.path.join(folder, name)
            st = os.stat(full)
            isdir = os.path.isdir(full)
            self.send(2, 2, 0, find_data(name, isdir, 0 if isdir else st.st_size, st.st_mtime))
        self.send(2, 0, 0)

    # -- downloads (server to viewer) -------------------------------------------------
    def download(self, remote, wants_compression):
        self.events.append(("download-request", remote, wants_compression))
        base, _, leaf = remote.rpartition("\\")
        if leaf.startswith("[ ") and leaf.endswith(" ]"):
            # A folder is asked for by its list text: it goes as an archive.
            name = leaf[2:-2]
            folder = self.local(base + "\\" + name)
            data = zip_folder(folder) if folder and os.path.isdir(folder) else None
            sent_name = base + "\\" + FOLDER_MARK + name + ".zip"
            mtime = time.time()
        else:
            path = self.local(remote)
            data = open(path, "rb").read() if path and os.path.isfile(path) else None
            sent_name = remote
            mtime = os.stat(path).st_mtime if data is not None else 0
        if data is None:
            self.send(4, 0, 0xFFFFFFFF, sent_name, struct.pack(">I", 0xFFFFFFFF))
            self.events.append(("download-refused", remote))
            return
        when = datetime.datetime.fromtimestamp(mtime, datetime.timezone.utc)
        stamp = "%02d/%02d/%04d %02d:%02d" % (when.month, when.day, when.year, when.hour, when.minute)
        tail = struct.pack(">I", len(data) >> 32) if self.version != 1 else b""
        self.send(4, 0, len(data) & 0xFFFFFFFF, sent_name + "," + stamp, tail)
        # The viewer may first send the checksums of a partial file, then its answer.
        sums = []
        while True:
            m = self.next()
            if m["content_type"] == 12:
                raw = m["data"]
                sums = [struct.unpack("<I", raw[i:i + 4])[0] for i in range(0, len(raw) - len(raw) % 4, 4)]
                self.events.append(("checksums", len(sums), m["size"]))
                continue
            break
        if m["content_type"] != 4:
            self.s.fail("expected the viewer's answer to a file header, got content type %d" % m["content_type"])
            return
        if m["size"] == -1:
            self.events.append(("download-declined", remote))
            return
        kinds = []
        block_size = 4096 if self.version == 1 else BLOCK
        for i, at in enumerate(range(0, len(data), block_size)):
            block = data[at:at + block_size]
            if i < len(sums) and sums[i] == zlib.adler32(block):
                # "Block unchanged": the length field is the block's length, no body.
                self.s.send_raw(struct.pack("<BBH", 7, 5, 0) + struct.pack(">II", 2, len(block)),
                                "file transfer 5 (unchanged)")
                kinds.append(2)
                continue
            packed = zlib.compress(block)
            if wants_compression and self.compress_blocks and self.version != 1 and len(packed) < len(block):
                self.send(5, 0, 1, packed)
                kinds.append(1)
            else:
                self.send(5, 0, 0, block)
                kinds.append(0)
        self.send(6)
        self.events.append(("download-sent", remote, sent_name, len(data), kinds))

    # -- uploads (viewer to server) ---------------------------------------------------
    def upload(self, offer, low, high):
        remote, _, stamp = offer.rpartition(",")
        size = (high << 32) | low
        self.events.append(("offer", remote, stamp, size))
        path = self.local(remote)
        if path is None:
            self.send(9, 0, 0xFFFFFFFF, remote)
            return
        self.send(9, 0, 0, remote)
        data = bytearray()
        kinds = []
        while True:
            m = self.next()
            ct = m["content_type"]
            if ct == 5:
                kinds.append(m["size"])
                if m["size"] == 0:
                    data += m["data"]
                elif m["size"] == 1:
                    data += zlib.decompress(m["data"])
                else:
                    self.s.fail("an unchanged block without checksums")
            elif ct == 6:
                break
            elif ct == 7:
                self.events.append(("upload-aborted", remote, len(data)))
                return
            else:
                self.s.fail("content type %d during an upload" % ct)
                return
        leaf = remote.rpartition("\\")[2]
        if leaf.startswith(FOLDER_MARK) and leaf.endswith(".zip"):
            folder = os.path.join(os.path.dirname(path), leaf[len(FOLDER_MARK):-4])
            with zipfile.ZipFile(io.BytesIO(bytes(data))) as z:
                bad = z.testzip()
                names = sorted(z.namelist())
                z.extractall(folder)
            self.events.append(("folder-received", remote, names, bad))
        else:
            with open(path, "wb") as f:
                f.write(data)
            self.events.append(("upload-received", remote, len(data), kinds))

    # -- commands ---------------------------------------------------------------------
    def command(self, param, text):
        self.events.append(("command", param, text))
        if param == 1:
            path = self.local(text)
            ok = path is not None and not os.path.exists(path)
            if ok:
                os.mkdir(path)
            self.send(11, 4, 0 if ok else 0xFFFFFFFF, text)
        elif param == 4:
            path = self.local(text)
            ok = path is not None and os.path.isfile(path)
            if ok:
                os.remove(path)
            self.send(11, 7, 0 if ok else 0xFFFFFFFF, text)
        elif param == 5:
            old, _, new = text.partition("*")
            a, b = self.local(old), self.local(new)
            ok = a is not None and b is not None and os.path.exists(a) and not os.path.exists(b)
            if ok:
                os.rename(a, b)
            self.send(11, 8, 0 if ok else 0xFFFFFFFF, text)
