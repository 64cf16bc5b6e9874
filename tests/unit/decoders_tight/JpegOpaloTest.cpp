// JPEG rectangles (Tight's JPEG form and Opalo2) and Opalo's LZO blocks: exact pixels
// against a reference decode in every output layout, and broken images and blocks that
// end the rectangle cleanly without drawing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TightTestSupport.h"
#include "app/Exception.h"
#include "decoders/Decoders.h"
#include "rdr/MemInStream.h"

using namespace tighttest;

namespace {

struct Fixture {
  explicit Fixture(int w, int h, const PixelFormat& pf) : fb(w, h, pf), st(fb) {}
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

Buf U32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v)};
}

Buf Opalo2Rect(const Buf& jpeg) {
  Buf out = U32(static_cast<std::uint32_t>(jpeg.size()));
  out.insert(out.end(), jpeg.begin(), jpeg.end());
  return out;
}

std::uint32_t Swap32(std::uint32_t v) {
  return v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000) | v << 24;
}

// The colour components of a stored pixel, 8 bits each (the formats here have maxima of
// 2^k - 1); byteOrder: a big-endian 32-bit format's pixels are its bytes in wire order.
void Components(const PixelFormat& pf, std::uint32_t v, bool byteOrder, unsigned c[3]) {
  if (byteOrder && pf.bigEndian && pf.bitsPerPixel == 32) v = Swap32(v);
  c[0] = v >> pf.redShift & pf.redMax, c[1] = v >> pf.greenShift & pf.greenMax, c[2] = v >> pf.blueShift & pf.blueMax;
}

// Checks the rectangle at (x0, y0) against the reference decode: each component exactly
// as component x (maximum + 1) >> 8. Returns the displayed image for PSNR checks.
Rgb CheckAgainstReference(const MemoryFramebuffer& fb, const Rgb& ref, int x0, int y0, bool byteOrder,
                          const std::string& what) {
  const PixelFormat& pf = fb.fb().format;
  const unsigned max[3] = {pf.redMax, pf.greenMax, pf.blueMax};
  Rgb shown = ref;
  int bad = 0;
  for (int y = 0; y < ref.h; y++)
    for (int x = 0; x < ref.w; x++) {
      unsigned c[3];
      Components(pf, fb.Pixel(x0 + x, y0 + y), byteOrder, c);
      for (int i = 0; i < 3; i++) {
        const unsigned r = ref.px[(static_cast<std::size_t>(y) * ref.w + x) * 3 + i];
        const unsigned want = (r * (max[i] + 1)) >> 8;
        if (c[i] != want && bad++ < 5)
          ADD_FAILURE() << what << ": pixel " << x << "," << y << " component " << i << " is " << c[i] << ", expected "
                        << want;
        shown.px[(static_cast<std::size_t>(y) * ref.w + x) * 3 + i] = static_cast<std::uint8_t>(c[i] * 255 / max[i]);
      }
    }
  return shown;
}

struct JpegFormat {
  const char* name;
  PixelFormat pf;
};

std::vector<JpegFormat> JpegFormats() {
  return {
      {"rgbx", Make(32, 24, 255, 255, 255, 0, 8, 16)},
      {"bgrx", Make(32, 24, 255, 255, 255, 16, 8, 0)},
      {"xbgr", Make(32, 24, 255, 255, 255, 24, 16, 8)},
      {"xrgb", Make(32, 24, 255, 255, 255, 8, 16, 24)},
      // Byte order: for Opalo2 the big-endian pixel's bytes, BGRX in memory.
      {"be_8_16_24", Make(32, 24, 255, 255, 255, 8, 16, 24, true)},
      {"be_16_8_0", Make(32, 24, 255, 255, 255, 16, 8, 0, true)},
      {"odd32", Make(32, 24, 255, 255, 255, 4, 12, 20)},
      {"rgb30", Make(32, 30, 1023, 1023, 1023, 20, 10, 0)},
      {"rgb565", Make(16, 16, 31, 63, 31, 11, 5, 0)},
      {"bgr233", Make(8, 8, 7, 7, 3, 0, 3, 6)},
      {"rgb111", Make(8, 3, 1, 1, 1, 2, 1, 0)},
  };
}

