// The decoder frame: pixel format records, work buffers and the shared pixel operations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MemoryFramebuffer.h"
#include "app/Exception.h"
#include "app/UiText.h"
#include "decoders/GrowBuffer.h"
#include "decoders/PixelFormat.h"
#include "decoders/PixelOps.h"
#include "rdr/MemInStream.h"

namespace {

TEST(PixelFormat, WireRecordRoundTripsWithBigEndianMaximaAndPadding) {
  const std::uint8_t wire[16] = {16, 15, 0, 1, 0x00, 0x1F, 0x00, 0x3F, 0x01, 0x02, 11, 5, 0, 1, 0, 0};
  rdr::MemInStream in(wire, sizeof wire);
  PixelFormat pf = PixelFormat::Read(in);
  EXPECT_EQ(pf.bitsPerPixel, 16);
  EXPECT_EQ(pf.depth, 15);
  EXPECT_EQ(pf.redMax, 31);
  EXPECT_EQ(pf.greenMax, 63);
  EXPECT_EQ(pf.blueMax, 0x0102);
  EXPECT_EQ(pf.redShift, 11);
  EXPECT_EQ(pf.greyscale, 1);  // the first padding byte travels unchanged
  std::uint8_t back[16];
  pf.ToWire(back);
  EXPECT_EQ(0, std::memcmp(wire, back, 16));
}

struct FormatCase {
  const char* name;
  int bpp, depth, trueColour, rmax, gmax, bmax, rs, gs, bs;
  bool valid;
};

class PixelFormatValidity : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PixelFormatValidity, UntrustedFormatIsKeptOnlyWhenUsable) {
  const FormatCase& c = GetParam();
  PixelFormat pf;
  pf.bitsPerPixel = c.bpp, pf.depth = c.depth, pf.trueColour = c.trueColour;
  pf.redMax = c.rmax, pf.greenMax = c.gmax, pf.blueMax = c.bmax;
  pf.redShift = c.rs, pf.greenShift = c.gs, pf.blueShift = c.bs;
  EXPECT_EQ(pf.IsValid(), c.valid);
  PixelFormat s = PixelFormat::Sanitize(pf);
  EXPECT_EQ(s, c.valid ? pf : PixelFormat::Default32());
  EXPECT_TRUE(s.IsValid());
}

INSTANTIATE_TEST_SUITE_P(
    Table, PixelFormatValidity,
    ::testing::Values(FormatCase{"rgb888", 32, 24, 1, 255, 255, 255, 16, 8, 0, true},
                      FormatCase{"rgb565", 16, 16, 1, 31, 63, 31, 11, 5, 0, true},
                      FormatCase{"bgr233", 8, 8, 1, 7, 7, 3, 0, 3, 6, true},
                      FormatCase{"colourMap8", 8, 8, 0, 0, 0, 0, 0, 0, 0, true},
                      FormatCase{"wide16BitFields", 32, 32, 1, 65535, 255, 255, 16, 8, 0, true},
                      FormatCase{"bpp24", 24, 24, 1, 255, 255, 255, 16, 8, 0, false},
                      FormatCase{"bpp0", 0, 0, 1, 255, 255, 255, 16, 8, 0, false},
                      FormatCase{"depthAboveBpp", 8, 9, 1, 7, 7, 3, 0, 3, 6, false},
                      FormatCase{"zeroMax", 32, 24, 1, 0, 255, 255, 16, 8, 0, false},
                      FormatCase{"shift32", 32, 24, 1, 255, 255, 255, 32, 8, 0, false},
                      FormatCase{"fieldPastTop32", 32, 24, 1, 255, 255, 255, 25, 8, 0, false},
                      FormatCase{"fieldPastTop16", 16, 16, 1, 31, 63, 31, 12, 5, 0, false},
                      FormatCase{"hugeShift", 16, 16, 1, 31, 63, 31, 200, 5, 0, false}),
    [](const ::testing::TestParamInfo<FormatCase>& i) { return std::string(i.param.name); });

