#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rdr/Exception.h"
#include "rdr/MemInStream.h"
#include "rdr/MemOutStream.h"
#include "rdr/ZlibInStream.h"
#include "rdr/ZlibOutStream.h"
#include "rdr/ZstdInStream.h"
#include "rdr/xzInStream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Sample(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  // Compressible but not trivial: runs of random bytes.
  for (std::size_t i = 0; i < n;) {
    std::uint8_t v = static_cast<std::uint8_t>(rng());
    std::size_t run = 1 + rng() % 12;
    for (std::size_t k = 0; k < run && i < n; k++) b[i++] = v;
  }
  return b;
}

// A persistent zlib stream cut into sync-flushed blocks, as a server sends them.
std::vector<Bytes> ZlibBlocks(const std::vector<Bytes>& plain) {
  z_stream zs{};
  deflateInit(&zs, 6);
  std::vector<Bytes> out;
  for (const auto& p : plain) {
    Bytes buf(compressBound(p.size()) + 64);
    zs.next_in = const_cast<Bytef*>(p.data());
    zs.avail_in = static_cast<uInt>(p.size());
    zs.next_out = buf.data();
    zs.avail_out = static_cast<uInt>(buf.size());
    deflate(&zs, Z_SYNC_FLUSH);
    buf.resize(buf.size() - zs.avail_out);
    out.push_back(buf);
  }
  deflateEnd(&zs);
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(ZlibInStream, PersistentStreamAcrossBlocksWithReadsOfEverySize) {
  std::vector<Bytes> plain = {Sample(100, 1), Sample(70000, 2), Sample(1, 3), Sample(16384, 4)};
  auto blocks = ZlibBlocks(plain);
  Bytes wire = Concat(blocks);
  wire.push_back(0xEE);  // the next message's first byte
  rdr::MemInStream under(wire.data(), wire.size());
  rdr::ZlibInStream z;
  for (std::size_t i = 0; i < plain.size(); i++) {
    z.SetUnderlying(&under, blocks[i].size());
    Bytes got(plain[i].size());
    std::size_t off = 0, step = 1;
    while (off < got.size()) {
      std::size_t n = std::min(step, got.size() - off);
      z.ReadBytes(got.data() + off, n);
      off += n;
      step = step * 3 + 1;
    }
    EXPECT_EQ(got, plain[i]) << "block " << i;
    z.Reset();
  }
  EXPECT_EQ(under.ReadU8(), 0xEE);  // exactly the compressed bytes were consumed
}

TEST(ZlibInStream, ResetConsumesTheUnreadRestOfTheBlock) {
  std::vector<Bytes> plain = {Sample(50000, 5), Sample(3000, 6)};
  auto blocks = ZlibBlocks(plain);
  Bytes wire = Concat(blocks);
  rdr::MemInStream under(wire.data(), wire.size());
  rdr::ZlibInStream z;
  z.SetUnderlying(&under, blocks[0].size());
  EXPECT_EQ(z.ReadU8(), plain[0][0]);
  z.Reset();  // the reader stopped early (a bad rectangle): skip the rest
  z.SetUnderlying(&under, blocks[1].size());
  Bytes got(plain[1].size());
  z.ReadBytes(got.data(), got.size());
  EXPECT_EQ(got, plain[1]);  // the dictionary still holds the first block's data
}

TEST(ZlibInStream, AskingForMoreThanTheBlockHoldsThrowsInsteadOfSpinning) {
  auto blocks = ZlibBlocks({Sample(100, 7)});
  rdr::MemInStream under(blocks[0].data(), blocks[0].size());
  rdr::ZlibInStream z;
  z.SetUnderlying(&under, blocks[0].size());
  Bytes got(101);
  EXPECT_THROW(z.ReadBytes(got.data(), got.size()), rdr::Exception);
}

TEST(ZlibInStream, AfterTheEndOfTheStreamNothingMoreComes) {
  Bytes plain = Sample(1000, 8);
  Bytes comp(compressBound(plain.size()));
  uLongf n = comp.size();
  compress(comp.data(), &n, plain.data(), plain.size());
  comp.resize(n);
  Bytes wire = comp;
  wire.insert(wire.end(), 16, 0x00);  // a second "block" after Z_STREAM_END
  rdr::MemInStream under(wire.data(), wire.size());
  rdr::ZlibInStream z;
  z.SetUnderlying(&under, comp.size());
  Bytes got(plain.size());
  z.ReadBytes(got.data(), got.size());
  EXPECT_EQ(got, plain);
  z.SetUnderlying(&under, 16);
  EXPECT_THROW(z.ReadU8(), rdr::Exception);
}

TEST(ZlibInStream, CorruptDataIsAStreamError) {
  Bytes junk = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  rdr::MemInStream under(junk.data(), junk.size());
  rdr::ZlibInStream z;
  z.SetUnderlying(&under, junk.size());
  try {
    z.ReadU8();
    FAIL();
  } catch (const rdr::Exception& e) {
    EXPECT_STREQ(e.str(), "rdr::Exception: ZlibInStream: inflate failed");
  }
}

TEST(ZlibInStream, HugeBlockCountsAreHeldWithoutTruncation) {
  // A u32 count of 2^31 or more, and more than the underlying stream really has: the
  // underlying stream's own end is reached, not a wrapped count.
  auto blocks = ZlibBlocks({Sample(300, 9)});
  for (std::uint64_t count : {std::uint64_t(1) << 31, std::uint64_t(0xFFFFFFFFu), std::uint64_t(1) << 32}) {
    rdr::MemInStream under(blocks[0].data(), blocks[0].size());
    rdr::ZlibInStream z;
    z.SetUnderlying(&under, count);
    EXPECT_EQ(z.CompressedBytesLeft(), count);
    Bytes got(300);
    z.ReadBytes(got.data(), got.size());
    EXPECT_THROW(z.ReadU8(), rdr::EndOfStream);
  }
}

TEST(ZlibInStream, ItemLargerThanTheBufferAndMissingSource) {
  rdr::ZlibInStream z(1024);
  try {
    z.Check(1);
    FAIL();
  } catch (const rdr::Exception& e) {
    EXPECT_STREQ(e.str(), "rdr::Exception: ZlibInStream overrun: no underlying stream");
  }
  Bytes b = {0};
  rdr::MemInStream under(b.data(), b.size());
  z.SetUnderlying(&under, 1);
  try {
    z.Check(2000);
    FAIL();
  } catch (const rdr::Exception& e) {
    EXPECT_STREQ(e.str(), "rdr::Exception: ZlibInStream overrun: max itemSize exceeded");
  }
}

TEST(ZlibInStream, ResetDecompressorStartsANewStream) {
  auto first = ZlibBlocks({Sample(500, 10), Sample(500, 11)});
  auto second = ZlibBlocks({Sample(700, 12)});
  Bytes wire = first[0];
  wire.insert(wire.end(), second[0].begin(), second[0].end());
  rdr::MemInStream under(wire.data(), wire.size());
  rdr::ZlibInStream z;
  z.SetUnderlying(&under, first[0].size());
  z.Reset();
  z.ResetDecompressor();  // e.g. a reconnect: the server starts a fresh stream
  z.SetUnderlying(&under, second[0].size());
  Bytes got(700);
  z.ReadBytes(got.data(), got.size());
  EXPECT_EQ(got, Sample(700, 12));
}

TEST(ZlibOutStream, RoundTripThroughZlibInStreamAndFlushes) {
  rdr::MemOutStream sink;
  Bytes plain = Sample(200000, 13);
  {
    rdr::ZlibOutStream z(&sink, 4096, 6);
    z.WriteBytes(plain.data(), 100000);
    z.Flush();
    std::size_t afterFlush = sink.Length();
    EXPECT_GT(afterFlush, 0u);
    z.WriteBytes(plain.data() + 100000, 100000);
    EXPECT_EQ(z.Length(), plain.size());
  }  // the destructor flushes the rest
  rdr::MemInStream under(sink.Data(), sink.Length());
  rdr::ZlibInStream in;
  in.SetUnderlying(&under, sink.Length());
  Bytes got(plain.size());
  in.ReadBytes(got.data(), got.size());
  EXPECT_EQ(got, plain);
}

// zstd: frames of a persistent stream, flushed per block.
std::vector<Bytes> ZstdBlocks(const std::vector<Bytes>& plain) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  std::vector<Bytes> out;
  for (const auto& p : plain) {
    Bytes buf(ZSTD_compressBound(p.size()) + 64);
    ZSTD_inBuffer in{p.data(), p.size(), 0};
    ZSTD_outBuffer o{buf.data(), buf.size(), 0};
    while (ZSTD_compressStream2(c, &o, &in, ZSTD_e_flush) != 0) {
    }
    buf.resize(o.pos);
    out.push_back(buf);
  }
  ZSTD_freeCCtx(c);
  return out;
}