class JpegRects : public ::testing::TestWithParam<std::tuple<JpegFormat, bool>> {
protected:
  const PixelFormat& pf() const { return std::get<0>(GetParam()).pf; }
  bool opalo2() const { return std::get<1>(GetParam()); }
  std::int32_t Enc() const { return opalo2() ? rfbenc::kOpalo2 : rfbenc::kTight; }
  Buf Wrap(const Buf& jpeg) const { return opalo2() ? Opalo2Rect(jpeg) : TightWriter::Jpeg(jpeg); }
  bool ByteOrder() const { return opalo2(); }
};

TEST_P(JpegRects, DecodeLikeTheReferenceAtSeveralQualities) {
  Fixture f(120, 90, pf());
  const Rgb im = PhotoLike(67, 45, 1);
  // JPEG qualities as servers use them for quality levels 2, 4 and 8.
  const struct {
    int quality;
    double minPsnr;
  } cases[] = {{25, 29}, {50, 33}, {90, 38}};
  for (const auto& c : cases) {
    const Buf jpeg = EncodeJpeg(im, c.quality);
    // An odd width, at an odd and an even column: rows that start on 4-byte boundaries of
    // the bitmap and between them (libjpeg-turbo 2.1's own 5-6-5 output, for one, loses
    // the last pixel of such rows between them).
    for (int x0 : {13, 14}) {
      f.Decode(Wrap(jpeg), Rect(x0, 7, im.w, im.h, Enc()));
      const Rgb shown = CheckAgainstReference(f.fb, DecodeJpegReference(jpeg), x0, 7, ByteOrder(),
                                              "quality " + std::to_string(c.quality) + " at x " + std::to_string(x0));
      if (pf().redMax == 255) {
        EXPECT_GT(Psnr(shown, im), c.minPsnr) << c.quality;
      }
    }
  }
  // A greyscale image comes out grey in every format.
  const Buf grey = EncodeJpeg(im, 75, true);
  f.Decode(Wrap(grey), Rect(0, 0, im.w, im.h, Enc()));
  CheckAgainstReference(f.fb, DecodeJpegReference(grey), 0, 0, ByteOrder(), "grey");
}

// Images refused by their header are not drawn. One whose data end early: Opalo2, which
// decodes into a buffer, draws nothing; Tight, which decodes straight into the bitmap,
// keeps the rows decoded until then, inside its rectangle. The decoder goes on after each.
TEST_P(JpegRects, BrokenImagesAreNotDrawnAndTheDecoderGoesOn) {
  Fixture f(80, 60, pf());
  const Rgb im = PhotoLike(64, 48, 2);
  const Buf good = EncodeJpeg(im, 60);
  std::vector<std::pair<std::string, Buf>> late = {
      {"truncated", Buf(good.begin(), good.begin() + good.size() / 2)},
      {"missing end marker", Buf(good.begin(), good.end() - 2)}};
  std::vector<std::pair<std::string, Buf>> broken;
  broken.push_back({"not a JPEG", Pattern(500, 3)});
  Buf garbage{0xFF, 0xD8};
  Buf p = Pattern(400, 5);
  garbage.insert(garbage.end(), p.begin(), p.end());
  broken.push_back({"garbage after the start marker", garbage});
  // A scan naming a component the frame does not have: the library fails while starting
  // the decompression, deep inside its own calls.
  Buf badScan = good;
  for (std::size_t i = 0; i + 5 < badScan.size(); i++)
    if (badScan[i] == 0xFF && badScan[i + 1] == 0xDA) {
      badScan[i + 5] = 0x77;
      break;
    }
  broken.push_back({"unknown component in the scan", badScan});
  broken.push_back({"other size", EncodeJpeg(PhotoLike(32, 48, 2), 60)});
  broken.push_back({"only the start marker", Buf{0xFF, 0xD8}});
  const std::size_t refused = broken.size();
  broken.insert(broken.end(), late.begin(), late.end());
  for (std::size_t i = 0; i < broken.size(); i++) {
    const auto& b = broken[i];
    f.fb.Fill(0x11);
    const auto before = f.fb.Pixels();
    f.Decode(Wrap(b.second), Rect(8, 6, 64, 48, Enc()));
    const auto after = f.fb.Pixels();
    if (i < refused || opalo2()) {
      EXPECT_EQ(after, before) << b.first;
    } else {
      for (int y = 0; y < 60; y++)
        for (int x = 0; x < 80; x++)
          if (x < 8 || x >= 72 || y < 6 || y >= 54) ASSERT_EQ(after[y * 80 + x], before[y * 80 + x]) << b.first;
    }
    f.Decode(Wrap(good), Rect(8, 6, 64, 48, Enc()));
    CheckAgainstReference(f.fb, DecodeJpegReference(good), 8, 6, ByteOrder(), "after " + b.first);
  }
}