TEST(GrowBuffer, GrowsToRequestPlus256AndThrowsAboveOneHundredMiB) {
  LoadBuiltinUiTexts();
  GrowBuffer buf;
  buf.Ensure(1000);
  EXPECT_EQ(buf.Size(), 1256u);
  buf.Ensure(1255);  // fits
  EXPECT_EQ(buf.Size(), 1256u);
  buf.Ensure(1256);  // a request equal to the size grows by 256
  EXPECT_EQ(buf.Size(), 1512u);
  buf.Ensure(104857600);
  EXPECT_EQ(buf.Size(), 104857856u);
  try {
    buf.Ensure(104857601);
    FAIL() << "no exception";
  } catch (const ErrorException& e) {
    EXPECT_STREQ(e.Message(), "Insufficient memory to allocate network buffer.");
  }
  GrowBuffer zlib(nullptr, "Insufficient memory to allocate zlib buffer.");
  try {
    zlib.Ensure(std::uint64_t(1) << 40);
    FAIL() << "no exception";
  } catch (const ErrorException& e) {
    EXPECT_STREQ(e.Message(), "Insufficient memory to allocate zlib buffer.");
  }
}

TEST(PixelOps, RowsAreFourByteAligned) {
  EXPECT_EQ(Framebuffer::StrideFor(3, 2), 8u);
  EXPECT_EQ(Framebuffer::StrideFor(3, 1), 4u);
  EXPECT_EQ(Framebuffer::StrideFor(5, 4), 20u);
  EXPECT_EQ(Framebuffer::StrideFor(0, 4), 0u);
}

TEST(PixelOps, RgbConversionScalesEachComponentToItsMaximum) {
  PixelFormat pf = Format16();
  EXPECT_EQ(dec::RgbToPixel(pf, 255, 0, 0), 31u << 11);
  EXPECT_EQ(dec::RgbToPixel(pf, 7, 0, 0), 0u);
  EXPECT_EQ(dec::RgbToPixel(pf, 0, 255, 0), 63u << 5);
  EXPECT_EQ(dec::RgbToPixel(Format32(), 0x12, 0x34, 0x56), 0x563412u);
  EXPECT_EQ(dec::PixelToRgb(pf, 31u << 11 | 63u << 5), 0x0200FFFFu);

  MemoryFramebuffer m(4, 2, Format8());
  const std::uint8_t src[] = {255, 255, 255, 9, 0, 0, 255, 9, 7, 36, 64, 9};
  const std::uint8_t* next = dec::ConvertRgbRect(m.fb(), 1, 1, 3, 1, src);
  EXPECT_EQ(next, src + 12);
  EXPECT_EQ(m.Pixel(1, 1), 0xFFu);       // 7 | 7 << 3 | 3 << 6
  EXPECT_EQ(m.Pixel(2, 1), 3u << 6);     // blue only
  EXPECT_EQ(m.Pixel(3, 1), 1u << 3 | 1u << 6);  // 7 -> 0, 36 -> 1, 64 -> 1
  EXPECT_EQ(m.Pixel(0, 1), 128u);
  // An area that does not fit is consumed but not drawn; a negative position is not consumed.
  EXPECT_EQ(dec::ConvertRgbRect(m.fb(), 2, 1, 3, 1, src), src + 12);
  EXPECT_EQ(m.Pixel(2, 1), 3u << 6);
  EXPECT_EQ(dec::ConvertRgbRect(m.fb(), -1, 0, 1, 1, src), src);
}

