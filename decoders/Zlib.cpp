// Zlib (6) and ZSTD (25): the rectangle's pixels through the connection's persistent Zlib
// stream. ZlibHex (8) and ZstdHex (27): Hextile tiles, each plain, raw, or compressed
// through one of two persistent streams.
#include <algorithm>
#include <cstdio>

#include "app/Log.h"
#include "decoders/Decoders.h"
#include "decoders/Hextile.h"
#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"
#include "rdr/Exception.h"
#include "rdr/MemInStream.h"

namespace dec {

namespace {

[[noreturn]] void ThrowCorrupt(const char* what, bool zstd) {
  char msg[128];
  std::snprintf(msg, sizeof msg, "%s: corrupt %s data, the compression stream is lost", what, zstd ? "zstd" : "zlib");
  throw rdr::Exception(msg);
}

// ZlibHex subencoding bits beyond Hextile's.
constexpr unsigned kZlibHexRaw = 32;      // u16 length, compressed raw pixels
constexpr unsigned kZlibHexEncoded = 64;  // u16 length, compressed hextile data

// The most a hextile-coded tile can take: background, foreground, count and 255
// coloured subrectangles.
constexpr std::size_t MaxHextileTileBytes(std::size_t bpp) { return 2 * bpp + 1 + 255 * (bpp + 2); }

// Decompresses one tile's block; a corrupt stream ends the connection.
const std::uint8_t* InflateTile(StreamDecompressor& s, rdr::InStream& in, std::uint8_t* scratch, std::uint8_t* out,
                                std::size_t room, bool zstd, std::size_t* produced) {
  const std::size_t len = in.ReadU16();
  const std::uint8_t* data = ReadSpan(in, len, scratch);
  const StreamDecompressor::BlockResult r = s.DecompressBlock(data, len, out, room, zstd);
  if (r.result == StreamDecompressor::kError) {
    kebLog.Print(0, "zlib inflate error: %d\n", static_cast<int>(r.result));
    ThrowCorrupt("ZlibHex", zstd);
  }
  *produced = r.excess ? 0 : r.produced;  // a tile that overflows its room is not drawn
  return out;
}

template <class P>
void DecodeZlibHexT(DecoderState& st, rdr::InStream& in, const RectHeader& r, bool zstd) {
  constexpr std::size_t B = sizeof(P);
  const std::size_t room = MaxHextileTileBytes(B);
  std::uint8_t* out = st.zlibBuffer.Ensure(room);
  std::uint8_t scratch[65535];  // one compressed block (u16 length)
  P* strip = reinterpret_cast<P*>(st.receive.Ensure(static_cast<std::uint64_t>(r.w) * 16 * B));
  // The colours live in the connection's state between rectangles.
  P bg = static_cast<P>(st.zlibHexBg), fg = static_cast<P>(st.zlibHexFg);
  struct Keep {
    DecoderState& st;
    P& bg;
    P& fg;
    ~Keep() { st.zlibHexBg = bg, st.zlibHexFg = fg; }
  } keep{st, bg, fg};
  bool drawn[(65535 + 15) / 16];
  for (int ty = 0; ty < r.h; ty += 16) {
    const int th = std::min(16, r.h - ty);
    for (int tx = 0, t = 0; tx < r.w; tx += 16, t++) {
      const int tw = std::min(16, r.w - tx);
      P* tile = strip + tx;
      const unsigned sub = in.ReadU8();
      drawn[t] = true;
      if (sub & kHextileRaw || !(sub & (kZlibHexRaw | kZlibHexEncoded))) {
        DecodeHextileTile<P>(in, sub, tile, r.w, tw, th, bg, fg);
        continue;
      }
      std::size_t produced = 0;
      if (sub & kZlibHexRaw) {
        const std::size_t T = static_cast<std::size_t>(tw) * th * B;
        InflateTile(st.zlibHexRawStream, in, scratch, out, room, zstd, &produced);
        if (produced < T) {
          kebLog.Print(0, "ZlibHex: raw tile of %d bytes decompressed to %d\n", static_cast<int>(T),
                       static_cast<int>(produced));
          drawn[t] = false;
          continue;
        }
        for (int y = 0; y < th; y++) std::memcpy(tile + y * r.w, out + y * tw * B, tw * B);
        continue;
      }
      InflateTile(st.zlibHexEncodedStream, in, scratch, out, room, zstd, &produced);
      // The tile's hextile data are read from what was produced, and no further.
      rdr::MemInStream tileIn(out, produced);
      P tileBg = bg, tileFg = fg;
      try {
        DecodeHextileTile<P>(tileIn, sub, tile, r.w, tw, th, tileBg, tileFg);
        bg = tileBg, fg = tileFg;
      } catch (rdr::EndOfStream&) {
        kebLog.Print(0, "ZlibHex: compressed tile data end early\n");
        drawn[t] = false;
      }
    }
    FramebufferLock lock(st.host);
    const Framebuffer& fb = lock.fb();
    if (!CanWrite(fb, B, r.x, r.y, r.w, r.h)) continue;
    for (int tx = 0, t = 0; tx < r.w; tx += 16, t++)
      if (drawn[t])
        for (int y = 0; y < th; y++)
          std::memcpy(fb.At(r.x + tx, r.y + ty + y), strip + y * r.w + tx, std::min(16, r.w - tx) * B);
  }
}

}  // namespace

void DecodeZlib(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const bool zstd = r.encoding == rfbenc::kZSTD;
  const int bpp = st.Snapshot().bytesPerPixel;
  const std::uint64_t n = static_cast<std::uint64_t>(r.w) * r.h * static_cast<std::uint64_t>(bpp);
  const std::uint32_t length = in.ReadU32();
  const std::uint8_t* data = ReadSpan(in, length, st.receive);
  std::uint8_t* out = st.zlibBuffer.Ensure(n);
  const StreamDecompressor::BlockResult res = st.zlibStream.DecompressBlock(data, length, out, n, zstd);
  if (res.result == StreamDecompressor::kError) ThrowCorrupt("Zlib", zstd);
  // Only a rectangle that came out whole is drawn.
  if (!res.Exactly(n)) return;
  FramebufferLock lock(st.host);
  CopyPixelRect(lock.fb(), r.x, r.y, r.w, r.h, bpp, out);
}

void DecodeZlibHex(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  if (r.w == 0 || r.h == 0) return;
  const bool zstd = r.encoding == rfbenc::kZstdHex;
  switch (st.Snapshot().bytesPerPixel) {
    case 1: DecodeZlibHexT<std::uint8_t>(st, in, r, zstd); break;
    case 2: DecodeZlibHexT<std::uint16_t>(st, in, r, zstd); break;
    default: DecodeZlibHexT<std::uint32_t>(st, in, r, zstd); break;
  }
}

}  // namespace dec
