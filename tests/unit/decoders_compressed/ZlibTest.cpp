// Zlib/ZSTD and ZlibHex/ZstdHex at 8, 16 and 32 bits per pixel, over zlib and zstd.
#include <tuple>

#include "Compressors.h"
#include "Fixture.h"
#include "app/Exception.h"

namespace {

std::uint32_t P(int bpp, std::uint32_t v) { return (v * 0x01030507u + 0x11) & MaskFor(bpp); }

// Parameters: bytes per pixel, zstd.
class ZlibRects : public DecoderFixture, public ::testing::TestWithParam<std::tuple<int, bool>> {
protected:
  int Bpp() const { return std::get<0>(GetParam()); }
  bool Zstd() const { return std::get<1>(GetParam()); }
  Kind K() const { return Zstd() ? Kind::Zstd : Kind::Zlib; }
  std::int32_t Enc() const { return Zstd() ? rfbenc::kZSTD : rfbenc::kZlib; }
  std::int32_t HexEnc() const { return Zstd() ? rfbenc::kZstdHex : rfbenc::kZlibHex; }
  void SetUp() override { Make(48, 32, FormatFor(Bpp())); }

  // w x h pixels of a pattern, as wire bytes.
  Buf PixelBytes(int w, int h, unsigned seed) {
    Bytes b;
    for (int i = 0; i < w * h; i++) b.px(P(Bpp(), i * seed + i / 7), Bpp());
    return b.b;
  }
  // A Zlib rectangle: u32 length and the block.
  Buf ZlibRect(Compressor& c, const Buf& plain) {
    Buf z = c.Block(plain);
    return Bytes().u32(static_cast<std::uint32_t>(z.size())).raw(z).b;
  }
  void ExpectPixels(int x0, int y0, int w, int h, const Buf& plain) {
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        std::uint32_t want = 0;
        std::memcpy(&want, plain.data() + (y * w + x) * Bpp(), Bpp());
        ASSERT_EQ(m->Pixel(x0 + x, y0 + y), want) << x << "," << y;
      }
  }
  std::uint32_t Grey() const { return 0x80808080u & MaskFor(Bpp()); }
};

TEST_P(ZlibRects, ConsecutiveRectanglesContinueOneStream) {
  Compressor c(K());
  const Buf a = PixelBytes(13, 7, 3);
  Decode(ZlibRect(c, a), Rect(2, 3, 13, 7, Enc()));
  ExpectPixels(2, 3, 13, 7, a);
  // The same pixels again: the second block is mostly a reference into the first.
  const Buf second = ZlibRect(c, a);
  Decode(second, Rect(20, 20, 13, 7, Enc()));
  ExpectPixels(20, 20, 13, 7, a);
  EXPECT_LT(second.size(), a.size() / 2);
}

TEST_P(ZlibRects, OnlyAnExactBlockIsDrawnAndTheStreamStaysInStep) {
  Compressor c(K());
  const Buf a = PixelBytes(10, 4, 5);
  Buf shortBlock(a.begin(), a.end() - 1);
  Buf longBlock = a;
  longBlock.insert(longBlock.end(), {1, 2, 3});
  Decode(ZlibRect(c, shortBlock), Rect(0, 0, 10, 4, Enc()));
  Decode(ZlibRect(c, longBlock), Rect(0, 10, 10, 4, Enc()));
  EXPECT_EQ(m->Pixels(), std::vector<std::uint32_t>(48 * 32, Grey()));
  Decode(ZlibRect(c, a), Rect(0, 20, 10, 4, Enc()));
  ExpectPixels(0, 20, 10, 4, a);
}

TEST_P(ZlibRects, ACorruptStreamIsAStreamErrorUntilReset) {
  Buf junk = Bytes().u32(8).raw(Buf(8, 0xFF)).b;
  rdr::MemInStream in(junk.data(), junk.size());
  EXPECT_THROW(dec::DecodeRectangle(*st, in, Rect(0, 0, 2, 2, Enc())), rdr::Exception);
  st->Reset();  // a reconnect: the server's new stream decodes
  Compressor fresh(K());
  const Buf a = PixelBytes(2, 2, 9);
  Decode(ZlibRect(fresh, a), Rect(1, 1, 2, 2, Enc()));
  ExpectPixels(1, 1, 2, 2, a);
}

