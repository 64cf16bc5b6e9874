#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/zip/ZipBuilder.h"
#include "zip/UnzipInflate.h"
#include "zip/ZipCrc32.h"

namespace {

using ziptest::Bytes;
using ziptest::RawDeflate;  // zlib, the reference encoder

Bytes Sample(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
  for (std::size_t i = 0; i < n;) {
    if (rng() % 4 == 0) {
      b[i++] = static_cast<std::uint8_t>(rng());
    } else {
      const char* w = words[rng() % 6];
      for (std::size_t k = 0; w[k] && i < n; k++) b[i++] = static_cast<std::uint8_t>(w[k]);
    }
  }
  return b;
}

// Feeds the input in pieces of a given size, to cross every refill path.
struct Chunked {
  const Bytes* in;
  std::size_t chunk;
  std::size_t pos = 0;
  Bytes out;
};

UnzipInflateResult Inflate(const Bytes& in, bool d64, std::size_t chunk, Bytes* out) {
  Chunked c{&in, chunk, 0, {}};
  UnzipInflateIo io;
  io.opaque = &c;
  io.fill = [](void* o, const std::uint8_t** data) -> long {
    auto* s = static_cast<Chunked*>(o);
    std::size_t n = std::min(s->chunk, s->in->size() - s->pos);
    *data = s->in->data() + s->pos;
    s->pos += n;
    return static_cast<long>(n);
  };
  io.flush = [](void* o, const std::uint8_t* data, std::size_t len) -> int {
    auto* s = static_cast<Chunked*>(o);
    s->out.insert(s->out.end(), data, data + len);
    return 0;
  };
  Bytes window(kUnzipWindowSize);
  UnzipInflateResult r = UnzipInflate(window.data(), d64, io);
  *out = c.out;
  return r;
}

TEST(Crc32, KnownValues) {
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(ZipUpdateCrc32(0, abc, 3), 0x352441C2u);
  EXPECT_EQ(ZipUpdateCrc32(0, abc, 0), 0u);
  EXPECT_EQ(ZipUpdateCrc32(0x1234, nullptr, 5), 0u);
  // In pieces, and against zlib over lengths that cross the eight-byte passes.
  Bytes data = Sample(1000, 7);
  for (std::size_t n : {1u, 7u, 8u, 9u, 63u, 1000u}) {
    std::uint32_t piecewise = ZipUpdateCrc32(ZipUpdateCrc32(0, data.data(), n / 2), data.data() + n / 2, n - n / 2);
    EXPECT_EQ(piecewise, crc32(0, data.data(), static_cast<uInt>(n))) << n;
  }
  EXPECT_EQ(ZipLazyCrcTable()[1], 0x77073096u);
}

TEST(Inflate, MatchesZlibAtEveryLevelAndChunking) {
  struct Case {
    std::size_t size;
    int level;
    int strategy;
  } cases[] = {
      {0, 6, Z_DEFAULT_STRATEGY},      {1, 6, Z_DEFAULT_STRATEGY},   {5000, 0, Z_DEFAULT_STRATEGY},
      {200000, 1, Z_DEFAULT_STRATEGY}, {300000, 9, Z_DEFAULT_STRATEGY}, {100000, 6, Z_FIXED},
      {100000, 6, Z_HUFFMAN_ONLY},     {100000, 6, Z_RLE},
  };
  for (const Case& c : cases) {
    Bytes plain = Sample(c.size, static_cast<unsigned>(c.size + c.level));
    Bytes packed = RawDeflate(plain, c.level, c.strategy);
    for (std::size_t chunk : {1u, 7u, 8192u, 1u << 20}) {
      Bytes out;
      UnzipInflateResult r = Inflate(packed, false, chunk, &out);
      ASSERT_EQ(r.code, 0) << c.size << " level " << c.level << " chunk " << chunk;
      EXPECT_EQ(out, plain);
      EXPECT_EQ(r.consumed, packed.size());
    }
  }
}

TEST(Inflate, LongRunsAcrossTheWindow) {
  Bytes plain(400000, 'x');
  for (std::size_t i = 0; i < plain.size(); i += 70001) plain[i] = 'y';
  Bytes packed = RawDeflate(plain, 9);
  Bytes out;
  ASSERT_EQ(Inflate(packed, false, 8192, &out).code, 0);
  EXPECT_EQ(out, plain);
}

// Hand-made streams, bit by bit (LSB first).
struct BitWriter {
  Bytes out;
  unsigned acc = 0, n = 0;
  void Put(unsigned value, unsigned bits) {
    for (unsigned i = 0; i < bits; i++) {
      acc |= ((value >> i) & 1u) << n;
      if (++n == 8) {
        out.push_back(static_cast<std::uint8_t>(acc));
        acc = n = 0;
      }
    }
  }
  // A Huffman code goes out first bit first.
  void Code(unsigned code, unsigned len) {
    for (unsigned i = len; i-- > 0;) Put((code >> i) & 1u, 1);
  }
  Bytes Done() {
    if (n) out.push_back(static_cast<std::uint8_t>(acc));
    acc = n = 0;
    return out;
  }
};

// Fixed-code helpers.
void FixedLiteral(BitWriter& w, unsigned sym) {
  if (sym < 144) w.Code(0x30 + sym, 8);
  else if (sym < 256) w.Code(0x190 + sym - 144, 9);
  else if (sym < 280) w.Code(sym - 256, 7);
  else w.Code(0xC0 + sym - 280, 8);
}

TEST(Inflate, InvalidStreamsAreRejected) {
  struct Case {
    const char* what;
    Bytes stream;
    bool d64;
  };
  std::vector<Case> cases;
  {
    BitWriter w;  // stored block with a bad NLEN
    w.Put(1, 1);
    w.Put(0, 2);
    Bytes b = w.Done();
    b.insert(b.end(), {0x05, 0x00, 0x00, 0x00, 'h', 'e', 'l', 'l', 'o'});
    cases.push_back({"stored NLEN", b, false});
  }
  {
    BitWriter w;  // reserved block type
    w.Put(1, 1);
    w.Put(3, 2);
    cases.push_back({"block type 3", w.Done(), false});
  }
  {
    BitWriter w;  // a distance before the first byte
    w.Put(1, 1);
    w.Put(1, 2);
    FixedLiteral(w, 'a');
    FixedLiteral(w, 257);  // length 3
    w.Code(1, 5);          // distance 2
    FixedLiteral(w, 256);
    cases.push_back({"distance too far", w.Done(), false});
  }
  {
    BitWriter w;  // distance code 30 is not deflate
    w.Put(1, 1);
    w.Put(1, 2);
    for (int i = 0; i < 4; i++) FixedLiteral(w, 'a');
    FixedLiteral(w, 257);
    w.Code(30, 5);
    w.Put(0, 14);
    FixedLiteral(w, 256);
    cases.push_back({"distance code 30", w.Done(), false});
  }
  {
    BitWriter w;  // HLIT above 286
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(30, 5);
    w.Put(0, 5);
    w.Put(15, 4);
    for (int i = 0; i < 19; i++) w.Put(4, 3);
    w.Put(0, 32);
    cases.push_back({"HLIT 287", w.Done(), false});
  }
  {
    // Code-length code: symbols 16 and 0..15 get lengths so that 16 is the first symbol
    // read. Lengths of 5 bits for all 19: a complete code of 32 slots? No: 19 codes of
    // length 5 leave it incomplete, which is accepted for this code; 16 is code 16.
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(0, 5);   // 257 literal/length codes
    w.Put(0, 5);   // 1 distance code
    w.Put(15, 4);  // 19 code-length codes
    for (int i = 0; i < 19; i++) w.Put(5, 3);
    // Canonical codes of 19 five-bit symbols: symbol s gets code s.
    w.Code(16, 5);  // repeat with nothing before it
    w.Put(0, 2);
    w.Put(0, 32);
    cases.push_back({"repeat first", w.Done(), false});
  }
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(0, 5);
    w.Put(0, 5);
    w.Put(15, 4);
    for (int i = 0; i < 19; i++) w.Put(5, 3);
    w.Code(18, 5);  // 138 zeros
    w.Put(127, 7);
    w.Code(18, 5);  // 138 more: past the 258 lengths
    w.Put(127, 7);
    w.Put(0, 32);
    cases.push_back({"repeat past the end", w.Done(), false});
  }
  {
    // Fixed block cut short in the middle.
    Bytes plain = Sample(5000, 3);
    Bytes packed = RawDeflate(plain, 6);
    packed.resize(packed.size() / 2);
    cases.push_back({"truncated", packed, false});
  }
  for (const Case& c : cases) {
    Bytes out;
    UnzipInflateResult r = Inflate(c.stream, c.d64, 3, &out);
    EXPECT_NE(r.code, 0) << c.what;
  }
}

