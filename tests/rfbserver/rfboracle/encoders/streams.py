"""Server-side compression streams shared by the compressed encodings.

Each connection keeps its compressors in ctx.state for its whole life, as a server
does: the viewer holds one matching decompressor per stream, so consecutive
rectangles continue one stream. Every block is flushed (zlib Z_SYNC_FLUSH, zstd
FLUSH_BLOCK, xz LZMA_SYNC_FLUSH) so that the viewer can decode all of it at once.

Stream names (one compressor per name and kind):
  "zlib"          Zlib (6) / ZSTD (25) and the zipped rectangle lists 0xFFFF0008 / 000A
  "zlibhex-raw"   ZlibHex / ZstdHex tiles sent as compressed raw pixels
  "zlibhex-enc"   ZlibHex / ZstdHex tiles sent as compressed hextile data
  "zrle"          ZRLE, ZYWRLE (zlib); ZSTDRLE, ZSTDYWRLE (zstd)
  "xz"            XZ, XZYW
"""

import ctypes
import ctypes.util
import zlib

import zstandard

try:
    import lzo  # python3-lzo
except ImportError:  # only the LZO rectangle list needs it
    lzo = None


class ZlibStream:
    def __init__(self, level=6):
        self._c = zlib.compressobj(level)

    def block(self, data):
        return self._c.compress(bytes(data)) + self._c.flush(zlib.Z_SYNC_FLUSH)


class ZstdStream:
    def __init__(self, level=3):
        self._c = zstandard.ZstdCompressor(level=level).compressobj()

    def block(self, data):
        return self._c.compress(bytes(data)) + self._c.flush(zstandard.COMPRESSOBJ_FLUSH_BLOCK)


class _LzmaStream(ctypes.Structure):
    # liblzma's lzma_stream (public layout, stable since 5.0).
    _fields_ = [("next_in", ctypes.c_void_p), ("avail_in", ctypes.c_size_t),
                ("total_in", ctypes.c_uint64), ("next_out", ctypes.c_void_p),
                ("avail_out", ctypes.c_size_t), ("total_out", ctypes.c_uint64),
                ("allocator", ctypes.c_void_p), ("internal", ctypes.c_void_p),
                ("reserved_ptr", ctypes.c_void_p * 4), ("reserved_int", ctypes.c_uint64 * 2),
                ("reserved_size", ctypes.c_size_t * 2), ("reserved_enum", ctypes.c_int * 2)]


_liblzma = None


def _lzma():
    global _liblzma
    if _liblzma is None:
        _liblzma = ctypes.CDLL(ctypes.util.find_library("lzma") or "liblzma.so.5")
        _liblzma.lzma_easy_encoder.argtypes = [ctypes.POINTER(_LzmaStream), ctypes.c_uint32,
                                               ctypes.c_int]
        _liblzma.lzma_code.argtypes = [ctypes.POINTER(_LzmaStream), ctypes.c_int]
        _liblzma.lzma_end.argtypes = [ctypes.POINTER(_LzmaStream)]
    return _liblzma


class XzStream:
    """A persistent .xz stream (liblzma through ctypes: Python's lzma module cannot
    flush a stream without ending it)."""

    LZMA_OK, LZMA_STREAM_END, LZMA_SYNC_FLUSH, LZMA_CHECK_CRC32 = 0, 1, 1, 1

    def __init__(self, preset=3):
        self._s = _LzmaStream()
        rc = _lzma().lzma_easy_encoder(ctypes.byref(self._s), preset, self.LZMA_CHECK_CRC32)
        if rc != self.LZMA_OK:
            raise RuntimeError("lzma_easy_encoder: %d" % rc)

    def block(self, data):
        data = bytes(data)
        inbuf = ctypes.create_string_buffer(data, len(data) or 1)
        out = bytearray()
        chunk = ctypes.create_string_buffer(65536)
        s = self._s
        s.next_in = ctypes.addressof(inbuf)
        s.avail_in = len(data)
        while True:
            s.next_out = ctypes.addressof(chunk)
            s.avail_out = len(chunk)
            rc = _lzma().lzma_code(ctypes.byref(s), self.LZMA_SYNC_FLUSH)
            out += chunk.raw[:len(chunk) - s.avail_out]
            if rc == self.LZMA_STREAM_END:
                return bytes(out)
            if rc != self.LZMA_OK:
                raise RuntimeError("lzma_code: %d" % rc)

    def __del__(self):
        try:
            _lzma().lzma_end(ctypes.byref(self._s))
        except Exception:
            pass


def stream(ctx, name, kind):
    """The connection's compressor `name` of kind "zlib", "zstd" or "xz"."""
    key = ("stream", name, kind)
    s = ctx.state.get(key)
    if s is None:
        s = {"zlib": ZlibStream, "zstd": ZstdStream, "xz": XzStream}[kind]()
        ctx.state[key] = s
    return s


def lzo1x(data):
    """One LZO1X-1 block, without the python-lzo header."""
    if lzo is None:
        raise RuntimeError("python3-lzo is needed for the LZO rectangle list")
    # python-lzo's compress(data, level, header=False) gives the bare block.
    return lzo.compress(bytes(data), 1, False)
