// Server-side compressors for building test streams: persistent zlib, zstd and xz streams
// flushed after every block (as a server flushes after each rectangle), and one-shot LZO1X.
#pragma once

#include <lzma.h>
#include <lzo/lzo1x.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

using Buf = std::vector<std::uint8_t>;

enum class Kind { Zlib, Zstd, Xz };

class Compressor {
public:
  explicit Compressor(Kind kind, int level = 6) : kind_(kind) {
    switch (kind_) {
      case Kind::Zlib: deflateInit(&zs_, level); break;
      case Kind::Zstd:
        cctx_ = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level);
        break;
      case Kind::Xz:
        if (lzma_easy_encoder(&xz_, 3, LZMA_CHECK_CRC32) != LZMA_OK) throw std::runtime_error("lzma_easy_encoder");
        break;
    }
  }
  ~Compressor() {
    switch (kind_) {
      case Kind::Zlib: deflateEnd(&zs_); break;
      case Kind::Zstd: ZSTD_freeCCtx(cctx_); break;
      case Kind::Xz: lzma_end(&xz_); break;
    }
  }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // The compressed bytes of `in`, flushed so that a decompressor can produce all of it.
  Buf Block(const Buf& in) {
    Buf out(in.size() + in.size() / 2 + 1024);
    std::size_t produced = 0;
    switch (kind_) {
      case Kind::Zlib:
        zs_.next_in = const_cast<Bytef*>(in.data());
        zs_.avail_in = static_cast<uInt>(in.size());
        zs_.next_out = out.data();
        zs_.avail_out = static_cast<uInt>(out.size());
        deflate(&zs_, Z_SYNC_FLUSH);
        produced = out.size() - zs_.avail_out;
        break;
      case Kind::Zstd: {
        ZSTD_inBuffer ib = {in.data(), in.size(), 0};
        ZSTD_outBuffer ob = {out.data(), out.size(), 0};
        while (ZSTD_compressStream2(cctx_, &ob, &ib, ZSTD_e_flush) != 0) {
        }
        produced = ob.pos;
        break;
      }
      case Kind::Xz: {
        xz_.next_in = in.data();
        xz_.avail_in = in.size();
        xz_.next_out = out.data();
        xz_.avail_out = out.size();
        // LZMA_SYNC_FLUSH reports LZMA_STREAM_END once everything is out.
        lzma_ret rc = LZMA_OK;
        while (rc == LZMA_OK) {
          if (xz_.avail_out == 0) throw std::runtime_error("xz block larger than expected");
          rc = lzma_code(&xz_, LZMA_SYNC_FLUSH);
        }
        if (rc != LZMA_STREAM_END) throw std::runtime_error("lzma_code");
        produced = out.size() - xz_.avail_out;
        break;
      }
    }
    out.resize(produced);
    return out;
  }

private:
  Kind kind_;
  z_stream zs_{};
  ZSTD_CCtx* cctx_ = nullptr;
  lzma_stream xz_ = LZMA_STREAM_INIT;
};

inline Buf LzoCompress(const Buf& in) {
  static const bool ready = lzo_init() == LZO_E_OK;
  if (!ready) throw std::runtime_error("lzo_init");
  Buf out(in.size() + in.size() / 16 + 64 + 3);
  std::vector<std::uint8_t> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint len = out.size();
  lzo1x_1_compress(in.data(), in.size(), out.data(), &len, work.data());
  out.resize(len);
  return out;
}

// A repeatable byte pattern.
inline Buf Pattern(std::size_t n, unsigned seed) {
  Buf b(n);
  for (std::size_t i = 0; i < n; i++) b[i] = static_cast<std::uint8_t>((i * seed) ^ (i >> 5));
  return b;
}
