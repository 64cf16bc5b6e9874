// Client messages through a session's output path, and the work buffers.
#include <gtest/gtest.h>

#include <thread>

#include "SessionTestSupport.h"
#include "app/Exception.h"
#include "session/SessionFormat.h"

using namespace sessiontest;

namespace {

class Messages : public SessionFixture {
protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
    ViewerSent();  // the handshake's bytes
  }
};

TEST_F(Messages, UpdateRequestsAreSentAtOnce) {
  session->SendFramebufferUpdateRequest(0, 0, 64, 32, false);
  session->SendFramebufferUpdateRequest(1, 2, 3, 4, true);
  EXPECT_EQ(ViewerSent(), (Bytes{3, 0, 0, 0, 0, 0, 0, 64, 0, 32, 3, 1, 0, 1, 0, 2, 0, 3, 0, 4}));
}

TEST_F(Messages, FullRequestAfterExtendedDesktopSizeIsIncrementalOnce) {
  session->m_extendedDesktopSizeReceived = true;
  session->SendFramebufferUpdateRequest(0, 0, 8, 8, false);
  session->SendFramebufferUpdateRequest(0, 0, 8, 8, false);
  Bytes sent = ViewerSent();
  ASSERT_EQ(sent.size(), 20u);
  EXPECT_EQ(sent[1], 1);
  EXPECT_EQ(sent[11], 0);
}

TEST_F(Messages, SecurityType17SessionsSendTheCallersChoice) {
  session->m_securityType17 = true;
  session->m_extendedDesktopSizeReceived = true;
  session->SendFramebufferUpdateRequest(0, 0, 8, 8, false);
  Bytes sent = ViewerSent();
  ASSERT_EQ(sent.size(), 10u);
  EXPECT_EQ(sent[1], 0);
}

TEST_F(Messages, InputIsQueuedUntilTheFlush) {
  session->SendKeyEvent(0xFF0D, true);
  session->SendPointerEvent(-5, 7, 1);
  EXPECT_TRUE(ReadAvailable(100).empty());
  ASSERT_TRUE(session->FlushOutputBuffer(true, 5));
  EXPECT_EQ(ViewerSent(), (Bytes{4, 1, 0, 0, 0, 0, 0xFF, 0x0D, 5, 1, 0, 0, 0, 7}));
  EXPECT_EQ(session->m_lastPointerX, 0);
  EXPECT_EQ(session->m_lastPointerY, 7);
}

TEST_F(Messages, ServerScaleSelectionKeepAliveAndCopyData) {
  session->SendServerScale(2);
  session->SendDesktopSelection(9999, 9999);
  session->SendKeepAlive(true);  // not supported by this server: nothing
  session->SendCopyDataValue(5);  // no message 252 yet: nothing
  session->m_keepAliveSupported = true;
  session->m_copyDataValue = 1;
  session->SendKeepAlive(true);
  session->SendCopyDataValue(5);
  EXPECT_EQ(ViewerSent(), (Bytes{8, 2, 0, 0, 10, 0, 0, 1, 0, 1, 13, 254, 5, 0, 0}));
}

TEST_F(Messages, KeepAliveWaitsForTheInterval) {
  session->m_keepAliveSupported = true;
  opts.m_KeepAliveInterval = 30;
  session->SendKeepAlive(false);  // something was just sent: not yet
  EXPECT_TRUE(ReadAvailable(100).empty());
  session->SendKeepAlive(true);
  EXPECT_EQ(ViewerSent(), Bytes{13});
}

TEST_F(Messages, MonitorInfoOnlyWithChangeServerResAndOnlyWhenChanged) {
  RfbSession::MonitorLayout layout;
  layout.headerA = 1;
  layout.headerB = 2;
  layout.table = {0, 0, 1920, 1080};
  layout.monitors = {{0, 0, 1920, 1080}};
  EXPECT_FALSE(session->SendMonitorInfo(layout));
  opts.m_ChangeServerRes = true;
  EXPECT_TRUE(session->SendMonitorInfo(layout));
  EXPECT_FALSE(session->SendMonitorInfo(layout));
  Bytes sent = ViewerSent();
  EXPECT_EQ(sent, (Bytes{251, 0, 0, 1, 0, 2, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x07, 0x80, 0x04, 0x38, 0, 0, 0, 0}));
}

