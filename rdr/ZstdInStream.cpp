#include "rdr/ZstdInStream.h"

#include <zstd.h>

#include "rdr/Exception.h"

namespace rdr {

std::size_t ZstdInStream::BufferSizeFor(std::size_t requested) {
  std::size_t n = requested ? requested : 16384;
  if (ZSTD_DStreamInSize() > n) n = ZSTD_DStreamInSize();
  if (ZSTD_DStreamOutSize() > n) n = ZSTD_DStreamOutSize();
  return n;
}

// The context (about 100 KB) is made on first use, as the xz decoder's: most servers never
// send the zstd encodings that need it.
ZstdInStream::ZstdInStream(std::size_t bufferSize)
    : DecompressingInStream(BufferSizeFor(bufferSize), "ZlibInStream") {}

ZstdInStream::~ZstdInStream() { ZSTD_freeDCtx(dctx_); }

void ZstdInStream::RestartDecoder() {
  if (dctx_) ZSTD_DCtx_reset(dctx_, ZSTD_reset_session_only);
}

void ZstdInStream::Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
                        std::size_t* consumed, std::size_t* produced) {
  if (!dctx_) {
    dctx_ = ZSTD_createDCtx();
    if (!dctx_) throw Exception("ZstdInStream: ZSTD_createDCtx failed");
  }
  ZSTD_inBuffer ib = {in, inLen, 0};
  ZSTD_outBuffer ob = {out, outLen, 0};
  std::size_t rc = ZSTD_decompressStream(dctx_, &ob, &ib);
  if (ZSTD_isError(rc)) throw Exception(ZSTD_getErrorName(rc));
  *consumed = ib.pos;
  *produced = ob.pos;
}

}  // namespace rdr