std::string JpegName(const ::testing::TestParamInfo<std::tuple<JpegFormat, bool>>& info) {
  return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_opalo2" : "_tight");
}

INSTANTIATE_TEST_SUITE_P(All, JpegRects, ::testing::Combine(::testing::ValuesIn(JpegFormats()), ::testing::Bool()),
                         JpegName);

TEST(Jpeg, TightIgnoresTheBigEndianFlagAndOpalo2FollowsIt) {
  // Red shift 8, green 16, blue 24, big-endian: Opalo2 decodes with the BGRX layout (red in
  // the third byte in memory), Tight with the XRGB one (red in the second byte).
  const PixelFormat pf = Make(32, 24, 255, 255, 255, 8, 16, 24, true);
  Rgb im;
  im.w = 16, im.h = 8;
  im.px.assign(16 * 8 * 3, 0);
  for (int i = 0; i < 16 * 8; i++) im.px[i * 3] = 255;  // pure red
  const Buf jpeg = EncodeJpeg(im, 95);
  Fixture f(16, 16, pf);
  f.Decode(Opalo2Rect(jpeg), Rect(0, 0, 16, 8, rfbenc::kOpalo2));
  f.Decode(TightWriter::Jpeg(jpeg), Rect(0, 8, 16, 8, rfbenc::kTight));
  std::uint8_t bytes[4];
  const std::uint32_t a = f.fb.Pixel(3, 3), b = f.fb.Pixel(3, 11);
  std::memcpy(bytes, &a, 4);
  EXPECT_GT(bytes[2], 240);
  EXPECT_LT(bytes[1], 16);
  std::memcpy(bytes, &b, 4);
  EXPECT_GT(bytes[1], 240);
  EXPECT_LT(bytes[2], 16);
}

// Rows wider than any fixed row store: converted (16 bits) and direct (32 bits).
TEST(Jpeg, ImagesWiderThanEightThousandPixels) {
  for (const PixelFormat& pf : {Format16(), Format32()}) {
    Fixture f(9000, 4, pf);
    const Rgb im = PhotoLike(9000, 4, 6);
    const Buf jpeg = EncodeJpeg(im, 80);
    f.Decode(TightWriter::Jpeg(jpeg), Rect(0, 0, 9000, 4, rfbenc::kTight));
    CheckAgainstReference(f.fb, DecodeJpegReference(jpeg), 0, 0, false, "9000 wide");
  }
}

TEST(Jpeg, OutsideTheFramebufferIsReadButNotDrawn) {
  Fixture f(40, 40, Format32());
  const Rgb im = PhotoLike(30, 30, 4);
  const Buf jpeg = EncodeJpeg(im, 50);
  const auto before = f.fb.Pixels();
  f.Decode(TightWriter::Jpeg(jpeg), Rect(20, 20, 30, 30, rfbenc::kTight));
  f.Decode(Opalo2Rect(jpeg), Rect(20, 0, 30, 30, rfbenc::kOpalo2));
  EXPECT_EQ(f.fb.Pixels(), before);
}

TEST(Jpeg, DecoderStartsAfreshAfterTheConnectionsReset) {
  Fixture f(40, 40, Format16());
  const Rgb im = PhotoLike(40, 40, 5);
  const Buf jpeg = EncodeJpeg(im, 50);
  f.Decode(TightWriter::Jpeg(Buf(jpeg.begin(), jpeg.begin() + 300)), Rect(0, 0, 40, 40, rfbenc::kTight));
  f.st.Reset();
  f.Decode(TightWriter::Jpeg(jpeg), Rect(0, 0, 40, 40, rfbenc::kTight));
  CheckAgainstReference(f.fb, DecodeJpegReference(jpeg), 0, 0, false, "after reset");
}

