// Fuzzing the compressed encodings through their compressed streams: random bytes hardly
// ever inflate, so the input describes the data *before* compression and the harness
// compresses it, as a server would, with persistent zlib / zstd / xz streams and one-shot
// zlib and LZO blocks. The decoders' parsers behind the decompressors then see the
// fuzzer's bytes; literal tokens still let it send anything at all.
//
// Input: byte 0 picks the pixel format, bytes 1-4 the framebuffer size, byte 5 the options
// (bit 0: cache bitmap, bits 1-4: quality + 1, 0 = none). Then rectangles, each: a
// selector byte (encoding of the family, by its value modulo the family's count), x, y,
// w, h (u16 each), a token count byte, then tokens that build the rectangle's data:
//   0x00-0x7F  the next t + 1 bytes as they are
//   0x80-0x8F  a compressed block behind a u16 length: stream t & 3 (0 the Zlib stream,
//              1 ZlibHex raw, 2 ZlibHex encoded, 3 the ZRLE stream), zstd when bit 2 is
//              set; its plain bytes: a length byte n and n bytes
//   0x90-0x9F  the same behind a u32 length
//   0xA0       an xz block of the persistent XZ stream (plain: u16 length and bytes);
//              for XZ rectangles it also sets the header's length fields
//   0xA1       a one-shot LZO1X block behind a u32 length (plain: u16 length and bytes)
//   0xA2       a one-shot zlib block behind a u32 length (plain: u16 length and bytes)
//   others     nothing
#pragma once

#include <lzma.h>
#include <lzo/lzo1x.h>
#include <zlib.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/Exception.h"
#include "app/Log.h"
#include "decoders/Decoders.h"
#include "rdr/Exception.h"
#include "rdr/MemInStream.h"
#include "tests/unit/decoders/MemoryFramebuffer.h"

namespace fuzzc {

using Buf = std::vector<std::uint8_t>;

// The compressors live as long as the process and are reset before each input, which gives
// each input the state of new ones: making and freeing them (a few MB, the xz encoder most
// of it) cost far more than decoding a typical input.
class Deflater {
public:
  Deflater() { deflateInit(&zs_, 1); }
  ~Deflater() { deflateEnd(&zs_); }
  void Reset() { deflateReset(&zs_); }
  Buf Block(const std::uint8_t* p, std::size_t n) {
    Buf out(n + n / 8 + 64);
    zs_.next_in = const_cast<Bytef*>(p);
    zs_.avail_in = static_cast<uInt>(n);
    zs_.next_out = out.data();
    zs_.avail_out = static_cast<uInt>(out.size());
    deflate(&zs_, Z_SYNC_FLUSH);
    out.resize(out.size() - zs_.avail_out);
    return out;
  }

private:
  z_stream zs_{};
};

class ZstdCompressor {
public:
  ZstdCompressor() : c_(ZSTD_createCCtx()) { ZSTD_CCtx_setParameter(c_, ZSTD_c_compressionLevel, 1); }
  ~ZstdCompressor() { ZSTD_freeCCtx(c_); }
  void Reset() { ZSTD_CCtx_reset(c_, ZSTD_reset_session_only); }
  Buf Block(const std::uint8_t* p, std::size_t n) {
    Buf out(ZSTD_compressBound(n) + 64);
    ZSTD_inBuffer ib = {p, n, 0};
    ZSTD_outBuffer ob = {out.data(), out.size(), 0};
    while (ZSTD_compressStream2(c_, &ob, &ib, ZSTD_e_flush) > 0 && ob.pos < ob.size) {
    }
    out.resize(ob.pos);
    return out;
  }

private:
  ZSTD_CCtx* c_;
};

class XzCompressor {
public:
  XzCompressor() { Reset(); }
  ~XzCompressor() { lzma_end(&s_); }
  // A new encoder on the same stream starts a new xz stream in the memory of the old one.
  void Reset() { ok_ = lzma_easy_encoder(&s_, 0, LZMA_CHECK_CRC32) == LZMA_OK; }
  Buf Block(const std::uint8_t* p, std::size_t n) {
    Buf out(n + n / 2 + 4096);
    if (!ok_) return {};
    s_.next_in = p;
    s_.avail_in = n;
    s_.next_out = out.data();
    s_.avail_out = out.size();
    lzma_ret rc = LZMA_OK;
    while (rc == LZMA_OK && s_.avail_out > 0) rc = lzma_code(&s_, LZMA_SYNC_FLUSH);
    out.resize(out.size() - s_.avail_out);
    return out;
  }

private:
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ok_;
};

struct Compressors {
  Deflater zlib[4];
  ZstdCompressor zstd[4];
  XzCompressor xz;
  std::vector<std::uint8_t> lzoWork = std::vector<std::uint8_t>(LZO1X_1_MEM_COMPRESS);

