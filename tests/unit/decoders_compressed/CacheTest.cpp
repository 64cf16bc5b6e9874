// The cache bitmap and the cache and rectangle-list pseudo-encodings.
#include "Compressors.h"
#include "Fixture.h"
#include "app/Exception.h"

namespace {

class Cache : public DecoderFixture, public ::testing::Test {
protected:
  void SetUp() override { Make(20, 10, Format32(), true); }
  static RectHeader ListHeader(std::int32_t enc, unsigned count, std::uint64_t rawSize) {
    RectHeader r;
    r.encoding = enc;
    r.x = static_cast<std::uint16_t>(count);
    r.w = static_cast<std::uint16_t>(rawSize / 65535);
    r.y = static_cast<std::uint16_t>(rawSize % 65535);
    return r;
  }
  // A 12-byte entry; with pixels (flag 0) w x h 32-bit pixels of value v follow.
  static Bytes& Entry(Bytes& b, int x, int y, int w, int h, bool pixels, std::uint32_t v = 0) {
    b.u16(x).u16(y).u16(w).u16(h).u32(pixels ? 0 : 1);
    if (pixels)
      for (int i = 0; i < w * h; i++) b.px(v, 4);
    return b;
  }
  static Buf Framed(const Buf& block) { return Bytes().u32(static_cast<std::uint32_t>(block.size())).raw(block).b; }
  void Paint() {
    for (int y = 0; y < 10; y++)
      for (int x = 0; x < 20; x++) m->SetPixel(x, y, static_cast<std::uint32_t>(y * 20 + x));
  }
};

TEST_F(Cache, SwappingTheSameAreaTwiceRestoresBothBitmaps) {
  Paint();
  const std::vector<std::uint8_t> cacheBefore = m->CacheBytes();
  const std::vector<std::uint32_t> before = m->Pixels();
  Decode(Bytes().u16(0).b, Rect(3, 2, 5, 4, rfbenc::kCache));
  EXPECT_EQ(m->Pixel(3, 2), 0x07070707u);
  EXPECT_EQ(m->CachePixel(3, 2), 2u * 20 + 3);
  EXPECT_EQ(m->Pixel(2, 2), 2u * 20 + 2);
  Decode(Bytes().u16(0).b, Rect(3, 2, 5, 4, rfbenc::kCache));
  EXPECT_EQ(m->Pixels(), before);
  EXPECT_EQ(m->CacheBytes(), cacheBefore);
}

TEST_F(Cache, WithoutACacheBitmapNothingChangesButDataAreConsumed) {
  Make(20, 10, Format32(), false);
  Paint();
  const std::vector<std::uint32_t> before = m->Pixels();
  Decode(Bytes().u16(0).b, Rect(3, 2, 5, 4, rfbenc::kCache));
  dec::SaveRectToCache(*st, 0, 0, 4, 4);
  Bytes entries;
  Entry(Entry(entries, 0, 0, 2, 2, false), 1, 1, 1, 1, false);
  Buf list = Framed(LzoCompress(entries.b));
  Decode(list, ListHeader(rfbenc::kLzoRectList, 2, 100));
  EXPECT_EQ(m->Pixels(), before);
}

TEST_F(Cache, ClearCacheZeroesTheWholeCache) {
  dec::ClearCache(m->CurrentFramebuffer());
  EXPECT_EQ(m->CacheBytes(), std::vector<std::uint8_t>(m->CacheBytes().size(), 0));
}

class ZipLists : public Cache, public ::testing::WithParamInterface<bool> {
protected:
  std::int32_t Enc() const { return GetParam() ? rfbenc::kZstdRectList : rfbenc::kZlibRectList; }
  Kind K() const { return GetParam() ? Kind::Zstd : Kind::Zlib; }
};

TEST_P(ZipLists, EntriesWithoutPixelsOnlySaveToTheCache) {
  Paint();
  const std::vector<std::uint32_t> before = m->Pixels();
  Compressor c(K());
  Bytes plain;
  Entry(Entry(plain, 0, 0, 2, 2, false), 10, 5, 3, 3, false);
  Decode(Framed(c.Block(plain.b)), ListHeader(Enc(), 2, plain.b.size()));
  EXPECT_EQ(m->Pixels(), before);
  EXPECT_EQ(m->CachePixel(1, 1), 21u);
  EXPECT_EQ(m->CachePixel(12, 7), 7u * 20 + 12);
  EXPECT_EQ(m->CachePixel(2, 2), 0x07070707u);
  ASSERT_EQ(m->region.size(), 2u);
  EXPECT_EQ(m->region[1], (TestRect{10, 5, 3, 3}));
}

TEST_P(ZipLists, PixelEntriesAreDrawnAndTheZlibStreamIsShared) {
  Compressor c(K());
  Bytes plain;
  Entry(Entry(plain, 1, 1, 2, 2, true, 0xABCDEF), 5, 5, 1, 1, true, 0x123456);
  Decode(Framed(c.Block(plain.b)), ListHeader(Enc(), 2, plain.b.size()));
  EXPECT_EQ(m->Pixel(2, 2), 0xABCDEFu);
  EXPECT_EQ(m->Pixel(5, 5), 0x123456u);
  // A Zlib / ZSTD rectangle continues the same stream.
  Bytes px;
  px.px(0x0F0F0F, 4);
  Decode(Framed(c.Block(px.b)), Rect(0, 0, 1, 1, GetParam() ? rfbenc::kZSTD : rfbenc::kZlib));
  EXPECT_EQ(m->Pixel(0, 0), 0x0F0F0Fu);
}

TEST_P(ZipLists, EntriesStopWhereTheRawSizeEnds) {
  // Raw size as width 1, y 0: 65,535 bytes. An entry of 12 + 16,380 x 4 = 65,532 bytes fits;
  // the same data with a raw size of 65,531 leave it out.
  for (std::uint64_t raw : {65535u, 65531u}) {
    SCOPED_TRACE(raw);
    Make(16380, 1, Format32(), true);
    Compressor c(K());
    Bytes plain;
    Entry(plain, 0, 0, 16380, 1, true, 0x010203);
    Decode(Framed(c.Block(plain.b)), ListHeader(Enc(), 1, raw));
    EXPECT_EQ(m->Pixel(16379, 0), raw == 65535 ? 0x010203u : 0x80808080u);
  }
  EXPECT_EQ(ListHeader(Enc(), 1, 65535).w, 1);
  EXPECT_EQ(ListHeader(Enc(), 1, 65535).y, 0);
}

TEST_P(ZipLists, CountBeyondTheDataStopsAtTheData) {
  Compressor c(K());
  Bytes plain;
  Entry(plain, 1, 1, 1, 1, true, 0x111111);
  plain.u16(2).u16(2);  // half an entry
  Decode(Framed(c.Block(plain.b)), ListHeader(Enc(), 500, 1000));
  EXPECT_EQ(m->Pixel(1, 1), 0x111111u);
  EXPECT_EQ(m->region.size(), 1u);
}

TEST_P(ZipLists, CorruptBlockIsAStreamError) {
  Buf data = Framed(Buf(10, 0xFF));
  rdr::MemInStream in(data.data(), data.size());
  EXPECT_THROW(dec::DecodeRectangle(*st, in, ListHeader(Enc(), 1, 100)), rdr::Exception);
}

INSTANTIATE_TEST_SUITE_P(Streams, ZipLists, ::testing::Values(false, true),
                         [](const auto& i) { return std::string(i.param ? "zstd" : "zlib"); });

TEST_F(Cache, LzoListDrawsUntilAnEntryOutsideTheFramebuffer) {
  Bytes plain;
  Entry(plain, 0, 0, 2, 1, true, 0x222222);
  Entry(plain, 4, 4, 1, 1, false);
  Entry(plain, 19, 0, 2, 1, true, 0x333333);  // outside: the list ends
  Entry(plain, 6, 6, 1, 1, true, 0x444444);
  Decode(Framed(LzoCompress(plain.b)), ListHeader(rfbenc::kLzoRectList, 4, plain.b.size()));
  EXPECT_EQ(m->Pixel(1, 0), 0x222222u);
  EXPECT_EQ(m->Pixel(6, 6), 0x80808080u);
  EXPECT_EQ(m->region.size(), 2u);
}

TEST_F(Cache, RefusedLzoBlocksAreConsumed) {
  Bytes plain;
  Entry(plain, 0, 0, 1, 1, true, 0x222222);
  const Buf block = LzoCompress(plain.b);
  struct Case {
    const char* name;
    unsigned count;
    std::uint64_t raw;
  } cases[] = {
      {"raw size above 106,000,000", 1, 106000001},
      {"raw size above the work buffer", 1, 104857600},
      {"more than 25,000 entries", 25001, 1000},
      {"length above the raw size", 1, block.size() - 1},
      {"no entries", 0, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decode(Framed(block), ListHeader(rfbenc::kLzoRectList, c.count, c.raw));
    EXPECT_EQ(m->Pixel(0, 0), 0x80808080u);
  }
  Decode(Framed(Buf(9, 0xEE)), ListHeader(rfbenc::kLzoRectList, 1, 1000));  // does not decompress
  Decode(Framed(block), ListHeader(rfbenc::kLzoRectList, 1, 1000));
  EXPECT_EQ(m->Pixel(0, 0), 0x222222u);
}

TEST_F(Cache, CacheZipListSwapsAsManyAreasAsTheDataHold) {
  Paint();
  Bytes plain;
  plain.u16(0).u16(0).u16(2).u16(2).u16(10).u16(5).u16(1).u16(1);
  Buf z(compressBound(plain.b.size()));
  uLongf zl = z.size();
  compress(z.data(), &zl, plain.b.data(), plain.b.size());
  z.resize(zl);
  Decode(Framed(z), ListHeader(rfbenc::kCacheZipList, 9, 0));
  EXPECT_EQ(m->Pixel(1, 1), 0x07070707u);
  EXPECT_EQ(m->CachePixel(1, 1), 21u);
  EXPECT_EQ(m->Pixel(10, 5), 0x07070707u);
  EXPECT_EQ(m->region.size(), 2u);
  // Data that do not inflate end the list; the block is still consumed.
  Decode(Framed(Buf(5, 0x42)), ListHeader(rfbenc::kCacheZipList, 1, 0));
}

}  // namespace
