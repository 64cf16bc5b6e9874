// Cursor shapes and the soft cursor.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "MemoryFramebuffer.h"
#include "decoders/Decoders.h"
#include "decoders/PixelOps.h"
#include "rdr/MemInStream.h"

namespace {

std::uint32_t Background(int x, int y) { return 0x00100000u + static_cast<std::uint32_t>(y * 256 + x); }

class Cursor : public ::testing::Test {
protected:
  void SetUp() override { Make(40, 30, Format32()); }
  void Make(int w, int h, const PixelFormat& pf) {
    st.reset();
    m = std::make_unique<MemoryFramebuffer>(w, h, pf);
    st = std::make_unique<DecoderState>(*m);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) m->SetPixel(x, y, Background(x, y) & (pf.bitsPerPixel == 32 ? ~0u : 0xFFFFu));
  }
  // Sends a rich cursor of w x h pixels of one colour; mask bits from maskRow (the same
  // for every row, most significant bit first).
  void RichCursor(int hotX, int hotY, int w, int h, std::uint32_t colour, std::uint32_t maskRow = ~0u) {
    Bytes d;
    const int bpp = m->fb().bytesPerPixel;
    for (int i = 0; i < w * h; i++) d.px(colour, bpp);
    const int rowBytes = (w + 7) / 8;
    for (int y = 0; y < h; y++)
      for (int i = 0; i < rowBytes; i++) d.u8(maskRow >> (24 - 8 * i));
    rdr::MemInStream in(d.b.data(), d.b.size());
    dec::DecodeCursorShape(*st, in, Rect(hotX, hotY, w, h, rfbenc::kRichCursor), false);
    ASSERT_EQ(in.Pos(), d.b.size());
  }
  bool Untouched(int x, int y) const { return m->Pixel(x, y) == Background(x, y); }

  std::unique_ptr<MemoryFramebuffer> m;
  std::unique_ptr<DecoderState> st;
};

constexpr std::uint32_t kCursorColour = 0x00ABCDEF;

TEST_F(Cursor, AtTheOriginWithHotSpotFiveOnlyTheLowerRightPartShowsAndIsRestored) {
  RichCursor(5, 5, 8, 8, kCursorColour);  // position starts at (0, 0)
  for (int y = 0; y < 5; y++)
    for (int x = 0; x < 5; x++) EXPECT_EQ(m->Pixel(x, y), (x < 3 && y < 3) ? kCursorColour : Background(x, y));
  ASSERT_FALSE(m->invalidated.empty());
  EXPECT_EQ(m->invalidated.back(), (TestRect{0, 0, 3, 3}));
  m->invalidated.clear();
  st->cursor.Move(20, 20);
  for (int y = 0; y < 5; y++)
    for (int x = 0; x < 5; x++) EXPECT_TRUE(Untouched(x, y));
  ASSERT_EQ(m->invalidated.size(), 2u);
  EXPECT_EQ(m->invalidated[0], (TestRect{0, 0, 3, 3}));   // restored part
  EXPECT_EQ(m->invalidated[1], (TestRect{15, 15, 8, 8}));  // drawn at the new place
  EXPECT_EQ(m->Pixel(15, 15), kCursorColour);
  EXPECT_EQ(m->Pixel(22, 22), kCursorColour);
  EXPECT_TRUE(Untouched(23, 22));
}

TEST_F(Cursor, TransparentPixelsShowTheFramebuffer) {
  RichCursor(0, 0, 4, 2, kCursorColour, 0xA0000000u);  // 1010
  st->cursor.Move(10, 10);
  EXPECT_EQ(m->Pixel(10, 10), kCursorColour);
  EXPECT_TRUE(Untouched(11, 10));
  EXPECT_EQ(m->Pixel(12, 11), kCursorColour);
  EXPECT_TRUE(Untouched(13, 11));
}

