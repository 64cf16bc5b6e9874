// The persistent zlib/zstd stream holder: continuation across calls and blocks, exact
// block accounting, errors that stick until a reset, and resets per kind.
#include <gtest/gtest.h>

#include <vector>

#include "Compressors.h"

#include "decoders/StreamDecompressor.h"

namespace {

Kind KindOf(bool zstd) { return zstd ? Kind::Zstd : Kind::Zlib; }

class Kinds : public ::testing::TestWithParam<bool> {};

TEST_P(Kinds, BlocksContinueOneStream) {
  const bool zstd = GetParam();
  Compressor c(KindOf(zstd));
  StreamDecompressor d;
  const Buf a = Pattern(5000, 3);
  // The second block repeats the first: decodable only with the first one's history.
  for (const Buf& plain : {a, a, Pattern(70000, 11)}) {
    Buf z = c.Block(plain);
    Buf out(plain.size());
    auto r = d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), zstd);
    EXPECT_TRUE(r.Exactly(plain.size()));
    EXPECT_EQ(out, plain);
  }
}

TEST_P(Kinds, InputInPortionsAndOutputInSmallRoomsContinue) {
  const bool zstd = GetParam();
  Compressor c(KindOf(zstd));
  StreamDecompressor d;
  const Buf plain = Pattern(30000, 5);
  const Buf z = c.Block(plain);
  Buf out;
  std::size_t pos = 0;
  std::uint8_t room[777];
  while (pos < z.size()) {
    std::size_t portion = std::min<std::size_t>(512, z.size() - pos);
    std::size_t availIn = portion;
    // Drain each portion with rooms that fill exactly: a full room with no input left is
    // "give me more", never an error.
    do {
      std::size_t availOut = sizeof room;
      ASSERT_EQ(d.Decompress(&availIn, &availOut, z.data() + pos + (portion - availIn), room, zstd),
                StreamDecompressor::kOk);
      out.insert(out.end(), room, room + (sizeof room - availOut));
      if (availOut != 0) break;
    } while (true);
    ASSERT_EQ(availIn, 0u);
    pos += portion;
  }
  EXPECT_EQ(out, plain);
}

TEST_P(Kinds, BlockAccountsForShortAndExcessOutput) {
  const bool zstd = GetParam();
  Compressor c(KindOf(zstd));
  StreamDecompressor d;
  const Buf plain = Pattern(4000, 7);
  Buf z = c.Block(plain);
  Buf out(plain.size() + 10);
  auto r = d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), zstd);  // short
  EXPECT_EQ(r.result, StreamDecompressor::kOk);
  EXPECT_EQ(r.produced, plain.size());
  EXPECT_FALSE(r.Exactly(out.size()));

  z = c.Block(plain);
  r = d.DecompressBlock(z.data(), z.size(), out.data(), 1000, zstd);  // too much: rest drained
  EXPECT_TRUE(r.excess);
  EXPECT_FALSE(r.Exactly(1000));
  // The stream stays in step: the next block decodes.
  const Buf next = Pattern(3000, 9);
  z = c.Block(next);
  r = d.DecompressBlock(z.data(), z.size(), out.data(), next.size(), zstd);
  EXPECT_TRUE(r.Exactly(next.size()));
  EXPECT_TRUE(std::equal(next.begin(), next.end(), out.begin()));
}

TEST_P(Kinds, CorruptDataIsAnErrorUntilReset) {
  const bool zstd = GetParam();
  StreamDecompressor d;
  Buf junk(64, 0xFF);
  Buf out(100);
  EXPECT_EQ(d.DecompressBlock(junk.data(), junk.size(), out.data(), out.size(), zstd).result,
            StreamDecompressor::kError);
  Compressor c(KindOf(zstd));
  const Buf plain = Pattern(100, 3);
  Buf z = c.Block(plain);
  EXPECT_EQ(d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), zstd).result, StreamDecompressor::kError);
  d.Reset(zstd);
  auto r = d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), zstd);
  EXPECT_TRUE(r.Exactly(plain.size()));
  EXPECT_EQ(out, plain);
}

TEST_P(Kinds, ResetOfOneKindLeavesTheOther) {
  const bool zstd = GetParam();
  Compressor same(KindOf(zstd));
  StreamDecompressor d;
  const Buf a = Pattern(2000, 13);
  Buf out(a.size());
  Buf z = same.Block(a);
  ASSERT_TRUE(d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), zstd).Exactly(a.size()));
  d.Reset(!zstd);  // the other kind: this stream goes on
  z = same.Block(a);
  EXPECT_TRUE(d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), zstd).Exactly(a.size()));
  EXPECT_EQ(out, a);
  // After its own reset it takes a new stream.
  d.Reset(zstd);
  Compressor fresh(KindOf(zstd));
  z = fresh.Block(a);
  EXPECT_TRUE(d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), zstd).Exactly(a.size()));
  EXPECT_EQ(out, a);
}

INSTANTIATE_TEST_SUITE_P(ZlibAndZstd, Kinds, ::testing::Values(false, true),
                         [](const auto& i) { return std::string(i.param ? "zstd" : "zlib"); });

TEST(StreamDecompressor, ZlibDataAfterTheStreamEndIsAnError) {
  Buf plain = Pattern(300, 3);
  Buf z(compressBound(plain.size()));
  uLongf zl = z.size();
  compress(z.data(), &zl, plain.data(), plain.size());  // a complete (ended) stream
  z.resize(zl);
  StreamDecompressor d;
  Buf out(plain.size());
  auto r = d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), false);
  EXPECT_EQ(r.result, StreamDecompressor::kStreamEnd);
  EXPECT_EQ(r.produced, plain.size());
  EXPECT_EQ(d.DecompressBlock(z.data(), z.size(), out.data(), out.size(), false).result, StreamDecompressor::kError);
}

}  // namespace
