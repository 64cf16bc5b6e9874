// Connection loss and reconnect over socket pairs: the connection thread parks after a
// loss, the frame's answer (reset, reconnect thread) connects anew after the delay and the
// same thread reads on from the new socket; failures cost one attempt each, never below 0;
// a close ends a waiting reconnect at once; closing a connection whose thread has ended
// does not wait.
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "SessionTestSupport.h"

using namespace sessiontest;

namespace {

// A session whose reconnects take the next prepared socket, recording what it tells the
// frame window.
class ReconnectingSession : public TestSession {
public:
  using TestSession::TestSession;

  std::mutex mu;
  std::deque<rdr::SocketHandle> nextSockets;  // for the reconnects, in order
  std::vector<int> losses;                    // attempts left, per loss
  int reconnected = 0;
  int bells = 0;
  std::atomic<bool> chatOpen{false};

  int Losses() {
    std::lock_guard<std::mutex> g(mu);
    return static_cast<int>(losses.size());
  }
  int LastLoss() {
    std::lock_guard<std::mutex> g(mu);
    return losses.empty() ? -1 : losses.back();
  }
  int Reconnects() {
    std::lock_guard<std::mutex> g(mu);
    return reconnected;
  }
  int Bells() {
    std::lock_guard<std::mutex> g(mu);
    return bells;
  }

protected:
  void ConnectToHost() override {
    if (connectTo == rdr::kInvalidSocket) {
      std::lock_guard<std::mutex> g(mu);
      if (!nextSockets.empty()) {
        connectTo = nextSockets.front();
        nextSockets.pop_front();
      }
    }
    TestSession::ConnectToHost();
  }
  bool ConnectionLost(int attempts, const char*) override {
    std::lock_guard<std::mutex> g(mu);
    losses.push_back(attempts);
    return true;
  }
  void Reconnected() override {
    std::lock_guard<std::mutex> g(mu);
    reconnected++;
  }
  void Bell() override {
    std::lock_guard<std::mutex> g(mu);
    bells++;
  }
  bool TextChatActive() override { return chatOpen; }
};

class Reconnect : public SessionFixture {
protected:
  ReconnectingSession* r = nullptr;
  std::thread thread;
  std::vector<rdr::SocketHandle> serverEnds;  // of the reconnects' pairs

  void SetUp() override {
    SessionFixture::SetUp();
    opts.m_Reconnect = 3;
    opts.m_AutoReconnect = 1;
    r = new ReconnectingSession(opts);
    r->instantPauses = true;  // the reconnect delay is asked for, and passes at once
    session.reset(r);
    session->connectTo = s[0];
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
    ViewerSent();
  }
  void TearDown() override {
    if (r) {
      r->BeginClose();
      r->WaitForReconnectThread(10000);
      r->CloseSocket();
    }
    if (thread.joinable()) thread.join();
    for (rdr::SocketHandle h : serverEnds) rdr::SocketClose(h);
    SessionFixture::TearDown();
  }
  void StartThread() {
    r->m_threadStarted = true;
    thread = std::thread([this] { r->RunConnectionThread(); });
    ASSERT_TRUE(WaitFor([&] { return r->m_running.load(); }, 5));
  }
  // A socket for the next reconnect. A server that answers has its handshake waiting; one
  // that stays away has closed its end.
  rdr::SocketHandle PrepareServer(bool answers) {
    rdr::SocketHandle p[2];
    EXPECT_TRUE(rdr::SocketPair(p));
    if (answers) {
      const Bytes hs = Standard38("again");
      EXPECT_EQ(rdr::SocketSend(p[1], hs.data(), hs.size()), static_cast<long>(hs.size()));
      serverEnds.push_back(p[1]);
    } else {
      rdr::SocketClose(p[1]);
    }
    std::lock_guard<std::mutex> g(r->mu);
    r->nextSockets.push_back(p[0]);
    return p[1];
  }
  // What the frame window does with a loss while attempts are left.
  void FrameReconnects() {
    ASSERT_TRUE(r->ResetForReconnect(5000));
    ASSERT_TRUE(r->StartReconnectThread());
  }
  // The full request for the new server's 64 x 32 desktop, the last thing a reconnect sends.
  static Bytes FullRequest() { return {3, 0, 0, 0, 0, 0, 0, 64, 0, 32}; }
  // What arrives at h until it ends with `tail` (at most `seconds`).
  static Bytes ReadUntilTail(rdr::SocketHandle h, const Bytes& tail, double seconds) {
    Bytes out;
    std::uint8_t buf[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!(out.size() >= tail.size() && std::equal(tail.begin(), tail.end(), out.end() - static_cast<long>(tail.size())))) {
      if (std::chrono::steady_clock::now() > until) break;
      if (rdr::WaitReadable(h, 100) <= 0) continue;
      long n = rdr::SocketRecv(h, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }
};

TEST_F(Reconnect, TheParkedThreadReadsOnFromTheNewConnection) {
  StartThread();
  const rdr::SocketHandle again = PrepareServer(true);
  ServerClose();  // the server goes away
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 1; }, 5));
  EXPECT_EQ(r->LastLoss(), 3);
  EXPECT_TRUE(r->m_paused);

  FrameReconnects();
  ASSERT_TRUE(WaitFor([&] { return r->Reconnects() == 1; }, 10));
  // The reconnect delay ("AutoReconnect" 1) came first, whole.
  EXPECT_EQ(r->Pauses(), std::vector<int>{1000});
  EXPECT_TRUE(r->m_running);
  EXPECT_FALSE(r->m_paused);
  EXPECT_EQ(r->connects, 2);

