#include "display/FramebufferDib.h"

#include <cstdint>
#include <cstring>
#include <vector>
#include <algorithm>
#include <numeric>

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

void PaintFittedView(HDC dc, HRGN update, HDC source, const PointerView& view) {
  if (view.fitWidth <= 0 || view.fitHeight <= 0 || view.framebufferWidth <= 0 || view.framebufferHeight <= 0) return;
  const DWORD size = GetRegionData(update, 0, nullptr);
  if (size < sizeof(RGNDATAHEADER)) return;
  std::vector<std::uint8_t> buffer(size);
  auto* data = reinterpret_cast<RGNDATA*>(buffer.data());
  if (GetRegionData(update, size, data) != size) return;
  const auto* rects = reinterpret_cast<const RECT*>(data->Buffer);
  // Cells: cellW x cellH window pixels are exactly srcCellW x srcCellH framebuffer pixels.
  const int gx = std::gcd(view.framebufferWidth, view.fitWidth), gy = std::gcd(view.framebufferHeight, view.fitHeight);
  const int cellW = view.fitWidth / gx, cellH = view.fitHeight / gy;
  const int srcCellW = view.framebufferWidth / gx, srcCellH = view.framebufferHeight / gy;
  const RECT shown = {0, 0, view.fitWidth, view.fitHeight};
  // Each rectangle's part: whole cells, one more on each side for the samples that reach
  // past them (only the rectangle is copied from it).
  struct Part {
    RECT piece;
    int cx0, cy0, cx1, cy1;
  };
  std::vector<Part> parts;
  long long cost = 0;
  for (DWORD i = 0; i < data->rdh.nCount; i++) {
    Part p;
    if (!IntersectRect(&p.piece, &rects[i], &shown)) continue;
    p.cx0 = std::max<int>(0, p.piece.left / cellW - 1);
    p.cx1 = std::min<int>(gx, (p.piece.right + cellW - 1) / cellW + 1);
    p.cy0 = std::max<int>(0, p.piece.top / cellH - 1);
    p.cy1 = std::min<int>(gy, (p.piece.bottom + cellH - 1) / cellH + 1);
    cost += static_cast<long long>(p.cx1 - p.cx0) * cellW * (p.cy1 - p.cy0) * cellH;
    parts.push_back(p);
  }
  if (parts.empty()) return;
  // Parts that together cost more than the whole view: the whole view once.
  if (cost > static_cast<long long>(view.fitWidth) * view.fitHeight) {
    Part whole = {shown, 0, 0, gx, gy};
    for (Part& p : parts) {
      whole.piece = p.piece;
      p = whole;
    }
  }
  HDC scratch = CreateCompatibleDC(dc);
  if (!scratch) return;
  SetStretchBltMode(scratch, HALFTONE);
  SetBrushOrgEx(scratch, 0, 0, nullptr);
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  Part drawn = {{}, -1, -1, -1, -1};
  for (const Part& p : parts) {
    const bool same = p.cx0 == drawn.cx0 && p.cy0 == drawn.cy0 && p.cx1 == drawn.cx1 && p.cy1 == drawn.cy1;
    if (!same) {
      const int w = (p.cx1 - p.cx0) * cellW, h = (p.cy1 - p.cy0) * cellH;
      if (old) SelectObject(scratch, old);
      if (bitmap) DeleteObject(bitmap);
      bitmap = CreateCompatibleBitmap(dc, w, h);
      old = bitmap ? SelectObject(scratch, bitmap) : nullptr;
      if (!bitmap) break;
      StretchBlt(scratch, 0, 0, w, h, source, p.cx0 * srcCellW, p.cy0 * srcCellH, (p.cx1 - p.cx0) * srcCellW,
                 (p.cy1 - p.cy0) * srcCellH, SRCCOPY);
      drawn = p;
    }
    BitBlt(dc, p.piece.left, p.piece.top, p.piece.right - p.piece.left, p.piece.bottom - p.piece.top, scratch,
           p.piece.left - p.cx0 * cellW, p.piece.top - p.cy0 * cellH, SRCCOPY);
  }
  if (old) SelectObject(scratch, old);
  if (bitmap) DeleteObject(bitmap);
  DeleteDC(scratch);
}