TEST_F(Cursor, ARectangleUnderTheCursorLiftsItAndTheCursorReturnsOnTop) {
  RichCursor(0, 0, 4, 4, kCursorColour);
  st->cursor.Move(10, 10);
  Bytes raw;
  for (int i = 0; i < 36; i++) raw.px(0x00010000u + i, 4);
  rdr::MemInStream in(raw.b.data(), raw.b.size());
  ASSERT_TRUE(dec::DecodeRectangle(*st, in, Rect(8, 8, 6, 6, rfbenc::kRaw)));
  EXPECT_EQ(m->Pixel(10, 10), kCursorColour);
  EXPECT_EQ(m->Pixel(13, 13), kCursorColour);
  EXPECT_EQ(m->Pixel(9, 9), 0x00010000u + 7);
  st->cursor.Move(30, 20);
  // What the rectangle wrote is under the old place, not the pixels saved before it.
  for (int y = 10; y < 14; y++)
    for (int x = 10; x < 14; x++) EXPECT_EQ(m->Pixel(x, y), 0x00010000u + (y - 8) * 6 + (x - 8));
}

TEST_F(Cursor, LockedAreasLiftTheCursorOnlyWhenTheyOverlapIt) {
  RichCursor(0, 0, 4, 4, kCursorColour);
  st->cursor.Move(10, 10);
  {
    FramebufferLock lock(*m);
    st->cursor.LockArea(14, 10, 5, 5);  // touches the right edge, no overlap
    EXPECT_TRUE(st->cursor.Shown());
    st->cursor.LockArea(0, 0, 11, 11);  // the union now overlaps
    EXPECT_FALSE(st->cursor.Shown());
    EXPECT_TRUE(Untouched(10, 10));
    st->cursor.Move(12, 12);  // still overlapping the locked area: stays hidden
    EXPECT_FALSE(st->cursor.Shown());
    st->cursor.UnlockScreen();
  }
  EXPECT_TRUE(st->cursor.Shown());
  EXPECT_EQ(m->Pixel(12, 12), kCursorColour);
  EXPECT_TRUE(Untouched(10, 10));
}

TEST_F(Cursor, PositionUpdatesAreScaledAndLimitedToTheFramebuffer) {
  RichCursor(0, 0, 2, 2, kCursorColour);
  dec::DecodeCursorPos(*st, Rect(1000, 5000, 0, 0, rfbenc::kPointerPos), 1);
  EXPECT_EQ(st->cursor.X(), 39);
  EXPECT_EQ(st->cursor.Y(), 29);
  EXPECT_EQ(m->Pixel(39, 29), kCursorColour);
  dec::DecodeCursorPos(*st, Rect(20, 9, 0, 0, rfbenc::kPointerPos), 2);
  EXPECT_EQ(st->cursor.X(), 10);
  EXPECT_EQ(st->cursor.Y(), 4);
  dec::DecodeCursorPos(*st, Rect(7, 8, 0, 0, rfbenc::kPointerPos), 0);  // no division by zero
  EXPECT_EQ(st->cursor.X(), 7);
  EXPECT_TRUE(Untouched(39, 29));
}

TEST_F(Cursor, NineWideShapesHaveTwoByteMaskRows) {
  // X cursor: colours, then source and mask bitmaps of 2 bytes per row.
  Bytes d;
  d.u8(0x11).u8(0x22).u8(0x33).u8(0x44).u8(0x55).u8(0x66);
  d.u8(0x00).u8(0x80).u8(0xFF).u8(0x00);  // source: row 0 only pixel 8 first colour; row 1 0-7
  d.u8(0x80).u8(0x80).u8(0x00).u8(0x80);  // mask: row 0 pixels 0 and 8; row 1 pixel 8
  rdr::MemInStream in(d.b.data(), d.b.size());
  dec::DecodeCursorShape(*st, in, Rect(0, 0, 9, 2, rfbenc::kXCursor), false);
  EXPECT_EQ(in.Pos(), d.b.size());
  EXPECT_EQ(m->Pixel(0, 0), 0x00665544u);  // second colour in the 0x00BBGGRR default format
  EXPECT_EQ(m->Pixel(8, 0), 0x00332211u);
  EXPECT_TRUE(Untouched(1, 0));
  EXPECT_TRUE(Untouched(0, 1));
  EXPECT_EQ(m->Pixel(8, 1), 0x00665544u);

  RichCursor(0, 0, 9, 2, kCursorColour, 0x00800000u);  // only pixel 8 of each row
  EXPECT_TRUE(Untouched(0, 0));
  EXPECT_EQ(m->Pixel(8, 0), kCursorColour);
  EXPECT_EQ(m->Pixel(8, 1), kCursorColour);
}

