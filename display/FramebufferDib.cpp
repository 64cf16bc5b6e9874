#include "display/FramebufferDib.h"

#include <cstdint>
#include <cstring>

HBITMAP CreateFramebufferDib(HDC dc, const PixelFormat& pf, int width, int height, void** bits) {
  *bits = nullptr;
  const int bpp = pf.bitsPerPixel;
  struct {
    BITMAPINFOHEADER header;
    union {
      DWORD masks[3];
      RGBQUAD colours[256];
    };
  } bi = {};
  bi.header.biSize = sizeof bi.header;
  bi.header.biWidth = width;
  bi.header.biHeight = -height;  // top-down rows
  bi.header.biPlanes = 1;
  bi.header.biBitCount = static_cast<WORD>(bpp);
  bi.header.biCompression = bpp <= 8 ? BI_RGB : BI_BITFIELDS;
  bi.header.biSizeImage = static_cast<DWORD>(std::uint64_t(bpp / 8) * width * height);
  if (bpp > 8) {
    bi.masks[0] = DWORD(pf.redMax) << pf.redShift;
    bi.masks[1] = DWORD(pf.greenMax) << pf.greenShift;
    bi.masks[2] = DWORD(pf.blueMax) << pf.blueShift;
  } else {
    // Each index splits into its channels; each channel's value is scaled to 0..255.
    bi.header.biClrUsed = 256;
    auto scale = [](unsigned i, unsigned max, unsigned shift) {
      if (max == 0) return BYTE(0);
      return BYTE(((max / 2 + ((i >> shift) & max) * 65535u) / max) >> 8);
    };
    const unsigned entries = pf.depth >= 8 ? 256u : 1u << pf.depth;
    for (unsigned i = 0; i < entries; i++) {
      bi.colours[i].rgbRed = scale(i, pf.redMax, pf.redShift);
      bi.colours[i].rgbGreen = scale(i, pf.greenMax, pf.greenShift);
      bi.colours[i].rgbBlue = scale(i, pf.blueMax, pf.blueShift);
    }
  }
  HBITMAP dib = CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS, bits, nullptr, 0);
  if (!dib || !*bits) {
    if (dib) DeleteObject(dib);
    *bits = nullptr;
    return nullptr;
  }
  return dib;
}

HBITMAP CopyFramebufferToDib(const Framebuffer& fb) {
  if (!fb.Writable() || fb.width <= 0 || fb.height <= 0) return nullptr;
  void* bits = nullptr;
  HBITMAP dib = CreateFramebufferDib(nullptr, fb.format, fb.width, fb.height, &bits);
  if (!dib) return nullptr;
  const std::size_t stride = Framebuffer::StrideFor(fb.width, fb.bytesPerPixel);
  const std::size_t row = static_cast<std::size_t>(fb.width) * fb.bytesPerPixel;
  for (int y = 0; y < fb.height; y++)
    std::memcpy(static_cast<std::uint8_t*>(bits) + y * stride, fb.bits + y * fb.stride, row);
  GdiFlush();
  return dib;
}