// Every helper leaves the bitmap alone when the area does not fit, including areas whose
// far edge wraps around.
TEST(PixelOps, AreasOutsideTheBitmapAreSkipped) {
  MemoryFramebuffer m(8, 4, Format16());
  std::vector<std::uint8_t> src(64 * 1024, 0xAB);
  const auto before = m.Pixels();
  const int bad[][4] = {{-1, 0, 2, 2}, {0, -1, 2, 2}, {7, 0, 2, 1}, {0, 3, 1, 2}, {0, 0, 9, 1},
                        {0x7FFFFFFF, 0, 2, 1}, {0, 0x7FFFFFFF, 1, 2}, {1, 1, -1, 1}};
  for (const auto& a : bad) {
    dec::CopyPixelRect(m.fb(), a[0], a[1], a[2], a[3], 2, src.data());
    dec::FillSolidRect(m.fb(), a[0], a[1], a[2], a[3], 0x1234);
    dec::MoveRectWithin(m.fb(), 0, 0, a[0], a[1], a[2], a[3]);
    dec::MoveRectWithin(m.fb(), a[0], a[1], 0, 0, a[2], a[3]);
    dec::ConvertRgbRect(m.fb(), a[0], a[1], a[2], a[3], src.data());
  }
  // A source of the wrong pixel size or too few bytes is not copied either.
  dec::CopyPixelRect(m.fb(), 0, 0, 2, 2, 4, src.data());
  dec::CopyPixelRectChecked(m.fb(), 0, 0, 2, 2, 2, src.data(), 7);
  EXPECT_EQ(m.Pixels(), before);
  dec::CopyPixelRectChecked(m.fb(), 0, 0, 2, 2, 2, src.data(), 8);
  EXPECT_EQ(m.Pixel(1, 1), 0xABABu);
  EXPECT_EQ(m.Pixel(2, 1), 0x8080u);
}

TEST(PixelOps, WritesStayWithinTheRectangle) {
  for (int bpp : {1, 2, 4}) {
    MemoryFramebuffer m(7, 5, FormatFor(bpp));
    dec::FillSolidRect(m.fb(), 2, 1, 3, 2, 0x0A0B0C0D);
    const std::uint32_t fill = 0x0A0B0C0Du & (bpp == 4 ? 0xFFFFFFFFu : (1u << (8 * bpp)) - 1);
    const std::uint32_t grey = 0x80808080u & (bpp == 4 ? 0xFFFFFFFFu : (1u << (8 * bpp)) - 1);
    for (int y = 0; y < 5; y++)
      for (int x = 0; x < 7; x++)
        EXPECT_EQ(m.Pixel(x, y), (x >= 2 && x < 5 && y >= 1 && y < 3) ? fill : grey) << bpp << " " << x << "," << y;
  }
}

TEST(PixelOps, PackedCopiesAndCacheSwapsRoundTrip) {
  MemoryFramebuffer m(6, 4, Format32());
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 6; x++) m.SetPixel(x, y, static_cast<std::uint32_t>(y * 16 + x));
  std::vector<std::uint8_t> packed(3 * 2 * 4);
  dec::CopyBitmapToPacked(m.fb(), 2, 1, 3, 2, packed.data());
  std::uint32_t first;
  std::memcpy(&first, packed.data(), 4);
  EXPECT_EQ(first, 0x12u);

  std::vector<std::uint8_t> cache(m.fb().stride * 4, 0);
  const auto original = m.Pixels();
  dec::SwapRectBetweenBitmaps(m.fb(), m.fb().bits, cache.data(), 1, 1, 4, 3);
  EXPECT_EQ(m.Pixel(1, 1), 0u);
  EXPECT_EQ(m.Pixel(0, 0), 0u);  // outside the area: unchanged (it was 0)
  EXPECT_EQ(m.Pixel(5, 3), 0x35u);
  dec::SwapRectBetweenBitmaps(m.fb(), m.fb().bits, cache.data(), 1, 1, 4, 3);
  EXPECT_EQ(m.Pixels(), original);

  dec::CopyRectBetweenBitmaps(m.fb(), m.fb().bits, cache.data(), 0, 0, 6, 4);
  m.Fill(7);
  dec::CopyRectBetweenBitmaps(m.fb(), cache.data(), m.fb().bits, 2, 1, 3, 2);
  EXPECT_EQ(m.Pixel(2, 1), 0x12u);
  EXPECT_EQ(m.Pixel(1, 1), 7u);
  dec::CopyPixelRect(m.fb(), 0, 2, 3, 2, 4, packed.data());
  EXPECT_EQ(m.Pixel(0, 2), 0x12u);
  EXPECT_EQ(m.Pixel(2, 3), 0x24u);
}

