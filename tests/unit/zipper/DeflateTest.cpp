// The archiver's deflate, checked by zlib's inflate.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/zipper/ZipperSupport.h"
#include "zip/ZipCrc32.h"
#include "zip/ZipDeflate.h"

namespace {

using zipper::Random;
using zipper::Text;

class VectorSource : public ZipDeflateSource {
public:
  // chunk: the most bytes handed out per read (readers may give less than asked).
  VectorSource(const std::vector<std::uint8_t>& data, std::size_t chunk = ~std::size_t(0), long failAfter = -1)
      : data_(data), chunk_(chunk), failAfter_(failAfter) {}
  long Read(std::uint8_t* buf, std::size_t len) override {
    if (failAfter_ >= 0 && pos_ >= static_cast<std::size_t>(failAfter_)) return -1;
    std::size_t n = std::min({len, chunk_, data_.size() - pos_});
    if (n > 0) std::memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }

private:
  const std::vector<std::uint8_t>& data_;
  std::size_t chunk_;
  long failAfter_;
  std::size_t pos_ = 0;
};

class VectorSink : public ZipDeflateSink {
public:
  explicit VectorSink(std::size_t limit = ~std::size_t(0)) : limit_(limit) {}
  bool Write(const std::uint8_t* data, std::size_t len) override {
    if (out.size() + len > limit_) return false;
    out.insert(out.end(), data, data + len);
    return true;
  }
  std::vector<std::uint8_t> out;

private:
  std::size_t limit_;
};

// Raw inflate by zlib; false when zlib rejects the stream or it does not end exactly.
bool ZlibInflate(const std::vector<std::uint8_t>& in, std::size_t expected, std::vector<std::uint8_t>* out) {
  out->assign(expected + 1, 0);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(out->size());
  int r = inflate(&z, Z_FINISH);
  bool ok = r == Z_STREAM_END && z.avail_in == 0;
  out->resize(z.total_out);
  inflateEnd(&z);
  return ok;
}

std::vector<std::uint8_t> Deflate(ZipDeflater& d, int level, const std::vector<std::uint8_t>& in,
                                  ZipDeflateOutcome* outcome = nullptr, bool mayStore = false,
                                  std::size_t chunk = ~std::size_t(0)) {
  VectorSource src(in, chunk);
  VectorSink sink;
  ZipDeflateOutcome o;
  EXPECT_EQ(d.Deflate(level, &src, &sink, mayStore, &o), ZipDeflateStatus::kOk);
  EXPECT_EQ(o.bytesIn, in.size());
  EXPECT_EQ(o.bytesOut, sink.out.size());
  if (outcome) *outcome = o;
  return sink.out;
}

struct Input {
  const char* name;
  std::vector<std::uint8_t> data;
};

std::vector<Input> Inputs() {
  std::vector<Input> v;
  v.push_back({"empty", {}});
  v.push_back({"one byte", {0x41}});
  for (std::size_t n : {32767u, 32768u, 32769u, 65535u, 65536u, 65537u}) {
    v.push_back({"random", Random(n, static_cast<std::uint32_t>(n))});
    v.push_back({"text", Text(n)});
  }
  // Runs of one byte: the longest matches, and distance 1.
  v.push_back({"run", std::vector<std::uint8_t>(300000, 'z')});
  // A block of random data repeated at exactly the window's reach and beyond it.
  std::vector<std::uint8_t> far = Random(20000, 3);
  std::vector<std::uint8_t> echo = far;
  echo.resize(32768 - 262, 0);
  echo.insert(echo.end(), far.begin(), far.end());
  echo.resize(32768 + 20000, 1);
  echo.insert(echo.end(), far.begin(), far.end());
  v.push_back({"far echoes", echo});
  // Text with binary stretches, several blocks long and switching between them.
  std::vector<std::uint8_t> mixed;
  for (int i = 0; i < 12; i++) {
    auto part = i % 2 ? Random(9000, static_cast<std::uint32_t>(i)) : Text(40000);
    mixed.insert(mixed.end(), part.begin(), part.end());
  }
  v.push_back({"mixed", mixed});
  // Literal counts that follow the Fibonacci numbers make the ideal Huffman code
  // deeper than 15 bits: the length limit must rebalance it.
  std::vector<std::uint8_t> fib;
  std::uint64_t a = 1, b = 1;
  for (int sym = 0; sym < 26; sym++) {
    for (std::uint64_t k = 0; k < a; k++) fib.push_back(static_cast<std::uint8_t>(sym * 9 + 3));
    std::uint64_t c = a + b;
    a = b;
    b = c;
  }
  std::uint32_t x = 99;
  for (std::size_t i = fib.size(); i > 1; i--) {  // shuffled, so that few matches form
    x = x * 1664525u + 1013904223u;
    std::swap(fib[i - 1], fib[x % i]);
  }
  v.push_back({"fibonacci frequencies", fib});
  return v;
}

TEST(Deflate, ZlibInflatesEveryLevel) {
  ZipDeflater d;
  for (const Input& in : Inputs()) {
    for (int level = 1; level <= 9; level++) {
      SCOPED_TRACE(std::string(in.name) + " size " + std::to_string(in.data.size()) + " level " + std::to_string(level));
      // Reads that come in small, odd pieces must not change the result.
      std::vector<std::uint8_t> c = Deflate(d, level, in.data);
      std::vector<std::uint8_t> c2 = Deflate(d, level, in.data, nullptr, false, 1000);
      EXPECT_EQ(c, c2);
      std::vector<std::uint8_t> back;
      ASSERT_TRUE(ZlibInflate(c, in.data.size(), &back));
      ASSERT_TRUE(back == in.data);
    }
  }
}

TEST(Deflate, CompressesLikeZlibAtEqualLevel) {
  ZipDeflater d;
  std::vector<std::uint8_t> text = Text(400000);
  for (int level : {1, 6, 9}) {
    std::vector<std::uint8_t> ours = Deflate(d, level, text);
    uLongf zsize = compressBound(static_cast<uLong>(text.size()));
    std::vector<std::uint8_t> z(zsize);
    ASSERT_EQ(compress2(z.data(), &zsize, text.data(), static_cast<uLong>(text.size()), level), Z_OK);
    zsize -= 6;  // zlib header and Adler-32
    SCOPED_TRACE(level);
    EXPECT_LT(static_cast<double>(ours.size()), zsize * 1.01);
  }
}

// The type of the first block: 0 stored, 1 fixed, 2 dynamic.
int FirstBlockType(const std::vector<std::uint8_t>& c) { return (c.at(0) >> 1) & 3; }

TEST(Deflate, ChoosesTheCheapestBlockForm) {
  ZipDeflater d;
  ZipDeflateOutcome o;
  // Short and repetitive: fixed codes beat sending trees.
  EXPECT_EQ(FirstBlockType(Deflate(d, 6, zipper::Bytes("abcabcabcabcabcabcabc"))), 1);
  // Long text: dynamic codes.
  EXPECT_EQ(FirstBlockType(Deflate(d, 6, Text(50000))), 2);
  // Random data in a stream that cannot change its method: stored blocks.
  std::vector<std::uint8_t> random = Random(100000, 5);
  std::vector<std::uint8_t> c = Deflate(d, 6, random, &o);
  EXPECT_EQ(FirstBlockType(c), 0);
  EXPECT_FALSE(o.storedWhole);
  EXPECT_LE(c.size(), random.size() + 5 * 4);
}

TEST(Deflate, DataThatDoesNotShrinkGoesOutAsItIs) {
  ZipDeflater d;
  ZipDeflateOutcome o;
  for (std::size_t n : {1u, 3u, 10000u, 32000u}) {
    std::vector<std::uint8_t> random = Random(n, 11);
    std::vector<std::uint8_t> c = Deflate(d, 6, random, &o, true);
    EXPECT_TRUE(o.storedWhole) << n;
    EXPECT_EQ(c, random);
  }
  // Data that shrinks stays deflated, and so does data longer than one block.
  Deflate(d, 6, Text(10000), &o, true);
  EXPECT_FALSE(o.storedWhole);
  Deflate(d, 6, Random(200000, 2), &o, true);
  EXPECT_FALSE(o.storedWhole);
}

TEST(Deflate, JudgesTextFromTheFirstBlock) {
  ZipDeflater d;
  ZipDeflateOutcome o;
  Deflate(d, 6, Text(20000), &o);
  EXPECT_TRUE(o.text);
  std::vector<std::uint8_t> almost = Text(20000);
  almost[5000] = 0x03;
  Deflate(d, 6, almost, &o);
  EXPECT_FALSE(o.text);
  Deflate(d, 1, std::vector<std::uint8_t>(100, 0x1B), &o);  // ESC only: neither list
  EXPECT_FALSE(o.text);
  Deflate(d, 1, zipper::Bytes("\xe9t\xe9\t\xe9"), &o);
  EXPECT_TRUE(o.text);
}

TEST(Deflate, ReportsLevelReadAndWriteFailures) {
  ZipDeflater d;
  std::vector<std::uint8_t> data = Text(200000);
  ZipDeflateOutcome o;
  VectorSink sink;
  VectorSource src(data);
  EXPECT_EQ(d.Deflate(0, &src, &sink, false, &o), ZipDeflateStatus::kBadLevel);
  EXPECT_EQ(d.Deflate(10, &src, &sink, false, &o), ZipDeflateStatus::kBadLevel);
  VectorSource failing(data, 4096, 100000);
  EXPECT_EQ(d.Deflate(6, &failing, &sink, true, &o), ZipDeflateStatus::kReadError);
  EXPECT_FALSE(o.storedWhole);
  VectorSource src2(data);
  VectorSink small(1000);
  EXPECT_EQ(d.Deflate(6, &src2, &small, false, &o), ZipDeflateStatus::kWriteError);
  // The deflater is fine for the next entry.
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(ZlibInflate(Deflate(d, 6, data), data.size(), &back));
  EXPECT_TRUE(back == data);
}

TEST(Deflate, ToBufferHasMethodAndCrcInFront) {
  ZipDeflater d;
  std::vector<std::uint8_t> data = Text(5000);
  std::vector<std::uint8_t> target(6000);
  std::size_t written = 0;
  ASSERT_EQ(ZipDeflateToBuffer(&d, 6, data.data(), data.size(), target.data(), target.size(), &written), nullptr);
  EXPECT_EQ(zipper::Get16(&target[0]), 8);
  EXPECT_EQ(zipper::Get32(&target[2]), ZipUpdateCrc32(0, data.data(), data.size()));
  std::vector<std::uint8_t> body(target.begin() + 6, target.begin() + static_cast<std::ptrdiff_t>(written)), back;
  ASSERT_TRUE(ZlibInflate(body, data.size(), &back));
  EXPECT_TRUE(back == data);

  EXPECT_STREQ(ZipDeflateToBuffer(&d, 6, data.data(), data.size(), target.data(), 6, &written),
               "target buffer too small");
  EXPECT_STREQ(ZipDeflateToBuffer(&d, 6, data.data(), data.size(), target.data(), 40, &written),
               "output buffer too small for in-memory compression");
}

}  // namespace
