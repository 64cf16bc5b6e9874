// Raw, CopyRect, RRE, CoRRE and Hextile over an in-memory framebuffer, at 8, 16 and 32
// bits per pixel.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "MemoryFramebuffer.h"
#include "app/Exception.h"
#include "app/UiText.h"
#include "decoders/Decoders.h"
#include "rdr/MemInStream.h"

namespace {

std::uint32_t Mask(int bpp) { return bpp == 4 ? 0xFFFFFFFFu : (1u << (8 * bpp)) - 1; }

// Distinct pixel values that fit every pixel size.
std::uint32_t P(int bpp, std::uint32_t v) { return (v * 0x01030507u + 0x11) & Mask(bpp); }

class Decoders : public ::testing::TestWithParam<int> {
protected:
  int bpp() const { return GetParam(); }
  void Make(int w, int h) {
    m = std::make_unique<MemoryFramebuffer>(w, h, FormatFor(bpp()));
    st = std::make_unique<DecoderState>(*m);
  }
  // Decodes one rectangle from bytes followed by a sentinel; checks that exactly the
  // rectangle's bytes were read.
  void Decode(const Bytes& data, const RectHeader& r) {
    std::vector<std::uint8_t> b = data.b;
    b.push_back(0x5A);
    rdr::MemInStream in(b.data(), b.size());
    dec::DecodeRectangle(*st, in, r);
    EXPECT_EQ(in.Pos(), data.b.size());
    EXPECT_EQ(m->LockDepth(), 0);
  }
  std::uint32_t Grey() const { return 0x80808080u & Mask(bpp()); }

  std::unique_ptr<MemoryFramebuffer> m;
  std::unique_ptr<DecoderState> st;
};

TEST_P(Decoders, RawDrawsPackedRowsAtThePosition) {
  Make(6, 5);
  Bytes d;
  for (int i = 0; i < 6; i++) d.px(P(bpp(), i), bpp());
  Decode(d, Rect(2, 3, 3, 2, rfbenc::kRaw));
  for (int y = 0; y < 5; y++)
    for (int x = 0; x < 6; x++) {
      bool in = x >= 2 && x < 5 && y >= 3;
      EXPECT_EQ(m->Pixel(x, y), in ? P(bpp(), (y - 3) * 3 + (x - 2)) : Grey()) << x << "," << y;
    }
  ASSERT_EQ(m->region.size(), 1u);
  EXPECT_EQ(m->region[0], (TestRect{2, 3, 3, 2}));
}

TEST_P(Decoders, ZeroSizedRectanglesReadNothing) {
  Make(4, 4);
  for (std::int32_t enc : {rfbenc::kRaw, rfbenc::kHextile}) {
    Decode(Bytes(), Rect(1, 1, 0, 3, enc));
    Decode(Bytes(), Rect(1, 1, 3, 0, enc));
  }
  // RRE and CopyRect still carry their fixed part.
  Decode(Bytes().u32(0).px(1, bpp()), Rect(1, 1, 0, 0, rfbenc::kRRE));
  Decode(Bytes().u16(0).u16(0), Rect(1, 1, 0, 5, rfbenc::kCopyRect));
  EXPECT_EQ(m->Pixels(), std::vector<std::uint32_t>(16, Grey()));
}

TEST_P(Decoders, RectanglesOutsideTheFramebufferAreReadButNotDrawn) {
  Make(8, 8);
  Bytes raw;
  for (int i = 0; i < 9; i++) raw.px(P(bpp(), i), bpp());
  Decode(raw, Rect(6, 0, 3, 3, rfbenc::kRaw));
  Decode(Bytes().u32(1).px(1, bpp()).px(2, bpp()).u16(0).u16(0).u16(1).u16(1), Rect(0, 7, 2, 2, rfbenc::kRRE));
  Decode(Bytes().u8(2).px(5, bpp()), Rect(0, 0, 9, 1, rfbenc::kHextile));
  Decode(Bytes().u8(2).px(6, bpp()).u8(2).px(7, bpp()), Rect(0, 0, 20, 1, rfbenc::kHextile));
  Decode(Bytes().u16(0).u16(0), Rect(0, 0, 9, 1, rfbenc::kCopyRect));
  Decode(Bytes().u16(0).u16(7), Rect(0, 0, 2, 2, rfbenc::kCopyRect));  // source outside
  EXPECT_EQ(m->Pixels(), std::vector<std::uint32_t>(64, Grey()));
}

TEST_P(Decoders, CopyRectMovesOverlappingAreasExactly) {
  Make(10, 10);
  for (int y = 0; y < 10; y++)
    for (int x = 0; x < 10; x++) m->SetPixel(x, y, P(bpp(), y * 10 + x));
  const auto before = m->Pixels();
  // Destination below the source, overlapping: bottom-up.
  Decode(Bytes().u16(1).u16(1), Rect(2, 3, 6, 5, rfbenc::kCopyRect));
  for (int y = 3; y < 8; y++)
    for (int x = 2; x < 8; x++) ASSERT_EQ(m->Pixel(x, y), before[(y - 2) * 10 + (x - 1)]) << x << "," << y;
  EXPECT_EQ(m->Pixel(1, 1), before[11]);
  // Within the same rows, to the right.
  const auto mid = m->Pixels();
  Decode(Bytes().u16(0).u16(0), Rect(3, 0, 7, 2, rfbenc::kCopyRect));
  for (int y = 0; y < 2; y++)
    for (int x = 3; x < 10; x++) ASSERT_EQ(m->Pixel(x, y), mid[y * 10 + x - 3]);
}

TEST_P(Decoders, RreWithoutSubrectanglesIsOnlyTheBackground) {
  Make(5, 4);
  Decode(Bytes().u32(0).px(P(bpp(), 9), bpp()), Rect(1, 1, 3, 2, rfbenc::kRRE));
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 5; x++)
      EXPECT_EQ(m->Pixel(x, y), (x >= 1 && x < 4 && y >= 1 && y < 3) ? P(bpp(), 9) : Grey());
}