TEST_P(ZlibRects, OversizedRectangleIsRefusedAfterItsDataAreRead) {
  // 65535 x 65535 pixels: far above the decompression buffer's cap.
  Buf data = Bytes().u32(3).u8(1).u8(2).u8(3).b;
  rdr::MemInStream in(data.data(), data.size());
  EXPECT_THROW(dec::DecodeRectangle(*st, in, Rect(0, 0, 65535, 65535, Enc())), ErrorException);
  EXPECT_EQ(in.Pos(), data.size());
}

TEST_P(ZlibRects, ZeroSizedRectangleConsumesItsBlock) {
  Compressor c(K());
  Decode(ZlibRect(c, Buf()), Rect(3, 3, 0, 5, Enc()));
  const Buf a = PixelBytes(3, 3, 2);
  Decode(ZlibRect(c, a), Rect(3, 3, 3, 3, Enc()));
  ExpectPixels(3, 3, 3, 3, a);
}

// ---- ZlibHex ----

constexpr unsigned kRaw = 1, kBg = 2, kFg = 4, kAny = 8, kColoured = 16, kZRaw = 32, kZHex = 64;

TEST_P(ZlibRects, HexTileFormsShareColoursAcrossTilesAndRectangles) {
  Compressor rawStream(K()), hexStream(K());
  const int b = Bpp();
  const std::uint32_t bg = P(b, 1), fg = P(b, 2), c3 = P(b, 3);
  const Buf raw16 = PixelBytes(16, 16, 7);
  Bytes d;
  // Tile 0: plain, background and one foreground subrectangle.
  d.u8(kBg | kFg | kAny).px(bg, b).px(fg, b).u8(1).u8(0x11).u8(0x00);
  // Tile 1: raw bit with the compressed-raw bit: read as raw.
  d.u8(kRaw | kZRaw).raw(raw16);
  // Tile 2: compressed raw pixels.
  Buf z = rawStream.Block(raw16);
  d.u8(kZRaw).u16(static_cast<unsigned>(z.size())).raw(z);
  // Tile 3 (second row): compressed hextile data, background from tile 0, one subrect in c3.
  z = hexStream.Block(Bytes().u8(1).px(c3, b).u8(0x00).u8(0x00).b);
  d.u8(kZHex | kAny | kColoured).u16(static_cast<unsigned>(z.size())).raw(z);
  // Tile 4: subencoding 0: the background of the earlier tiles.
  d.u8(0);
  // Tile 5: mono subrectangle in the foreground the coloured one left (c3).
  d.u8(kAny).u8(1).u8(0x22).u8(0x00);
  Decode(d.b, Rect(0, 0, 48, 30, HexEnc()));
  EXPECT_EQ(m->Pixel(0, 0), bg);
  EXPECT_EQ(m->Pixel(1, 1), fg);
  EXPECT_EQ(m->Pixel(2, 1), bg);
  for (int x : {16, 32}) {
    std::uint32_t want = 0;
    std::memcpy(&want, raw16.data() + 5 * 16 * b + 3 * b, b);
    EXPECT_EQ(m->Pixel(x + 3, 5), want & MaskFor(b));
  }
  EXPECT_EQ(m->Pixel(0, 16), c3);
  EXPECT_EQ(m->Pixel(1, 16), bg);
  EXPECT_EQ(m->Pixel(20, 20), bg);
  EXPECT_EQ(m->Pixel(34, 18), c3);
  // The next rectangle starts with the colours this one ended with.
  Decode(Bytes().u8(kAny).u8(1).u8(0x00).u8(0x00).b, Rect(0, 0, 2, 2, HexEnc()));
  EXPECT_EQ(m->Pixel(0, 0), c3);
  EXPECT_EQ(m->Pixel(1, 1), bg);
}

TEST_P(ZlibRects, HexTileWith255ColouredSubrectanglesDecodes) {
  Compressor hexStream(K());
  const int b = Bpp();
  Bytes body;
  body.px(P(b, 50), b).u8(255);
  for (int i = 0; i < 255; i++) body.px(P(b, 100 + i), b).u8(static_cast<unsigned>((i % 16) << 4 | (i / 16))).u8(0);
  Buf z = hexStream.Block(body.b);
  Decode(Bytes().u8(kZHex | kBg | kAny | kColoured).u16(static_cast<unsigned>(z.size())).raw(z).b,
         Rect(0, 0, 16, 16, HexEnc()));
  EXPECT_EQ(m->Pixel(0, 0), P(b, 100));
  EXPECT_EQ(m->Pixel(14, 15), P(b, 100 + 254));
  EXPECT_EQ(m->Pixel(15, 15), P(b, 50));
}