TEST(ZstdInStream, PersistentStreamAcrossBlocks) {
  std::vector<Bytes> plain = {Sample(10, 20), Sample(300000, 21), Sample(5000, 22)};
  auto blocks = ZstdBlocks(plain);
  Bytes wire = Concat(blocks);
  wire.push_back(0x77);
  rdr::MemInStream under(wire.data(), wire.size());
  rdr::ZstdInStream z;
  EXPECT_GE(z.BufferSize(), 131075u);
  for (std::size_t i = 0; i < plain.size(); i++) {
    z.SetUnderlying(&under, blocks[i].size());
    Bytes got(plain[i].size());
    z.ReadBytes(got.data(), got.size());
    EXPECT_EQ(got, plain[i]);
    z.Reset();
  }
  EXPECT_EQ(under.ReadU8(), 0x77);
}

TEST(ZstdInStream, AfterTheEndOfAFrameAndOnGarbage) {
  Bytes plain = Sample(1000, 23);
  Bytes comp(ZSTD_compressBound(plain.size()));
  comp.resize(ZSTD_compress(comp.data(), comp.size(), plain.data(), plain.size(), 3));
  rdr::MemInStream under(comp.data(), comp.size());
  rdr::ZstdInStream z;
  z.SetUnderlying(&under, comp.size());
  Bytes got(plain.size());
  z.ReadBytes(got.data(), got.size());
  EXPECT_EQ(got, plain);
  EXPECT_THROW(z.ReadU8(), rdr::Exception);  // frame ended, block used up: no spinning

  Bytes junk(64, 0xAB);
  rdr::MemInStream bad(junk.data(), junk.size());
  rdr::ZstdInStream z2;
  z2.SetUnderlying(&bad, junk.size());
  EXPECT_THROW(z2.ReadU8(), rdr::Exception);
}