TEST_P(Decoders, RreAndCoRreDrawSubrectanglesConfinedToTheRectangle) {
  for (bool compact : {false, true}) {
    Make(12, 10);
    Bytes d;
    d.u32(3).px(P(bpp(), 1), bpp());
    auto sub = [&](std::uint32_t pix, int x, int y, int w, int h) {
      d.px(pix, bpp());
      if (compact)
        d.u8(x).u8(y).u8(w).u8(h);
      else
        d.u16(x).u16(y).u16(w).u16(h);
    };
    sub(P(bpp(), 2), 1, 1, 2, 2);
    sub(P(bpp(), 3), 4, 3, 9, 9);   // reaches past the rectangle: clipped
    sub(P(bpp(), 4), 50, 0, 1, 1);  // starts outside: dropped
    Decode(d, Rect(2, 2, 6, 5, compact ? rfbenc::kCoRRE : rfbenc::kRRE));
    for (int y = 0; y < 10; y++)
      for (int x = 0; x < 12; x++) {
        std::uint32_t want = Grey();
        if (x >= 2 && x < 8 && y >= 2 && y < 7) {
          int rx = x - 2, ry = y - 2;
          want = P(bpp(), 1);
          if (rx >= 1 && rx < 3 && ry >= 1 && ry < 3) want = P(bpp(), 2);
          if (rx >= 4 && ry >= 3) want = P(bpp(), 3);
        }
        ASSERT_EQ(m->Pixel(x, y), want) << compact << " " << x << "," << y;
      }
  }
}

TEST_P(Decoders, RreCountAboveTwentyMillionEndsTheConnection) {
  LoadBuiltinUiTexts();
  Make(4, 4);
  Bytes d;
  d.u32(20000001).px(0, bpp());
  rdr::MemInStream in(d.b.data(), d.b.size());
  EXPECT_THROW(dec::DecodeRRE(*st, in, Rect(0, 0, 2, 2, rfbenc::kRRE)), ErrorException);
  EXPECT_EQ(m->LockDepth(), 0);
}

TEST_P(Decoders, HextileTilesClipAtTheEdgeAndKeepTheBackground) {
  Make(20, 18);
  // 17 x 17: tiles 16x16, 1x16, 16x1, 1x1.
  Bytes d;
  d.u8(2).px(P(bpp(), 1), bpp());  // background only
  d.u8(0);                         // width 1: previous background
  d.u8(1);                         // raw 16 x 1
  for (int i = 0; i < 16; i++) d.px(P(bpp(), 100 + i), bpp());
  d.u8(0);  // 1 x 1: still the background of tile 1 (raw tiles do not change it)
  Decode(d, Rect(1, 0, 17, 17, rfbenc::kHextile));
  for (int y = 0; y < 18; y++)
    for (int x = 0; x < 20; x++) {
      std::uint32_t want = Grey();
      if (x >= 1 && x < 18 && y < 17) want = (y == 16 && x < 17) ? P(bpp(), 100 + x - 1) : P(bpp(), 1);
      ASSERT_EQ(m->Pixel(x, y), want) << x << "," << y;
    }
}

