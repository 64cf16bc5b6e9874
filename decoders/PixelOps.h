// Pixel-rectangle operations shared by every decoder. They work on a Framebuffer view
// (the bitmap, the cache bitmap, or a decoder's own strip buffer described the same way)
// and skip silently when there is no bitmap or the area does not fit: a malformed
// rectangle never writes outside the bitmap. Callers hold the framebuffer lock when the
// view is the connection's bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decoders/Framebuffer.h"

namespace dec {

// x >= 0, y >= 0, w >= 0, h >= 0, x + w <= width and y + h <= height, without wrap-around.
inline bool IsRectInFramebuffer(const Framebuffer& fb, long long x, long long y, long long w, long long h) {
  return x >= 0 && y >= 0 && w >= 0 && h >= 0 && x + w <= fb.width && y + h <= fb.height;
}

// Whether packed pixels of srcBpp bytes can be written at (x, y, w, h): a writable bitmap of
// that pixel size with the area inside.
inline bool CanWrite(const Framebuffer& fb, int srcBpp, long long x, long long y, long long w, long long h) {
  return fb.Writable() && fb.bytesPerPixel == srcBpp && IsRectInFramebuffer(fb, x, y, w, h);
}

// Copies h rows of w packed pixels (w * bpp bytes each, no padding) from src to (x, y).
// Nothing happens when bpp is not the bitmap's pixel size or the area does not fit.
// Also the shape of "copy a packed block into the bitmap" for the cache and cursor code.
void CopyPixelRect(const Framebuffer& fb, int x, int y, int w, int h, int bpp, const std::uint8_t* src);

// As CopyPixelRect, and nothing when src holds fewer than w * h * bpp bytes.
void CopyPixelRectChecked(const Framebuffer& fb, int x, int y, int w, int h, int bpp, const std::uint8_t* src,
                          std::size_t srcBytes);

// The reverse: copies the area at (x, y) out of the bitmap into a packed block of
// w * h * fb.bytesPerPixel bytes. Nothing when the area does not fit.
void CopyBitmapToPacked(const Framebuffer& fb, int x, int y, int w, int h, std::uint8_t* dst);

// Copies the area at (x, y) from one bitmap to another of fb's geometry (fb.bits and
// fb.cache, in either direction). Nothing when the area does not fit or a bitmap is absent.
void CopyRectBetweenBitmaps(const Framebuffer& fb, const std::uint8_t* srcBits, std::uint8_t* dstBits, int x, int y,
                            int w, int h);

// Exchanges the area at (x, y) between two bitmaps of fb's geometry, row by row.
void SwapRectBetweenBitmaps(const Framebuffer& fb, std::uint8_t* a, std::uint8_t* b, int x, int y, int w, int h);

// Moves the w x h area at (srcX, srcY) to (dstX, dstY) inside the bitmap. Source and
// destination may overlap in any way (also within one row). Nothing unless both fit.
void MoveRectWithin(const Framebuffer& fb, int srcX, int srcY, int dstX, int dstY, int w, int h);

// Fills the area with one pixel value (its low bytes-per-pixel bytes, little-endian).
void FillSolidRect(const Framebuffer& fb, int x, int y, int w, int h, std::uint32_t pixel);

// Converts w x h source pixels of 4 bytes (red, green, blue, one ignored byte) to fb's
// pixel format and stores them at (x, y): component * (maximum + 1) >> 8, shifted into
// place. Returns the source position after the rectangle; when the area does not fit
// nothing is written and the rectangle still counts as consumed. With no source, w or h
// not positive, or x or y negative, returns src unchanged.
const std::uint8_t* ConvertRgbRect(const Framebuffer& fb, int x, int y, int w, int h, const std::uint8_t* src);

// One red/green/blue value in fb's format (the conversion above for one pixel).
std::uint32_t RgbToPixel(const PixelFormat& pf, unsigned red, unsigned green, unsigned blue);

// A pixel's colour as 8-bit red, green, blue: component * 255 / maximum. The intermediate
// RGB value red | green << 8 | blue << 16 | 0x02000000.
std::uint32_t PixelToRgb(const PixelFormat& pf, std::uint32_t pixel);

// The colour table of an 8-bit true-colour bitmap: for each index below 2 to the power of
// the depth (at most 256 entries), blue, green, red and 0, each channel
// (max / 2 + ((index >> shift) & max) * 65535) / max, scaled to 8 bits. Returns the number
// of entries filled; 0 unless the format is a valid 8-bit true-colour one.
int BuildColourTable8(const PixelFormat& pf, std::uint8_t table[256][4]);

// ---- Templates over the pixel type (std::uint8_t, std::uint16_t, std::uint32_t) ----

template <class P>
inline P LoadPixel(const std::uint8_t* p) {
  P v;
  std::memcpy(&v, p, sizeof v);  // pixels are little-endian, as the host
  return v;
}

template <class P>
inline void FillPixels(P* dst, std::size_t n, P v) {
  if (sizeof(P) == 1) {
    std::memset(dst, static_cast<int>(v), n);
    return;
  }
  // Eight at a time: the compiler turns each group into vector stores even at -O2, where
  // it leaves a plain loop of unknown length scalar.
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    P* d = dst + i;
    d[0] = v, d[1] = v, d[2] = v, d[3] = v, d[4] = v, d[5] = v, d[6] = v, d[7] = v;
  }
  for (; i < n; i++) dst[i] = v;
}

// Fills an area known to fit (no checks): h rows of w pixels from `first`.
template <class P>
inline void FillRectUnchecked(std::uint8_t* first, std::size_t stride, int w, int h, P v) {
  for (int r = 0; r < h; r++) FillPixels(reinterpret_cast<P*>(first + r * stride), static_cast<std::size_t>(w), v);
}

}  // namespace dec