Bytes XzCompress(const Bytes& plain, std::uint32_t dictSize) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 1);
  opt.dict_size = dictSize;
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(plain.size() + plain.size() / 2 + 4096);
  std::size_t pos = 0;
  EXPECT_EQ(lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC32, nullptr, plain.data(), plain.size(), out.data(),
                                      &pos, out.size()),
            LZMA_OK);
  out.resize(pos);
  return out;
}

TEST(xzInStream, DecodesAndStopsAtTheEnd) {
  Bytes plain = Sample(150000, 30);
  Bytes comp = XzCompress(plain, 1 << 20);
  rdr::MemInStream under(comp.data(), comp.size());
  rdr::xzInStream z;
  z.SetUnderlying(&under, comp.size());
  Bytes got(plain.size());
  z.ReadBytes(got.data(), got.size());
  EXPECT_EQ(got, plain);
  EXPECT_THROW(z.ReadU8(), rdr::Exception);
}

TEST(xzInStream, HeaderAskingForAHugeDictionaryIsRefused) {
  Bytes comp = XzCompress(Sample(1000, 31), 1 << 20);
  // Patch the LZMA2 dictionary-size byte of the block header to 3 GiB and fix its CRC.
  std::size_t hdr = 12;
  std::size_t hdrSize = (comp[hdr] + 1u) * 4;
  bool patched = false;
  for (std::size_t i = hdr + 2; i + 2 < hdr + hdrSize - 4; i++) {
    if (comp[i] == 0x21 && comp[i + 1] == 0x01) {
      comp[i + 2] = 39;
      patched = true;
      break;
    }
  }
  ASSERT_TRUE(patched);
  uLong crc = crc32(0, comp.data() + hdr, static_cast<uInt>(hdrSize - 4));
  for (int k = 0; k < 4; k++) comp[hdr + hdrSize - 4 + k] = static_cast<std::uint8_t>(crc >> (8 * k));
  rdr::MemInStream under(comp.data(), comp.size());
  rdr::xzInStream z;
  z.SetUnderlying(&under, comp.size());
  try {
    z.ReadU8();
    FAIL() << "a 3 GiB dictionary was accepted";
  } catch (const rdr::Exception& e) {
    EXPECT_STREQ(e.str(), "rdr::Exception: lzmaOutStream: decompress failed");
  }
}

}  // namespace
