// Cursor shape (0xFFFFFF10 X cursor, 0xFFFFFF11 rich cursor) and pointer position
// (0xFFFFFF18) pseudo-encodings.
#include <algorithm>
#include <vector>

#include "app/Log.h"
#include "decoders/Decoders.h"
#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"

namespace dec {

namespace {

// Expands a bitmap (rows of (w + 7) / 8 bytes, most significant bit first) to one byte
// per pixel: on where the bit is 1, else off.
template <class T>
void ExpandBits(const std::uint8_t* bits, int w, int h, T on, T off, T* out) {
  const std::size_t rowBytes = (static_cast<std::size_t>(w) + 7) / 8;
  for (int y = 0; y < h; y++, bits += rowBytes)
    for (int x = 0; x < w; x++) *out++ = (bits[x >> 3] >> (7 - (x & 7))) & 1 ? on : off;
}

}  // namespace

void DecodeCursorShape(DecoderState& st, rdr::InStream& in, const RectHeader& r, bool noRemoteCursor) {
  kebLog.Print(6, "Receiving cursor shape update, cursor %dx%d\n", r.w, r.h);
  const Framebuffer snap = st.Snapshot();
  const int w = r.w, h = r.h;
  const std::uint64_t pixels = static_cast<std::uint64_t>(w) * h;
  if (pixels == 0) {
    st.cursor.Clear();
    return;
  }
  const int bpp = snap.bytesPerPixel;
  const bool rich = r.encoding == rfbenc::kRichCursor;
  const std::uint64_t maskBytes = static_cast<std::uint64_t>(h) * ((w + 7) / 8);
  const std::uint64_t dataBytes = rich ? pixels * bpp + maskBytes : 6 + 2 * maskBytes;
  // Colours (4 bytes), mask (1), save-under (up to 4) per pixel, and the data as read.
  const std::uint64_t memory = pixels * 9 + dataBytes;
  const bool tooBig = memory > kMaxCursorBytes;
  if (noRemoteCursor || tooBig || r.x > snap.width || r.y > snap.height) {
    if (tooBig) kebLog.Print(0, "Cursor shape %dx%d too large, ignored\n", w, h);
    st.cursor.Clear();
    in.Skip(static_cast<std::size_t>(dataBytes));
    return;
  }

  const std::uint8_t* data = ReadSpan(in, static_cast<std::size_t>(dataBytes), st.receive);
  std::vector<std::uint32_t> colours(static_cast<std::size_t>(pixels));
  std::vector<std::uint8_t> mask(static_cast<std::size_t>(pixels));
  const std::uint8_t* maskBits;
  if (rich) {
    const std::uint8_t* p = data;
    for (auto& c : colours) {
      switch (bpp) {
        case 1: c = *p; break;
        case 2: c = LoadPixel<std::uint16_t>(p); break;
        default: c = LoadPixel<std::uint32_t>(p); break;
      }
      p += bpp;
    }
    maskBits = p;
  } else {
    const std::uint32_t first = RgbToPixel(snap.format, data[0], data[1], data[2]);
    const std::uint32_t second = RgbToPixel(snap.format, data[3], data[4], data[5]);
    ExpandBits<std::uint32_t>(data + 6, w, h, first, second, colours.data());
    maskBits = data + 6 + maskBytes;
  }
  ExpandBits<std::uint8_t>(maskBits, w, h, 1, 0, mask.data());
  st.cursor.SetShape(w, h, r.x, r.y, std::move(colours), std::move(mask), snap.format);
}

void DecodeCursorPos(DecoderState& st, const RectHeader& r, int serverScale) {
  if (serverScale < 1) serverScale = 1;
  FramebufferLock lock(st.host);
  const int x = std::max(0, std::min(r.x / serverScale, lock.fb().width - 1));
  const int y = std::max(0, std::min(r.y / serverScale, lock.fb().height - 1));
  st.cursor.Move(x, y);
}

}  // namespace dec