TEST(PixelOps, EightBitColourTableCoversTheDepthOnly) {
  std::uint8_t table[256][4];
  EXPECT_EQ(dec::BuildColourTable8(Format8(), table), 256);  // 7/7/3 at shifts 0/3/6
  const std::uint8_t white[4] = {255, 255, 255, 0};
  EXPECT_EQ(0, std::memcmp(table[255], white, 4));
  EXPECT_EQ(table[1][2], 36);   // red 1 of 7: (3 + 65535) / 7 >> 8
  EXPECT_EQ(table[64][0], 85);  // blue 1 of 3
  PixelFormat grey = Format8();
  grey.depth = 3, grey.redMax = grey.greenMax = grey.blueMax = 1, grey.redShift = 2, grey.greenShift = 1,
  grey.blueShift = 0;
  EXPECT_EQ(dec::BuildColourTable8(grey, table), 8);
  EXPECT_EQ(table[4][2], 255);
  EXPECT_EQ(table[4][1], 0);
  EXPECT_EQ(dec::BuildColourTable8(Format16(), table), 0);
  PixelFormat map = Format8();
  map.trueColour = 0;
  EXPECT_EQ(dec::BuildColourTable8(map, table), 0);
}

struct MoveCase {
  const char* name;
  int sx, sy, dx, dy, w, h;
};

class MoveRect : public ::testing::TestWithParam<MoveCase> {};

// The destination receives exactly what the source held before the move, whatever the
// overlap; everything else is untouched.
TEST_P(MoveRect, ReproducesTheSourceExactly) {
  const MoveCase& c = GetParam();
  for (int bpp : {1, 2, 4}) {
    MemoryFramebuffer m(12, 9, FormatFor(bpp));
    for (int y = 0; y < 9; y++)
      for (int x = 0; x < 12; x++) m.SetPixel(x, y, static_cast<std::uint32_t>(y * 12 + x + 1));
    const auto before = m.Pixels();
    dec::MoveRectWithin(m.fb(), c.sx, c.sy, c.dx, c.dy, c.w, c.h);
    for (int y = 0; y < 9; y++)
      for (int x = 0; x < 12; x++) {
        bool inDst = x >= c.dx && x < c.dx + c.w && y >= c.dy && y < c.dy + c.h;
        std::uint32_t want = inDst ? before[(y - c.dy + c.sy) * 12 + (x - c.dx + c.sx)] : before[y * 12 + x];
        ASSERT_EQ(m.Pixel(x, y), want) << bpp << " at " << x << "," << y;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, MoveRect,
                         ::testing::Values(MoveCase{"down", 1, 1, 1, 3, 6, 5}, MoveCase{"up", 2, 4, 2, 1, 5, 5},
                                           MoveCase{"sameRowRight", 0, 2, 3, 2, 8, 4},
                                           MoveCase{"sameRowLeft", 4, 2, 1, 2, 8, 4},
                                           MoveCase{"downRight", 0, 0, 2, 1, 9, 7},
                                           MoveCase{"upLeft", 3, 2, 0, 0, 9, 7}, MoveCase{"inPlace", 2, 2, 2, 2, 4, 4},
                                           MoveCase{"disjoint", 0, 0, 8, 6, 3, 3}),
                         [](const ::testing::TestParamInfo<MoveCase>& i) { return std::string(i.param.name); });

}  // namespace
