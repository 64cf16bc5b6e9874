// Raw (0) and CopyRect (1).
#include <algorithm>

#include "decoders/Decoders.h"
#include "decoders/PixelOps.h"

namespace dec {

namespace {
// Raw data not already buffered by the stream are read and drawn in strips of about this
// many bytes, so that no rectangle needs a buffer of its full size (a 7680 x 4320 update
// is 133 MB) and the first rows appear while the rest is still arriving.
constexpr std::size_t kRawStripBytes = 256 * 1024;
}  // namespace

void DecodeRaw(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  if (r.w == 0 || r.h == 0) return;
  const int bpp = st.Snapshot().bytesPerPixel;
  const std::size_t rowBytes = static_cast<std::size_t>(r.w) * bpp;
  const std::size_t stripRows = std::max<std::size_t>(1, kRawStripBytes / rowBytes);
  int done = 0;
  while (done < r.h) {
    const std::size_t left = static_cast<std::size_t>(r.h - done);
    std::size_t rows = in.Avail() / rowBytes;
    const std::uint8_t* src;
    if (rows > 0) {
      // Rows the stream already holds are drawn straight from its buffer.
      rows = std::min(rows, left);
      src = in.GetPtr();
      in.SetPtr(src + rows * rowBytes);
    } else {
      rows = std::min(stripRows, left);
      std::uint8_t* buf = st.receive.Ensure(rows * rowBytes);
      in.ReadBytes(buf, rows * rowBytes);
      src = buf;
    }
    {
      FramebufferLock lock(st.host);
      if (CanWrite(lock.fb(), bpp, r.x, r.y, r.w, r.h))
        CopyPixelRect(lock.fb(), r.x, r.y + done, r.w, static_cast<int>(rows), bpp, src);
    }
    done += static_cast<int>(rows);
  }
}

void DecodeCopyRect(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const int srcX = in.ReadU16();
  const int srcY = in.ReadU16();
  FramebufferLock lock(st.host);
  const Framebuffer& fb = lock.fb();
  if (!IsRectInFramebuffer(fb, r.x, r.y, r.w, r.h) || !IsRectInFramebuffer(fb, srcX, srcY, r.w, r.h)) return;
  st.cursor.LockArea(srcX, srcY, r.w, r.h);
  MoveRectWithin(fb, srcX, srcY, r.x, r.y, r.w, r.h);
}

}  // namespace dec
