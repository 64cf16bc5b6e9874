// Tight and TightZstd: every control-byte form, the copy, palette and gradient filters at
// 8, 16 and 32 bits per pixel and in 24-bit mode, persistent streams and their resets,
// exact consumption of the compressed data, and what a broken stream does.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "TightTestSupport.h"
#include "decoders/Decoders.h"
#include "decoders/Tight.h"
#include "rdr/MemInStream.h"

using namespace tighttest;

namespace {

struct Fixture {
  explicit Fixture(int w, int h, const PixelFormat& pf) : fb(w, h, pf), st(fb) {}
  // Decodes one rectangle from its bytes followed by a sentinel; checks that exactly the
  // rectangle's bytes were read and that no lock is left held.
  void Decode(const Buf& data, const RectHeader& r) {
    Buf b = data;
    b.push_back(0x5A);
    rdr::MemInStream in(b.data(), b.size());
    dec::DecodeRectangle(st, in, r);
    EXPECT_EQ(in.Pos(), data.size());
    EXPECT_EQ(fb.LockDepth(), 0);
  }
  MemoryFramebuffer fb;
  DecoderState st;
};

std::int32_t Enc(bool zstd) { return zstd ? rfbenc::kTightZstd : rfbenc::kTight; }

// Every pixel of the image at (x0, y0) as the viewer must show it.
void ExpectImage(const MemoryFramebuffer& fb, const Image& im, int x0, int y0, const std::string& what) {
  const PixelFormat& pf = fb.fb().format;
  int bad = 0;
  for (int y = 0; y < im.h && bad < 5; y++)
    for (int x = 0; x < im.w && bad < 5; x++) {
      const std::uint32_t want =
          Is24BitMode(pf) ? PixelOf(pf, im.At(x, y, 0), im.At(x, y, 1), im.At(x, y, 2))
                          : Expected(pf, im.At(x, y, 0), im.At(x, y, 1), im.At(x, y, 2));
      if (fb.Pixel(x0 + x, y0 + y) != want) {
        ADD_FAILURE() << what << ": pixel " << x << "," << y << " is " << std::hex << fb.Pixel(x0 + x, y0 + y)
                      << ", expected " << want;
        bad++;
      }
    }
}

// An image of n distinct colours (at least 2) in blocks and stripes; the first two pixels
// have colours 0 and 1.
Image PaletteImage(int w, int h, int n, const PixelFormat& pf) {
  const std::uint64_t rn = pf.redMax + 1u, gn = pf.greenMax + 1u, bn = pf.blueMax + 1u;
  auto colour = [&](int k, int i) -> unsigned {
    const std::uint64_t v = static_cast<std::uint64_t>(k) * 37 % (rn * gn * bn);  // maxima + 1 have no factor 37
    return static_cast<unsigned>(i == 0 ? v % rn : i == 1 ? v / rn % gn : v / rn / gn % bn);
  };
  Image im;
  im.w = w, im.h = h;
  im.c.resize(static_cast<std::size_t>(w) * h * 3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const int k = (x < 2 && y == 0) ? x : ((x / 3 + y * 7 + (x * y) % 5) % n);
      for (int i = 0; i < 3; i++) im.c[(static_cast<std::size_t>(y) * w + x) * 3 + i] = colour(k, i);
    }
  return im;
}

// ---- The compact length ----

TEST(TightCompactLength, TakesOneToThreeBytes) {
  const struct {
    std::uint32_t value;
    Buf bytes;
  } cases[] = {
      {0, {0x00}},
      {0x7F, {0x7F}},
      {0x80, {0x80, 0x01}},
      {0x3FFF, {0xFF, 0x7F}},
      {0x4000, {0x80, 0x80, 0x01}},
      {0x3FFFFF, {0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompactLength(c.value), c.bytes) << c.value;
    Buf b = c.bytes;
    b.push_back(0xEE);
    rdr::MemInStream in(b.data(), b.size());
    EXPECT_EQ(dec::TightReadCompactLength(in), c.value);
    EXPECT_EQ(in.Pos(), c.bytes.size());
  }
}

// ---- Every filter at every pixel form, zlib and zstd ----

class TightFormats : public ::testing::TestWithParam<std::tuple<NamedFormat, bool>> {
protected:
  const PixelFormat& pf() const { return std::get<0>(GetParam()).pf; }
  bool zstd() const { return std::get<1>(GetParam()); }
  Image Picture(int w, int h, unsigned seed) const { return MakeImage(w, h, pf().redMax, pf().greenMax, pf().blueMax, seed); }
};

TEST_P(TightFormats, CopyFilterAtEverySizeWithAndWithoutTheFilterByte) {
  Fixture f(800, 300, pf());
  TightWriter srv(pf(), zstd());
  // 1x1 and 2x1 travel uncompressed (under 12 bytes); the large ones span several strips.
  const int sizes[][2] = {{1, 1}, {2, 1}, {3, 1}, {5, 3}, {64, 64}, {799, 97}, {800, 300}};
  unsigned seed = 1;
  for (const auto& s : sizes) {
    for (int filter : {-1, 0}) {
      const Image im = Picture(s[0], s[1], seed++);
      f.Decode(srv.Basic(im, filter, seed & 3), Rect(0, 0, s[0], s[1], Enc(zstd())));
      ExpectImage(f.fb, im, 0, 0, "copy " + std::to_string(s[0]) + "x" + std::to_string(s[1]));
    }
  }
}

TEST_P(TightFormats, PaletteFilterWithTwoAndMoreColours) {
  Fixture f(300, 80, pf());
  TightWriter srv(pf(), zstd());
  const int maxColours = std::min<int>(256, (pf().redMax + 1) * (pf().greenMax + 1) * (pf().blueMax + 1));
  const struct {
    int w, h, n;
  } cases[] = {{9, 1, 2}, {9, 5, 2}, {300, 80, 2}, {17, 3, 3}, {300, 80, 5}, {257, 40, maxColours}};
  int stream = 0;
  for (const auto& c : cases) {
    const Image im = PaletteImage(c.w, c.h, c.n, pf());
    f.Decode(srv.Basic(im, 1, stream++ & 3), Rect(0, 0, c.w, c.h, Enc(zstd())));
    ExpectImage(f.fb, im, 0, 0, "palette " + std::to_string(c.n));
  }
}

TEST_P(TightFormats, GradientFilterAlsoWiderThanTheOldRowStore) {
  Fixture f(2100, 70, pf());
  TightWriter srv(pf(), zstd());
  const int sizes[][2] = {{1, 1}, {4, 4}, {130, 70}, {2100, 40}};
  unsigned seed = 9;
  for (const auto& s : sizes) {
    const Image im = Picture(s[0], s[1], seed++);
    f.Decode(srv.Basic(im, 2, 1), Rect(0, 0, s[0], s[1], Enc(zstd())));
    ExpectImage(f.fb, im, 0, 0, "gradient " + std::to_string(s[0]));
  }
}

TEST_P(TightFormats, FillsTheRectangle) {
  Fixture f(20, 10, pf());
  TightWriter srv(pf(), zstd());
  const unsigned r = pf().redMax, g = pf().greenMax / 2, b = 1;
  f.Decode(srv.Fill(r, g, b), Rect(3, 2, 10, 5, Enc(zstd())));
  const std::uint32_t want = PixelOf(pf(), r, g, b);
  for (int y = 0; y < 10; y++)
    for (int x = 0; x < 20; x++) {
      const bool inside = x >= 3 && x < 13 && y >= 2 && y < 7;
      if (inside)
        EXPECT_EQ(f.fb.Pixel(x, y), want);
      else
        EXPECT_NE(f.fb.Pixel(x, y), want);
    }
}

// Rows arrive a few bytes at a time: the decoder never waits for the network with the
// framebuffer lock held, and the persistent streams carry on across rectangles.
TEST_P(TightFormats, TrickledStreamsCarryOnAcrossRectangles) {
  TightWriter srv(pf(), zstd());
  Buf all;
  std::vector<Image> images;
  for (int i = 0; i < 8; i++) {
    images.push_back(Picture(200, 30, 100 + (i % 2)));  // repeats: the dictionary is used
    const Buf one = srv.Basic(images.back(), i % 3 == 2 ? 2 : 0, i % 4);
    all.insert(all.end(), one.begin(), one.end());
  }
  for (std::size_t chunk : {1u, 7u, 1000u}) {
    Fixture g(200, 240, pf());
    TrickleInStream in(all, chunk, g.fb);
    for (int i = 0; i < 8; i++) dec::DecodeRectangle(g.st, in, Rect(0, (i % 8) * 30, 200, 30, Enc(zstd())));
    EXPECT_EQ(in.Pos(), all.size());
    EXPECT_EQ(in.refillsUnderLock, 0);
    for (int i = 0; i < 8; i++) ExpectImage(g.fb, images[i], 0, i * 30, "rect " + std::to_string(i));
  }
}

std::string FormatName(const ::testing::TestParamInfo<std::tuple<NamedFormat, bool>>& info) {
  return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_zstd" : "_zlib");
}

INSTANTIATE_TEST_SUITE_P(All, TightFormats, ::testing::Combine(::testing::ValuesIn(TightFormatList()), ::testing::Bool()),
                         FormatName);

// ---- Streams, resets and broken data (zlib and zstd) ----

class TightStreams : public ::testing::TestWithParam<bool> {
protected:
  bool zstd() const { return GetParam(); }
};

TEST_P(TightStreams, ResetBitsRestartStreamsEvenBeforeAFill) {
  const PixelFormat pf = Format32();
  Fixture f(64, 64, pf);
  TightWriter srv(pf, zstd());
  const Image a = MakeImage(64, 32, 255, 255, 255, 1);
  for (int s = 0; s < 4; s++) f.Decode(srv.Basic(a, 0, s), Rect(0, 0, 64, 32, Enc(zstd())));
  // Control 0x8F: a fill that restarts all four streams; the server restarts its own.
  unsigned resets = 0;
  for (int s = 0; s < 4; s++) resets |= srv.Reset(s);
  EXPECT_EQ(resets, 0x0Fu);
  Buf fill = srv.Fill(1, 2, 3, resets);
  EXPECT_EQ(fill[0], 0x8F);
  f.Decode(fill, Rect(0, 0, 8, 8, Enc(zstd())));
  for (int s = 0; s < 4; s++) {
    const Image b = MakeImage(64, 32, 255, 255, 255, 10 + s);
    f.Decode(srv.Basic(b, 0, s), Rect(0, 32, 64, 32, Enc(zstd())));
    ExpectImage(f.fb, b, 0, 32, "after reset, stream " + std::to_string(s));
  }
  // One stream restarted by the reset bit of a basic rectangle itself.
  const unsigned bit = srv.Reset(2);
  const Image c = MakeImage(64, 32, 255, 255, 255, 20);
  f.Decode(srv.Basic(c, 0, 2, bit), Rect(0, 0, 64, 32, Enc(zstd())));
  ExpectImage(f.fb, c, 0, 0, "reset with the rectangle");
}

TEST_P(TightStreams, RectangleOutsideTheFramebufferIsReadAndKeepsTheStreamInStep) {
  const PixelFormat pf = Format16();
  Fixture f(50, 50, pf);
  TightWriter srv(pf, zstd());
  const Image a = MakeImage(60, 20, pf.redMax, pf.greenMax, pf.blueMax, 4);
  const auto before = f.fb.Pixels();
  f.Decode(srv.Basic(a, 0, 1), Rect(0, 0, 60, 20, Enc(zstd())));
  f.Decode(srv.Basic(MakeImage(60, 20, pf.redMax, pf.greenMax, pf.blueMax, 5), 2, 1), Rect(10, 40, 60, 20, Enc(zstd())));
  EXPECT_EQ(f.fb.Pixels(), before);
  const Image b = MakeImage(50, 20, pf.redMax, pf.greenMax, pf.blueMax, 4);
  f.Decode(srv.Basic(b, 0, 1), Rect(0, 10, 50, 20, Enc(zstd())));
  ExpectImage(f.fb, b, 0, 10, "after undrawn rectangles");
}

TEST_P(TightStreams, CorruptCompressedDataIsAStreamErrorUntilReset) {
  const PixelFormat pf = Format32();
  Fixture f(40, 40, pf);
  Buf bad{0x00};  // stream 0, copy filter
  Buf junk = Pattern(300, 77);
  if (!zstd()) junk[0] = 0x78, junk[1] = 0xFF;  // a zlib header that fails its check
  Buf len = CompactLength(static_cast<std::uint32_t>(junk.size()));
  bad.insert(bad.end(), len.begin(), len.end());
  bad.insert(bad.end(), junk.begin(), junk.end());
  Buf b = bad;
  rdr::MemInStream in(b.data(), b.size());
  EXPECT_THROW(dec::DecodeRectangle(f.st, in, Rect(0, 0, 40, 40, Enc(zstd()))), rdr::Exception);
  EXPECT_EQ(f.fb.LockDepth(), 0);
  // The connection's reset (a reconnect) gives working streams again.
  f.st.Reset();
  TightWriter srv(pf, zstd());
  const Image a = MakeImage(40, 40, 255, 255, 255, 6);
  f.Decode(srv.Basic(a, 0, 0), Rect(0, 0, 40, 40, Enc(zstd())));
  ExpectImage(f.fb, a, 0, 0, "after the connection's reset");
}

// Compressed data that hold fewer or more rows than the rectangle: the rows that came are
// drawn, the whole compressed length is consumed, and the stream stays usable.
TEST_P(TightStreams, ShortAndExcessDataAreConsumedExactly) {
  const PixelFormat pf = Format32();
  Fixture f(40, 40, pf);
  Compressor c(zstd() ? Kind::Zstd : Kind::Zlib);
  const Image a = MakeImage(40, 40, 255, 255, 255, 7);
  Buf rows;
  for (int y = 0; y < 40; y++)
    for (int x = 0; x < 40; x++) PutPixel(rows, pf, a.At(x, y, 0), a.At(x, y, 1), a.At(x, y, 2));
  auto rect = [&](const Buf& plain) {
    Buf z = c.Block(plain), out{0x00}, len = CompactLength(static_cast<std::uint32_t>(z.size()));
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), z.begin(), z.end());
    return out;
  };
  // 10 rows and a half for a 40-row rectangle.
  f.Decode(rect(Buf(rows.begin(), rows.begin() + 40 * 3 * 10 + 60)), Rect(0, 0, 40, 40, Enc(zstd())));
  Image top = a;
  top.h = 10;
  ExpectImage(f.fb, top, 0, 0, "short data");
  // All rows and more besides.
  Buf more = rows;
  more.insert(more.end(), 5000, 0x11);
  f.Decode(rect(more), Rect(0, 0, 40, 40, Enc(zstd())));
  ExpectImage(f.fb, a, 0, 0, "excess data");
  // The next rectangle on the stream decodes.
  const Image b = MakeImage(40, 40, 255, 255, 255, 8);
  Buf rows2;
  for (int y = 0; y < 40; y++)
    for (int x = 0; x < 40; x++) PutPixel(rows2, pf, b.At(x, y, 0), b.At(x, y, 1), b.At(x, y, 2));
  f.Decode(rect(rows2), Rect(0, 0, 40, 40, Enc(zstd())));
  ExpectImage(f.fb, b, 0, 0, "next rectangle");
}