TEST(Inflate, Deflate64LongLengthAndFarDistance) {
  // 40000 varied bytes as stored, then a fixed-code match of length 258 + 16 extra bits
  // from 40000 bytes back (distance code 30: 32769 + 14 extra bits).
  Bytes head = Sample(40000, 11);
  BitWriter w;
  // Stored blocks of at most 65535 bytes.
  w.Put(0, 1);
  w.Put(0, 2);
  Bytes stream = w.Done();
  std::uint16_t len = static_cast<std::uint16_t>(head.size());
  stream.push_back(static_cast<std::uint8_t>(len));
  stream.push_back(static_cast<std::uint8_t>(len >> 8));
  stream.push_back(static_cast<std::uint8_t>(~len));
  stream.push_back(static_cast<std::uint8_t>(~len >> 8));
  stream.insert(stream.end(), head.begin(), head.end());
  BitWriter f;
  f.Put(1, 1);
  f.Put(1, 2);
  const unsigned extraLen = 1000;  // length 3 + 1000
  FixedLiteral(f, 285);
  f.Put(extraLen, 16);
  f.Code(30, 5);
  f.Put(40000 - 32769, 14);
  FixedLiteral(f, 256);
  Bytes tail = f.Done();
  stream.insert(stream.end(), tail.begin(), tail.end());

  Bytes expect = head;
  for (unsigned i = 0; i < 3 + extraLen; i++) expect.push_back(expect[expect.size() - 40000]);
  Bytes out;
  UnzipInflateResult r = Inflate(stream, true, 8192, &out);
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(out, expect);
  // The same stream is invalid as plain deflate.
  EXPECT_NE(Inflate(stream, false, 8192, &out).code, 0);
}

