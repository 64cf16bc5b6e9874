// Mouse and gii input through a real session's streams: the test plays the server on
// the other end of a socket pair and reads what reaches it.
#include <gtest/gtest.h>

#include "../session/SessionTestSupport.h"
#include "display/SessionInputHosts.h"

using namespace sessiontest;

namespace {

class TestPointerHost : public SessionPointerHost {
public:
  using SessionPointerHost::SessionPointerHost;
  std::uint32_t now = 1000;
  std::vector<unsigned> running;
  ViewArea area;

  std::uint32_t TickMs() override { return now; }
  bool StartTimer(unsigned id, unsigned) override {
    running.push_back(id);
    return true;
  }
  void StopTimer(unsigned id) override { running.erase(std::remove(running.begin(), running.end(), id), running.end()); }
  void PointerSendFailed(const Exception&) override { ADD_FAILURE() << "send failed"; }
  void EmulationTimerFailed() override { ADD_FAILURE() << "timer failed"; }

protected:
  ViewArea CurrentViewArea() override { return area; }
};

class TestGiiHost : public SessionGiiHost {
public:
  using SessionGiiHost::SessionGiiHost;
  using SessionGiiHost::SkipRepeatedTypeByte;
  int prepared = 0;
  std::int64_t wall = 0;
  int MaximumTouches() override { return 2; }
  void PrepareTouchInput() override { prepared++; }
  std::int64_t WallMicroseconds() override { return wall; }

protected:
  ViewArea CurrentViewArea() override { return ViewArea(); }
};

class SessionInput : public SessionFixture {
protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ServerSend(Standard38());  // a 64 x 32 framebuffer
    ASSERT_EQ(Connect(), "");
    ViewerSent();
  }
};

TEST_F(SessionInput, EmulatedMiddleButtonOnTheWire) {
  opts.m_emulate3 = true;
  opts.m_Scaling = true;
  opts.m_scale_num = 2;
  opts.m_scale_den = 1;
  session->m_hScrollPos = 6;
  TestPointerHost host(*session);
  PointerInput input(opts, host);
  EXPECT_FALSE(input.ThrottlePointerEvent(20, 10, mouse::kLeft, mouse::kLButtonDown));
  EXPECT_TRUE(input.ThrottlePointerEvent(20, 10, mouse::kLeft | mouse::kRight, mouse::kRButtonDown));
  EXPECT_TRUE(input.ThrottlePointerEvent(20, 10, mouse::kRight, mouse::kLButtonUp));
  EXPECT_TRUE(input.ThrottlePointerEvent(20, 10, 0, mouse::kRButtonUp));
  // Queued until the window flushes.
  EXPECT_TRUE(ReadAvailable(50).empty());
  ASSERT_TRUE(session->FlushOutputBuffer(true, 5));
  EXPECT_EQ(ViewerSent(), (Bytes{5, 2, 0, 13, 0, 5, 5, 2, 0, 13, 0, 5, 5, 0, 0, 13, 0, 5}));
  EXPECT_TRUE(host.running.empty());
}

TEST_F(SessionInput, FittedViewUsesTheClientAreaLessTheToolbar) {
  opts.m_directx = true;
  opts.m_showExtend = false;
  opts.m_showtoolbar = true;
  TestPointerHost host(*session);
  host.area = {128, 80, 16};  // 64 x 32 shown twice as large below a 16-pixel toolbar
  PointerInput input(opts, host);
  input.ProcessPointerEvent(100, 63, mouse::kMiddle);
  ASSERT_TRUE(session->FlushOutputBuffer(true, 5));
  EXPECT_EQ(ViewerSent(), (Bytes{5, 2, 0, 50, 0, 31}));
}

TEST_F(SessionInput, GiiNegotiationAndTouchEventThroughTheSession) {
  TestGiiHost host(*session);
  GiiTouchDevice device(host, 0);
  opts.m_GiiEnable = false;
  // Message 253 behind its type byte: version range 1..1, then the device's origin.
  ServerSend({0x81, 0, 4, 0, 1, 0, 1, 0x82, 0, 4, 0, 0, 0, 9});
  device.HandleGiiMessage();
  device.HandleGiiMessage();
  EXPECT_TRUE(opts.m_GiiEnable);
  EXPECT_TRUE(device.Created());
  EXPECT_EQ(host.prepared, 1);
  Bytes sent = ViewerSent();
  ASSERT_EQ(sent.size(), 6u + 176);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), (Bytes{253, 0x81, 0, 2, 0, 1}));
  EXPECT_EQ(sent[6], 253);
  EXPECT_EQ(sent[7], 0x82);
  EXPECT_EQ(sent[6 + 59], 2);  // two touches

  // A touch event goes out at once, behind a pointer event queued before it.
  session->SendPointerEvent(1, 2, 0);
  host.wall = 3000;
  TouchInputPoint p{77, 10, 20, touch::kDown, false, 0, 0};
  ASSERT_TRUE(device.HandleTouchInput(&p, 1));
  sent = ViewerSent();
  ASSERT_EQ(sent.size(), 6u + 44);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), (Bytes{5, 0, 0, 1, 0, 2}));
  EXPECT_EQ(Bytes(sent.begin() + 6, sent.begin() + 20),
            (Bytes{253, 0x80, 0, 40, 40, 12, 0, 0, 0, 0, 0, 9, 0, 0}));
  EXPECT_EQ(Bytes(sent.begin() + 34, sent.begin() + 38), (Bytes{0, 10, 0, 20}));
}

TEST_F(SessionInput, RepeatedTypeByteIsSkipped) {
  TestGiiHost host(*session);
  GiiTouchDevice device(host, 0);
  ServerSend({253, 0x82, 0, 4, 0, 0, 0, 5, 42});
  host.SkipRepeatedTypeByte();
  device.HandleGiiMessage();
  EXPECT_EQ(device.Origin(), 5u);
  std::uint8_t next = 0;
  session->ReadExact(&next, 1);
  EXPECT_EQ(next, 42);
}

}  // namespace