// ---- Opalo (LZO1X) ----

class Opalo : public ::testing::TestWithParam<int> {
protected:
  int bpp() const { return GetParam(); }
  Buf RawPixels(int w, int h, unsigned seed) const {
    Buf b = Pattern(static_cast<std::size_t>(w) * h * bpp(), seed);
    return b;
  }
  static Buf Block(const Buf& lzo) {
    Buf out = U32(static_cast<std::uint32_t>(lzo.size()));
    out.insert(out.end(), lzo.begin(), lzo.end());
    return out;
  }
};

TEST_P(Opalo, BlocksDecodeExactly) {
  Fixture f(100, 60, FormatFor(bpp()));
  for (auto s : {std::pair<int, int>{1, 1}, {37, 11}, {100, 60}}) {
    const Buf raw = RawPixels(s.first, s.second, 3 + s.first);
    f.Decode(Block(LzoCompress(raw)), Rect(0, 0, s.first, s.second, rfbenc::kOpalo));
    for (int y = 0; y < s.second; y++)
      for (int x = 0; x < s.first; x++) {
        std::uint32_t want = 0;
        std::memcpy(&want, &raw[(static_cast<std::size_t>(y) * s.first + x) * bpp()], bpp());
        ASSERT_EQ(f.fb.Pixel(x, y), want) << x << "," << y;
      }
  }
}

TEST_P(Opalo, BlocksThatDoNotFitAreReadAndNotDrawn) {
  Fixture f(50, 50, FormatFor(bpp()));
  const auto before = f.fb.Pixels();
  const Buf raw = RawPixels(20, 20, 9);
  // Partly outside the framebuffer.
  f.Decode(Block(LzoCompress(raw)), Rect(40, 0, 20, 20, rfbenc::kOpalo));
  // Fewer bytes than the rectangle.
  f.Decode(Block(LzoCompress(Buf(raw.begin(), raw.end() - 1))), Rect(0, 0, 20, 20, rfbenc::kOpalo));
  // Far more bytes than the rectangle: the block overruns the output room.
  f.Decode(Block(LzoCompress(RawPixels(20, 80, 9))), Rect(0, 0, 20, 20, rfbenc::kOpalo));
  // Corrupt blocks.
  Buf z = LzoCompress(raw);
  z.resize(z.size() - 3);
  f.Decode(Block(z), Rect(0, 0, 20, 20, rfbenc::kOpalo));
  f.Decode(Block(Pattern(64, 7)), Rect(0, 0, 20, 20, rfbenc::kOpalo));
  f.Decode(Block(Buf()), Rect(0, 0, 20, 20, rfbenc::kOpalo));
  EXPECT_EQ(f.fb.Pixels(), before);
}

INSTANTIATE_TEST_SUITE_P(Bpp, Opalo, ::testing::Values(1, 2, 4));

TEST(OpaloSizes, HugeLengthsAndRectanglesEndTheConnectionBeforeReading) {
  Fixture f(50, 50, Format32());
  for (std::int32_t enc : {rfbenc::kOpalo, rfbenc::kOpalo2}) {
    Buf b = U32(200u * 1024 * 1024);
    b.resize(b.size() + 100, 0);
    rdr::MemInStream in(b.data(), b.size());
    EXPECT_THROW(dec::DecodeRectangle(f.st, in, Rect(0, 0, 10, 10, enc)), ErrorException);
    EXPECT_EQ(in.Pos(), 4u);
    // 65535 x 65535 pixels of 4 bytes do not fit the decompression buffer's cap.
    rdr::MemInStream in2(b.data(), b.size());
    EXPECT_THROW(dec::DecodeRectangle(f.st, in2, Rect(0, 0, 65535, 65535, enc)), ErrorException);
    EXPECT_EQ(in2.Pos(), 0u);
    EXPECT_EQ(f.fb.LockDepth(), 0);
  }
}

}  // namespace
