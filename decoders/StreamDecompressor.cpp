#include "decoders/StreamDecompressor.h"

#include <isa-l/igzip_lib.h>
#include <zstd.h>

#include <climits>
#include <new>

struct StreamDecompressor::Inflater {
  inflate_state st;            // raw deflate (the zlib wrapper is read here)
  std::uint8_t header[6] = {};  // the two header bytes, and a dictionary id after them
  unsigned headerHave = 0, headerNeed = 2;
  bool inBody = false;
  unsigned trailerHave = 0;    // bytes of the four-byte Adler-32 consumed

  Inflater() {
    isal_inflate_init(&st);
    st.crc_flag = ISAL_DEFLATE;  // no checksum over the output: the trailer never comes
  }
};

StreamDecompressor::~StreamDecompressor() {
  delete inflate_;
  ZSTD_freeDCtx(zstd_);
}

void StreamDecompressor::Reset(bool useZstd) {
  if (useZstd) {
    // A fresh context rather than ZSTD_DCtx_reset: creation is what can fail, and a failure
    // must show up at the next Decompress, not here.
    ZSTD_freeDCtx(zstd_);
    zstd_ = nullptr;
    zstdBroken_ = false;
    return;
  }
  delete inflate_;
  inflate_ = nullptr;
  zlibEnded_ = false;
  zlibBroken_ = false;
}

void StreamDecompressor::ResetAll() {
  Reset(false);
  Reset(true);
}

StreamDecompressor::Result StreamDecompressor::Decompress(std::size_t* availIn, std::size_t* availOut,
                                                          const std::uint8_t* in, std::uint8_t* out, bool useZstd) {
  return useZstd ? ZstdStep(availIn, availOut, in, out) : InflateStep(availIn, availOut, in, out);
}

StreamDecompressor::Result StreamDecompressor::InflateStep(std::size_t* availIn, std::size_t* availOut,
                                                           const std::uint8_t* in, std::uint8_t* out) {
  if (zlibBroken_) return kError;
  if (zlibEnded_) {
    if (*availIn == 0) return kStreamEnd;
    zlibBroken_ = true;  // bytes after the end of the server's stream
    return kError;
  }
  if (!inflate_) {
    inflate_ = new (std::nothrow) Inflater();
    if (!inflate_) return kError;
  }
  Inflater& z = *inflate_;
  const std::size_t inGiven = *availIn;
  auto fail = [this] {
    zlibBroken_ = true;
    return kError;
  };

  // The zlib header, as zlib checks it: the check bits, deflate, a window of at most
  // 32 KiB; a preset dictionary (its id follows) cannot be had from a server.
  while (!z.inBody) {
    if (*availIn == 0) return kOk;
    z.header[z.headerHave++] = *in++;
    --*availIn;
    if (z.headerHave < z.headerNeed) continue;
    if (z.headerHave == 2) {
      const unsigned cmf = z.header[0], flg = z.header[1];
      if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf >> 4) + 8 > 15) return fail();
      if (flg & 0x20) {
        z.headerNeed = 6;
        continue;
      }
    }
    if (z.headerNeed == 6) return fail();
    z.inBody = true;
  }

  // The deflate data. ISA-L counts in 32 bits; larger spans go in pieces.
  while (z.st.block_state != ISAL_BLOCK_FINISH) {
    const std::uint32_t inN = *availIn > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(*availIn);
    const std::uint32_t outN = *availOut > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(*availOut);
    z.st.next_in = const_cast<std::uint8_t*>(in);
    z.st.avail_in = inN;
    z.st.next_out = out;
    z.st.avail_out = outN;
    const int rc = isal_inflate(&z.st);
    const std::size_t consumed = inN - z.st.avail_in, produced = outN - z.st.avail_out;
    in += consumed;
    out += produced;
    *availIn -= consumed;
    *availOut -= produced;
    if (rc < 0) return fail();
    if (z.st.block_state == ISAL_BLOCK_FINISH) break;
    if (*availIn == 0 || *availOut == 0 || (consumed == 0 && produced == 0)) return kOk;
  }

  // The last block is done: what ISA-L read beyond it (whole bytes of its bit buffer) and
  // then the input give the trailer; zlib ends there and leaves the rest unread.
  std::size_t extra = 0;  // bytes after the trailer that ISA-L had taken from the input
  if (z.st.read_in_length > 0) {
    std::uint64_t bits = z.st.read_in >> (z.st.read_in_length % 8);
    for (int n = z.st.read_in_length / 8; n > 0; n--, bits >>= 8) {
      if (z.trailerHave < 4)
        z.trailerHave++;
      else
        extra++;
    }
    z.st.read_in_length = 0;
    z.st.read_in = 0;
  }
  while (z.trailerHave < 4 && *availIn > 0) {
    z.trailerHave++;
    in++;
    --*availIn;
  }
  if (z.trailerHave < 4) return kOk;
  zlibEnded_ = true;
  if (extra > 0) {
    // Give them back; bytes taken in an earlier call cannot be, and are an error anyway.
    if (extra > inGiven - *availIn) return fail();
    *availIn += extra;
  }
  return kStreamEnd;
}

