// Feeds arbitrary bytes to the Opalo (LZO) and Opalo2 (JPEG) decoders as a sequence of
// rectangles on one connection, at every kind of pixel format, with bitmap rebuilds.
//
// Input: byte 0 picks the pixel format, bytes 1-4 the framebuffer size; then rectangles,
// each an 8-byte header (x, y, w, h as u16; bit 15 of w picks Opalo2, bit 15 of h
// rebuilds the bitmap first in another format) and its data.
#include <cstddef>
#include <cstdint>

#include "app/Exception.h"
#include "app/Log.h"
#include "decoders/Decoders.h"
#include "rdr/Exception.h"
#include "rdr/MemInStream.h"
#include "tests/unit/decoders/MemoryFramebuffer.h"

namespace {

PixelFormat Make(int bpp, int depth, int rmax, int gmax, int bmax, int rs, int gs, int bs, bool be = false) {
  PixelFormat pf;
  pf.bitsPerPixel = static_cast<std::uint8_t>(bpp);
  pf.depth = static_cast<std::uint8_t>(depth);
  pf.bigEndian = be;
  pf.redMax = static_cast<std::uint16_t>(rmax), pf.greenMax = static_cast<std::uint16_t>(gmax),
  pf.blueMax = static_cast<std::uint16_t>(bmax);
  pf.redShift = static_cast<std::uint8_t>(rs), pf.greenShift = static_cast<std::uint8_t>(gs),
  pf.blueShift = static_cast<std::uint8_t>(bs);
  return pf;
}

// The four byte layouts JPEG decodes into directly (also big-endian), and converted ones.
const PixelFormat kFormats[] = {
    Make(32, 24, 255, 255, 255, 0, 8, 16),       Make(32, 24, 255, 255, 255, 16, 8, 0),
    Make(32, 24, 255, 255, 255, 24, 16, 8),      Make(32, 24, 255, 255, 255, 8, 16, 24),
    Make(32, 24, 255, 255, 255, 8, 16, 24, true), Make(32, 30, 1023, 1023, 1023, 20, 10, 0),
    Make(16, 16, 31, 63, 31, 11, 5, 0),          Make(8, 8, 7, 7, 3, 0, 3, 6),
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
                         kFormats[data[0] % kFormatCount]);
  DecoderState st(host);
  rdr::MemInStream in(data + 5, size - 5);
  try {
    for (int n = 0; n < 100; n++) {
      RectHeader r;
      r.x = in.ReadU16();
      r.y = in.ReadU16();
      const unsigned w = in.ReadU16(), h = in.ReadU16();
      r.w = static_cast<std::uint16_t>(w & 0x7FFF);
      r.h = static_cast<std::uint16_t>(h & 0x7FFF);
      r.encoding = (w & 0x8000) ? rfbenc::kOpalo2 : rfbenc::kOpalo;
      if (h & 0x8000) {
        FramebufferLock lock(host);
        host.Rebuild(r.x % 300, r.y % 300, kFormats[(r.x ^ r.y) % kFormatCount]);
        st.cursor.FramebufferRebuilt();
      }
      dec::DecodeRectangle(st, in, r);
    }
  } catch (const rdr::Exception&) {
  } catch (const Exception&) {
  }
  return 0;
}
