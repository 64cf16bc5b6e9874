// Feeds arbitrary bytes to the Tight and TightZstd decoders as a sequence of rectangles on
// one connection (the four persistent streams and the JPEG decompressor carry over), at
// every kind of pixel format.
//
// Input: byte 0 picks the pixel format, bytes 1-4 the framebuffer size; then rectangles,
// each an 8-byte header (x, y, w, h as u16; bit 15 of w picks TightZstd) and its data.
#include <cstddef>
#include <cstdint>

#include "app/Exception.h"
#include "app/Log.h"
#include "decoders/Decoders.h"
#include "rdr/Exception.h"
#include "rdr/MemInStream.h"
#include "tests/unit/decoders/MemoryFramebuffer.h"

namespace {

PixelFormat Make(int bpp, int depth, int rmax, int gmax, int bmax, int rs, int gs, int bs, bool tc = true) {
  PixelFormat pf;
  pf.bitsPerPixel = static_cast<std::uint8_t>(bpp);
  pf.depth = static_cast<std::uint8_t>(depth);
  pf.trueColour = tc;
  pf.redMax = static_cast<std::uint16_t>(rmax), pf.greenMax = static_cast<std::uint16_t>(gmax),
  pf.blueMax = static_cast<std::uint16_t>(bmax);
  pf.redShift = static_cast<std::uint8_t>(rs), pf.greenShift = static_cast<std::uint8_t>(gs),
  pf.blueShift = static_cast<std::uint8_t>(bs);
  return pf;
}

// 24-bit mode, whole-byte 32-bit layouts, maxima above 255 and of no 2^k - 1 form, 16 and
// 8 bits, a colour map.
const PixelFormat kFormats[] = {
    Make(32, 24, 255, 255, 255, 0, 8, 16),  Make(32, 24, 255, 255, 255, 16, 8, 0),
    Make(32, 32, 255, 255, 255, 24, 16, 8), Make(32, 30, 1023, 1023, 1023, 20, 10, 0),
    Make(32, 32, 65535, 255, 255, 16, 8, 0), Make(16, 16, 31, 63, 31, 11, 5, 0),
    Make(16, 12, 5, 9, 3, 8, 4, 0),          Make(8, 8, 7, 7, 3, 0, 3, 6),
    Make(8, 3, 1, 1, 1, 2, 1, 0),            Make(8, 8, 0, 0, 0, 0, 0, 0, false),
};
constexpr int kFormatCount = sizeof kFormats / sizeof kFormats[0];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kebLog.SetLevel(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  MemoryFramebuffer host((data[1] << 8 | data[2]) % 300, (data[3] << 8 | data[4]) % 300,
                         PixelFormat::Sanitize(kFormats[data[0] % kFormatCount]));
  DecoderState st(host);
  rdr::MemInStream in(data + 5, size - 5);
  try {
    for (int n = 0; n < 200; n++) {
      RectHeader r;
      r.x = in.ReadU16();
      r.y = in.ReadU16();
      const unsigned w = in.ReadU16();
      r.w = static_cast<std::uint16_t>(w & 0x7FFF);
      r.h = in.ReadU16();
      r.encoding = (w & 0x8000) ? rfbenc::kTightZstd : rfbenc::kTight;
      dec::DecodeRectangle(st, in, r);
      if (n == 100) st.Reset();  // a reconnect in the middle
    }
  } catch (const rdr::Exception&) {
  } catch (const Exception&) {
  }
  return 0;
}
