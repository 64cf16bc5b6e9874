// The fitted view painted rectangle by rectangle: over every update region of the table
// the picture is the HALFTONE stretch of the whole framebuffer over the whole view, and
// nothing outside the region is touched. Each channel may differ by one level: the
// platform's stretch works out the sample positions in single precision, from the
// stretch's own corner, so a stretch of a part rounds a little differently from the
// whole one. A sample taken from another source pixel (a seam) differs by far more in
// this noisy picture.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "display/FramebufferDib.h"

namespace {

// A DIB of the viewer's default 32-bit format selected into a memory DC of its own.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  std::uint32_t* bits = nullptr;
  int width = 0, height = 0;

  Canvas(int w, int h) : width(w), height(h) {
    void* p = nullptr;
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateFramebufferDib(dc, PixelFormat(), w, h, &p);
    bits = static_cast<std::uint32_t*>(p);
    if (dc && bitmap) old = SelectObject(dc, bitmap);
  }
  ~Canvas() {
    if (old) SelectObject(dc, old);
    if (bitmap) DeleteObject(bitmap);
    if (dc) DeleteDC(dc);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  std::uint32_t At(int x, int y) const { return bits[static_cast<std::size_t>(y) * width + x] & 0xFFFFFF; }
};

// Noise over gradients and hard edges: a seam of one sample shows anywhere in it.
void Paint(Canvas& c) {
  std::mt19937 rng(21);
  for (int y = 0; y < c.height; y++)
    for (int x = 0; x < c.width; x++) {
      std::uint32_t v = rng() & 0x3F3F3F;
      v += static_cast<std::uint32_t>((x * 160 / c.width) << 16 | (y * 160 / c.height) << 8 | ((x ^ y) & 0x40));
      if ((x / 7 + y / 5) % 4 == 0) v ^= 0xC0C0C0;
      c.bits[static_cast<std::size_t>(y) * c.width + x] = v;
    }
}

HRGN Region(const std::vector<RECT>& rects) {
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  for (const RECT& r : rects) {
    HRGN piece = CreateRectRgnIndirect(&r);
    CombineRgn(region, region, piece, RGN_OR);
    DeleteObject(piece);
  }
  return region;
}

struct RegionCase {
  const char* what;
  std::vector<RECT> rects;
};

}  // namespace

TEST(FittedPaint, EachRectangleStretchedAloneGivesTheWholeViewsPicture) {
  struct Fit {
    int fbWidth, fbHeight, viewWidth, viewHeight;
  } fits[] = {
      {1600, 1200, 1272, 997},  // shrunk, prime height: no source row starts a destination row
      {320, 200, 803, 517},     // enlarged
      {640, 480, 640, 480},     // one to one
  };
  for (const Fit& f : fits) {
    const int W = f.viewWidth, H = f.viewHeight;
    const RegionCase cases[] = {
        {"one small patch", {{100, 90, 132, 122}}},
        {"two patches in opposite corners", {{0, 0, 32, 32}, {W - 32, H - 32, W, H}}},
        {"one pixel", {{W / 2, H / 3, W / 2 + 1, H / 3 + 1}}},
        {"thin strips along each edge", {{0, 0, W, 1}, {0, H - 1, W, H}, {0, 0, 1, H}, {W - 1, 0, W, H}}},
        {"an L of touching rectangles", {{10, 10, 200, 40}, {10, 40, 50, 300}}},
        {"overlapping rectangles", {{300, 200, 500, 400}, {400, 300, 600, 450}}},
        {"reaching past the view", {{W - 20, H - 20, W + 50, H + 50}, {-30, -30, 15, 15}}},
        {"many scattered patches", {{37, 411, 45, 419}, {611, 3, 640, 19}, {250, 250, 251, 400}, {5, 100, 400, 101},
                                    {W - 99, 12, W - 60, 77}, {123, H - 7, 377, H - 2}}},
        {"the whole view", {{0, 0, W, H}}},
        {"nothing", {}},
    };
    Canvas source(f.fbWidth, f.fbHeight), whole(W, H), pieces(W, H);
    ASSERT_TRUE(source.bits && whole.bits && pieces.bits);
    Paint(source);
    SetStretchBltMode(whole.dc, HALFTONE);
    SetBrushOrgEx(whole.dc, 0, 0, nullptr);
    ASSERT_TRUE(StretchBlt(whole.dc, 0, 0, W, H, source.dc, 0, 0, f.fbWidth, f.fbHeight, SRCCOPY));
    GdiFlush();

    PointerView view;
    view.fitted = true;
    view.fitWidth = W;
    view.fitHeight = H;
    view.framebufferWidth = f.fbWidth;
    view.framebufferHeight = f.fbHeight;
    constexpr std::uint32_t kUntouched = 0x00FF00FF;
    for (const RegionCase& c : cases) {
      SCOPED_TRACE(testing::Message() << f.fbWidth << "x" << f.fbHeight << " in " << W << "x" << H << ": " << c.what);
      for (std::size_t i = 0; i < static_cast<std::size_t>(W) * H; i++) pieces.bits[i] = kUntouched;
      HRGN region = Region(c.rects);
      PaintFittedView(pieces.dc, region, source.dc, view);
      GdiFlush();
      std::vector<char> inRegion(static_cast<std::size_t>(W) * H, 0);
      for (const RECT& r : c.rects)
        for (int y = std::max<int>(r.top, 0); y < std::min<int>(r.bottom, H); y++)
          for (int x = std::max<int>(r.left, 0); x < std::min<int>(r.right, W); x++)
            inRegion[static_cast<std::size_t>(y) * W + x] = 1;
      int wrong = 0, touched = 0, firstX = -1, firstY = -1;
      for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
          const bool inside = inRegion[static_cast<std::size_t>(y) * W + x] != 0;
          const std::uint32_t want = inside ? whole.At(x, y) : kUntouched;
          int worst = 0;
          for (int sh = 0; sh < 24; sh += 8)
            worst = std::max(worst, std::abs(int((pieces.At(x, y) >> sh) & 255) - int((want >> sh) & 255)));
          if (inside ? worst > 1 : worst != 0) {
            if (!wrong++) firstX = x, firstY = y;
            if (!inside) touched++;
          }
        }
      DeleteObject(region);
      EXPECT_EQ(wrong, 0) << "first at (" << firstX << ", " << firstY << "), " << touched << " outside the region";
    }
  }
}