// The decompressed data fill the decoder's row buffer exactly as the compressed data end
// (64 rows of 192 bytes in one strip): a full room with no input left asks for more
// instead of failing, and the rectangle ends there.
TEST_P(TightStreams, OutputRoomFilledExactlyAsTheInputEnds) {
  const PixelFormat pf = Format32();
  TightWriter srv(pf, zstd());
  std::vector<std::uint8_t> all;
  std::vector<Image> images;
  for (int i = 0; i < 3; i++) {
    images.push_back(MakeImage(64, 64, 255, 255, 255, 30 + i));
    const Buf one = srv.Basic(images.back(), 0, 0);
    all.insert(all.end(), one.begin(), one.end());
  }
  for (std::size_t chunk : {1u, 4096u}) {
    Fixture f(64, 192, pf);
    TrickleInStream in(all, chunk, f.fb);
    for (int i = 0; i < 3; i++) dec::DecodeRectangle(f.st, in, Rect(0, 64 * i, 64, 64, Enc(zstd())));
    EXPECT_EQ(in.Pos(), all.size());
    for (int i = 0; i < 3; i++) ExpectImage(f.fb, images[i], 0, 64 * i, "rect " + std::to_string(i));
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TightStreams, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "zstd" : "zlib"; });

// ---- Hand-made cases ----

