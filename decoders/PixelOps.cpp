#include "decoders/PixelOps.h"

#include <cstring>

#include <vector>

namespace dec {

void CopyPixelRect(const Framebuffer& fb, int x, int y, int w, int h, int bpp, const std::uint8_t* src) {
  if (!src || w <= 0 || h <= 0 || !CanWrite(fb, bpp, x, y, w, h)) return;
  std::size_t rowBytes = static_cast<std::size_t>(w) * bpp;
  std::uint8_t* dst = fb.At(x, y);
  if (rowBytes == fb.stride) {
    std::memcpy(dst, src, rowBytes * h);
    return;
  }
  for (int r = 0; r < h; r++) {
    std::memcpy(dst, src, rowBytes);
    dst += fb.stride;
    src += rowBytes;
  }
}

void CopyPixelRectChecked(const Framebuffer& fb, int x, int y, int w, int h, int bpp, const std::uint8_t* src,
                          std::size_t srcBytes) {
  if (w <= 0 || h <= 0) return;
  if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) * static_cast<std::uint64_t>(bpp) > srcBytes)
    return;
  CopyPixelRect(fb, x, y, w, h, bpp, src);
}

void CopyBitmapToPacked(const Framebuffer& fb, int x, int y, int w, int h, std::uint8_t* dst) {
  if (!dst || w <= 0 || h <= 0 || !CanWrite(fb, fb.bytesPerPixel, x, y, w, h)) return;
  std::size_t rowBytes = static_cast<std::size_t>(w) * fb.bytesPerPixel;
  const std::uint8_t* src = fb.At(x, y);
  for (int r = 0; r < h; r++) {
    std::memcpy(dst, src, rowBytes);
    src += fb.stride;
    dst += rowBytes;
  }
}

void CopyRectBetweenBitmaps(const Framebuffer& fb, const std::uint8_t* srcBits, std::uint8_t* dstBits, int x, int y,
                            int w, int h) {
  if (!srcBits || !dstBits || w <= 0 || h <= 0 || !CanWrite(fb, fb.bytesPerPixel, x, y, w, h)) return;
  std::size_t rowBytes = static_cast<std::size_t>(w) * fb.bytesPerPixel;
  std::size_t offset = fb.At(x, y) - fb.bits;
  for (int r = 0; r < h; r++, offset += fb.stride) std::memcpy(dstBits + offset, srcBits + offset, rowBytes);
}

void SwapRectBetweenBitmaps(const Framebuffer& fb, std::uint8_t* a, std::uint8_t* b, int x, int y, int w, int h) {
  if (!a || !b || w <= 0 || h <= 0 || !CanWrite(fb, fb.bytesPerPixel, x, y, w, h)) return;
  std::size_t rowBytes = static_cast<std::size_t>(w) * fb.bytesPerPixel;
  std::vector<std::uint8_t> tmp(rowBytes);
  std::size_t offset = fb.At(x, y) - fb.bits;
  for (int r = 0; r < h; r++, offset += fb.stride) {
    std::memcpy(tmp.data(), a + offset, rowBytes);
    std::memcpy(a + offset, b + offset, rowBytes);
    std::memcpy(b + offset, tmp.data(), rowBytes);
  }
}

void MoveRectWithin(const Framebuffer& fb, int srcX, int srcY, int dstX, int dstY, int w, int h) {
  if (w <= 0 || h <= 0 || !CanWrite(fb, fb.bytesPerPixel, dstX, dstY, w, h) ||
      !IsRectInFramebuffer(fb, srcX, srcY, w, h))
    return;
  std::size_t rowBytes = static_cast<std::size_t>(w) * fb.bytesPerPixel;
  const std::uint8_t* src = fb.At(srcX, srcY);
  std::uint8_t* dst = fb.At(dstX, dstY);
  if (dstY <= srcY) {
    // Moving up (or within the same rows): top row first never overwrites a row still to
    // be read. memmove covers the overlap inside one row.
    for (int r = 0; r < h; r++) std::memmove(dst + r * fb.stride, src + r * fb.stride, rowBytes);
  } else {
    for (int r = h - 1; r >= 0; r--) std::memmove(dst + r * fb.stride, src + r * fb.stride, rowBytes);
  }
}

