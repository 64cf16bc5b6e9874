// The RFB pixel format record: how one pixel travels on the wire and sits in the
// framebuffer bitmap. Every decoder and the bitmap itself use the session's format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rdr {
class InStream;
}

struct PixelFormat {
  static constexpr std::size_t kWireSize = 16;

  std::uint8_t bitsPerPixel = 32;
  std::uint8_t depth = 24;
  std::uint8_t bigEndian = 0;
  std::uint8_t trueColour = 1;
  std::uint16_t redMax = 255;  // held in host order; big-endian on the wire
  std::uint16_t greenMax = 255;
  std::uint16_t blueMax = 255;
  std::uint8_t redShift = 0;
  std::uint8_t greenShift = 8;
  std::uint8_t blueShift = 16;
  std::uint8_t greyscale = 0;  // first padding byte: travels to the server unchanged
  std::uint8_t pad2 = 0;
  std::uint8_t pad3 = 0;

  // The viewer's default: 32 bits per pixel, depth 24, true colour, little-endian,
  // red in the low byte (shifts 0/8/16). Also what a default-constructed record holds.
  static PixelFormat Default32() { return PixelFormat(); }

  static PixelFormat FromWire(const std::uint8_t wire[kWireSize]);
  static PixelFormat Read(rdr::InStream& in);
  void ToWire(std::uint8_t wire[kWireSize]) const;

  // 1, 2 or 4 for a valid format.
  int BytesPerPixel() const { return bitsPerPixel / 8; }

  // A format the decoders and the bitmap can work with: 8, 16 or 32 bits per pixel,
  // depth no larger than that, and for true colour every maximum at least 1 and every
  // colour field (maximum << shift) within the pixel.
  bool IsValid() const;

  // A format that came from the network: itself when valid, else the default 32-bit
  // format (logged at level 0).
  static PixelFormat Sanitize(const PixelFormat& untrusted);

  bool operator==(const PixelFormat& o) const;
  bool operator!=(const PixelFormat& o) const { return !(*this == o); }
};
