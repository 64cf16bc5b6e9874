// Tight (7) and TightZstd (26): a solid fill, a JPEG image, or "basic" data that pass
// through one of four persistent decompression streams (zlib for Tight, zstd for
// TightZstd) and one of three filters (copy, palette, gradient).
#pragma once

#include <cstdint>
#include <vector>

#include "decoders/GrowBuffer.h"
#include "decoders/PixelFormat.h"
#include "rdr/InStream.h"

namespace dec {

// Tight's compact length: 1 to 3 bytes, 7 bits in each of the first two (the top bit
// says another byte follows) and 8 in the third; at most 0x3FFFFF.
std::uint32_t TightReadCompactLength(rdr::InStream& in);

// How Tight's filters turn colour components into pixels of the session format. A
// component c of a pixel with maximum m travels as c x 255 / m and is stored as
// (that x (m + 1)) >> 8 in its field; for maxima of the form 2^k - 1 up to 255 this gives
// c back, so such formats keep the component as it is ("direct"); others use a table
// per component, built once for the format.
struct TightPixelMap {
  // Makes the map ready for pf (a valid true-colour format); cheap when pf is unchanged.
  void Prepare(const PixelFormat& pf);

  // The pixel for components already within their maxima.
  std::uint32_t Pack(unsigned r, unsigned g, unsigned b) const {
    return direct ? (r << redShift | g << greenShift | b << blueShift) : (red[r] | green[g] | blue[b]);
  }
  // The pixel for a received session pixel: its colour fields, through the conversion.
  std::uint32_t FromPixel(std::uint32_t v) const {
    return direct ? (v & colourMask)
                  : Pack(v >> redShift & redMax, v >> greenShift & greenMax, v >> blueShift & blueMax);
  }
  // The pixel for 8-bit red, green and blue (24-bit mode, where every maximum is 255).
  std::uint32_t FromBytes(unsigned r, unsigned g, unsigned b) const {
    return r << redShift | g << greenShift | b << blueShift;
  }

  bool ready = false;
  PixelFormat format;
  bool direct = true;
  unsigned redShift = 0, greenShift = 0, blueShift = 0;
  unsigned redMax = 0, greenMax = 0, blueMax = 0;
  std::uint32_t colourMask = 0;
  std::vector<std::uint32_t> red, green, blue;  // component value -> field (not direct)
};

// Tight's per-connection work areas: the gradient filter's row above (sized by the
// rectangle width) and the pixel map of the session format.
struct TightWork {
  GrowBuffer previousRow;
  TightPixelMap map;
};

}  // namespace dec
