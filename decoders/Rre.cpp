// RRE (2) and CoRRE (4): a background and a list of solid subrectangles.
#include <algorithm>

#include "app/Exception.h"
#include "app/UiText.h"
#include "decoders/Decoders.h"
#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"
#include "resources/StringIds.h"

namespace dec {

namespace {

constexpr std::uint32_t kMaxSubrects = 20000000;

template <class P, bool Compact>
void DrawSubrects(const Framebuffer& fb, const RectHeader& r, P bg, const std::uint8_t* rec, std::uint32_t count) {
  constexpr std::size_t kRecSize = sizeof(P) + (Compact ? 4 : 8);
  FillRectUnchecked<P>(fb.At(r.x, r.y), fb.stride, r.w, r.h, bg);
  for (std::uint32_t i = 0; i < count; i++, rec += kRecSize) {
    P pixel = LoadPixel<P>(rec);
    const std::uint8_t* g = rec + sizeof(P);
    int sx, sy, sw, sh;
    if (Compact) {
      sx = g[0], sy = g[1], sw = g[2], sh = g[3];
    } else {
      sx = g[0] << 8 | g[1], sy = g[2] << 8 | g[3], sw = g[4] << 8 | g[5], sh = g[6] << 8 | g[7];
    }
    // Subrectangles are confined to their rectangle: only that area was declared to the
    // soft cursor and is repainted.
    if (sx >= r.w || sy >= r.h) continue;
    sw = std::min(sw, r.w - sx);
    sh = std::min(sh, r.h - sy);
    if (sw <= 0 || sh <= 0) continue;
    if (sw == 1 && sh == 1) {  // photo-like areas are mostly single pixels
      *reinterpret_cast<P*>(fb.At(r.x + sx, r.y + sy)) = pixel;
      continue;
    }
    FillRectUnchecked<P>(fb.At(r.x + sx, r.y + sy), fb.stride, sw, sh, pixel);
  }
}

template <bool Compact>
void DecodeRREFamily(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const int bpp = st.Snapshot().bytesPerPixel;
  std::uint8_t head[8];
  in.ReadBytes(head, 4 + bpp);
  const std::uint32_t count = std::uint32_t(head[0]) << 24 | std::uint32_t(head[1]) << 16 |
                              std::uint32_t(head[2]) << 8 | head[3];
  if (count > kMaxSubrects) throw ErrorException(UiText(IDS_NO_MEMORY_NETBUF));
  const std::size_t recSize = static_cast<std::size_t>(bpp) + (Compact ? 4 : 8);
  const std::size_t n = count * recSize;
  if (n > GrowBuffer::kMaxRequest) throw ErrorException(UiText(IDS_NO_MEMORY_NETBUF));
  const std::uint8_t* rec = count ? ReadSpan(in, n, st.receive) : nullptr;

  FramebufferLock lock(st.host);
  const Framebuffer& fb = lock.fb();
  if (r.w == 0 || r.h == 0 || !CanWrite(fb, bpp, r.x, r.y, r.w, r.h)) return;
  switch (bpp) {
    case 1: DrawSubrects<std::uint8_t, Compact>(fb, r, LoadPixel<std::uint8_t>(head + 4), rec, count); break;
    case 2: DrawSubrects<std::uint16_t, Compact>(fb, r, LoadPixel<std::uint16_t>(head + 4), rec, count); break;
    default: DrawSubrects<std::uint32_t, Compact>(fb, r, LoadPixel<std::uint32_t>(head + 4), rec, count); break;
  }
}

}  // namespace

void DecodeRRE(DecoderState& st, rdr::InStream& in, const RectHeader& r) { DecodeRREFamily<false>(st, in, r); }

void DecodeCoRRE(DecoderState& st, rdr::InStream& in, const RectHeader& r) { DecodeRREFamily<true>(st, in, r); }

}  // namespace dec