TEST_F(Cursor, XCursorColoursAreConvertedToTheSessionFormat) {
  Make(20, 20, Format16());
  Bytes d;
  d.u8(255).u8(0).u8(0).u8(0).u8(0).u8(255);
  d.u8(0x80).u8(0x00);  // 2 x 2: pixel (0, 0) first colour
  d.u8(0xC0).u8(0xC0);
  rdr::MemInStream in(d.b.data(), d.b.size());
  dec::DecodeCursorShape(*st, in, Rect(0, 0, 2, 2, rfbenc::kXCursor), false);
  EXPECT_EQ(m->Pixel(0, 0), 31u << 11);
  EXPECT_EQ(m->Pixel(1, 0), 31u);
}

TEST_F(Cursor, ShapesThatCannotBeShownAreReadAndDropped) {
  RichCursor(0, 0, 3, 3, kCursorColour);
  ASSERT_TRUE(st->cursor.Present());
  // Above the memory cap: 4000 x 3000 pixels.
  {
    std::vector<std::uint8_t> big(4000u * 3000 * 4 + 3000u * 500, 0xFF);
    big.push_back(0x5A);
    rdr::MemInStream in(big.data(), big.size());
    dec::DecodeCursorShape(*st, in, Rect(0, 0, 4000, 3000, rfbenc::kRichCursor), false);
    EXPECT_EQ(in.Pos(), big.size() - 1);
  }
  EXPECT_FALSE(st->cursor.Present());
  EXPECT_TRUE(Untouched(0, 0));  // the old cursor was lifted

  const struct {
    RectHeader r;
    bool noRemote;
  } cases[] = {{Rect(0, 0, 4, 2, rfbenc::kRichCursor), true},
               {Rect(41, 0, 4, 2, rfbenc::kRichCursor), false},  // hot spot beyond the width
               {Rect(0, 31, 4, 2, rfbenc::kXCursor), false},
               {Rect(0, 0, 4, 2, rfbenc::kXCursor), true}};
  for (const auto& c : cases) {
    RichCursor(0, 0, 3, 3, kCursorColour);
    const std::size_t len = c.r.encoding == rfbenc::kRichCursor ? 4 * 2 * 4 + 2 : 6 + 2 * 2;
    std::vector<std::uint8_t> data(len + 1, 0xFF);
    rdr::MemInStream in(data.data(), data.size());
    dec::DecodeCursorShape(*st, in, c.r, c.noRemote);
    EXPECT_EQ(in.Pos(), len);
    EXPECT_FALSE(st->cursor.Present());
    EXPECT_TRUE(Untouched(0, 0));
  }
  // An empty shape removes the cursor and reads nothing.
  RichCursor(0, 0, 3, 3, kCursorColour);
  const std::uint8_t none[1] = {0};
  rdr::MemInStream in(none, 1);
  dec::DecodeCursorShape(*st, in, Rect(0, 0, 0, 0, rfbenc::kXCursor), false);
  EXPECT_EQ(in.Pos(), 0u);
  EXPECT_FALSE(st->cursor.Present());
  EXPECT_TRUE(Untouched(1, 1));
}

TEST_F(Cursor, ARebuiltBitmapDropsTheSaveUnderAndGetsTheCursorAgain) {
  RichCursor(0, 0, 3, 3, kCursorColour);
  st->cursor.Move(5, 5);
  {
    FramebufferLock lock(*m);
    m->Rebuild(40, 30, Format16());  // a new pixel format: every byte 128
    st->cursor.FramebufferRebuilt();
  }
  EXPECT_EQ(m->Pixel(5, 5), 0x8080u);  // the old pixels were not written into the new bitmap
  st->cursor.UnlockScreen();           // end of the next rectangle
  EXPECT_EQ(m->Pixel(5, 5), dec::RgbToPixel(Format16(), 0xEF, 0xCD, 0xAB));  // colour carried over
  st->cursor.Move(20, 20);
  EXPECT_EQ(m->Pixel(5, 5), 0x8080u);
  EXPECT_EQ(m->Pixel(7, 7), 0x8080u);
}

TEST_F(Cursor, ACursorOnAnEmptyOrMissingBitmapDrawsNothing) {
  Make(0, 0, Format32());
  RichCursor(0, 0, 3, 3, kCursorColour);
  st->cursor.Move(1, 1);
  dec::DecodeCursorPos(*st, Rect(5, 5, 0, 0, rfbenc::kPointerPos), 1);
  EXPECT_EQ(st->cursor.X(), 0);
  EXPECT_TRUE(m->invalidated.empty());
}

}  // namespace