  // The process's compressors, each as if new.
  static Compressors& Fresh() {
    static Compressors c;
    for (Deflater& d : c.zlib) d.Reset();
    for (ZstdCompressor& z : c.zstd) z.Reset();
    c.xz.Reset();
    return c;
  }
};

// Reads the input as it is consumed; past the end every read gives zeros.
struct Reader {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t U8() { return n ? (n--, *p++) : 0; }
  unsigned U16() { return static_cast<unsigned>(U8()) << 8 | U8(); }
  const std::uint8_t* Take(std::size_t* len) {
    if (*len > n) *len = n;
    const std::uint8_t* r = p;
    p += *len, n -= *len;
    return r;
  }
};

inline void Put16(Buf& b, std::size_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
inline void Put32(Buf& b, std::size_t v) {
  Put16(b, v >> 16 & 0xFFFF);
  Put16(b, v & 0xFFFF);
}

inline PixelFormat Make(int bpp, int depth, bool be, int rmax, int gmax, int bmax, int rs, int gs, int bs) {
  PixelFormat pf;
  pf.bitsPerPixel = static_cast<std::uint8_t>(bpp), pf.depth = static_cast<std::uint8_t>(depth);
  pf.bigEndian = be;
  pf.redMax = static_cast<std::uint16_t>(rmax), pf.greenMax = static_cast<std::uint16_t>(gmax),
  pf.blueMax = static_cast<std::uint16_t>(bmax);
  pf.redShift = static_cast<std::uint8_t>(rs), pf.greenShift = static_cast<std::uint8_t>(gs),
  pf.blueShift = static_cast<std::uint8_t>(bs);
  return pf;
}

// Every compact-pixel form of ZRLE and every synthesis form of ZYWRLE.
inline const PixelFormat kFormats[] = {
    Make(32, 24, false, 255, 255, 255, 0, 8, 16),   Make(32, 24, true, 255, 255, 255, 0, 8, 16),
    Make(32, 24, false, 255, 255, 255, 8, 16, 24),  Make(32, 24, true, 255, 255, 255, 8, 16, 24),
    Make(32, 30, false, 1023, 1023, 1023, 20, 10, 0), Make(16, 16, false, 31, 63, 31, 11, 5, 0),
    Make(16, 15, false, 31, 31, 31, 10, 5, 0),      Make(8, 8, false, 7, 7, 3, 0, 3, 6),
};

// Decodes the rectangles the input describes, with encodings from `family`.
inline int Run(const std::uint8_t* data, std::size_t size, const std::int32_t* family, int familySize) {
  if (size < 6) return 0;
  const PixelFormat& pf = kFormats[data[0] % (sizeof kFormats / sizeof kFormats[0])];
  const int w = (data[1] << 8 | data[2]) % 200, h = (data[3] << 8 | data[4]) % 200;
  const bool cache = data[5] & 1;
  const int quality = ((data[5] >> 1) & 15) - 1;
  Reader rd{data + 6, size - 6};

  // The wire bytes first: header, then data built from the tokens.
  Compressors& c = Compressors::Fresh();
  Buf wire;
  int rects = 0;
  while (rd.n > 0 && rects < 64) {
    const std::int32_t enc = family[rd.U8() % familySize];
    std::size_t headerAt = wire.size();
    for (int i = 0; i < 8; i++) wire.push_back(rd.U8());
    Put32(wire, static_cast<std::uint32_t>(enc));
    const int tokens = rd.U8();
    const bool zstd = enc == rfbenc::kZSTD || enc == rfbenc::kZstdHex || enc == rfbenc::kZSTDRLE ||
                      enc == rfbenc::kZSTDYWRLE || enc == rfbenc::kZstdRectList;
    for (int t = 0; t < tokens && rd.n > 0; t++) {
      const unsigned tok = rd.U8();
      if (tok < 0x80) {
        std::size_t n = tok + 1;
        const std::uint8_t* p = rd.Take(&n);
        wire.insert(wire.end(), p, p + n);
      } else if (tok < 0xA0) {
        std::size_t n = rd.U8();
        const std::uint8_t* p = rd.Take(&n);
        const unsigned s = tok & 3;
        Buf z = (zstd || (tok & 4)) ? c.zstd[s].Block(p, n) : c.zlib[s].Block(p, n);
        if (tok < 0x90)
          Put16(wire, z.size());
        else
          Put32(wire, z.size());
        wire.insert(wire.end(), z.begin(), z.end());
      } else if (tok <= 0xA2) {
        std::size_t n = rd.U16();
        const std::uint8_t* p = rd.Take(&n);
        Buf z;
        if (tok == 0xA0) {
          z = c.xz.Block(p, n);
          if (enc == rfbenc::kXZ || enc == rfbenc::kXZYW) {
            wire[headerAt + 4] = static_cast<std::uint8_t>(z.size() >> 24);
            wire[headerAt + 5] = static_cast<std::uint8_t>(z.size() >> 16);
            wire[headerAt + 6] = static_cast<std::uint8_t>(z.size() >> 8);
            wire[headerAt + 7] = static_cast<std::uint8_t>(z.size());
          }
        } else if (tok == 0xA1) {
          static const bool ready = lzo_init() == LZO_E_OK;
          z.resize(n + n / 16 + 64 + 3);
          lzo_uint zl = z.size();
          if (ready) lzo1x_1_compress(p, n, z.data(), &zl, c.lzoWork.data());
          z.resize(ready ? zl : 0);
          Put32(wire, z.size());
        } else {
          uLongf zl = compressBound(n);
          z.resize(zl);
          compress(z.data(), &zl, p, n);
          z.resize(zl);
          Put32(wire, z.size());
        }
        wire.insert(wire.end(), z.begin(), z.end());
      }
    }
    rects++;
  }

  Buf cacheBits;
  // A cache bitmap when asked for: the host hands it out with the bitmap.
  struct WithCache : MemoryFramebuffer {
    using MemoryFramebuffer::MemoryFramebuffer;
    std::uint8_t* cacheBits = nullptr;
    Framebuffer CurrentFramebuffer() override {
      Framebuffer f = MemoryFramebuffer::CurrentFramebuffer();
      f.cache = cacheBits;
      return f;
    }
  } cached(w, h, PixelFormat::Sanitize(pf));
  if (cache) {
    cacheBits.assign(cached.fb().stride * static_cast<std::size_t>(h) + 1, 0);
    cached.cacheBits = cacheBits.data();
  }
  DecoderState st(cached);
  st.quality = quality;
  rdr::MemInStream in(wire.data(), wire.size());
  try {
    for (int i = 0; i < rects; i++) {
      RectHeader r = RectHeader::Read(in);
      st.rectanglesReceived++;
      dec::DecodeRectangle(st, in, r);
    }
  } catch (const rdr::Exception&) {
  } catch (const Exception&) {
  }
  return 0;
}

}  // namespace fuzzc