TEST_P(Decoders, HextileSubrectanglesUseAndSetTheForeground) {
  Make(32, 16);
  Bytes d;
  // One 16 x 8 tile: background, foreground, two plain subrectangles, one reaching past the tile.
  d.u8(2 | 4 | 8).px(P(bpp(), 1), bpp()).px(P(bpp(), 2), bpp()).u8(2);
  d.u8(0x11).u8(0x10);  // x 1, y 1, 2 x 1
  d.u8(0xE6).u8(0x53);  // x 14, y 6, 6 x 4: clipped to 2 x 2
  Decode(d, Rect(0, 0, 16, 8, rfbenc::kHextile));
  EXPECT_EQ(m->Pixel(0, 0), P(bpp(), 1));
  EXPECT_EQ(m->Pixel(1, 1), P(bpp(), 2));
  EXPECT_EQ(m->Pixel(2, 1), P(bpp(), 2));
  EXPECT_EQ(m->Pixel(3, 1), P(bpp(), 1));
  EXPECT_EQ(m->Pixel(15, 7), P(bpp(), 2));
  EXPECT_EQ(m->Pixel(13, 7), P(bpp(), 1));
  EXPECT_EQ(m->Pixel(16, 0), Grey());

  // A coloured subrectangle's pixel becomes the foreground of the next tile's plain ones;
  // the background carries over too.
  Bytes e;
  e.u8(2 | 8 | 16).px(P(bpp(), 3), bpp()).u8(1).px(P(bpp(), 4), bpp()).u8(0x00).u8(0x00);
  e.u8(8).u8(1).u8(0x22).u8(0x00);
  Decode(e, Rect(0, 8, 32, 8, rfbenc::kHextile));
  EXPECT_EQ(m->Pixel(0, 8), P(bpp(), 4));
  EXPECT_EQ(m->Pixel(1, 8), P(bpp(), 3));
  EXPECT_EQ(m->Pixel(18, 10), P(bpp(), 4));
  EXPECT_EQ(m->Pixel(17, 10), P(bpp(), 3));
}

TEST_P(Decoders, HextileColoursStartAtZeroInEachRectangle) {
  Make(32, 8);
  Decode(Bytes().u8(2 | 4).px(P(bpp(), 7), bpp()).px(P(bpp(), 8), bpp()), Rect(0, 0, 16, 1, rfbenc::kHextile));
  EXPECT_EQ(m->Pixel(0, 0), P(bpp(), 7));
  Decode(Bytes().u8(8 | 16).u8(1).px(P(bpp(), 9), bpp()).u8(0x00).u8(0x00), Rect(16, 0, 16, 1, rfbenc::kHextile));
  EXPECT_EQ(m->Pixel(16, 0), P(bpp(), 9));
  EXPECT_EQ(m->Pixel(17, 0), 0u);  // background of a new rectangle: 0
  Decode(Bytes().u8(8).u8(1).u8(0x10).u8(0x00), Rect(0, 4, 16, 1, rfbenc::kHextile));
  EXPECT_EQ(m->Pixel(1, 4), 0u);  // foreground of a new rectangle: 0
  EXPECT_EQ(m->Pixel(0, 4), 0u);
  EXPECT_EQ(m->Pixel(0, 5), Grey());
}

// The same rectangles decoded from a stream that delivers 3 bytes at a time: identical
// pixels, and no refill while the framebuffer lock is held.
TEST_P(Decoders, NoDecoderWaitsForDataUnderTheLock) {
  struct Item {
    Bytes data;
    RectHeader r;
  };
  std::vector<Item> items;
  Bytes raw;
  for (int i = 0; i < 40 * 30; i++) raw.px(P(bpp(), i), bpp());
  items.push_back({raw, Rect(1, 2, 40, 30, rfbenc::kRaw)});
  items.push_back({Bytes().u16(1).u16(2), Rect(5, 5, 30, 20, rfbenc::kCopyRect)});
  Bytes rre;
  rre.u32(50).px(P(bpp(), 1), bpp());
  for (int i = 0; i < 50; i++) rre.px(P(bpp(), i), bpp()).u16(i % 20).u16(i % 13).u16(3).u16(2);
  items.push_back({rre, Rect(3, 3, 30, 20, rfbenc::kRRE)});
  Bytes corre;
  corre.u32(50).px(P(bpp(), 1), bpp());
  for (int i = 0; i < 50; i++) corre.px(P(bpp(), i + 3), bpp()).u8(i % 20).u8(i % 13).u8(3).u8(2);
  items.push_back({corre, Rect(0, 10, 30, 20, rfbenc::kCoRRE)});
  Bytes hex;
  for (int t = 0; t < 3 * 2; t++) {
    if (t % 3 == 0) {
      hex.u8(1);
      int tw = (t % 3 == 2) ? 8 : 16;
      int th = t >= 3 ? 4 : 16;
      for (int i = 0; i < tw * th; i++) hex.px(P(bpp(), i + t), bpp());
    } else {
      hex.u8(2 | 8 | 16).px(P(bpp(), t), bpp()).u8(3);
      for (int i = 0; i < 3; i++) hex.px(P(bpp(), 50 + i), bpp()).u8(i * 0x21).u8(0x21);
    }
  }
  items.push_back({hex, Rect(2, 1, 40, 20, rfbenc::kHextile)});

  Make(48, 40);
  for (const auto& it : items) Decode(it.data, it.r);
  const auto expected = m->Pixels();

  Make(48, 40);
  for (const auto& it : items) {
    TrickleInStream in(it.data.b, 3, *m);
    ASSERT_TRUE(dec::DecodeRectangle(*st, in, it.r));
    EXPECT_EQ(in.refillsUnderLock, 0) << "encoding " << it.r.encoding;
  }
  EXPECT_EQ(m->Pixels(), expected);
}

