#include "decoders/PixelFormat.h"

#include "app/Log.h"
#include "rdr/InStream.h"

PixelFormat PixelFormat::FromWire(const std::uint8_t w[kWireSize]) {
  PixelFormat pf;
  pf.bitsPerPixel = w[0];
  pf.depth = w[1];
  pf.bigEndian = w[2];
  pf.trueColour = w[3];
  pf.redMax = static_cast<std::uint16_t>((w[4] << 8) | w[5]);
  pf.greenMax = static_cast<std::uint16_t>((w[6] << 8) | w[7]);
  pf.blueMax = static_cast<std::uint16_t>((w[8] << 8) | w[9]);
  pf.redShift = w[10];
  pf.greenShift = w[11];
  pf.blueShift = w[12];
  pf.greyscale = w[13];
  pf.pad2 = w[14];
  pf.pad3 = w[15];
  return pf;
}

PixelFormat PixelFormat::Read(rdr::InStream& in) {
  std::uint8_t w[kWireSize];
  in.ReadBytes(w, sizeof w);
  return FromWire(w);
}

void PixelFormat::ToWire(std::uint8_t w[kWireSize]) const {
  w[0] = bitsPerPixel;
  w[1] = depth;
  w[2] = bigEndian;
  w[3] = trueColour;
  w[4] = static_cast<std::uint8_t>(redMax >> 8);
  w[5] = static_cast<std::uint8_t>(redMax);
  w[6] = static_cast<std::uint8_t>(greenMax >> 8);
  w[7] = static_cast<std::uint8_t>(greenMax);
  w[8] = static_cast<std::uint8_t>(blueMax >> 8);
  w[9] = static_cast<std::uint8_t>(blueMax);
  w[10] = redShift;
  w[11] = greenShift;
  w[12] = blueShift;
  w[13] = greyscale;
  w[14] = pad2;
  w[15] = pad3;
}

namespace {

// Number of bits needed to hold v (0 for 0).
int BitWidth(unsigned v) {
  int n = 0;
  while (v) {
    n++;
    v >>= 1;
  }
  return n;
}

bool FieldFits(unsigned max, unsigned shift, unsigned bits) {
  return max >= 1 && shift < bits && static_cast<unsigned>(BitWidth(max)) + shift <= bits;
}

}  // namespace

bool PixelFormat::IsValid() const {
  if (bitsPerPixel != 8 && bitsPerPixel != 16 && bitsPerPixel != 32) return false;
  if (depth > bitsPerPixel) return false;
  if (!trueColour) return true;
  return FieldFits(redMax, redShift, bitsPerPixel) && FieldFits(greenMax, greenShift, bitsPerPixel) &&
         FieldFits(blueMax, blueShift, bitsPerPixel);
}

PixelFormat PixelFormat::Sanitize(const PixelFormat& untrusted) {
  if (untrusted.IsValid()) return untrusted;
  kebLog.Print(0,
               "Unusable pixel format from server (bpp %d depth %d max %d/%d/%d shift %d/%d/%d), "
               "using 32-bit truecolour\n",
               untrusted.bitsPerPixel, untrusted.depth, untrusted.redMax, untrusted.greenMax, untrusted.blueMax,
               untrusted.redShift, untrusted.greenShift, untrusted.blueShift);
  return Default32();
}

bool PixelFormat::operator==(const PixelFormat& o) const {
  return bitsPerPixel == o.bitsPerPixel && depth == o.depth && bigEndian == o.bigEndian &&
         trueColour == o.trueColour && redMax == o.redMax && greenMax == o.greenMax && blueMax == o.blueMax &&
         redShift == o.redShift && greenShift == o.greenShift && blueShift == o.blueShift &&
         greyscale == o.greyscale;
}
