#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "rdr/Sys.h"
#include "session/OutputBuffer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Takes at most `chunk` bytes per send, fails from the send numbered failAt (1-based),
// and reports "not writable" when told to.
class FakeSink : public ByteSink {
public:
  std::size_t chunk = 1 << 20;
  int failAt = 0;
  bool writable = true;
  int sends = 0;
  int waits = 0;
  int shutdowns = 0;
  std::vector<std::size_t> sendSizes;
  Bytes received;

  long Send(const std::uint8_t* data, std::size_t len) override {
    sends++;
    sendSizes.push_back(len);
    if (failAt && sends >= failAt) return -1;
    std::size_t n = std::min(len, chunk);
    received.insert(received.end(), data, data + n);
    return static_cast<long>(n);
  }
  int WaitWritable(int) override {
    waits++;
    return writable ? 1 : 0;
  }
  int LastError() override { return 104; }
  void Shutdown() override { shutdowns++; }
};

Bytes Pattern(std::size_t n, int seed = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; i++) b[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return b;
}

TEST(OutputBuffer, QueuedBytesWaitForTheNextUnqueuedWrite) {
  FakeSink sink;
  OutputBuffer out(sink);
  Bytes a = Pattern(20), b = Pattern(10, 1);
  ASSERT_TRUE(out.Write(a.data(), a.size(), true, false, 0));
  EXPECT_EQ(sink.sends, 0);
  EXPECT_EQ(out.Buffered(), 20u);
  ASSERT_TRUE(out.Write(b.data(), b.size(), false, false, 0));
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(sink.received, both);
  EXPECT_EQ(sink.sends, 1);  // one send for both messages
  EXPECT_EQ(out.Buffered(), 0u);
  EXPECT_EQ(out.TotalSent(), 30u);
}

TEST(OutputBuffer, FullBlocksGoOutAtOnceEvenWhenQueued) {
  FakeSink sink;
  OutputBuffer out(sink);
  Bytes big = Pattern(OutputBuffer::kSize * 2 + 100);
  ASSERT_TRUE(out.Write(big.data(), big.size(), true, false, 0));
  EXPECT_EQ(sink.sendSizes, (std::vector<std::size_t>{OutputBuffer::kSize, OutputBuffer::kSize}));
  EXPECT_EQ(out.Buffered(), 100u);
  ASSERT_TRUE(out.Write(nullptr, 0, false, false, 0));  // flush
  EXPECT_EQ(sink.received, big);
}

TEST(OutputBuffer, PartialSendsLoseAndRepeatNothing) {
  for (std::size_t chunk : {1u, 7u, 1000u, 2903u}) {
    SCOPED_TRACE(chunk);
    FakeSink sink;
    sink.chunk = chunk;
    OutputBuffer out(sink);
    Bytes all;
    for (int i = 0; i < 5; i++) {
      Bytes part = Pattern(i == 2 ? 6000 : 123 * (i + 1), i);
      all.insert(all.end(), part.begin(), part.end());
      ASSERT_TRUE(out.Write(part.data(), part.size(), i % 2 == 0, false, 0));
      ASSERT_LT(out.Buffered(), OutputBuffer::kSize);
    }
    ASSERT_TRUE(out.Write(nullptr, 0, false, false, 0));
    EXPECT_EQ(sink.received, all);
  }
}

TEST(OutputBuffer, FailedSendShutsDownEmptiesAndNeverOverflows) {
  FakeSink sink;
  sink.failAt = 1;
  OutputBuffer out(sink);
  Bytes small = Pattern(2000);
  ASSERT_TRUE(out.Write(small.data(), small.size(), true, false, 0));
  // 2000 buffered + 10000 new: the first full block fails. Nothing of the rest may be
  // copied into the 2904-byte buffer (the sanitizer build would see an overrun).
  Bytes big = Pattern(10000);
  EXPECT_FALSE(out.Write(big.data(), big.size(), true, false, 0));
  EXPECT_EQ(sink.shutdowns, 1);
  EXPECT_EQ(out.Buffered(), 0u);
  EXPECT_EQ(sink.sends, 1);
}

TEST(OutputBuffer, AfterAFailedSendNothingIsTriedAgainUntilANewConnection) {
  FakeSink sink;
  sink.failAt = 1;
  OutputBuffer out(sink);
  Bytes msg = Pattern(10);
  EXPECT_FALSE(out.Write(msg.data(), msg.size(), false, false, 0));
  EXPECT_TRUE(out.Failed());
  // Requests and events still on their way: no send, no second shutdown (and no log line
  // each, which a server that floods the viewer would turn into thousands).
  for (int i = 0; i < 100; i++) {
    EXPECT_FALSE(out.Write(msg.data(), msg.size(), i % 2 == 0, i % 3 == 0, 5));
    EXPECT_FALSE(out.Write(nullptr, 0, false, false, 0));
  }
  EXPECT_EQ(sink.sends, 1);
  EXPECT_EQ(sink.waits, 0);
  EXPECT_EQ(sink.shutdowns, 1);
  EXPECT_EQ(out.Buffered(), 0u);
  // Emptying the buffer on close keeps it failed; a new connection sends again.
  out.Clear();
  EXPECT_FALSE(out.Write(msg.data(), msg.size(), false, false, 0));
  sink.failAt = 0;
  out.Reset();
  EXPECT_TRUE(out.Write(msg.data(), msg.size(), false, false, 0));
  EXPECT_EQ(sink.received, msg);
}

TEST(OutputBuffer, TimedSendGivesUpWhenTheSocketStaysFull) {
  FakeSink sink;
  sink.writable = false;
  OutputBuffer out(sink);
  Bytes msg = Pattern(10);
  EXPECT_FALSE(out.Write(msg.data(), msg.size(), false, true, 5));
  EXPECT_EQ(sink.waits, 1);
  EXPECT_EQ(sink.sends, 0);
  EXPECT_EQ(sink.shutdowns, 1);
  EXPECT_EQ(out.SendWithTimeout(msg.data(), msg.size(), 5), 0);
}

TEST(OutputBuffer, RealSocketCarriesLargeWritesInOrder) {
  int v;
  ASSERT_TRUE(rdr::SocketsStartup(&v));
  rdr::SocketHandle s[2];
  ASSERT_TRUE(rdr::SocketPair(s));
  std::atomic<rdr::SocketHandle> sock{s[0]};
  SocketSink sink(sock);
  OutputBuffer out(sink);
  Bytes all = Pattern(3 << 20, 3);
  Bytes got;
  std::thread reader([&] {
    std::uint8_t buf[65536];
    while (got.size() < all.size()) {
      long n = rdr::SocketRecv(s[1], buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
  });
  for (std::size_t off = 0; off < all.size(); off += 100000)
    ASSERT_TRUE(out.Write(all.data() + off, std::min<std::size_t>(100000, all.size() - off), true, true, 5));
  ASSERT_TRUE(out.Write(nullptr, 0, false, false, 0));
  reader.join();
  EXPECT_EQ(got, all);
  rdr::SocketClose(s[0]);
  rdr::SocketClose(s[1]);
  rdr::SocketsCleanup();
}

}  // namespace