// Passes bytes through unchanged: enough to see where the type bytes go.
using IdentityTransform = IdentityPlugin;

TEST_F(Messages, OldStylePluginGetsTheTypeByteFirstOrNothing) {
  IdentityTransform t;
  session->m_fUsePlugin = true;
  session->m_pluginTransform = &t;
  session->m_pluginEnabled = true;
  session->SendFramebufferUpdateRequest(0, 0, 1, 1, true);
  session->SendServerScale(3);
  EXPECT_EQ(ViewerSent(), (Bytes{3, 3, 1, 0, 0, 0, 0, 0, 1, 0, 1, 8, 8, 3, 0, 0}));
  // Message 251 (variable length) alike.
  opts.m_ChangeServerRes = true;
  RfbSession::MonitorLayout layout;
  layout.table = {0, 0, 16, 8};
  EXPECT_TRUE(session->SendMonitorInfo(layout));
  EXPECT_EQ(ViewerSent(), (Bytes{251, 251, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 16, 0, 8, 0, 0, 0, 0}));
  session->m_pluginEnabled = false;
  session->SendFramebufferUpdateRequest(0, 0, 1, 1, true);
  session->SendServerScale(3);
  layout.table = {0, 0, 32, 8};
  EXPECT_FALSE(session->SendMonitorInfo(layout));
  // Nothing went: once the plug-in is enabled the same layout is still to be sent, and the
  // bytes that arrive are that message (the requests and scale above never went).
  session->m_pluginEnabled = true;
  EXPECT_TRUE(session->SendMonitorInfo(layout));
  EXPECT_EQ(ViewerSent(), (Bytes{251, 251, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 32, 0, 8, 0, 0, 0, 0}));
  session->m_pluginTransform = nullptr;
  session->m_fUsePlugin = false;
}

class FailingTransform : public IdentityTransform {
public:
  std::uint8_t* Encrypt(const std::uint8_t*, int, int* outLen) override {
    *outLen = 0;
    return empty_;
  }

private:
  std::uint8_t empty_[1] = {};
};

TEST_F(Messages, TransformThatLosesTheBytesFails) {
  FailingTransform t;
  session->m_fUsePlugin = true;
  session->m_pluginTransform = &t;
  session->m_pluginEnabled = true;
  std::uint8_t b = 1;
  EXPECT_THROW(session->WriteExact(&b, 1), WarningException);
  session->m_pluginTransform = nullptr;
  session->m_fUsePlugin = false;
}

