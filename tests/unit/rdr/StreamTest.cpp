#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "SocketFixture.h"
#include "rdr/Exception.h"
#include "rdr/FdInStream.h"
#include "rdr/MemInStream.h"
#include "rdr/MemOutStream.h"

namespace {

// Hands out its data in chunks of a fixed size and records every overrun call.
class ChunkedInStream : public rdr::InStream {
public:
  ChunkedInStream(std::vector<std::uint8_t> data, std::size_t chunk) : data_(std::move(data)), chunk_(chunk) {
    buf_.resize(64);
    ptr_ = end_ = buf_.data();
  }
  std::size_t Pos() override { return 0; }
  std::vector<std::pair<std::size_t, std::size_t>> calls;

protected:
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override {
    calls.emplace_back(itemSize, nItems);
    std::size_t unread = Avail();
    std::memmove(buf_.data(), ptr_, unread);
    ptr_ = buf_.data();
    end_ = ptr_ + unread;
    while (Avail() < itemSize) {
      if (pos_ >= data_.size()) throw rdr::EndOfStream("overrun");
      std::size_t n = std::min(chunk_, data_.size() - pos_);
      std::memcpy(const_cast<std::uint8_t*>(end_), data_.data() + pos_, n);
      pos_ += n;
      end_ += n;
    }
    return std::min(nItems, Avail() / itemSize);
  }

private:
  std::vector<std::uint8_t> data_, buf_;
  std::size_t chunk_, pos_ = 0;
};

TEST(InStream, U32AcrossAChunkBoundaryAsksForFourBytes) {
  ChunkedInStream in({0xAA, 0xBB, 0x12, 0x34, 0x56, 0x78}, 4);
  EXPECT_EQ(in.ReadU16(), 0xAABB);  // leaves 2 bytes buffered
  in.calls.clear();
  EXPECT_EQ(in.ReadU32(), 0x12345678u);
  ASSERT_EQ(in.calls.size(), 1u);
  EXPECT_EQ(in.calls[0], std::make_pair(std::size_t(4), std::size_t(1)));
}

TEST(InStream, ReadBytesAndSkipSpanManyRefills) {
  std::vector<std::uint8_t> data(1000);
  for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i * 7);
  ChunkedInStream in(data, 3);
  std::vector<std::uint8_t> out(500);
  in.ReadBytes(out.data(), out.size());
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  in.Skip(499);
  EXPECT_EQ(in.ReadU8(), data[999]);
  EXPECT_THROW(in.ReadU8(), rdr::EndOfStream);
}

TEST(MemInStream, RunningOutThrowsEndOfStreamOverrun) {
  const std::uint8_t bytes[] = {1, 2, 3};
  rdr::MemInStream in(bytes, sizeof bytes);
  EXPECT_EQ(in.ReadU16(), 0x0102);
  try {
    in.ReadU16();
    FAIL() << "no exception";
  } catch (const rdr::EndOfStream& e) {
    EXPECT_STREQ(e.str(), "rdr::EndOfStream: overrun");
  }
}

TEST(MemOutStream, GrowsToTwiceOrToWhatIsNeeded) {
  struct Case {
    std::size_t more, capacity;
  } cases[] = {{300, 400}, {50, 200}};
  for (const auto& c : cases) {
    rdr::MemOutStream out(100);
    std::vector<std::uint8_t> fill(100, 1);
    out.WriteBytes(fill.data(), fill.size());
    ASSERT_EQ(out.Capacity(), 100u);
    std::vector<std::uint8_t> more(c.more, 2);
    out.WriteBytes(more.data(), more.size());
    EXPECT_EQ(out.Capacity(), c.capacity) << c.more;
    EXPECT_EQ(out.Length(), 100 + c.more);
    EXPECT_EQ(out.Data()[99], 1);
    EXPECT_EQ(out.Data()[100], 2);
  }
}

TEST(MemOutStream, BigEndianWriters) {
  rdr::MemOutStream out;
  out.WriteU8(1);
  out.WriteU16(0x0203);
  out.WriteU32(0x04050607);
  out.WriteS32(-2);
  const std::uint8_t want[] = {1, 2, 3, 4, 5, 6, 7, 0xFF, 0xFF, 0xFF, 0xFE};
  ASSERT_EQ(out.Length(), sizeof want);
  EXPECT_EQ(0, std::memcmp(out.Data(), want, sizeof want));
}

TEST(Exception, TextIsTypeThenMessageCutAt255) {
  EXPECT_STREQ(rdr::Exception().str(), "rdr::Exception");
  EXPECT_STREQ(rdr::EndOfStream("read").str(), "rdr::EndOfStream: read");
  EXPECT_STREQ(rdr::TimedOut().str(), "rdr::TimedOut");
  std::string longText(1000, 'x');
  EXPECT_EQ(std::strlen(rdr::Exception(longText.c_str()).str()), 255u);
}