TEST(Inflate, SingleDistanceCodeOfOneBitIsAccepted) {
  // A dynamic block whose only distance code has one bit, as RFC 1951 allows.
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  w.Put(1, 5);   // 258 literal/length codes
  w.Put(0, 5);   // 1 distance code
  w.Put(14, 4);  // 18 code-length codes (up to symbol 1 in the order)
  // Code lengths in order 16,17,18,0,8,7,9,6,10,5,11,4,12,3,13,2,14,1: give 18, 0, 1, 2
  // two-bit codes: symbols 0,1,2,18 -> codes (canonical by symbol) 0:00 1:01 2:10 18:11.
  unsigned cl[19] = {};
  cl[0] = cl[1] = cl[2] = cl[18] = 2;
  const unsigned order[18] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1};
  for (unsigned s : order) w.Put(cl[s], 3);
  auto sym = [&](unsigned s) {
    unsigned code = s == 0 ? 0 : s == 1 ? 1 : s == 2 ? 2 : 3;
    w.Code(code, 2);
  };
  // Literal/length lengths: 'a' (97) length 1, 256 length 2, 257 length 2; rest 0.
  sym(18); w.Put(97 - 11, 7);        // 97 zeros
  sym(1);                              // 'a'
  sym(18); w.Put(138 - 11, 7);        // 98..235 zeros
  sym(18); w.Put(20 - 11, 7);         // 236..255 zeros
  sym(2);                              // 256
  sym(2);                              // 257
  sym(1);                              // distance code 0: one bit
  // Codes: 'a' = 0, 256 = 10, 257 = 11; distance 0 = 0.
  w.Code(0, 1);  // a
  w.Code(3, 2);  // length 3
  w.Code(0, 1);  // distance 1
  w.Code(2, 2);  // end
  Bytes out;
  UnzipInflateResult r = Inflate(w.Done(), false, 5, &out);
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(std::string(out.begin(), out.end()), "aaaa");
}

TEST(Inflate, BufferHelperBoundsItsOutput) {
  Bytes plain = Sample(3000, 5);
  Bytes packed = RawDeflate(plain, 9);
  Bytes out(3000);
  EXPECT_EQ(UnzipInflateBuffer(packed.data(), packed.size(), out.data(), out.size(), false), 3000);
  EXPECT_EQ(out, plain);
  EXPECT_EQ(UnzipInflateBuffer(packed.data(), packed.size(), out.data(), 2999, false), -1);
}

}  // namespace
