// Tight (7) and TightZstd (26).
#include "decoders/Tight.h"

#include <algorithm>
#include <cstring>

#include "app/Log.h"
#include "decoders/Decoders.h"
#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"
#include "rdr/Exception.h"

namespace dec {

std::uint32_t TightReadCompactLength(rdr::InStream& in) {
  unsigned b = in.ReadU8();
  std::uint32_t len = b & 0x7F;
  if (b & 0x80) {
    b = in.ReadU8();
    len |= static_cast<std::uint32_t>(b & 0x7F) << 7;
    if (b & 0x80) len |= static_cast<std::uint32_t>(in.ReadU8()) << 14;
  }
  return len;
}

namespace {

bool IsLowMask(unsigned m) { return m >= 1 && m <= 255 && (m & (m + 1)) == 0; }

}  // namespace

void TightPixelMap::Prepare(const PixelFormat& pf) {
  if (ready && pf == format) return;
  format = pf;
  redShift = pf.redShift, greenShift = pf.greenShift, blueShift = pf.blueShift;
  redMax = pf.redMax, greenMax = pf.greenMax, blueMax = pf.blueMax;
  colourMask = redMax << redShift | greenMax << greenShift | blueMax << blueShift;
  direct = IsLowMask(redMax) && IsLowMask(greenMax) && IsLowMask(blueMax);
  red.clear(), green.clear(), blue.clear();
  if (!direct) {
    auto build = [](std::vector<std::uint32_t>& t, unsigned max, unsigned shift) {
      t.resize(max + 1u);
      for (unsigned c = 0; c <= max; c++) t[c] = (c * 255u / max * (max + 1u)) >> 8 << shift;
    };
    build(red, redMax, redShift);
    build(green, greenMax, greenShift);
    build(blue, blueMax, blueShift);
  }
  ready = true;
}

namespace {

enum class Filter { Copy, Palette, Gradient };

// What one basic rectangle needs to turn transmitted rows into pixels.
struct RowFilter {
  Filter filter = Filter::Copy;
  bool mode24 = false;     // pixels travel as 3 bytes, red, green, blue
  int bitsPerPixel = 0;    // per transmitted pixel: 1, 8, 16, 24 or 32
  std::uint32_t palette[256] = {};  // as session pixels; unused entries are 0
  std::uint16_t* above = nullptr;   // gradient: the row above, 3 components per pixel
  const TightPixelMap* map = nullptr;
};

// Destination rows: `rows` rows of w pixels, `stride` bytes apart (the bitmap itself).
template <class P>
inline P* Row(std::uint8_t* dst, std::size_t stride, int row) {
  return reinterpret_cast<P*>(dst + static_cast<std::size_t>(row) * stride);
}

// 24-bit mode with the colours in whole bytes of the pixel (red in the low byte, or in
// the third): four pixels from three 32-bit loads, then one pixel at a time.
template <bool RedHigh>
void Copy24Fixed(const std::uint8_t* src, std::size_t rowSize, int w, int rows, std::uint8_t* dst,
                 std::size_t stride) {
  auto place = [](std::uint32_t rgb) { return RedHigh ? __builtin_bswap32(rgb) >> 8 : rgb; };
  for (int row = 0; row < rows; row++, src += rowSize) {
    std::uint32_t* d = Row<std::uint32_t>(dst, stride, row);
    const std::uint8_t* s = src;
    int x = 0;
    for (; x + 4 <= w; x += 4, s += 12) {
      std::uint32_t w0, w1, w2;  // R0 G0 B0 R1 | G1 B1 R2 G2 | B2 R3 G3 B3
      std::memcpy(&w0, s, 4);
      std::memcpy(&w1, s + 4, 4);
      std::memcpy(&w2, s + 8, 4);
      d[x] = place(w0 & 0xFFFFFF);
      d[x + 1] = place(w0 >> 24 | (w1 & 0xFFFF) << 8);
      d[x + 2] = place(w1 >> 16 | (w2 & 0xFF) << 16);
      d[x + 3] = place(w2 >> 8);
    }
    for (; x < w; x++, s += 3)
      d[x] = place(static_cast<std::uint32_t>(s[0]) | static_cast<std::uint32_t>(s[1]) << 8 |
                   static_cast<std::uint32_t>(s[2]) << 16);
  }
}

template <class P>
void CopyRows(const RowFilter& f, const std::uint8_t* src, std::size_t rowSize, int w, int rows, std::uint8_t* dst,
              std::size_t stride) {
  const TightPixelMap& m = *f.map;
  if (f.mode24 && sizeof(P) == 4) {
    if (m.redShift == 16 && m.greenShift == 8 && m.blueShift == 0)
      return Copy24Fixed<true>(src, rowSize, w, rows, dst, stride);
    if (m.redShift == 0 && m.greenShift == 8 && m.blueShift == 16)
      return Copy24Fixed<false>(src, rowSize, w, rows, dst, stride);
  }
  for (int row = 0; row < rows; row++, src += rowSize) {
    P* d = Row<P>(dst, stride, row);
    const std::uint8_t* s = src;
    if (f.mode24) {
      for (int x = 0; x < w; x++, s += 3) d[x] = static_cast<P>(m.FromBytes(s[0], s[1], s[2]));
    } else if (m.direct) {
      const P mask = static_cast<P>(m.colourMask);
      for (int x = 0; x < w; x++, s += sizeof(P)) d[x] = static_cast<P>(LoadPixel<P>(s) & mask);
    } else {
      for (int x = 0; x < w; x++, s += sizeof(P)) d[x] = static_cast<P>(m.FromPixel(LoadPixel<P>(s)));
    }
  }
}

template <class P>
void PaletteRows(const RowFilter& f, const std::uint8_t* src, std::size_t rowSize, int w, int rows,
                 std::uint8_t* dst, std::size_t stride) {
  P pal[256];
  for (int i = 0; i < 256; i++) pal[i] = static_cast<P>(f.palette[i]);
  for (int row = 0; row < rows; row++, src += rowSize) {
    P* d = Row<P>(dst, stride, row);
    if (f.bitsPerPixel == 1) {
      // Most significant bit first; each row starts on a byte boundary.
      int x = 0;
      for (const std::uint8_t* s = src; x + 8 <= w; s++)
        for (int b = 7; b >= 0; b--) d[x++] = pal[(*s >> b) & 1];
      for (int b = 7; x < w; b--, x++) d[x] = pal[(src[x >> 3] >> b) & 1];
    } else {
      // 32-bit pixels: four indices per load and four plain stores, a tenth to a third less
      // time than the compiler's emulated vector gathers (perf on the JPEG recordings); for
      // smaller pixels those are as fast.
      int x = 0;
      if constexpr (sizeof(P) == 4) {
        for (; x + 4 <= w; x += 4) {
          std::uint32_t i4;
          std::memcpy(&i4, src + x, 4);
          d[x] = pal[i4 & 255], d[x + 1] = pal[i4 >> 8 & 255], d[x + 2] = pal[i4 >> 16 & 255], d[x + 3] = pal[i4 >> 24];
        }
      }
      for (; x < w; x++) d[x] = pal[src[x]];
    }
  }
}

// Gradient: each component is sent as the difference to left + above - above-left,
// limited to 0..maximum; the sum is taken within the maximum's bits.
template <class P, bool Mode24, bool Direct>
void GradientRowsT(const RowFilter& f, const std::uint8_t* src, std::size_t rowSize, int w, int rows,
                   std::uint8_t* dst, std::size_t stride) {
  const TightPixelMap& m = *f.map;
  const int max[3] = {Mode24 ? 255 : static_cast<int>(m.redMax), Mode24 ? 255 : static_cast<int>(m.greenMax),
                      Mode24 ? 255 : static_cast<int>(m.blueMax)};
  for (int row = 0; row < rows; row++, src += rowSize) {
    P* d = Row<P>(dst, stride, row);
    const std::uint8_t* s = src;
    std::uint16_t* up = f.above;
    int left[3] = {0, 0, 0}, upLeft[3] = {0, 0, 0};
    for (int x = 0; x < w; x++, up += 3) {
      unsigned c[3];
      if (Mode24) {
        c[0] = s[0], c[1] = s[1], c[2] = s[2];
        s += 3;
      } else {
        const std::uint32_t v = LoadPixel<P>(s);
        s += sizeof(P);
        c[0] = v >> m.redShift & m.redMax, c[1] = v >> m.greenShift & m.greenMax, c[2] = v >> m.blueShift & m.blueMax;
      }
      for (int i = 0; i < 3; i++) {
        const int above = up[i];
        const int predicted = std::clamp(left[i] + above - upLeft[i], 0, max[i]);
        const int value = static_cast<int>((c[i] + static_cast<unsigned>(predicted)) & static_cast<unsigned>(max[i]));
        upLeft[i] = above;
        left[i] = value;
        up[i] = static_cast<std::uint16_t>(value);
      }
      if (Mode24)
        d[x] = static_cast<P>(m.FromBytes(left[0], left[1], left[2]));
      else if (Direct)
        d[x] = static_cast<P>(static_cast<std::uint32_t>(left[0]) << m.redShift |
                              static_cast<std::uint32_t>(left[1]) << m.greenShift |
                              static_cast<std::uint32_t>(left[2]) << m.blueShift);
      else
        d[x] = static_cast<P>(m.red[left[0]] | m.green[left[1]] | m.blue[left[2]]);
    }
  }
}

// Turns `rows` transmitted rows into pixels at dst (rows `stride` bytes apart).
template <class P>
void FilterRows(const RowFilter& f, const std::uint8_t* src, std::size_t rowSize, int w, int rows, std::uint8_t* dst,
                std::size_t stride) {
  switch (f.filter) {
    case Filter::Copy: CopyRows<P>(f, src, rowSize, w, rows, dst, stride); break;
    case Filter::Palette: PaletteRows<P>(f, src, rowSize, w, rows, dst, stride); break;
    case Filter::Gradient:
      if (f.mode24)
        GradientRowsT<P, true, true>(f, src, rowSize, w, rows, dst, stride);
      else if (f.map->direct)
        GradientRowsT<P, false, true>(f, src, rowSize, w, rows, dst, stride);
      else
        GradientRowsT<P, false, false>(f, src, rowSize, w, rows, dst, stride);
      break;
  }
}

// Decompressed rows are filtered and drawn in strips of about this many bytes, so the
// buffers stay small whatever the rectangle's size and rows appear as they arrive.
constexpr std::size_t kStripBytes = 128 * 1024;

// Compressed output past the rectangle's data (a broken server) is decompressed into
// this much scratch at a time, to keep the stream in step, and dropped.
constexpr std::size_t kExcessScratch = 16 * 1024;

class TightDecoder {
public:
  TightDecoder(DecoderState& st, rdr::InStream& in, const RectHeader& r, bool useZstd)
      : st_(st), in_(in), r_(r), useZstd_(useZstd) {}