TEST(Exception, SystemExceptionNamesCallTextAndNumber) {
  rdr::SystemException e("read", 10054);
  EXPECT_EQ(e.err, 10054);
#ifdef _WIN32
  // The C runtime has no text for Winsock numbers; the connection thread recognises
  // a reset connection by exactly this text.
  EXPECT_STREQ(e.str(), "rdr::SystemException: read: Unknown error (10054)");
#else
  std::string t = e.str();
  EXPECT_EQ(t.rfind("rdr::SystemException: read: ", 0), 0u) << t;
  EXPECT_NE(t.find("(10054)"), std::string::npos) << t;
#endif
}

TEST(Clock, CounterConversionSurvivesLongUptime) {
  const std::uint64_t freq = 10000000;  // 10 MHz, a common performance-counter rate
  const std::uint64_t secs = 30ull * 24 * 3600;
  EXPECT_EQ(rdr::CounterToMicroseconds(secs * freq + freq / 2, freq), secs * 1000000 + 500000);
  const std::uint64_t ghz = 3000000000ull;  // a TSC-rate counter, 5 years up
  const std::uint64_t years = 5ull * 365 * 24 * 3600;
  EXPECT_EQ(rdr::CounterToMicroseconds(years * ghz, ghz), years * 1000000);
  // Against the standard library's monotonic clock read around it: the same interval, in
  // microseconds, however long the machine took for it.
  const auto outer0 = std::chrono::steady_clock::now();
  std::uint64_t a = rdr::GetTimeMicroseconds();
  rdr::SleepMs(20);
  std::uint64_t b = rdr::GetTimeMicroseconds();
  const auto outer = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - outer0);
  EXPECT_GE(b - a, 15000u);  // a sleep lasts at least its time (less a tick of the system's timer)
  EXPECT_LE(b - a, static_cast<std::uint64_t>(outer.count()) + 1000u);  // the two clocks' own rounding
}

using FdInStreamTest = SocketPairFixture;

// Wine's ntdll exports its version; Windows' does not.
bool UnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

TEST_F(FdInStreamTest, PartialReadsAreJoined) {
  rdr::FdInStream in(s[0], 20000);
  std::thread writer([this] {
    const char* parts[] = {"\x01", "\x02\x03", "\x04\x05\x06\x07", "\x08"};
    for (const char* p : parts) {
      Send(p, std::strlen(p));
      rdr::SleepMs(10);
    }
  });
  EXPECT_EQ(in.ReadU32(), 0x01020304u);
  EXPECT_EQ(in.ReadU32(), 0x05060708u);
  writer.join();
  EXPECT_EQ(in.Pos(), 8u);
}

TEST_F(FdInStreamTest, LargeReadTakesBufferedBytesThenTheSocket) {
  rdr::FdInStream in(s[0], 20000);
  std::vector<std::uint8_t> data(1034);
  for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  Send(data.data(), 10);
  in.Check(10);  // 10 bytes buffered now
  ASSERT_EQ(in.Avail(), 10u);
  std::thread writer([&] { Send(data.data() + 10, data.size() - 10); });
  std::vector<std::uint8_t> got(1024);
  in.ReadBytes(got.data(), got.size());
  writer.join();
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
  EXPECT_EQ(in.Pos(), 1024u);
  std::vector<std::uint8_t> rest(10);
  in.ReadBytes(rest.data(), rest.size());
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), data.begin() + 1024));
}

// A block whose length the reader knows is taken in one read however the peer cuts it;
// a peer that closes before the block is complete still ends the stream.
TEST_F(FdInStreamTest, KnownLengthBlockIsOneReadWhateverThePieces) {
  rdr::FdInStream in(s[0], 0, 256 * 1024);
  std::vector<std::uint8_t> data(200000);
  for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
  std::thread writer([&] {
    for (std::size_t at = 0; at < data.size(); at += 50000) {
      Send(data.data() + at, 50000);
      rdr::SleepMs(20);
    }
  });
  std::vector<std::uint8_t> got(data.size());
  in.ReadBytes(got.data(), got.size());
  writer.join();
  EXPECT_EQ(got, data);
  if (UnderWine())  // Wine 8 takes MSG_WAITALL but returns each piece as it comes
    EXPECT_LE(in.ReadCalls(), 4u);
  else
    EXPECT_EQ(in.ReadCalls(), 1u);

  Send(data.data(), 3000);
  CloseWriter();
  EXPECT_THROW(in.ReadBytes(got.data(), 5000), rdr::EndOfStream);
}

TEST_F(FdInStreamTest, PeerCloseIsEndOfStreamRead) {
  rdr::FdInStream in(s[0], 20000);
  Send("\x01");
  CloseWriter();
  EXPECT_EQ(in.ReadU8(), 1);
  try {
    in.ReadU8();
    FAIL() << "no exception";
  } catch (const rdr::EndOfStream& e) {
    EXPECT_STREQ(e.str(), "rdr::EndOfStream: read");
  }
}

