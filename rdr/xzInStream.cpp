#include "rdr/xzInStream.h"

#include <lzma.h>

#include <cstdio>

#include "rdr/Exception.h"

namespace rdr {

xzInStream::xzInStream(std::size_t bufferSize)
    : DecompressingInStream(bufferSize ? bufferSize : 65536, "xzInStream") {}

xzInStream::~xzInStream() { EndDecoder(); }

void xzInStream::EndDecoder() {
  if (!strm_) return;
  lzma_stream* s = static_cast<lzma_stream*>(strm_);
  lzma_end(s);
  delete s;
  strm_ = nullptr;
}

void xzInStream::RestartDecoder() { EndDecoder(); }

void xzInStream::Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
                      std::size_t* consumed, std::size_t* produced) {
  if (!strm_) {
    lzma_stream* s = new lzma_stream;
    *s = LZMA_STREAM_INIT;
    lzma_ret rc = lzma_stream_decoder(s, kMemoryLimit, LZMA_TELL_UNSUPPORTED_CHECK);
    if (rc != LZMA_OK) {
      delete s;
      std::fprintf(stderr, "lzma_stream_decoder error: %d\n", static_cast<int>(rc));
      throw Exception("lzmaOutStream: lzma_stream_decoder failed");
    }
    strm_ = s;
  }
  lzma_stream* s = static_cast<lzma_stream*>(strm_);
  s->next_in = in;
  s->avail_in = inLen;
  s->next_out = out;
  s->avail_out = outLen;
  lzma_ret rc = lzma_code(s, LZMA_RUN);
  *consumed = inLen - s->avail_in;
  *produced = outLen - s->avail_out;
  // LZMA_OK and LZMA_STREAM_END are progress; LZMA_BUF_ERROR only means "no progress",
  // which DecompressOnce reports. Everything else is a decoder error.
  if (rc != LZMA_OK && rc != LZMA_STREAM_END && rc != LZMA_BUF_ERROR) {
    std::fprintf(stderr, "lzma_code decompress error: %d\n", static_cast<int>(rc));
    throw Exception("lzmaOutStream: decompress failed");
  }
}

}  // namespace rdr
