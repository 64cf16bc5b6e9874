#include "decoders/StreamDecompressor.h"

#include <zlib.h>
#include <zstd.h>

#include <climits>

StreamDecompressor::~StreamDecompressor() {
  if (zs_) {
    inflateEnd(zs_);
    delete zs_;
  }
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
  if (zs_) {
    inflateEnd(zs_);
    delete zs_;
    zs_ = nullptr;
  }
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
  if (!zs_) {
    zs_ = new z_stream();
    if (inflateInit(zs_) != Z_OK) {
      delete zs_;
      zs_ = nullptr;
      return kError;
    }
    // The servers' streams are flushed, never finished, so the Adler-32 at the end of a
    // zlib stream never comes; computing it over every byte would only cost time.
    inflateValidate(zs_, 0);
  }
  // zlib counts in uInt; feed larger spans in pieces.
  for (;;) {
    const uInt inN = *availIn > UINT_MAX ? UINT_MAX : static_cast<uInt>(*availIn);
    const uInt outN = *availOut > UINT_MAX ? UINT_MAX : static_cast<uInt>(*availOut);
    zs_->next_in = const_cast<Bytef*>(in);
    zs_->avail_in = inN;
    zs_->next_out = out;
    zs_->avail_out = outN;
    const int rc = inflate(zs_, Z_SYNC_FLUSH);
    const std::size_t consumed = inN - zs_->avail_in, produced = outN - zs_->avail_out;
    in += consumed;
    out += produced;
    *availIn -= consumed;
    *availOut -= produced;
    if (rc == Z_STREAM_END) {
      zlibEnded_ = true;
      return kStreamEnd;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      zlibBroken_ = true;
      return kError;
    }
    if (*availIn == 0 || *availOut == 0 || (consumed == 0 && produced == 0)) return kOk;
  }
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