// Messages written from several threads at once, each in two writes (an old-style plug-in
// sends the type byte alone first), still arrive whole and in pairs.
TEST_F(Messages, TwoWriteMessagesStayTogetherAcrossThreads) {
  IdentityTransform t;
  session->m_fUsePlugin = true;
  session->m_pluginTransform = &t;
  session->m_pluginEnabled = true;
  constexpr int kThreads = 4, kEach = 300;
  Bytes received;
  std::thread reader([&] {
    std::size_t expect = kThreads * kEach * (1 + 8 + 1 + 10);
    std::uint8_t buf[8192];
    while (received.size() < expect) {
      if (rdr::WaitReadable(s[1], 5000) <= 0) break;
      long n = rdr::SocketRecv(s[1], buf, sizeof buf);
      if (n <= 0) break;
      received.insert(received.end(), buf, buf + n);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kThreads; w++) {
    writers.emplace_back([this, w] {
      for (int i = 0; i < kEach; i++) {
        session->SendKeyEvent(0x100 * w + static_cast<std::uint32_t>(i), true);
        session->SendFramebufferUpdateRequest(w, i, 1, 1, true);
      }
    });
  }
  for (auto& w : writers) w.join();
  session->FlushOutputBuffer(false, 0);
  reader.join();
  session->m_pluginTransform = nullptr;
  session->m_fUsePlugin = false;
  std::size_t pos = 0, keys = 0, requests = 0;
  while (pos < received.size()) {
    std::uint8_t type = received[pos];
    ASSERT_LT(pos + 1, received.size());
    ASSERT_EQ(received[pos + 1], type) << "at " << pos;  // the lone type byte, then the message
    std::size_t len = type == 4 ? 8 : type == 3 ? 10 : 0;
    ASSERT_NE(len, 0u) << "unexpected type " << int(type) << " at " << pos;
    pos += 1 + len;
    (type == 4 ? keys : requests)++;
  }
  EXPECT_EQ(keys, std::size_t(kThreads * kEach));
  EXPECT_EQ(requests, std::size_t(kThreads * kEach));
}

TEST_F(Messages, SetEncodingsAfterAFormatChangeFlushesTheQueuedSetPixelFormat) {
  opts.m_Use8Bit = 3;
  session->SelectSessionPixelFormat();
  session->SendFormatAndEncodings();
  Bytes sent = ViewerSent();
  FormatAndEncodings fe = ParseFormatAndEncodings(sent, 0);
  ASSERT_TRUE(fe.ok);
  EXPECT_EQ(fe.setPixelFormat[4], 8);
  EXPECT_EQ(session->m_myBytesPerPixel, 1);
}

// ---- Work buffers and pixel operations ----

TEST_F(Messages, WorkBuffersGrowPast100MiBNever) {
  EXPECT_EQ(session->m_decoder.receive.Size(), 4352u);  // grown at creation
  session->CheckBufferSize(4352);                       // a request of the current size grows it
  EXPECT_EQ(session->m_decoder.receive.Size(), 4608u);
  session->CheckBufferSize(100);
  EXPECT_EQ(session->m_decoder.receive.Size(), 4608u);
  EXPECT_THROW(session->CheckZipBufferSize(104857601), ErrorException);
  EXPECT_THROW(session->CheckInjectBufferSize(0xFFFFFFFFull), ErrorException);
  EXPECT_THROW(session->CheckFileChunkBufferSize(0xFFFFFFFFFFFFFFFFull), ErrorException);
  session->CheckFileZipBufferSize(104857600);
  EXPECT_EQ(session->m_fileZipBuf.Size(), 104857856u);
}

TEST_F(Messages, PixelRectangleWrappers) {
  EXPECT_TRUE(session->IsRectInFramebuffer(0, 0, 64, 32));
  EXPECT_FALSE(session->IsRectInFramebuffer(1, 0, 64, 32));
  EXPECT_FALSE(session->IsRectInFramebuffer(0, 0, 0x7FFFFFFFFFFFFFFFll, 1));
  EXPECT_FALSE(session->IsRectInFramebuffer(-1, 0, 1, 1));

  // A 2-byte bitmap of width 3 has rows of 8 bytes.
  std::vector<std::uint8_t> bits(8 * 2, 0xEE);
  const std::uint8_t src[4] = {1, 2, 3, 4};
  RfbSession::CopyPixelRect(1, 2, 2, 0, 2, src, bits.data(), 3, 2);
  EXPECT_EQ(bits[4], 1);
  EXPECT_EQ(bits[5], 2);
  EXPECT_EQ(bits[8 + 4], 3);
  EXPECT_EQ(bits[8 + 5], 4);
  EXPECT_EQ(bits[6], 0xEE);
  RfbSession::CopyPixelRectChecked(1, 2, 0, 0, 2, src, bits.data(), 3, 2, 3);  // too few source bytes
  EXPECT_EQ(bits[0], 0xEE);

  // Red 255 with red maximum 31 gives 31; red 7 gives 0.
  session->m_myFormat = PixelFormat::FromWire(std::array<std::uint8_t, 16>{16, 16, 0, 1, 0, 31, 0, 63, 0, 31, 11, 5, 0}.data());
  std::vector<std::uint8_t> px(4 * 2, 0);
  const std::uint8_t rgb[8] = {255, 0, 0, 0, 7, 0, 0, 0};
  const std::uint8_t* end = session->ConvertRgbRect(0, 0, 2, 1, 2, rgb, px.data(), 2, 1);
  EXPECT_EQ(end, rgb + 8);
  EXPECT_EQ(px[0] | px[1] << 8, 31 << 11);
  EXPECT_EQ(px[2] | px[3] << 8, 0);
}

}  // namespace
