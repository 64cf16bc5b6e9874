// The connect sequence over socket pairs: version exchange, ClientInit, ServerInit,
// repeater prologue, the receive time-out of a silent server, cancelling.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SessionTestSupport.h"
#include "decoders/RectHeader.h"

using namespace sessiontest;

namespace {

class Handshake : public SessionFixture {
protected:
  // Cancels the attempt of `session` once it has its socket, so that the cancel has a
  // connection (or its blocking read) to end.
  void CancelOnceConnected() {
    EXPECT_TRUE(WaitFor([&] { return session->Connecting() && session->m_sock.load() != rdr::kInvalidSocket; }, 20));
    session->CancelConnect();
  }
};

struct VersionScript {
  const char* server;      // the server's version
  Bytes afterVersion;      // what the server sends next, up to and with the SecurityResult
  Bytes viewerHandshake;   // what the viewer sends before ClientInit
  int sessionMinor;
};

// Every announced version, each with the security form it leads to.
TEST_F(Handshake, EveryVersionOfTheTableCompletes) {
  const VersionScript scripts[] = {
      {"RFB 003.003\n", U32(1), B("RFB 003.003\n"), 3},
      {"RFB 003.004\n", U32(1), B("RFB 003.004\n"), 4},
      {"RFB 003.005\n", Cat({{1, 1}, U32(0)}), Cat({B("RFB 003.008\n"), {1}}), 8},
      {"RFB 003.006\n", U32(1), B("RFB 003.006\n"), 6},
      {"RFB 003.007\n", {1, 1}, Cat({B("RFB 003.007\n"), {1}}), 7},
      {"RFB 003.008\n", Cat({{1, 1}, U32(0)}), Cat({B("RFB 003.008\n"), {1}}), 8},
      {"RFB 003.889\n", Cat({{1, 1}, U32(0)}), Cat({B("RFB 003.008\n"), {1}}), 8},
      {"RFB 003.014\n", Cat({U32(4), B("text"), U32(1)}), Cat({B("RFB 003.014\n"), U32(1)}), 4},
      {"RFB 003.016\n", Cat({U32(0), U32(1)}), Cat({B("RFB 003.016\n"), U32(1)}), 6},
      {"RFB 003.018\n", Cat({U32(2), B("hi"), {1, 1}, U32(0)}), Cat({B("RFB 003.018\n"), U32(1), {1}}), 8},
  };
  for (const auto& sc : scripts) {
    SCOPED_TRACE(sc.server);
    SetUp();
    ServerSend(Cat({B(sc.server), sc.afterVersion, ServerInit(64, 32, Rgb888(), "desk")}));
    ASSERT_EQ(Connect(), "");
    EXPECT_EQ(session->m_minorVersion, sc.sessionMinor);
    Bytes sent = ViewerSent();
    ASSERT_GE(sent.size(), sc.viewerHandshake.size() + 1);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + static_cast<long>(sc.viewerHandshake.size())), sc.viewerHandshake);
    // ClientInit to a standard server is the one flags byte; SetPixelFormat follows.
    std::size_t at = sc.viewerHandshake.size();
    EXPECT_EQ(sent[at], 1);
    FormatAndEncodings fe = ParseFormatAndEncodings(sent, at + 1);
    EXPECT_TRUE(fe.ok);
    EXPECT_EQ(session->m_desktopName, "desk");
    TearDown();
  }
  SetUp();  // for the fixture's own TearDown
}

TEST_F(Handshake, ExtraTextIsShownAndCanBeRefused) {
  ServerSend(Cat({B("RFB 003.014\n"), U32(11), B("who is this")}));
  session->answers = {false};
  EXPECT_EQ(Connect(), "warning: You refused the connection");
  ASSERT_EQ(session->asked.size(), 1u);
  EXPECT_EQ(session->asked[0].content, "who is this");
  EXPECT_EQ(ViewerSent(), Cat({B("RFB 003.014\n"), U32(0)}));
}

TEST_F(Handshake, ExtraTextAutoAcceptedWithoutAQuestion) {
  opts.m_AutoAcceptIncoming = true;
  ServerSend(Cat({B("RFB 003.016\n"), U32(3), B("abc"), U32(1), ServerInit(8, 8, Rgb888(), "x")}));
  ASSERT_EQ(Connect(), "");
  EXPECT_TRUE(session->asked.empty());
}