TEST(Tight, GradientPredictsTheFirstPixelOfARowFromAboveOnly) {
  Fixture f(2, 2, Format32());  // 24-bit mode, red in the low byte
  // Row 0: (10,20,30) (15,25,35); row 1: (12,22,32) (40,40,40). Sent differences:
  //   (0,0): 10,20,30           (1,0): predicted (10,20,30) -> 5,5,5
  //   (0,1): predicted above (10,20,30) -> 2,2,2
  //   (1,1): predicted 12+15-10=17, 22+25-20=27, 32+35-30=37 -> 23,13,3
  // 12 bytes: compressed, so with a zlib block of its own.
  const Buf rows = {10, 20, 30, 5, 5, 5, 2, 2, 2, 23, 13, 3};
  Compressor c(Kind::Zlib);
  Buf z = c.Block(rows), data{0x40, 0x02};
  Buf len = CompactLength(static_cast<std::uint32_t>(z.size()));
  data.insert(data.end(), len.begin(), len.end());
  data.insert(data.end(), z.begin(), z.end());
  f.Decode(data, Rect(0, 0, 2, 2, rfbenc::kTight));
  EXPECT_EQ(f.fb.Pixel(0, 0), 0x1E140Au);
  EXPECT_EQ(f.fb.Pixel(1, 0), 0x23190Fu);
  EXPECT_EQ(f.fb.Pixel(0, 1), 0x20160Cu);
  EXPECT_EQ(f.fb.Pixel(1, 1), 0x282828u);
}

