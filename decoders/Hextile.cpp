// Hextile (5).
#include "decoders/Hextile.h"

#include "decoders/Decoders.h"

namespace dec {

namespace {

// Each row of tiles is decoded into a strip buffer without the lock, then copied into the
// bitmap under it, so that a server that stalls in mid-rectangle never holds up painting.
template <class P>
void DecodeHextileT(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const std::size_t stripStride = r.w;  // pixels
  P* strip = reinterpret_cast<P*>(st.receive.Ensure(stripStride * 16 * sizeof(P)));
  P bg = 0, fg = 0;
  for (int ty = 0; ty < r.h; ty += 16) {
    const int th = std::min(16, r.h - ty);
    for (int tx = 0; tx < r.w; tx += 16) {
      const int tw = std::min(16, r.w - tx);
      const unsigned subencoding = in.ReadU8();
      DecodeHextileTile<P>(in, subencoding, strip + tx, stripStride, tw, th, bg, fg);
    }
    FramebufferLock lock(st.host);
    if (CanWrite(lock.fb(), sizeof(P), r.x, r.y, r.w, r.h))
      CopyPixelRect(lock.fb(), r.x, r.y + ty, r.w, th, sizeof(P), reinterpret_cast<const std::uint8_t*>(strip));
  }
}

}  // namespace

void DecodeHextile(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  if (r.w == 0 || r.h == 0) return;
  switch (st.Snapshot().bytesPerPixel) {
    case 1: DecodeHextileT<std::uint8_t>(st, in, r); break;
    case 2: DecodeHextileT<std::uint16_t>(st, in, r); break;
    default: DecodeHextileT<std::uint32_t>(st, in, r); break;
  }
}

}  // namespace dec