TEST_F(Handshake, OversizeExtraTextFailsBeforeReadingIt) {
  // And nothing more: a read of the text would end with rdr::TimedOut instead.
  ServerSend(Cat({B("RFB 003.014\n"), U32(1025)}));
  EXPECT_EQ(Connect(), "warning: Buffer too big, ");
}

TEST_F(Handshake, InvalidVersionTextFails) {
  ServerSend(B("HTTP/1.1 200"));
  std::string r = Connect();
  EXPECT_EQ(r.rfind("warning: Connection failed - Invalid protocol !", 0), 0u) << r;
  EXPECT_TRUE(ViewerSent().empty());
}

TEST_F(Handshake, ServerClosingBeforeTheVersionIsAnEndOfStream) {
  ServerClose();
  std::string r = Connect();
  EXPECT_EQ(r.rfind("warning: Connection failed - End of Stream", 0), 0u) << r;
}

TEST_F(Handshake, ClientInitCarriesTheInfoTextOnlyWhenTheServerOfferedIt) {
  struct Case {
    Bytes types;
    const char* info;
    bool shared;
    Bytes clientInit;
  } cases[] = {
      {{1, 1}, "hello", true, {1}},
      {{1, 1}, "hello", false, {0}},
      {{2, 117, 1}, "hello", true, {3, 5, 'h', 'e', 'l', 'l', 'o'}},
      {{2, 1, 117}, "", false, {2, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.info);
    SetUp();
    std::snprintf(opts.m_InfoMsg, sizeof opts.m_InfoMsg, "%s", c.info);
    opts.m_shared = c.shared;
    ServerSend(Cat({B("RFB 003.008\n"), c.types, U32(0), ServerInit(8, 8, Rgb888(), "x")}));
    ASSERT_EQ(Connect(), "");
    Bytes sent = ViewerSent();
    Bytes expectHead = Cat({B("RFB 003.008\n"), {1}, c.clientInit, {0}});  // ... then SetPixelFormat
    ASSERT_GE(sent.size(), expectHead.size());
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + static_cast<long>(expectHead.size())), expectHead);
    EXPECT_FALSE(session->m_infoMsgRequested);  // used once
    TearDown();
  }
  SetUp();
}

TEST_F(Handshake, SilentServerTimesOutInsteadOfHanging) {
  opts.m_FileTransferTimeout = 1;
  // The server stays connected and silent: only the read's time-out can end the attempt.
  std::string r = Connect();
  EXPECT_EQ(r.rfind("warning: Connection failed - Error reading Protocol Version", 0), 0u) << r;
}

TEST_F(Handshake, ServerFallingSilentAfterTheVersionTimesOut) {
  opts.m_FileTransferTimeout = 1;
  ServerSend(B("RFB 003.008\n"));
  std::string r = Connect();
  EXPECT_EQ(r.rfind("error: rdr::TimedOut", 0), 0u) << r;
}

TEST_F(Handshake, ReceiveTimeOutEndsWithServerInit) {
  opts.m_FileTransferTimeout = 1;
  ServerSend(Standard38());
  ASSERT_EQ(Connect(), "");
  ASSERT_TRUE(session->m_fdin);
  EXPECT_EQ(session->m_fdin->GetTimeout(), 0);
  // The session now waits for the server as long as it takes.
  std::thread late([this] {
    rdr::SleepMs(1500);
    ServerSend({42});
  });
  EXPECT_EQ(session->m_fdin->ReadU8(), 42);
  late.join();
}

TEST_F(Handshake, LongDesktopNameIsCutAndTheRestSkipped) {
  std::string name(3000, 'n');
  for (std::size_t i = 0; i < name.size(); i++) name[i] = static_cast<char>('a' + i % 26);
  ServerSend(Cat({Standard38(name), {0x77}}));
  ASSERT_EQ(Connect(), "");
  ASSERT_EQ(session->asked.size(), 1u);  // the user was asked about the name
  EXPECT_EQ(session->m_desktopName, name.substr(0, 256));
  EXPECT_EQ(session->m_desktopNameViewOnly, name.substr(0, 256) + " viewonly");
  // The next message starts right after the 3000 bytes.
  EXPECT_EQ(session->m_fdin->ReadU8(), 0x77);
}