  void Run() {
    fb_ = st_.Snapshot();
    const PixelFormat& pf = fb_.format;
    mode24_ = pf.trueColour && pf.depth == 24 && pf.redMax == 255 && pf.greenMax == 255 && pf.blueMax == 255;
    // Rows are only worked out when they can be drawn: a true-colour format (the
    // filters speak in colour components) and a rectangle inside the bitmap.
    drawable_ = pf.trueColour && CanWrite(fb_, fb_.bytesPerPixel, r_.x, r_.y, r_.w, r_.h);
    if (pf.trueColour) st_.tightWork.map.Prepare(pf);

    const unsigned control = in_.ReadU8();
    for (int i = 0; i < 4; i++)
      if (control & (1u << i)) st_.tightStreams[i].Reset(useZstd_);
    const unsigned kind = control >> 4;
    if (kind == 8) return Fill();
    if (kind == 9) return Jpeg();
    if (kind > 9) {
      kebLog.Print(0, "Tight encoding: bad subencoding value received.\n");
      return;
    }
    switch (fb_.bytesPerPixel) {
      case 1: return Basic<std::uint8_t>(kind);
      case 2: return Basic<std::uint16_t>(kind);
      default: return Basic<std::uint32_t>(kind);
    }
  }

private:
  // A colour as sent in fills and palettes: 3 bytes in 24-bit mode, else a session pixel.
  std::uint32_t ReadColour() {
    std::uint8_t b[4] = {0, 0, 0, 0};
    if (mode24_) {
      in_.ReadBytes(b, 3);
      return st_.tightWork.map.FromBytes(b[0], b[1], b[2]);
    }
    in_.ReadBytes(b, fb_.bytesPerPixel);
    return static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) | static_cast<std::uint32_t>(b[3]) << 24;
  }

