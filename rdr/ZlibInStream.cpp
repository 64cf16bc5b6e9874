#include "rdr/ZlibInStream.h"

#include <zlib.h>

#include <climits>

#include "rdr/Exception.h"

namespace rdr {

ZlibInStream::ZlibInStream(std::size_t bufferSize)
    : DecompressingInStream(bufferSize ? bufferSize : 16384, "ZlibInStream") {
  zs_ = new z_stream();
  if (inflateInit(zs_) != Z_OK) {
    delete zs_;
    throw Exception("ZlibInStream: inflateInit failed");
  }
  // A server's stream is flushed, never finished: the Adler-32 that would end it never
  // comes, so computing it over every byte only costs time.
  inflateValidate(zs_, 0);
}

ZlibInStream::~ZlibInStream() {
  inflateEnd(zs_);
  delete zs_;
}

void ZlibInStream::RestartDecoder() {
  if (inflateReset(zs_) != Z_OK) throw Exception("ZlibInStream: inflateReset failed");
}

void ZlibInStream::Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
                        std::size_t* consumed, std::size_t* produced) {
  uInt inN = inLen > UINT_MAX ? UINT_MAX : static_cast<uInt>(inLen);
  uInt outN = outLen > UINT_MAX ? UINT_MAX : static_cast<uInt>(outLen);
  zs_->next_in = const_cast<Bytef*>(in);
  zs_->avail_in = inN;
  zs_->next_out = out;
  zs_->avail_out = outN;
  int rc = inflate(zs_, Z_SYNC_FLUSH);
  // Z_BUF_ERROR only says no progress was possible; DecompressOnce turns that into an error.
  if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
    throw Exception("ZlibInStream: inflate failed");
  *consumed = inN - zs_->avail_in;
  *produced = outN - zs_->avail_out;
}

}  // namespace rdr