TEST_F(Handshake, LongDesktopNameRefusedEndsQuietly) {
  ServerSend(Standard38(std::string(2025, 'x')));
  session->answers = {false};
  EXPECT_EQ(Connect(), "quiet: Desktop name refused");
}

TEST_F(Handshake, HugeNameLengthIsReadNotAllocated) {
  // 2 GiB announced, a few bytes sent, then the server closes: the read ends with the
  // stream, and no buffer of the announced size was ever asked for.
  Bytes si = ServerInit(8, 8, Rgb888(), "");
  Bytes len = U32(0x7FFFFFF0);
  std::copy(len.begin(), len.end(), si.end() - 4);
  ServerSend(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), si, Bytes(5000, 'z')}));
  ServerClose();
  std::string r = Connect();
  EXPECT_EQ(r.rfind("error: rdr::EndOfStream", 0), 0u) << r;
}

TEST_F(Handshake, EmptyNameAndOddSizes) {
  ServerSend(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), ServerInit(333, 77, Rgb888(), "")}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(session->m_desktopName, "");
  EXPECT_EQ(session->m_si.framebufferWidth, 333);
  EXPECT_EQ(session->m_si.framebufferHeight, 77);
}

TEST_F(Handshake, OversizeFramebufferAcceptedBecomes1024x800) {
  ServerSend(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), ServerInit(20001, 100, Rgb888(), "big")}));
  ASSERT_EQ(Connect(), "");
  ASSERT_EQ(session->asked.size(), 1u);
  EXPECT_EQ(session->m_si.framebufferWidth, 1024);
  EXPECT_EQ(session->m_si.framebufferHeight, 800);
  EXPECT_EQ(session->m_desktopName, "big");
}

TEST_F(Handshake, OversizeFramebufferRefusedEndsQuietlyWithoutFormat) {
  ServerSend(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), ServerInit(100, 65535, Rgb888(), "big")}));
  session->answers = {false};
  EXPECT_EQ(Connect(), "quiet: Framebuffer size refused");
  EXPECT_EQ(ViewerSent(), Cat({B("RFB 003.008\n"), {1}, {1}}));  // no SetPixelFormat
}