  // Under the lock: the bitmap as it is now, if it still has the format the pixels were
  // made for and the rectangle fits.
  template <class F>
  void Draw(F&& draw) {
    FramebufferLock lock(st_.host);
    const Framebuffer& fb = lock.fb();
    if (fb.format == fb_.format && CanWrite(fb, fb_.bytesPerPixel, r_.x, r_.y, r_.w, r_.h)) draw(fb);
  }

  void Fill() {
    const std::uint32_t pixel = ReadColour();
    Draw([&](const Framebuffer& fb) { FillSolidRect(fb, r_.x, r_.y, r_.w, r_.h, pixel); });
  }

  void Jpeg() {
    const std::uint32_t len = TightReadCompactLength(in_);
    if (len == 0) {
      kebLog.Print(0, "Incorrect data received from the server.\n");
      return;
    }
    const std::uint64_t outBytes = std::uint64_t(r_.w) * r_.h * fb_.bytesPerPixel;
    if (outBytes > GrowBuffer::kMaxRequest) {
      in_.Skip(len);
      kebLog.Print(0, "Tight Encoding: Wrong JPEG data received.\n");
      return;
    }
    if (!drawable_) {
      in_.Skip(len);
      return;
    }
    const std::uint8_t* data = ReadSpan(in_, len, st_.receive);
    // The image is all in memory: it is decoded under the lock straight into the bitmap
    // (no reads from the stream there). Tight's pixels are little-endian whatever the
    // format says.
    JpegDecoder::Result result = JpegDecoder::Result::Ok;
    Draw([&](const Framebuffer& fb) {
      std::uint8_t* at = fb.At(r_.x, r_.y);
      const std::size_t room = fb.stride * static_cast<std::size_t>(fb.height) - static_cast<std::size_t>(at - fb.bits);
      result = st_.jpeg.Decode(data, len, r_.w, r_.h, fb_.format, false, at, fb.stride, room);
    });
    switch (result) {
      case JpegDecoder::Result::Ok: return;
      case JpegDecoder::Result::WrongSize:
        kebLog.Print(0, "Tight Encoding: Wrong JPEG data received.\n");
        return;
      case JpegDecoder::Result::Failed:
        kebLog.Print(0, "Tight encoding: JPEG image not drawn: %s\n", st_.jpeg.LastError());
        return;
    }
  }