StreamDecompressor::Result StreamDecompressor::ZstdStep(std::size_t* availIn, std::size_t* availOut,
                                                        const std::uint8_t* in, std::uint8_t* out) {
  if (zstdBroken_) return kError;
  if (!zstd_) {
    zstd_ = ZSTD_createDCtx();
    if (!zstd_) return kError;
  }
  ZSTD_inBuffer ib = {in, *availIn, 0};
  ZSTD_outBuffer ob = {out, *availOut, 0};
  // One call may stop early with room and input left (a block boundary); go on while it
  // makes progress.
  for (;;) {
    const std::size_t inBefore = ib.pos, outBefore = ob.pos;
    const std::size_t rc = ZSTD_decompressStream(zstd_, &ob, &ib);
    if (ZSTD_isError(rc)) {
      zstdBroken_ = true;
      *availIn -= ib.pos;
      *availOut -= ob.pos;
      return kError;
    }
    if (ib.pos == ib.size || ob.pos == ob.size || (ib.pos == inBefore && ob.pos == outBefore)) break;
  }
  *availIn -= ib.pos;
  *availOut -= ob.pos;
  return kOk;
}

StreamDecompressor::BlockResult StreamDecompressor::DecompressBlock(const std::uint8_t* in, std::size_t inLen,
                                                                    std::uint8_t* out, std::size_t outLen,
                                                                    bool useZstd) {
  BlockResult r;
  std::size_t availIn = inLen, availOut = outLen;
  r.result = Decompress(&availIn, &availOut, in, out, useZstd);
  r.produced = outLen - availOut;
  // Whatever the room could not take is still part of the server's stream: decompress it
  // into scratch so that the next block continues at the right place.
  std::uint8_t scratch[4096];
  while (r.result == kOk && availIn > 0) {
    const std::size_t before = availIn;
    std::size_t room = sizeof scratch;
    r.result = Decompress(&availIn, &room, in + (inLen - availIn), scratch, useZstd);
    if (room != sizeof scratch) r.excess = true;
    if (availIn == before && room == sizeof scratch) break;  // no progress: input that produces nothing yet
  }
  // With the room exactly full the decoder may still hold output for the bytes it has
  // consumed (the rest of a match, zstd's window): probe for it.
  if (r.result == kOk && availOut == 0 && !r.excess) {
    std::size_t none = 0, room = 1;
    std::uint8_t probe;
    r.result = Decompress(&none, &room, in + inLen, &probe, useZstd);
    if (room == 0) {
      r.excess = true;
      while (r.result == kOk) {
        room = sizeof scratch;
        r.result = Decompress(&none, &room, in + inLen, scratch, useZstd);
        if (room == sizeof scratch) break;
      }
    }
  }
  if (r.result == kStreamEnd && availIn > 0) r.result = kError;
  return r;
}
