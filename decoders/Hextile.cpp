// Hextile (5).
#include "decoders/Hextile.h"

#include "decoders/Decoders.h"
#include "rdr/MemInStream.h"

namespace dec {

namespace {

// Copies n bytes of the stream to dst.
inline void CopyFromStream(rdr::InStream& in, std::uint8_t* dst, std::size_t n) {
  if (in.Avail() >= n) {
    std::memcpy(dst, in.GetPtr(), n);
    in.SetPtr(in.GetPtr() + n);
  } else {
    ReadBlock(in, dst, n);
  }
}

// Reads one tile's encoded bytes (subencoding byte included) from the stream to out;
// returns their number.
template <class P>
std::size_t GatherTile(rdr::InStream& in, int tw, int th, std::uint8_t* out) {
  const unsigned subencoding = in.ReadU8();
  out[0] = static_cast<std::uint8_t>(subencoding);
  std::size_t len = 1;
  if (subencoding & kHextileRaw) {
    const std::size_t n = static_cast<std::size_t>(tw) * th * sizeof(P);
    CopyFromStream(in, out + len, n);
    return len + n;
  }
  const std::size_t colours = ((subencoding & kHextileBackground) ? sizeof(P) : 0) +
                              ((subencoding & kHextileForeground) ? sizeof(P) : 0);
  CopyFromStream(in, out + len, colours);
  len += colours;
  if (subencoding & kHextileAnySubrects) {
    const unsigned count = in.ReadU8();
    out[len++] = static_cast<std::uint8_t>(count);
    const std::size_t n = count * ((subencoding & kHextileSubrectsColoured) ? sizeof(P) + 2 : 2);
    CopyFromStream(in, out + len, n);
    len += n;
  }
  return len;
}

// The length of a row of tiles whose encoded bytes all lie in [p, end), or 0 when they
// do not (the row goes on past end).
template <class P>
std::size_t BufferedRowLength(const std::uint8_t* p, const std::uint8_t* end, int w, int th) {
  const std::uint8_t* q = p;
  for (int tx = 0; tx < w; tx += 16) {
    if (q >= end) return 0;
    const unsigned subencoding = *q++;
    if (subencoding & kHextileRaw) {
      const std::size_t n = static_cast<std::size_t>(std::min(16, w - tx)) * th * sizeof(P);
      if (static_cast<std::size_t>(end - q) < n) return 0;
      q += n;
      continue;
    }
    const std::size_t colours = ((subencoding & kHextileBackground) ? sizeof(P) : 0) +
                                ((subencoding & kHextileForeground) ? sizeof(P) : 0);
    if (static_cast<std::size_t>(end - q) < colours) return 0;
    q += colours;
    if (subencoding & kHextileAnySubrects) {
      if (q >= end) return 0;
      const std::size_t n = *q++ * ((subencoding & kHextileSubrectsColoured) ? sizeof(P) + 2 : 2);
      if (static_cast<std::size_t>(end - q) < n) return 0;
      q += n;
    }
  }
  return static_cast<std::size_t>(q - p);
}

// A row of tiles is decoded where its bytes lie when the stream holds all of them (with a
// large socket buffer, nearly always); else its bytes are read first, without the lock (a
// server that stalls in mid-rectangle never holds up painting). Then, under the lock, the
// row is decoded straight into the bitmap.
template <class P>
void DecodeHextileT(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  constexpr std::size_t kMaxTileBytes = 2 + 2 * sizeof(P) + 255 * (sizeof(P) + 2);  // >= 1 + raw
  const int tilesPerRow = (r.w + 15) / 16;
  std::uint8_t* gathered = nullptr;
  P bg = 0, fg = 0;
  P scratch[16 * 16];  // where tiles go while the rectangle does not fit the bitmap
  for (int ty = 0; ty < r.h; ty += 16) {
    const int th = std::min(16, r.h - ty);
    const std::uint8_t* row = in.GetPtr();
    std::size_t len = BufferedRowLength<P>(row, in.GetEnd(), r.w, th);
    if (len > 0) {
      in.SetPtr(row + len);
    } else {
      if (!gathered) gathered = st.receive.Ensure(tilesPerRow * kMaxTileBytes);
      for (int tx = 0; tx < r.w; tx += 16) len += GatherTile<P>(in, std::min(16, r.w - tx), th, gathered + len);
      row = gathered;
    }

    FramebufferLock lock(st.host);
    const Framebuffer& fb = lock.fb();
    const bool draw = CanWrite(fb, sizeof(P), r.x, r.y, r.w, r.h) && fb.stride % sizeof(P) == 0;
    rdr::MemInStream tiles(row, len);
    for (int tx = 0; tx < r.w; tx += 16) {
      const unsigned subencoding = tiles.ReadU8();
      if (draw)
        DecodeHextileTile<P>(tiles, subencoding, reinterpret_cast<P*>(fb.At(r.x + tx, r.y + ty)),
                             fb.stride / sizeof(P), std::min(16, r.w - tx), th, bg, fg);
      else
        DecodeHextileTile<P>(tiles, subencoding, scratch, 16, std::min(16, r.w - tx), th, bg, fg);
    }
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
