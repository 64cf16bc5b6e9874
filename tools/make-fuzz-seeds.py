#!/usr/bin/python3
"""Writes seed inputs for the stream fuzzers: valid compressed blocks behind the
4-byte plan the fuzzers read first."""
import lzma
import os
import sys
import zlib

import zstandard

out = sys.argv[1]
text = b"".join(b"row %d of a screen " % i * (i % 7 + 1) for i in range(300))


def write(name, idx, payload):
    d = os.path.join(out, name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed%d" % idx), "wb") as f:
        f.write(payload)


plans = [bytes([0, 0, 4, 0]), bytes([1, 0x1B, 40, 0x55])]
for i, plan in enumerate(plans):
    c = zlib.compressobj(6)
    blocks = c.compress(text[:3000]) + c.flush(zlib.Z_SYNC_FLUSH) + c.compress(text[3000:]) + c.flush(zlib.Z_SYNC_FLUSH)
    write("fuzz_zlib_stream", i, plan + blocks)
    write("fuzz_zstd_stream", i, plan + zstandard.ZstdCompressor(level=3).compress(text))
    write("fuzz_xz_stream", i, plan + lzma.compress(text, preset=1))
