// No compressed decoder waits for the network while it holds the framebuffer lock: every
// encoding decodes a rectangle served a few bytes at a time, and no refill of the stream
// may happen under the lock. The bitmap stays as decoded from a stream that serves all at
// once.
#include "Compressors.h"
#include "Fixture.h"

namespace {

struct Case {
  const char* name;
  RectHeader r;
  Buf data;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  Compressor zlib(Kind::Zlib), zstd(Kind::Zstd), zrle(Kind::Zlib), xz(Kind::Xz), hexRaw(Kind::Zlib), list(Kind::Zlib);
  Bytes pixels;
  for (int i = 0; i < 30 * 20; i++) pixels.px(static_cast<std::uint32_t>(i * 2654435761u), 4);
  Buf z = zlib.Block(pixels.b);
  cases.push_back({"zlib", Rect(1, 1, 30, 20, rfbenc::kZlib), Bytes().u32(static_cast<std::uint32_t>(z.size())).raw(z).b});
  z = zstd.Block(pixels.b);
  cases.push_back({"zstd", Rect(1, 1, 30, 20, rfbenc::kZSTD), Bytes().u32(static_cast<std::uint32_t>(z.size())).raw(z).b});
  Bytes hex;
  for (int t = 0; t < 4; t++) {
    Buf tile(16 * 10 * 4, static_cast<std::uint8_t>(t * 40));
    Buf zt = hexRaw.Block(tile);
    hex.u8(32).u16(static_cast<unsigned>(zt.size())).raw(zt);
  }
  cases.push_back({"zlibhex", Rect(0, 0, 64, 10, rfbenc::kZlibHex), hex.b});
  Bytes tiles;
  for (int t = 0; t < 4; t++) {
    tiles.u8(0);  // raw tiles of 40 x 20 (the last ones clipped)
    for (int i = 0; i < 64 * 20; i++) tiles.u8(i).u8(t).u8(i >> 3);
  }
  Buf tileBytes(tiles.b.begin(), tiles.b.begin() + 1 + 64 * 20 * 3);
  tileBytes.push_back(0);
  for (int i = 0; i < 6 * 20; i++) tileBytes.insert(tileBytes.end(), {1, 2, 3});
  z = zrle.Block(tileBytes);
  cases.push_back({"zrle", Rect(0, 0, 70, 20, rfbenc::kZRLE), Bytes().u32(static_cast<std::uint32_t>(z.size())).raw(z).b});
  Buf sub = Bytes().u16(2).u16(3).u16(70).u16(20).raw(tileBytes).b;
  z = xz.Block(sub);
  RectHeader xr = Rect(0, 1, static_cast<int>(z.size() >> 16), static_cast<int>(z.size() & 0xFFFF), rfbenc::kXZ);
  cases.push_back({"xz", xr, z});
  Bytes entries;
  entries.u16(0).u16(0).u16(10).u16(10).u32(0);
  for (int i = 0; i < 100; i++) entries.px(static_cast<std::uint32_t>(i / 25 + 1), 4);
  z = list.Block(entries.b);
  RectHeader lr = Rect(1, static_cast<int>(entries.b.size()), 0, 0, rfbenc::kZlibRectList);
  cases.push_back({"zlib list", lr, Bytes().u32(static_cast<std::uint32_t>(z.size())).raw(z).b});
  Buf lz = LzoCompress(entries.b);
  cases.push_back({"lzo list", Rect(1, static_cast<int>(entries.b.size()), 0, 0, rfbenc::kLzoRectList),
                   Bytes().u32(static_cast<std::uint32_t>(lz.size())).raw(lz).b});
  return cases;
}

TEST(CompressedDecoders, NoStreamRefillUnderTheLock) {
  const std::vector<Case> trickled = Cases(), whole = Cases();
  for (std::size_t i = 0; i < trickled.size(); i++) {
    SCOPED_TRACE(trickled[i].name);
    CachedFramebuffer slow(80, 40, Format32(), true), fast(80, 40, Format32(), true);
    DecoderState slowState(slow), fastState(fast);
    slowState.rectanglesReceived = fastState.rectanglesReceived = 10;
    TrickleInStream in(trickled[i].data, 3, slow);
    ASSERT_TRUE(dec::DecodeRectangle(slowState, in, trickled[i].r));
    EXPECT_EQ(in.refillsUnderLock, 0);
    EXPECT_EQ(in.Pos(), trickled[i].data.size());
    rdr::MemInStream all(whole[i].data.data(), whole[i].data.size());
    ASSERT_TRUE(dec::DecodeRectangle(fastState, all, whole[i].r));
    EXPECT_EQ(slow.Pixels(), fast.Pixels());
    EXPECT_NE(slow.Pixels(), std::vector<std::uint32_t>(80 * 40, 0x80808080u));
  }
}

}  // namespace