namespace {

template <class P>
void FillT(const Framebuffer& fb, int x, int y, int w, int h, std::uint32_t pixel) {
  FillRectUnchecked<P>(fb.At(x, y), fb.stride, w, h, static_cast<P>(pixel));
}

// Bits of a maximum 2^k - 1 with k <= 8, else 0.
int LowBits(unsigned max) {
  for (int k = 1; k <= 8; k++)
    if (max == (1u << k) - 1) return k;
  return 0;
}

template <class P>
void ConvertT(const Framebuffer& fb, int x, int y, int w, int h, const std::uint8_t* src) {
  const PixelFormat& pf = fb.format;
  const unsigned rm = pf.redMax + 1u, gm = pf.greenMax + 1u, bm = pf.blueMax + 1u;
  const unsigned rs = pf.redShift, gs = pf.greenShift, bs = pf.blueShift;
  const int rk = LowBits(pf.redMax), gk = LowBits(pf.greenMax), bk = LowBits(pf.blueMax);
  if (rk && gk && bk) {
    // Maxima of 2^k - 1 (5-6-5, 3-3-2, 8-8-8...): component x 2^k >> 8 is the top k bits,
    // taken from the RGBX word with the same shift for every pixel (the loop vectorizes).
    const unsigned ra = 8 - rk, ga = 16 - gk, ba = 24 - bk;
    const std::uint32_t rmax = pf.redMax, gmax = pf.greenMax, bmax = pf.blueMax;
    for (int r = 0; r < h; r++, src += static_cast<std::size_t>(w) * 4) {
      P* dst = reinterpret_cast<P*>(fb.At(x, y + r));
      for (int i = 0; i < w; i++) {
        std::uint32_t v;  // R | G << 8 | B << 16 on the little-endian machines this runs on
        std::memcpy(&v, src + i * 4, 4);
        dst[i] = static_cast<P>((v >> ra & rmax) << rs | (v >> ga & gmax) << gs | (v >> ba & bmax) << bs);
      }
    }
    return;
  }
  for (int r = 0; r < h; r++) {
    P* dst = reinterpret_cast<P*>(fb.At(x, y + r));
    for (int i = 0; i < w; i++, src += 4) {
      std::uint32_t v = ((src[0] * rm) >> 8) << rs | ((src[1] * gm) >> 8) << gs | ((src[2] * bm) >> 8) << bs;
      dst[i] = static_cast<P>(v);
    }
  }
}

}  // namespace

void FillSolidRect(const Framebuffer& fb, int x, int y, int w, int h, std::uint32_t pixel) {
  if (w <= 0 || h <= 0 || !CanWrite(fb, fb.bytesPerPixel, x, y, w, h)) return;
  switch (fb.bytesPerPixel) {
    case 1: FillT<std::uint8_t>(fb, x, y, w, h, pixel); break;
    case 2: FillT<std::uint16_t>(fb, x, y, w, h, pixel); break;
    default: FillT<std::uint32_t>(fb, x, y, w, h, pixel); break;
  }
}

const std::uint8_t* ConvertRgbRect(const Framebuffer& fb, int x, int y, int w, int h, const std::uint8_t* src) {
  if (!src || w <= 0 || h <= 0 || x < 0 || y < 0) return src;
  const std::uint8_t* end = src + static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4;
  if (!CanWrite(fb, fb.bytesPerPixel, x, y, w, h) || !fb.format.trueColour || !fb.format.IsValid()) return end;
  switch (fb.bytesPerPixel) {
    case 1: ConvertT<std::uint8_t>(fb, x, y, w, h, src); break;
    case 2: ConvertT<std::uint16_t>(fb, x, y, w, h, src); break;
    default: ConvertT<std::uint32_t>(fb, x, y, w, h, src); break;
  }
  return end;
}

std::uint32_t RgbToPixel(const PixelFormat& pf, unsigned red, unsigned green, unsigned blue) {
  auto field = [](unsigned c, unsigned max, unsigned shift) -> std::uint32_t {
    return shift < 32 ? (((c & 255u) * (max + 1u)) >> 8) << shift : 0;
  };
  return field(red, pf.redMax, pf.redShift) | field(green, pf.greenMax, pf.greenShift) |
         field(blue, pf.blueMax, pf.blueShift);
}

std::uint32_t PixelToRgb(const PixelFormat& pf, std::uint32_t pixel) {
  auto comp = [pixel](unsigned max, unsigned shift) -> std::uint32_t {
    if (max == 0 || shift >= 32) return 0;
    return ((pixel >> shift) & max) * 255u / max;
  };
  return comp(pf.redMax, pf.redShift) | comp(pf.greenMax, pf.greenShift) << 8 | comp(pf.blueMax, pf.blueShift) << 16 |
         0x02000000u;
}

int BuildColourTable8(const PixelFormat& pf, std::uint8_t table[256][4]) {
  if (pf.bitsPerPixel != 8 || !pf.trueColour || !pf.IsValid()) return 0;
  const int count = 1 << pf.depth;  // depth <= 8 in a valid 8-bit format
  auto channel = [](int i, unsigned max, unsigned shift) {
    return static_cast<std::uint8_t>(((max / 2 + ((static_cast<unsigned>(i) >> shift) & max) * 65535u) / max) >> 8);
  };
  for (int i = 0; i < count; i++) {
    table[i][0] = channel(i, pf.blueMax, pf.blueShift);
    table[i][1] = channel(i, pf.greenMax, pf.greenShift);
    table[i][2] = channel(i, pf.redMax, pf.redShift);
    table[i][3] = 0;
  }
  return count;
}

}  // namespace dec
