// The ZRLE family: compact-pixel forms, tile subencodings and their edge cases, stream
// handling per kind, ZYWRLE levels and synthesis, XZ sub-rectangle lists.
#include "Compressors.h"
#include "Fixture.h"
#include "app/Exception.h"
#include "decoders/Zywrle.h"

namespace {

PixelFormat Make32(int depth, bool bigEndian, int max, int rs, int gs, int bs) {
  PixelFormat pf;
  pf.depth = static_cast<std::uint8_t>(depth);
  pf.bigEndian = bigEndian;
  pf.redMax = pf.greenMax = pf.blueMax = static_cast<std::uint16_t>(max);
  pf.redShift = static_cast<std::uint8_t>(rs), pf.greenShift = static_cast<std::uint8_t>(gs),
  pf.blueShift = static_cast<std::uint8_t>(bs);
  return pf;
}

PixelFormat Format555() {
  PixelFormat pf = Format16();
  pf.depth = 15, pf.greenMax = 31, pf.redShift = 10;
  return pf;
}

// A ZRLE-family rectangle: tile bytes through a persistent compressor, behind a u32 length.
Buf ZrleRect(Compressor& c, const Buf& tiles) {
  Buf z = c.Block(tiles);
  return Bytes().u32(static_cast<std::uint32_t>(z.size())).raw(z).b;
}

class Zrle : public DecoderFixture, public ::testing::Test {};

TEST_F(Zrle, CompactPixelFormPerSessionFormat) {
  struct Case {
    const char* name;
    PixelFormat pf;
    int cpixelBytes;
    std::uint32_t pixel;  // what the bytes 11 22 33 (44) give
  } cases[] = {
      {"8 bits", Format8(), 1, 0x11},
      {"16 bits 5-5-5", Format555(), 2, 0x2211},
      {"16 bits 5-6-5", Format16(), 2, 0x2211},
      {"32 low 24 bits, little-endian", Make32(24, false, 255, 0, 8, 16), 3, 0x332211},
      {"32 low 24 bits, big-endian", Make32(24, true, 255, 0, 8, 16), 3, 0x33221100},
      {"32 high 24 bits, big-endian", Make32(24, true, 255, 8, 16, 24), 3, 0x332211},
      {"32 high 24 bits, little-endian", Make32(24, false, 255, 8, 16, 24), 3, 0x33221100},
      {"32 bits, 10 bits per colour", Make32(30, false, 1023, 20, 10, 0), 4, 0x44332211},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Make(4, 4, c.pf);
    Compressor z(Kind::Zlib);
    Bytes tile;
    tile.u8(1);
    for (int i = 0; i < c.cpixelBytes; i++) tile.u8(0x11 * (i + 1));
    Decode(ZrleRect(z, tile.b), Rect(1, 1, 2, 2, rfbenc::kZRLE));
    EXPECT_EQ(m->Pixel(1, 1), c.pixel);
    EXPECT_EQ(m->Pixel(2, 2), c.pixel);
    EXPECT_EQ(m->Pixel(0, 0), 0x80808080u & MaskFor(c.pf.BytesPerPixel()));
  }
}

// 32-bit little-endian session format: 3-byte compact pixels.
class Zrle32 : public DecoderFixture, public ::testing::TestWithParam<Kind> {
protected:
  void SetUp() override { Make(130, 70, Format32()); }
  std::int32_t Enc(bool wavelet = false) const {
    return GetParam() == Kind::Zstd ? (wavelet ? rfbenc::kZSTDYWRLE : rfbenc::kZSTDRLE)
                                    : (wavelet ? rfbenc::kZYWRLE : rfbenc::kZRLE);
  }
  static Bytes& Cpx(Bytes& b, std::uint32_t v) { return b.u8(v).u8(v >> 8).u8(v >> 16); }
  void DecodeTiles(Compressor& c, const Buf& tiles, const RectHeader& r) { Decode(ZrleRect(c, tiles), r); }
};

TEST_P(Zrle32, A65By65RectangleHasFourClippedTiles) {
  Compressor c(GetParam());
  Bytes t;
  for (std::uint32_t colour : {0x010101u, 0x020202u, 0x030303u, 0x040404u}) Cpx(t.u8(1), colour);
  DecodeTiles(c, t.b, Rect(1, 2, 65, 65, Enc()));
  EXPECT_EQ(m->Pixel(1, 2), 0x010101u);
  EXPECT_EQ(m->Pixel(64, 65), 0x010101u);
  EXPECT_EQ(m->Pixel(65, 2), 0x020202u);
  EXPECT_EQ(m->Pixel(65, 65), 0x020202u);
  EXPECT_EQ(m->Pixel(1, 66), 0x030303u);
  EXPECT_EQ(m->Pixel(64, 66), 0x030303u);
  EXPECT_EQ(m->Pixel(65, 66), 0x040404u);
  EXPECT_EQ(m->Pixel(66, 66), 0x80808080u);
  EXPECT_EQ(m->Pixel(1, 67), 0x80808080u);
}

TEST_P(Zrle32, RunLengthBytes255And255And3GiveARunOf514) {
  Compressor c(GetParam());
  Bytes t;
  t.u8(128);
  Cpx(t, 0xAAAAAA).u8(255).u8(255).u8(3);
  Cpx(t, 0xBBBBBB);
  for (int i = 0; i < 14; i++) t.u8(255);
  t.u8(11);  // 1 + 14 * 255 + 11 = 3582 = 4096 - 514
  DecodeTiles(c, t.b, Rect(0, 0, 64, 64, Enc()));
  EXPECT_EQ(m->Pixel(513 % 64, 513 / 64), 0xAAAAAAu);
  EXPECT_EQ(m->Pixel(514 % 64, 514 / 64), 0xBBBBBBu);
  EXPECT_EQ(m->Pixel(63, 63), 0xBBBBBBu);
}

TEST_P(Zrle32, PackedPalettesUseTheirIndexWidthAndRowsStartOnAByte) {
  struct Case {
    int paletteSize, w;
    std::vector<int> rows;  // index bytes of the two rows
  } cases[] = {
      {2, 9, {0xA5, 0x80, 0x5A, 0x00}},  // 1 bit: 9 pixels take 2 bytes
      {3, 3, {0x24, 0x18}},              // 2 bits
      {5, 3, {0x01, 0x20, 0x34, 0x00}},  // 4 bits: 3 pixels take 2 bytes
      {17, 2, {0, 16, 5, 1}},            // 8 bits
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.paletteSize);
    Make(20, 4, Format32());
    Compressor c(GetParam());
    Bytes t;
    t.u8(static_cast<unsigned>(k.paletteSize));
    for (int i = 0; i < k.paletteSize; i++) Cpx(t, 0x10000u * (i + 1) + 7);
    for (int b : k.rows) t.u8(static_cast<unsigned>(b));
    DecodeTiles(c, t.b, Rect(0, 0, k.w, 2, Enc()));
    const int bits = k.paletteSize == 2 ? 1 : k.paletteSize <= 4 ? 2 : k.paletteSize <= 16 ? 4 : 8;
    const std::size_t rowBytes = k.rows.size() / 2;
    for (int y = 0; y < 2; y++)
      for (int x = 0; x < k.w; x++) {
        const int bit = x * bits;
        const int index = (k.rows[y * rowBytes + bit / 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1);
        EXPECT_EQ(m->Pixel(x, y), 0x10000u * (index + 1) + 7) << x << "," << y;
      }
  }
}

TEST_P(Zrle32, PaletteRunsRawTilesAndOverlongRuns) {
  Compressor c(GetParam());
  Bytes t;
  // Tile 1 (64 x 2): palette runs: index 1 once, index 0 for 3, then index 1 for the rest,
  // with a run length far beyond the tile (saturates, all its bytes consumed).
  t.u8(128 | 2);
  Cpx(t, 0x111111);
  Cpx(t, 0x222222);
  t.u8(1).u8(128 | 0).u8(2).u8(128 | 1).u8(255).u8(255).u8(255).u8(0);
  // Tile 2 (2 x 2): raw.
  t.u8(0);
  for (std::uint32_t v : {0x010203u, 0x040506u, 0x070809u, 0x0A0B0Cu}) Cpx(t, v);
  DecodeTiles(c, t.b, Rect(0, 0, 66, 2, Enc()));
  EXPECT_EQ(m->Pixel(0, 0), 0x222222u);
  EXPECT_EQ(m->Pixel(1, 0), 0x111111u);
  EXPECT_EQ(m->Pixel(3, 0), 0x111111u);
  EXPECT_EQ(m->Pixel(4, 0), 0x222222u);
  EXPECT_EQ(m->Pixel(63, 1), 0x222222u);
  EXPECT_EQ(m->Pixel(64, 0), 0x010203u);
  EXPECT_EQ(m->Pixel(65, 1), 0x0A0B0Cu);
}

TEST_P(Zrle32, PaletteIndexOutsideThePaletteLeavesTheTileUndrawn) {
  Compressor c(GetParam());
  Bytes t;
  t.u8(128 | 2);  // palette runs, index 5 of 2
  Cpx(t, 0x111111);
  Cpx(t, 0x222222);
  t.u8(0).u8(128 | 5).u8(1).u8(128 | 1).u8(124);  // 1 + 2 + 125 pixels of the 64 x 2 tile
  t.u8(3);                                         // packed, 2 bits, index 3 of 3
  Cpx(Cpx(Cpx(t, 1), 2), 3);
  t.u8(0x1B).raw(Buf(31, 0));
  Cpx(t.u8(1), 0x333333);  // a good tile after them
  DecodeTiles(c, t.b, Rect(0, 0, 130, 2, Enc()));
  EXPECT_EQ(m->Pixel(0, 0), 0x80808080u);
  EXPECT_EQ(m->Pixel(64, 0), 0x80808080u);
  EXPECT_EQ(m->Pixel(128, 0), 0x333333u);
}

TEST_P(Zrle32, LengthBeyondTheTilesIsConsumedAndTheStreamContinues) {
  Compressor c(GetParam());
  Bytes t;
  Cpx(t.u8(1), 0x123456);
  t.raw(Buf(100, 0xEE));  // decompressed bytes the tiles never read
  DecodeTiles(c, t.b, Rect(0, 0, 4, 4, Enc()));
  Bytes t2;
  Cpx(t2.u8(1), 0x654321);
  DecodeTiles(c, t2.b, Rect(4, 4, 4, 4, Enc()));
  EXPECT_EQ(m->Pixel(0, 0), 0x123456u);
  EXPECT_EQ(m->Pixel(5, 5), 0x654321u);
}

TEST_P(Zrle32, TilesNeedingMoreThanTheLengthAreAStreamError) {
  Compressor c(GetParam());
  Bytes t;
  Cpx(t.u8(1), 0x123456);  // one tile, the rectangle has two
  Buf data = ZrleRect(c, t.b);
  rdr::MemInStream in(data.data(), data.size());
  EXPECT_THROW(dec::DecodeRectangle(*st, in, Rect(0, 0, 100, 4, Enc())), rdr::Exception);
  EXPECT_EQ(m->LockDepth(), 0);
  // A reconnect restarts the stream.
  st->Reset();
  Compressor fresh(GetParam());
  DecodeTiles(fresh, t.b, Rect(0, 0, 4, 4, Enc()));
  EXPECT_EQ(m->Pixel(3, 3), 0x123456u);
}

TEST_P(Zrle32, WaveletTileOfWidth7AtLevel2KeepsThreeEdgeColumns) {
  st->quality = 3;  // level 2
  Compressor c(GetParam());
  Bytes t;
  Cpx(t.u8(0).u8(1), 0);  // wavelet flag, then a solid tile of zero coefficients
  DecodeTiles(c, t.b, Rect(0, 0, 7, 5, Enc(true)));
  for (int y = 0; y < 5; y++)
    for (int x = 0; x < 7; x++) EXPECT_EQ(m->Pixel(x, y), x < 4 && y < 4 ? 0x808080u : 0u) << x << "," << y;
  // Without the wavelet encoding subencoding 0 is a raw tile.
  Bytes raw;
  raw.u8(0);
  for (int i = 0; i < 4; i++) Cpx(raw, 0x0F0F0Fu);
  DecodeTiles(c, raw.b, Rect(10, 0, 2, 2, Enc(false)));
  EXPECT_EQ(m->Pixel(11, 1), 0x0F0F0Fu);
}

INSTANTIATE_TEST_SUITE_P(Streams, Zrle32, ::testing::Values(Kind::Zlib, Kind::Zstd),
                         [](const auto& i) { return std::string(i.param == Kind::Zstd ? "zstd" : "zlib"); });

TEST(Zywrle, LevelFollowsTheQualityOption) {
  const int table[][2] = {{-1, 1}, {0, 3}, {2, 3}, {3, 2}, {5, 2}, {6, 1}, {9, 1}};
  for (auto& row : table) EXPECT_EQ(dec::ZywrleLevel(row[0]), row[1]) << row[0];
}

TEST(Zywrle, InversePairRule) {
  struct Case {
    int a, b, first, second;
  } cases[] = {
      {10, -3, 7, 10},   {-10, 3, -7, -10}, {2, -10, -8, 10},    {5, 3, 5, 2},      {3, 5, 5, -2},
      {100, -100, 0, 100}, {-128, -1, -128, -127}, {100, 100, 100, 0}, {127, -128, -1, -128},
  };
  for (const Case& c : cases) {
    std::uint8_t cells[8] = {static_cast<std::uint8_t>(c.a), 0, 0, 0, static_cast<std::uint8_t>(c.b), 0, 0, 0};
    dec::ZywrleInverseWavelet(cells, 2, 1, 1);
    EXPECT_EQ(static_cast<std::int8_t>(cells[0]), c.first) << c.a << "," << c.b;
    EXPECT_EQ(static_cast<std::int8_t>(cells[4]), c.second) << c.a << "," << c.b;
  }
}

TEST_F(Zrle, ZeroCoefficientsGiveMidGreyInEverySynthesisForm) {
  struct Case {
    const char* name;
    PixelFormat pf;
    std::uint32_t first, last;
  } cases[] = {
      {"5-5-5", Format555(), 0x4210, 0x4210},
      {"5-6-5", Format16(), 0x8410, 0x8410},
      {"32 bits", Format32(), 0x808080, 0x808080},
      {"8 bits: no wavelet, a raw tile", Format8(), 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Make(4, 4, c.pf);
    Compressor z(Kind::Zlib);
    const int b = c.pf.BytesPerPixel() == 4 ? 3 : c.pf.BytesPerPixel();
    Bytes t;
    t.u8(0).u8(1).raw(Buf(b, 0));  // at 8 bits: a raw tile of 0, 1, 0, 0
    if (b == 1) t.raw(Buf(2, 0));
    Decode(ZrleRect(z, t.b), Rect(0, 0, 2, 2, rfbenc::kZYWRLE));
    EXPECT_EQ(m->Pixel(0, 0), c.first);
    EXPECT_EQ(m->Pixel(1, 1), c.last);
  }
}

// ---- XZ ----

class Xz : public DecoderFixture, public ::testing::Test {
protected:
  void SetUp() override { Make(100, 80, Format32(), true); }
  // An XZ rectangle header: count in x (high) and y (low), length in w (high) and h (low).
  static RectHeader Header(long long count, long long length, std::int32_t enc = rfbenc::kXZ) {
    RectHeader r;
    r.x = static_cast<std::uint16_t>(count >> 16), r.y = static_cast<std::uint16_t>(count);
    r.w = static_cast<std::uint16_t>(length >> 16), r.h = static_cast<std::uint16_t>(length);
    r.encoding = enc;
    return r;
  }
  static Bytes& Sub(Bytes& b, int x, int y, int w, int h) { return b.u16(x).u16(y).u16(w).u16(h); }
  static Bytes& Solid(Bytes& b, std::uint32_t v) { return b.u8(1).u8(v).u8(v >> 8).u8(v >> 16); }
};

TEST_F(Xz, SubRectanglesAreSavedToTheCacheDrawnAndRepaintedOneByOne) {
  m->SetPixel(5, 5, 0x0A0B0C);
  Compressor c(Kind::Xz);
  Bytes plain;
  Sub(Sub(plain, 2, 3, 10, 10), 70, 60, 65, 2);
  Solid(plain, 0x111111);
  Solid(Solid(plain, 0x222222), 0x333333);  // the second one has two tiles
  plain.raw(Buf(50, 0x99));                   // left over: drained
  Buf z = c.Block(plain.b);
  st->rectanglesReceived = 10;  // past the first few, which repaint the whole window
  Decode(z, Header(2, static_cast<long long>(z.size())));
  EXPECT_EQ(st->rectanglesReceived, 11u);
  EXPECT_EQ(m->Pixel(5, 5), 0x111111u);
  EXPECT_EQ(m->CachePixel(5, 5), 0x0A0B0Cu);  // what was there before
  EXPECT_EQ(m->Pixel(70, 60), 0x80808080u);   // 65 wide at 70: outside, not drawn
  ASSERT_EQ(m->invalidated.size(), 2u);
  EXPECT_EQ(m->invalidated[0], (TestRect{2, 3, 10, 10}));
  EXPECT_EQ(m->invalidated[1], (TestRect{70, 60, 65, 2}));
  EXPECT_EQ(m->region, m->invalidated);
  // The stream goes on into the next rectangle.
  Bytes next;
  Solid(Sub(next, 0, 0, 3, 3), 0x444444);
  z = c.Block(next.b);
  Decode(z, Header(1, static_cast<long long>(z.size()), rfbenc::kXZYW));
  EXPECT_EQ(m->Pixel(2, 2), 0x444444u);
}

TEST_F(Xz, NegativeCountReadsNoSubRectanglesButTheBlock) {
  Compressor c(Kind::Xz);
  Bytes plain;
  Solid(Sub(plain, 0, 0, 3, 3), 0x555555);
  Buf z = c.Block(plain.b);
  Decode(z, Header(-1, static_cast<long long>(z.size())));
  EXPECT_EQ(m->Pixel(0, 0), 0x80808080u);
}

TEST_F(Xz, NegativeOrOversizedLengthIsRefused) {
  Buf nothing(16, 0);
  for (long long length : {-1LL, -65536LL, 100LL * 1024 * 1024 + 1, 0x7FFFFFFFLL}) {
    rdr::MemInStream in(nothing.data(), nothing.size());
    EXPECT_THROW(dec::DecodeRectangle(*st, in, Header(1, length)), rdr::Exception) << length;
    EXPECT_EQ(in.Pos(), 0u);
  }
}

TEST_F(Xz, HugeCountIsBoundedBeforeAnyAllocation) {
  Buf nothing(16, 0);
  rdr::MemInStream in(nothing.data(), nothing.size());
  EXPECT_THROW(dec::DecodeRectangle(*st, in, Header(0x7FFFFFFF, 10)), ErrorException);
  EXPECT_EQ(m->LockDepth(), 0);
}

}  // namespace