  // The new server saw a whole handshake with its pixel format and encodings, then (the
  // format change a reconnect sets pending) the same again and a full (non-incremental)
  // request for its 64 x 32 desktop.
  const Bytes request = FullRequest();
  const Bytes sent = ReadUntilTail(again, request, 20);
  const std::size_t handshake = 12 + 1 + 1;  // version, security type, ClientInit
  ASSERT_GT(sent.size(), handshake + 10);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 12), B("RFB 003.008\n"));
  const Bytes middle(sent.begin() + handshake, sent.end() - 10);
  ASSERT_EQ(middle.size() % 2, 0u);
  const Bytes first(middle.begin(), middle.begin() + static_cast<long>(middle.size() / 2));
  EXPECT_EQ(first, Bytes(middle.begin() + static_cast<long>(middle.size() / 2), middle.end()));
  EXPECT_TRUE(ParseFormatAndEncodings(first, 0).ok);
  EXPECT_EQ(Bytes(sent.end() - 10, sent.end()), request);

  // The same connection thread reads the new server's messages.
  const Bytes bell = {2};
  ASSERT_EQ(rdr::SocketSend(again, bell.data(), bell.size()), 1);
  ASSERT_TRUE(WaitFor([&] { return r->Bells() == 1; }, 5));
  EXPECT_FALSE(r->ConnectionThreadEnded());
  EXPECT_EQ(r->Losses(), 1);
}

TEST_F(Reconnect, EachFailureCostsOneAttemptAndNeverGoesBelowZero) {
  opts.m_Reconnect = 2;
  StartThread();
  for (int i = 0; i < 3; i++) PrepareServer(false);
  ServerClose();
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 1; }, 5));
  EXPECT_EQ(r->LastLoss(), 2);
  // The frame reconnects while attempts are left.
  for (int expected = 1; expected >= 0; expected--) {
    FrameReconnects();
    const int before = r->Losses();
    ASSERT_TRUE(WaitFor([&] { return r->Losses() == before + 1; }, 10));
    EXPECT_EQ(r->LastLoss(), expected);
    ASSERT_TRUE(r->WaitForReconnectThread(5000));
  }
  // One more (a frame that would try anyway): still 0.
  FrameReconnects();
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 4; }, 10));
  EXPECT_EQ(r->LastLoss(), 0);
  EXPECT_EQ(r->connects, 4);
  EXPECT_EQ(r->Reconnects(), 0);
  EXPECT_TRUE(r->m_paused);
  EXPECT_FALSE(r->ConnectionThreadEnded());  // still parked, until the frame closes
}

TEST_F(Reconnect, ASuccessfulReconnectRestoresTheFullNumberOfAttempts) {
  StartThread();
  PrepareServer(false);
  const rdr::SocketHandle again = PrepareServer(true);
  ServerClose();
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 1; }, 5));
  EXPECT_EQ(r->LastLoss(), 3);
  FrameReconnects();  // the server is still away: one attempt gone
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 2; }, 10));
  EXPECT_EQ(r->LastLoss(), 2);
  ASSERT_TRUE(r->WaitForReconnectThread(5000));
  FrameReconnects();  // it is back
  ASSERT_TRUE(WaitFor([&] { return r->Reconnects() == 1; }, 10));
  // The server goes away again: the next loss has every attempt again.
  ReadUntilTail(again, FullRequest(), 20);
  rdr::SocketShutdown(again);
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 3; }, 5));
  EXPECT_EQ(r->LastLoss(), 3);
}

TEST_F(Reconnect, ALossDuringAChatEndsTheConnectionWithoutReconnect) {
  StartThread();
  r->chatOpen = true;
  ServerClose();
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 1; }, 5));
  EXPECT_EQ(r->LastLoss(), 0);
  // The thread does not park for a reconnect: it ends.
  ASSERT_TRUE(WaitFor([&] { return r->ConnectionThreadEnded(); }, 5));
  thread.join();
}

TEST_F(Reconnect, ClosingEndsAReconnectThatWaitsForItsDelay) {
  opts.m_AutoReconnect = 3600;
  r->instantPauses = false;  // the hour is waited for real, until the close
  StartThread();
  PrepareServer(true);
  ServerClose();
  ASSERT_TRUE(WaitFor([&] { return r->Losses() == 1; }, 5));
  FrameReconnects();
  EXPECT_TRUE(r->ReconnectRunning());
  // The thread waits out its hour...
  ASSERT_TRUE(WaitFor([&] { return r->Pauses() == std::vector<int>{3600 * 1000}; }, 10));
  // ...and the close ends it long before.
  r->BeginClose();
  EXPECT_TRUE(r->WaitForReconnectThread(20000));
  EXPECT_EQ(r->connects, 1);  // no connect attempt was made
  EXPECT_EQ(r->Losses(), 1);  // and nothing more was reported
  r->CloseSocket();
  thread.join();
  EXPECT_TRUE(r->ConnectionThreadEnded());
}

TEST_F(Reconnect, ClosingAConnectionWhoseThreadHasEndedDoesNotWait) {
  StartThread();
  r->EndConnectionThread();
  r->CloseSocket();
  thread.join();
  ASSERT_TRUE(r->ConnectionThreadEnded());
  // Neither close waits for the thread that is gone (a wait would run out after its 6 s).
  for (int i = 0; i < 2; i++) r->CloseConnection();
  EXPECT_EQ(r->closeWaits, 0);
}

}  // namespace