TEST(Tight, ElevenBytesTravelUncompressedAndTwelveCompressed) {
  const PixelFormat pf = Format8();
  Fixture f(12, 1, pf);
  // 11 pixels of 1 byte: no length, the bytes themselves.
  Buf data{0x00};
  for (int i = 0; i < 11; i++) data.push_back(static_cast<std::uint8_t>(i * 23));
  f.Decode(data, Rect(0, 0, 11, 1, rfbenc::kTight));
  for (int i = 0; i < 11; i++)
    EXPECT_EQ(f.fb.Pixel(i, 0), Expected(pf, (i * 23) & 7, (i * 23) >> 3 & 7, (i * 23) >> 6 & 3));
  // A two-colour palette 9 pixels wide has rows of 2 bytes: 5 rows are 10 bytes.
  Fixture g(9, 5, pf);
  Buf pal{0x40, 0x01, 0x01, 0x07, 0xFF};  // colours 7 and 255
  for (int y = 0; y < 5; y++) pal.push_back(0xAA), pal.push_back(y & 1 ? 0x80 : 0x00);
  g.Decode(pal, Rect(0, 0, 9, 5, rfbenc::kTight));
  for (int y = 0; y < 5; y++)
    for (int x = 0; x < 9; x++) {
      const bool one = x < 8 ? (x % 2 == 0) : (y & 1);
      EXPECT_EQ(g.fb.Pixel(x, y), one ? 0xFFu : 0x07u) << x << "," << y;
    }
}