TEST_F(Handshake, SessionFormatFollowsTheColourMode) {
  opts.m_Use8Bit = 9;  // out of range: full colour
  ServerSend(Cat({B("RFB 003.008\n"), {1, 1}, U32(0),
                  ServerInit(8, 8, {16, 16, 1, 1, 0, 31, 0, 63, 0, 31, 11, 5, 0, 0, 0, 0}, "x")}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  FormatAndEncodings fe = ParseFormatAndEncodings(sent, 14);
  ASSERT_TRUE(fe.ok);
  EXPECT_EQ(fe.setPixelFormat, (Bytes{0, 0, 0, 0, 16, 16, 0, 1, 0, 31, 0, 63, 0, 31, 11, 5, 0, 0, 0, 0}));
  EXPECT_EQ(session->m_myBytesPerPixel, 2);
}

// ---- Repeater ----

TEST_F(Handshake, RepeaterZeroZeroGetsTheTargetField) {
  session->m_fUseProxy = true;
  std::snprintf(session->m_proxyhost, sizeof session->m_proxyhost, "repeater");
  std::snprintf(session->m_host, sizeof session->m_host, "target.example");
  session->m_port = 5901;
  ServerSend(Cat({B("RFB 000.000\n"), Standard38()}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  ASSERT_GE(sent.size(), 262u);
  Bytes field(250, 0);
  std::string target = "target.example:5901";
  std::copy(target.begin(), target.end(), field.begin());
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 250), field);
  EXPECT_EQ(Bytes(sent.begin() + 250, sent.begin() + 262), B("RFB 003.008\n"));
}

TEST_F(Handshake, RepeaterFieldIsBoundedForALongHost) {
  session->m_fUseProxy = true;
  std::snprintf(session->m_proxyhost, sizeof session->m_proxyhost, "repeater");
  std::memset(session->m_host, 'h', sizeof session->m_host - 1);
  session->m_port = 65535;
  ServerSend(Cat({B("RFB 000.000\n"), Standard38()}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  ASSERT_GE(sent.size(), 262u);
  EXPECT_EQ(sent[249], 0);  // the field always ends with a NUL
  std::string text(reinterpret_cast<const char*>(sent.data()));
  EXPECT_EQ(text.size(), 242u + 6u);
  EXPECT_EQ(text.substr(text.size() - 6), ":65535");
  EXPECT_EQ(Bytes(sent.begin() + 250, sent.begin() + 262), B("RFB 003.008\n"));
}

TEST_F(Handshake, RepeaterWithAnyOtherVersionGetsNothing) {
  session->m_fUseProxy = true;
  std::snprintf(session->m_proxyhost, sizeof session->m_proxyhost, "repeater");
  std::snprintf(session->m_host, sizeof session->m_host, "target");
  ServerSend(Cat({B("RFB 003.008\n"), Standard38()}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 12), B("RFB 003.008\n"));
}

TEST_F(Handshake, RepeaterFailures) {
  struct Case {
    Bytes repeater;
    bool close;
    const char* start;
  } cases[] = {
      {B("HTTP/1.0 404"), false, "warning: Proxy Connection failed - Invalid protocol !"},
      {B("RFB 0"), true, "warning: Proxy Connection failed - Error reading Protocol Version"},
  };
  for (const auto& c : cases) {
    SetUp();
    session->m_fUseProxy = true;
    std::snprintf(session->m_proxyhost, sizeof session->m_proxyhost, "repeater");
    ServerSend(c.repeater);
    if (c.close) ServerClose();
    std::string r = Connect();
    EXPECT_EQ(r.rfind(c.start, 0), 0u) << r;
    TearDown();
  }
  SetUp();
}

TEST_F(Handshake, ProxyIsNotUsedWhenItsOptionIsOff) {
  std::snprintf(session->m_proxyhost, sizeof session->m_proxyhost, "repeater");
  session->m_fUseProxy = false;
  ServerSend(Standard38());
  ASSERT_EQ(Connect(), "");
  EXPECT_FALSE(session->m_proxySocket);
}

// ---- Cancel, flags and the connection lock ----

TEST_F(Handshake, CancelTwiceThenConnect) {
  opts.m_FileTransferTimeout = 30;
  for (int attempt = 0; attempt < 2; attempt++) {
    SCOPED_TRACE(attempt);
    if (attempt > 0) {
      NewPair();
      session->connectTo = s[0];
    }
    std::thread canceller([this] { CancelOnceConnected(); });
    // Cancelled, not ended by the 30 s receive time-out (a warning about the version).
    EXPECT_EQ(Connect(), "quiet: Connection cancelled");
    canceller.join();
    EXPECT_FALSE(session->Connecting());
    EXPECT_EQ(session->m_sock.load(), rdr::kInvalidSocket);
  }
  // The flags of the cancelled attempts do not reach the next one.
  NewPair();
  session->connectTo = s[0];
  ServerSend(Standard38());
  EXPECT_EQ(Connect(), "");
}

TEST_F(Handshake, CancelInOneConnectionLeavesAnotherAlone) {
  rdr::SocketHandle other[2];
  ASSERT_TRUE(rdr::SocketPair(other));
  TestSession second(opts);
  second.connectTo = other[0];
  std::string secondResult;
  std::thread t([&] {
    try {
      second.DoConnection();
      secondResult = "ok";
    } catch (const Exception& e) {
      secondResult = e.Message();
    }
  });
  std::thread canceller([this] { CancelOnceConnected(); });
  EXPECT_EQ(Connect(), "quiet: Connection cancelled");
  canceller.join();
  // The second connection is still waiting for its server; now the server speaks.
  Bytes script = Standard38();
  ASSERT_EQ(rdr::SocketSend(other[1], script.data(), script.size()), static_cast<long>(script.size()));
  t.join();
  EXPECT_EQ(secondResult, "ok");
  rdr::SocketClose(other[1]);
}

TEST_F(Handshake, ConnectionLockIsReleasedWhenTheHandshakeFails) {
  ServerSend(B("garbage text"));
  EXPECT_NE(Connect(), "");
  bool locked = false;
  std::thread other([&] {
    locked = session->m_connectionLock.try_lock();
    if (locked) session->m_connectionLock.unlock();
  });
  other.join();
  EXPECT_TRUE(locked);
  EXPECT_FALSE(session->Connecting());
}

}  // namespace