TEST_P(ZlibRects, ShortCompressedHexTilesAreNotDrawnAndTheWalkGoesOn) {
  Compressor rawStream(K()), hexStream(K());
  const int b = Bpp();
  Bytes d;
  // A raw tile one byte short, a hextile tile promising a subrectangle it lacks, then a
  // good plain tile.
  Buf z = rawStream.Block(Buf(16 * 16 * b - 1, 0x33));
  d.u8(kZRaw).u16(static_cast<unsigned>(z.size())).raw(z);
  z = hexStream.Block(Bytes().px(P(b, 4), b).u8(2).u8(0).u8(0).b);
  d.u8(kZHex | kBg | kAny).u16(static_cast<unsigned>(z.size())).raw(z);
  d.u8(kBg).px(P(b, 5), b);
  Decode(d.b, Rect(0, 0, 40, 16, HexEnc()));
  EXPECT_EQ(m->Pixel(0, 0), Grey());
  EXPECT_EQ(m->Pixel(16, 0), Grey());
  EXPECT_EQ(m->Pixel(32, 0), P(b, 5));
  // The streams stayed in step: both decode their next blocks.
  const Buf raw16 = PixelBytes(16, 16, 3);
  z = rawStream.Block(raw16);
  Buf d2 = Bytes().u8(kZRaw).u16(static_cast<unsigned>(z.size())).raw(z).b;
  z = hexStream.Block(Bytes().px(P(b, 6), b).b);
  d2 = Bytes().raw(d2).u8(kZHex | kBg).u16(static_cast<unsigned>(z.size())).raw(z).b;
  Decode(d2, Rect(0, 0, 32, 16, HexEnc()));
  EXPECT_EQ(m->Pixel(16, 0), P(b, 6));
  std::uint32_t want = 0;
  std::memcpy(&want, raw16.data() + (15 * 16 + 15) * b, b);
  EXPECT_EQ(m->Pixel(15, 15), want);
}

TEST_P(ZlibRects, ResetRestartsHexStreamsAndColours) {
  const int b = Bpp();
  Decode(Bytes().u8(kBg).px(P(b, 9), b).b, Rect(0, 0, 4, 4, HexEnc()));
  Compressor old(K());
  Buf z = old.Block(Buf(4 * 4 * b, 1));
  Decode(Bytes().u8(kZRaw).u16(static_cast<unsigned>(z.size())).raw(z).b, Rect(0, 0, 4, 4, HexEnc()));
  st->Reset();
  Decode(Bytes().u8(0).b, Rect(0, 0, 4, 4, HexEnc()));
  EXPECT_EQ(m->Pixel(0, 0), 0u);  // the colours went with the old session
  Compressor fresh(K());
  z = fresh.Block(Buf(4 * 4 * b, 0x44));
  Decode(Bytes().u8(kZRaw).u16(static_cast<unsigned>(z.size())).raw(z).b, Rect(0, 0, 4, 4, HexEnc()));
  EXPECT_EQ(m->Pixel(3, 3), 0x44444444u & MaskFor(b));
}

TEST_P(ZlibRects, CorruptHexTileIsAStreamError) {
  Buf d = Bytes().u8(kZRaw).u16(6).raw(Buf(6, 0xFF)).b;
  rdr::MemInStream in(d.data(), d.size());
  EXPECT_THROW(dec::DecodeRectangle(*st, in, Rect(0, 0, 16, 16, HexEnc())), rdr::Exception);
  EXPECT_EQ(m->LockDepth(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllSizes, ZlibRects,
                         ::testing::Combine(::testing::Values(1, 2, 4), ::testing::Values(false, true)),
                         [](const auto& i) {
                           return std::to_string(8 * std::get<0>(i.param)) + (std::get<1>(i.param) ? "zstd" : "zlib");
                         });

}  // namespace