TEST(Tight, ControlErrorsEndTheRectangleAfterWhatWasRead) {
  Fixture f(8, 8, Format32());
  const auto before = f.fb.Pixels();
  f.Decode(Buf{0xA0}, Rect(0, 0, 8, 8, rfbenc::kTight));              // subencoding 10
  f.Decode(Buf{0xF0}, Rect(0, 0, 8, 8, rfbenc::kTight));              // 15
  f.Decode(Buf{0x40, 0x03}, Rect(0, 0, 8, 8, rfbenc::kTight));        // filter 3
  f.Decode(Buf{0x40, 0x01, 0x00}, Rect(0, 0, 8, 8, rfbenc::kTight));  // palette of 1
  f.Decode(Buf{0x00, 0x00}, Rect(0, 0, 8, 8, rfbenc::kTight));        // compressed length 0
  f.Decode(Buf{0x90, 0x00}, Rect(0, 0, 8, 8, rfbenc::kTight));        // JPEG length 0
  EXPECT_EQ(f.fb.Pixels(), before);
}

TEST(Tight, EmptyRectanglesReadTheirControlData) {
  Fixture f(8, 8, Format32());
  const auto before = f.fb.Pixels();
  f.Decode(Buf{0x80, 1, 2, 3}, Rect(2, 2, 0, 5, rfbenc::kTight));
  f.Decode(Buf{0x00}, Rect(2, 2, 0, 5, rfbenc::kTight));
  f.Decode(Buf{0x40, 0x01, 0x01, 1, 2, 3, 4, 5, 6}, Rect(2, 2, 4, 0, rfbenc::kTight));
  EXPECT_EQ(f.fb.Pixels(), before);
}