// The bitmap is rebuilt (another pixel size, or smaller) between reading a rectangle and
// drawing it: nothing is written into the new bitmap, and nothing outside it.
TEST_P(Decoders, ABitmapChangedWhileReadingIsNotOverrun) {
  const int other = bpp() == 4 ? 1 : 4;
  for (int change = 0; change < 2; change++) {
    Make(40, 40);
    Bytes raw;
    for (int i = 0; i < 30 * 30; i++) raw.px(P(bpp(), i), bpp());
    Bytes rre = Bytes().u32(1).px(1, bpp()).px(2, bpp()).u16(0).u16(0).u16(30).u16(30);
    Bytes hex;
    for (int t = 0; t < 4; t++) hex.u8(2).px(P(bpp(), t), bpp());
    const struct {
      Bytes* d;
      RectHeader r;
    } cases[] = {{&raw, Rect(5, 5, 30, 30, rfbenc::kRaw)},
                 {&rre, Rect(5, 5, 30, 30, rfbenc::kRRE)},
                 {&hex, Rect(5, 5, 30, 30, rfbenc::kHextile)}};
    for (const auto& c : cases) {
      rdr::MemInStream in(c.d->b.data(), c.d->b.size());
      bool rebuilt = false;
      m->onLock = [&] {
        // The first lock after the decoder has started reading the rectangle's data.
        if (!rebuilt && in.Pos() > 0) {
          rebuilt = true;
          if (change == 0)
            m->Rebuild(40, 40, FormatFor(other));
          else
            m->Rebuild(20, 20, FormatFor(bpp()));
        }
      };
      ASSERT_TRUE(dec::DecodeRectangle(*st, in, c.r));
      m->onLock = nullptr;
      EXPECT_TRUE(rebuilt);
      EXPECT_EQ(in.Pos(), c.d->b.size());
      const std::uint32_t grey = 0x80808080u & Mask(m->fb().bytesPerPixel);
      EXPECT_EQ(m->Pixels(), std::vector<std::uint32_t>(m->Pixels().size(), grey)) << c.r.encoding;
      m->Rebuild(40, 40, FormatFor(bpp()));
    }
  }
}

TEST_P(Decoders, UnknownEncodingsAreLeftToTheCaller) {
  Make(4, 4);
  const std::uint8_t b[] = {1, 2, 3};
  rdr::MemInStream in(b, sizeof b);
  EXPECT_FALSE(dec::DecodeRectangle(*st, in, Rect(0, 0, 2, 2, 3)));
  EXPECT_EQ(in.Pos(), 0u);
  EXPECT_TRUE(m->region.empty());
}

INSTANTIATE_TEST_SUITE_P(Bpp, Decoders, ::testing::Values(1, 2, 4),
                         [](const ::testing::TestParamInfo<int>& i) { return std::to_string(i.param * 8) + "bpp"; });

TEST(RawStrips, ARectangleAboveTheBufferCapIsDrawnInRowStrips) {
  const int w = 5200, h = 5200;  // 108,160,000 bytes at 32 bits per pixel, above 100 MiB
  MemoryFramebuffer m(w, h);
  DecoderState st(m);
  PatternInStream in(std::uint64_t(w) * h * 4);
  dec::DecodeRaw(st, in, Rect(0, 0, w, h, rfbenc::kRaw));
  EXPECT_EQ(in.Pos(), std::size_t(w) * h * 4);
  EXPECT_LE(st.receive.Size(), 1024u * 1024);
  for (std::uint64_t off : {std::uint64_t(0), std::uint64_t(4) * w * 2600 + 44, std::uint64_t(4) * w * h - 4}) {
    std::uint32_t want = 0;
    for (int i = 0; i < 4; i++) want |= std::uint32_t(PatternInStream::At(off + i)) << (8 * i);
    std::uint64_t px = off / 4;
    EXPECT_EQ(m.Pixel(static_cast<int>(px % w), static_cast<int>(px / w)), want) << off;
  }
}

}  // namespace