  // Reads the filter's parameters; false (logged) when the rectangle cannot go on.
  bool SetUpFilter(unsigned kind, RowFilter& f) {
    f.mode24 = mode24_;
    f.map = &st_.tightWork.map;
    f.filter = Filter::Copy;
    if (kind & 4) {
      const unsigned code = in_.ReadU8();
      if (code > 2) {
        kebLog.Print(0, "Tight encoding: unknown filter code received.\n");
        return false;
      }
      f.filter = static_cast<Filter>(code);
    }
    const int pixelBits = mode24_ ? 24 : fb_.bytesPerPixel * 8;
    if (f.filter == Filter::Palette) {
      const unsigned n = in_.ReadU8();
      if (n == 0) {
        kebLog.Print(0, "Tight encoding: error receiving palette.\n");
        return false;
      }
      for (unsigned i = 0; i <= n; i++) {
        const std::uint32_t c = ReadColour();
        f.palette[i] = mode24_ || !fb_.format.trueColour ? c : st_.tightWork.map.FromPixel(c);
      }
      f.bitsPerPixel = n == 1 ? 1 : 8;
      return true;
    }
    f.bitsPerPixel = pixelBits;
    if (f.filter == Filter::Gradient) {
      const std::size_t bytes = std::size_t(r_.w) * 3 * sizeof(std::uint16_t);
      f.above = reinterpret_cast<std::uint16_t*>(st_.tightWork.previousRow.Ensure(bytes));
      std::memset(f.above, 0, bytes);
    }
    return true;
  }

