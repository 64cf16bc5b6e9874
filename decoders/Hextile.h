// The Hextile tile format: 16 x 16 tiles, each raw or a background with solid
// subrectangles. Shared by Hextile and by the hextile-coded tiles of ZlibHex.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"
#include "rdr/InStream.h"

namespace dec {

// Hextile subencoding bits.
constexpr unsigned kHextileRaw = 1;
constexpr unsigned kHextileBackground = 2;
constexpr unsigned kHextileForeground = 4;
constexpr unsigned kHextileAnySubrects = 8;
constexpr unsigned kHextileSubrectsColoured = 16;

// Reads the body of one tile (after its subencoding byte) from `in` and draws it into
// tile (tw x th pixels, rows `stride` pixels apart). bg and fg carry the background and
// foreground from tile to tile. Subrectangles are clipped to the tile.
template <class P>
void DecodeHextileTile(rdr::InStream& in, unsigned subencoding, P* tile, std::size_t stride, int tw, int th, P& bg,
                       P& fg) {
  std::uint8_t scratch[255 * (sizeof(P) + 2)];
  const std::size_t strideBytes = stride * sizeof(P);
  if (subencoding & kHextileRaw) {
    const std::size_t rowBytes = static_cast<std::size_t>(tw) * sizeof(P);
    const std::uint8_t* p = ReadSpan(in, rowBytes * th, scratch);
    std::uint8_t* dst = reinterpret_cast<std::uint8_t*>(tile);
    if (tw == 16) {  // the usual tile: a copy of known size is a few vector moves
      for (int r = 0; r < th; r++) std::memcpy(dst + r * strideBytes, p + r * 16 * sizeof(P), 16 * sizeof(P));
      return;
    }
    for (int r = 0; r < th; r++) std::memcpy(dst + r * strideBytes, p + r * rowBytes, rowBytes);
    return;
  }
  if (subencoding & kHextileBackground) bg = LoadPixel<P>(ReadSpan(in, sizeof(P), scratch));
  if (subencoding & kHextileForeground) fg = LoadPixel<P>(ReadSpan(in, sizeof(P), scratch));
  FillRectUnchecked<P>(reinterpret_cast<std::uint8_t*>(tile), strideBytes, tw, th, bg);
  if (!(subencoding & kHextileAnySubrects)) return;
  const unsigned n = in.ReadU8();
  const bool coloured = (subencoding & kHextileSubrectsColoured) != 0;
  const std::size_t recSize = coloured ? sizeof(P) + 2 : 2;
  const std::uint8_t* p = ReadSpan(in, n * recSize, scratch);
  for (unsigned i = 0; i < n; i++, p += recSize) {
    const std::uint8_t* g = p;
    if (coloured) {
      fg = LoadPixel<P>(p);
      g += sizeof(P);
    }
    const int sx = g[0] >> 4, sy = g[0] & 15;
    if (sx >= tw || sy >= th) continue;
    const int sw = std::min((g[1] >> 4) + 1, tw - sx);
    const int sh = std::min((g[1] & 15) + 1, th - sy);
    FillRectUnchecked<P>(reinterpret_cast<std::uint8_t*>(tile + sy * stride + sx), strideBytes, sw, sh, fg);
  }
}

}  // namespace dec