TEST_F(FdInStreamTest, SilentPeerTimesOut) {
  rdr::FdInStream in(s[0], 200);
  std::uint64_t t0 = rdr::GetTimeMicroseconds();
  EXPECT_THROW(in.ReadU8(), rdr::TimedOut);
  EXPECT_GE(rdr::GetTimeMicroseconds() - t0, 150000u);
}

TEST_F(FdInStreamTest, BlockCallbackRunsBeforeABlockingRead) {
  rdr::FdInStream in(s[0], 0);
  struct Ctx {
    SocketPairFixture* f;
    int calls = 0;
  } ctx{this};
  in.SetBlockCallback(
      [](void* arg) {
        auto* c = static_cast<Ctx*>(arg);
        if (c->calls++ == 0) c->f->Send("\x2A");
      },
      &ctx);
  EXPECT_EQ(in.ReadU8(), 42);
  EXPECT_EQ(ctx.calls, 1);
}

TEST_F(FdInStreamTest, ItemLargerThanTheBufferIsRefused) {
  rdr::FdInStream in(s[0], 200, 8192);
  try {
    in.Check(9000);
    FAIL() << "no exception";
  } catch (const rdr::Exception& e) {
    EXPECT_STREQ(e.str(), "rdr::Exception: FdInStream overrun: max itemSize exceeded");
  }
}

// Injected data is served first, then what was buffered, then the socket, whichever
// read path is used.
TEST_F(FdInStreamTest, InjectedBlockComesFirstInEveryReadPath) {
  struct Case {
    const char* name;
    std::size_t injected;
    std::size_t readSize;  // 0: byte by byte; >= 1024: the direct path
  } cases[] = {
      {"bytes", 7, 0},
      {"small reads across the block end", 5, 3},
      {"direct read across everything", 3000, 4096},
      {"direct read of part of the block", 3000, 1500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rdr::SocketHandle pair[2];
    ASSERT_TRUE(rdr::SocketPair(pair));
    rdr::FdInStream in(pair[0], 20000);
    std::vector<std::uint8_t> expect;
    const char head[] = "HEADbuffered";
    rdr::SocketSend(pair[1], head, 12);
    EXPECT_EQ(in.ReadU32(), 0x48454144u);  // "HEAD", leaves 8 bytes buffered
    in.Check(8);
    ASSERT_EQ(in.Avail(), 8u);
    std::vector<std::uint8_t> block(c.injected);
    for (std::size_t i = 0; i < block.size(); i++) block[i] = static_cast<std::uint8_t>(0x80 | (i % 97));
    in.InjectData(block.size(), block.data());
    EXPECT_THROW(in.InjectData(1, "x"), rdr::Exception);
    expect = block;
    expect.insert(expect.end(), head + 4, head + 12);
    std::vector<std::uint8_t> tail(2000);
    for (std::size_t i = 0; i < tail.size(); i++) tail[i] = static_cast<std::uint8_t>(i % 50);
    std::thread writer([&] {
      std::size_t off = 0;
      while (off < tail.size()) off += static_cast<std::size_t>(rdr::SocketSend(pair[1], tail.data() + off, tail.size() - off));
    });
    expect.insert(expect.end(), tail.begin(), tail.end());
    std::vector<std::uint8_t> got(expect.size());
    std::size_t off = 0;
    while (off < got.size()) {
      std::size_t n = c.readSize == 0 ? 1 : std::min(c.readSize, got.size() - off);
      in.ReadBytes(got.data() + off, n);
      off += n;
    }
    writer.join();
    EXPECT_EQ(got, expect);
    EXPECT_FALSE(in.InjectionActive());
    rdr::SocketClose(pair[0]);
    rdr::SocketClose(pair[1]);
  }
}

TEST_F(FdInStreamTest, RateOfALargeTimedTransferDoesNotOverflow) {
  rdr::FdInStream in(s[0], 20000, 65536);
  const std::size_t total = 40u << 20;
  std::thread writer([&] {
    std::vector<std::uint8_t> chunk(1 << 16, 0x5A);
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) Send(chunk.data(), chunk.size());
  });
  in.StartTiming();
  std::vector<std::uint8_t> sink(1 << 20);
  for (std::size_t got = 0; got < total; got += sink.size()) in.ReadBytes(sink.data(), sink.size());
  in.StopTiming();
  writer.join();
  // 40 MB is 335,544 kbits; any sane loopback rate lies between 1 Mbit/s and 10 Tbit/s.
  std::uint32_t rate = in.KbitsPerSecond();
  EXPECT_GT(rate, 1000u);
  EXPECT_LT(rate, 10000000000ull / 1000);
  // A new window rescales the totals to 10000 units (one second) without losing the rate.
  in.StartTiming();
  EXPECT_LE(in.TimeWaited(), 10000u);
  EXPECT_NEAR(static_cast<double>(in.KbitsPerSecond()), rate, rate * 0.01 + 1);
  in.StopTiming();
}

}  // namespace