  template <class P>
  void Basic(unsigned kind) {
    RowFilter f;
    if (!SetUpFilter(kind, f)) return;
    const int w = r_.w, h = r_.h;
    const std::size_t rowSize = (std::size_t(w) * f.bitsPerPixel + 7) / 8;
    const std::uint64_t dataSize = std::uint64_t(rowSize) * h;
    const std::size_t pixelRow = std::size_t(w) * sizeof(P);
    const std::size_t stripRows =
        std::min<std::size_t>(h, std::max<std::size_t>(1, kStripBytes / std::max<std::size_t>(1, std::max(rowSize, pixelRow))));
    int rowsDone = 0;
    // Complete rows are filtered straight into the bitmap under the lock (no reads
    // there). Once the bitmap cannot take them (replaced meanwhile), the rest of the
    // rectangle is only read: the gradient's row above would be missing anyway.
    auto emit = [&](const std::uint8_t* rows, int n) {
      if (drawable_) {
        FramebufferLock lock(st_.host);
        const Framebuffer& fb = lock.fb();
        if (fb.format == fb_.format && CanWrite(fb, sizeof(P), r_.x, r_.y, r_.w, r_.h))
          FilterRows<P>(f, rows, rowSize, w, n, fb.At(r_.x, r_.y + rowsDone), fb.stride);
        else
          drawable_ = false;
      }
      rowsDone += n;
    };

    if (dataSize < 12) {
      // Small data travel uncompressed and without a length.
      std::uint8_t small[12];
      in_.ReadBytes(small, static_cast<std::size_t>(dataSize));
      if (rowSize > 0) emit(small, h);
      return;
    }

    const std::uint32_t compressed = TightReadCompactLength(in_);
    if (compressed < 1) {
      kebLog.Print(0, "Tight encoding: bad data received from server.\n");
      return;
    }
    StreamDecompressor& stream = st_.tightStreams[kind & 3];
    const std::size_t capacity = stripRows * rowSize;
    std::uint8_t* buf = st_.receive.Ensure(capacity);
    std::uint8_t excessScratch[kExcessScratch];
    std::size_t remaining = compressed;  // compressed bytes not yet consumed
    std::uint64_t produced = 0;          // row bytes decompressed so far
    std::size_t have = 0;                // bytes of an incomplete row at the start of buf
    bool excess = false;
    for (;;) {
      const std::uint8_t* ip = in_.GetPtr();
      std::size_t avail = 0;
      if (remaining > 0) {
        in_.Check(1);
        ip = in_.GetPtr();
        avail = std::min(in_.Avail(), remaining);
      }
      const bool intoRows = produced < dataSize;
      std::uint8_t* op;
      std::size_t room;
      if (intoRows) {
        op = buf + have;
        room = static_cast<std::size_t>(std::min<std::uint64_t>(capacity - have, dataSize - produced));
      } else {
        op = excessScratch;
        room = sizeof excessScratch;
      }
      std::size_t inLeft = avail, roomLeft = room;
      const StreamDecompressor::Result res = stream.Decompress(&inLeft, &roomLeft, ip, op, useZstd_);
      const std::size_t consumed = avail - inLeft, out = room - roomLeft;
      in_.SetPtr(ip + consumed);
      remaining -= consumed;
      if (res == StreamDecompressor::kError)
        throw rdr::Exception(useZstd_ ? "TightZstd: corrupt compressed data" : "Tight: corrupt compressed data");
      if (intoRows) {
        have += out;
        produced += out;
        const std::size_t rows = have / rowSize;
        if (rows > 0) {
          emit(buf, static_cast<int>(rows));
          const std::size_t used = rows * rowSize;
          std::memmove(buf, buf + used, have - used);
          have -= used;
        }
      } else if (out > 0) {
        excess = true;
      }
      if (res == StreamDecompressor::kStreamEnd) {
        if (remaining > 0) throw rdr::Exception("Tight: data after the end of the compressed stream");
        break;
      }
      // Done when all input is in and the decompressor had no more to give (room left
      // over); a full room may hide output still held back, so ask again then.
      if (remaining == 0 && roomLeft > 0) break;
      if (consumed == 0 && out == 0 && remaining > 0)
        throw rdr::Exception("Tight: compressed stream makes no progress");
    }
    if (rowsDone != h || excess) kebLog.Print(0, "Tight encoding: wrong number of scan lines.\n");
  }

  DecoderState& st_;
  rdr::InStream& in_;
  const RectHeader& r_;
  const bool useZstd_;
  Framebuffer fb_;
  bool mode24_ = false;
  bool drawable_ = false;
};

}  // namespace

void DecodeTight(DecoderState& st, rdr::InStream& in, const RectHeader& r) { TightDecoder(st, in, r, false).Run(); }

void DecodeTightZstd(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  TightDecoder(st, in, r, true).Run();
}

}  // namespace dec