// A colour-map format has no colour components to convert: fills take the pixel as it is,
// the other forms are read (keeping the streams in step) and not drawn.
TEST(Tight, ColourMapFormatDrawsOnlyFills) {
  PixelFormat pf = Format8();
  pf.trueColour = 0;
  Fixture f(32, 8, pf);
  TightWriter srv(Format8(), false);
  const auto before = f.fb.Pixels();
  const Image im = MakeImage(32, 8, 7, 7, 3, 40);
  f.Decode(srv.Basic(im, 0, 0), Rect(0, 0, 32, 8, rfbenc::kTight));
  f.Decode(srv.Basic(im, 2, 1), Rect(0, 0, 32, 8, rfbenc::kTight));
  f.Decode(srv.Basic(PaletteImage(32, 8, 5, Format8()), 1, 2), Rect(0, 0, 32, 8, rfbenc::kTight));
  f.Decode(TightWriter::Jpeg(EncodeJpeg(PhotoLike(32, 8, 1), 50)), Rect(0, 0, 32, 8, rfbenc::kTight));
  EXPECT_EQ(f.fb.Pixels(), before);
  f.Decode(srv.Fill(5, 2, 1), Rect(0, 0, 4, 4, rfbenc::kTight));
  EXPECT_EQ(f.fb.Pixel(3, 3), PixelOf(Format8(), 5, 2, 1));
  // The streams stayed in step: a later rectangle in a true-colour bitmap decodes.
  f.fb.Rebuild(32, 8, Format8());
  f.Decode(srv.Basic(im, 0, 0), Rect(0, 0, 32, 8, rfbenc::kTight));
  ExpectImage(f.fb, im, 0, 0, "after the colour map");
}

// A new bitmap (another pixel format) between two strips: the rows made for the old format
// are not written into the new bitmap.
TEST(Tight, BitmapRebuiltDuringTheRectangleIsNotWrittenInTheOldFormat) {
  Fixture f(600, 200, Format32());
  TightWriter srv(Format32(), false);
  const Image a = MakeImage(600, 200, 255, 255, 255, 12);
  const Buf data = srv.Basic(a, 0, 0);
  // The first strip is drawn; the next time the lock is taken the bitmap is new.
  bool rebuilt = false;
  f.fb.onLock = [&] {
    if (!rebuilt && f.fb.Pixel(0, 0) != 0x80808080u) {
      rebuilt = true;
      f.fb.Rebuild(600, 200, Format16());
    }
  };
  f.Decode(data, Rect(0, 0, 600, 200, rfbenc::kTight));
  f.fb.onLock = nullptr;
  EXPECT_TRUE(rebuilt);
  for (std::uint32_t v : f.fb.Pixels()) ASSERT_EQ(v, 0x8080u);
}

}  // namespace
