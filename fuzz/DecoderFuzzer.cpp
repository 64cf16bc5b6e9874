// Feeds arbitrary bytes to the rectangle decoders and the cursor code as a sequence of
// rectangles (12-byte header and data) at every kind of pixel format, with bitmap rebuilds
// and local pointer moves in between.
//
// Input: byte 0 picks the pixel format, bytes 1-4 the framebuffer size; then rectangles.
// Encodings the decoders know are decoded as they are; any other encoding number picks one
// of the simple encodings, a cursor pseudo-encoding, a bitmap rebuild or a pointer move by
// its low bits.
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

const PixelFormat kFormats[] = {
    Make(32, 24, 255, 255, 255, 0, 8, 16),    Make(32, 24, 255, 255, 255, 16, 8, 0),
    Make(32, 32, 65535, 255, 255, 16, 8, 0),  Make(32, 30, 1023, 1023, 1023, 20, 10, 0),
    Make(16, 16, 31, 63, 31, 11, 5, 0),       Make(16, 15, 31, 31, 31, 10, 5, 0),
    Make(16, 12, 15, 15, 15, 8, 4, 0),        Make(8, 8, 7, 7, 3, 0, 3, 6),
    Make(8, 6, 3, 3, 3, 4, 2, 0),             Make(8, 3, 1, 1, 1, 2, 1, 0),
    Make(8, 8, 0, 0, 0, 0, 0, 0, false),      Make(16, 5, 2, 5, 1, 13, 3, 0),
};
constexpr int kFormatCount = sizeof kFormats / sizeof kFormats[0];

const std::int32_t kKinds[] = {rfbenc::kRaw,        rfbenc::kCopyRect,   rfbenc::kRRE,
                               rfbenc::kCoRRE,      rfbenc::kHextile,    rfbenc::kXCursor,
                               rfbenc::kRichCursor, rfbenc::kPointerPos};
constexpr int kKindCount = sizeof kKinds / sizeof kKinds[0];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kebLog.SetLevel(-1);  // the decoders' level-0 notes would flood the output
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  MemoryFramebuffer host((data[1] << 8 | data[2]) % 300, (data[3] << 8 | data[4]) % 300,
                         PixelFormat::Sanitize(kFormats[data[0] % kFormatCount]));
  DecoderState st(host);
  rdr::MemInStream in(data + 5, size - 5);
  try {
    for (int n = 0; n < 1000; n++) {
      RectHeader r = RectHeader::Read(in);
      switch (r.encoding) {
        case rfbenc::kXCursor:
        case rfbenc::kRichCursor: dec::DecodeCursorShape(st, in, r, false); continue;
        case rfbenc::kPointerPos: dec::DecodeCursorPos(st, r, 1 + (r.w & 3)); continue;
        default:
          if (dec::DecodeRectangle(st, in, r)) continue;
          break;
      }
      const std::uint32_t original = static_cast<std::uint32_t>(r.encoding);
      const unsigned pick = original & 15;
      if (pick < kKindCount) {
        r.encoding = kKinds[pick];
        if (r.encoding == rfbenc::kXCursor || r.encoding == rfbenc::kRichCursor)
          dec::DecodeCursorShape(st, in, r, (original >> 8 & 1) != 0);
        else if (r.encoding == rfbenc::kPointerPos)
          dec::DecodeCursorPos(st, r, r.w & 3);
        else
          dec::DecodeRectangle(st, in, r);
      } else if (pick < 12) {
        // The bitmap is replaced: new size and format, between two rectangles.
        FramebufferLock lock(host);
        host.Rebuild(r.w % 300, r.h % 300, PixelFormat::Sanitize(kFormats[r.x % kFormatCount]));
        st.cursor.FramebufferRebuilt();
      } else {
        st.cursor.Move(static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y));
      }
    }
  } catch (const rdr::Exception&) {
  } catch (const Exception&) {
  }
  return 0;
}
