// The framebuffer as a GDI bitmap, and the copy a snapshot takes of a framebuffer whose
// rows lie further apart than a DIB's (a Direct3D surface's pitch).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "display/FramebufferDib.h"

namespace {

PixelFormat Format(int bpp, int redShift, int greenShift, int blueShift, int rMax, int gMax, int bMax) {
  PixelFormat pf;
  pf.bitsPerPixel = static_cast<std::uint8_t>(bpp);
  pf.depth = static_cast<std::uint8_t>(bpp == 32 ? 24 : 16);
  pf.redShift = static_cast<std::uint8_t>(redShift);
  pf.greenShift = static_cast<std::uint8_t>(greenShift);
  pf.blueShift = static_cast<std::uint8_t>(blueShift);
  pf.redMax = static_cast<std::uint16_t>(rMax);
  pf.greenMax = static_cast<std::uint16_t>(gMax);
  pf.blueMax = static_cast<std::uint16_t>(bMax);
  return pf;
}

TEST(FramebufferDib, CopyOfAFramebufferWithAWidePitchHoldsItsPixels) {
  struct Case {
    PixelFormat pf;
    int width;
  } cases[] = {
      {Format(32, 16, 8, 0, 255, 255, 255), 13},  // a surface's X8R8G8B8
      {Format(16, 11, 5, 0, 31, 63, 31), 7},      // R5G6B5, an odd width: DIB rows are padded
  };
  for (const Case& c : cases) {
    const int bpp = c.pf.bitsPerPixel / 8, height = 5;
    const std::size_t pitch = static_cast<std::size_t>(c.width) * bpp + 24;
    std::vector<std::uint8_t> bits(pitch * height, 0xEE);
    for (int y = 0; y < height; y++)
      for (int x = 0; x < c.width * bpp; x++) bits[y * pitch + x] = static_cast<std::uint8_t>(y * 31 + x);
    Framebuffer fb;
    fb.bits = bits.data();
    fb.width = c.width;
    fb.height = height;
    fb.stride = pitch;
    fb.bytesPerPixel = bpp;
    fb.format = c.pf;
    HBITMAP dib = CopyFramebufferToDib(fb);
    ASSERT_NE(dib, nullptr);
    DIBSECTION ds = {};
    ASSERT_EQ(GetObjectA(dib, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_EQ(ds.dsBm.bmWidth, c.width);
    EXPECT_EQ(ds.dsBm.bmHeight, height);
    EXPECT_EQ(ds.dsBm.bmBitsPixel, c.pf.bitsPerPixel);
    EXPECT_EQ(ds.dsBitfields[0], DWORD(c.pf.redMax) << c.pf.redShift);
    const std::size_t stride = Framebuffer::StrideFor(c.width, bpp);
    ASSERT_EQ(static_cast<std::size_t>(ds.dsBm.bmWidthBytes), stride);
    const auto* copy = static_cast<const std::uint8_t*>(ds.dsBm.bmBits);
    for (int y = 0; y < height; y++)
      EXPECT_EQ(std::memcmp(copy + y * stride, bits.data() + y * pitch, static_cast<std::size_t>(c.width) * bpp), 0)
          << "row " << y;
    DeleteObject(dib);
  }
  // Nothing to copy: no bitmap.
  EXPECT_EQ(CopyFramebufferToDib(Framebuffer()), nullptr);
}

}  // namespace
