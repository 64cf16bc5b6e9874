// Mouse and touch input on a real window: the three-button and throttle timers as window
// timers, the mouse filter, and the multitouch handler's gii negotiation from a second
// thread with touch registration on the window's own thread. A session over a socket pair
// stands for the connection; the test reads what reaches the server end.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "../../unit/session/SessionTestSupport.h"
#include "display/MultiTouchHandler.h"
#include "display/PointerInputWin32.h"

using namespace sessiontest;

namespace {

// A top-level window needs a display; a message-only window (for the timers) does not.
HWND MakeWindow(const char* title, bool messageOnly) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "MouseWin32TestWindow";
  RegisterClassA(&wc);
  if (messageOnly)
    return CreateWindowExA(0, wc.lpszClassName, title, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  return CreateWindowExA(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200, nullptr,
                         nullptr, wc.hInstance, nullptr);
}

// Dispatches this thread's messages until WM_TIMER with that id arrives for hwnd (which is
// then returned, not dispatched) or the time is up.
bool WaitForTimer(HWND hwnd, UINT_PTR id, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_TIMER && msg.hwnd == hwnd && msg.wParam == id) return true;
      DispatchMessageA(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return false;
}

class MouseWin32 : public SessionFixture {
protected:
  HWND hwnd = nullptr;

  void SetUp() override {
    SessionFixture::SetUp();
    hwnd = MakeWindow("mouse", true);
    ASSERT_NE(hwnd, nullptr);
    ServerSend(Standard38());  // a 64 x 32 framebuffer
    ASSERT_EQ(Connect(), "");
    ViewerSent();
  }
  void TearDown() override {
    if (hwnd) DestroyWindow(hwnd);
    SessionFixture::TearDown();
  }
};

TEST_F(MouseWin32, HeldPressGoesOutWhenTheEmulationTimerFires) {
  opts.m_emulate3 = true;
  opts.m_emulate3timeout = 50;
  ViewerPointerHost host(*session);
  host.SetWindows(hwnd, hwnd, nullptr);
  PointerInput pointer(opts, host);
  EXPECT_FALSE(pointer.ThrottlePointerEvent(7, 9, MK_LBUTTON, WM_LBUTTONDOWN));
  ASSERT_TRUE(WaitForTimer(hwnd, mouse::kEmulate3Timer, 20000));
  EXPECT_TRUE(pointer.Emulate3ButtonsTimer());
  ASSERT_TRUE(session->FlushOutputBuffer(true, 5));
  EXPECT_EQ(ViewerSent(), (Bytes{5, 1, 0, 7, 0, 9}));
  // The timer was killed: it does not fire again.
  EXPECT_FALSE(WaitForTimer(hwnd, mouse::kEmulate3Timer, 300));
}

TEST_F(MouseWin32, HeldMoveGoesOutWhenTheThrottleTimerFires) {
  opts.m_emulate3 = false;
  opts.m_ThrottleMouse = 1000;
  ViewerPointerHost host(*session);
  host.SetWindows(hwnd, hwnd, nullptr);
  PointerInput pointer(opts, host);
  EXPECT_TRUE(HandleViewerMouseMessage(pointer, WM_MOUSEMOVE, 0, MAKELPARAM(1, 2)));
  EXPECT_FALSE(HandleViewerMouseMessage(pointer, WM_MOUSEMOVE, 0, MAKELPARAM(3, 4)));
  ASSERT_TRUE(WaitForTimer(hwnd, mouse::kThrottleTimer, 20000));
  EXPECT_TRUE(pointer.SendPendingPointerEvent());
  ASSERT_TRUE(session->FlushOutputBuffer(false, 0));
  EXPECT_EQ(ViewerSent(), (Bytes{5, 0, 0, 1, 0, 2, 5, 0, 0, 3, 0, 4}));
}

TEST_F(MouseWin32, NegativeWindowCoordinatesFromTheMessageAreSentAsZero) {
  opts.m_emulate3 = false;
  ViewerPointerHost host(*session);
  host.SetWindows(hwnd, hwnd, nullptr);
  PointerInput pointer(opts, host);
  EXPECT_TRUE(HandleViewerMouseMessage(pointer, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(-20, 5)));
  ASSERT_TRUE(session->FlushOutputBuffer(true, 5));
  EXPECT_EQ(ViewerSent(), (Bytes{5, 4, 0, 0, 0, 5}));
}

TEST_F(MouseWin32, FilterLooksAtFocusViewOnlyAndTheMouseAllowedFlag) {
  SetForegroundWindow(hwnd);
  SetFocus(hwnd);
  if (GetFocus() != hwnd) GTEST_SKIP() << "the window did not get the focus";
  opts.m_viewonly = false;
  EXPECT_FALSE(FilterMouseMessage(hwnd, opts, false, false));
  EXPECT_TRUE(FilterMouseMessage(hwnd, opts, false, true));
  EXPECT_TRUE(FilterMouseMessage(nullptr, opts, false, false));
  opts.m_viewonly = true;
  EXPECT_TRUE(FilterMouseMessage(hwnd, opts, false, false));
  opts.m_viewonly = false;
  SetMouseAllowed(false);
  EXPECT_TRUE(FilterMouseMessage(hwnd, opts, false, false));
  SetMouseAllowed(true);
}

TEST_F(MouseWin32, GiiDeviceFromTheConnectionThreadRegistersTouchOnTheWindow) {
  MultiTouchHandler touch(*session);
  touch.SetWindows(hwnd, nullptr);
  ServerSend({0x81, 0, 4, 0, 1, 0, 1, 0x82, 0, 4, 0, 0, 0x12, 0x34});
  std::thread connection([&] {
    touch.HandleGiiMessage(hwnd);
    touch.HandleGiiMessage(hwnd);
  });
  // Timer 1014 reaches the window's own thread, which registers the window there.
  const bool fired = WaitForTimer(hwnd, mouse::kRegisterTouchTimer, 20000);
  connection.join();
  ASSERT_TRUE(fired);
  touch.OnRegisterTouchTimer(hwnd);
  EXPECT_TRUE(touch.Device().Created());
  EXPECT_EQ(touch.Device().Origin(), 0x1234u);
  EXPECT_FALSE(WaitForTimer(hwnd, mouse::kRegisterTouchTimer, 300));
  // Wine registers no window for touch: touch stays off and touch-made mouse messages
  // stay ordinary ones.
  if (!touch.TouchEnabled()) {
    EXPECT_EQ(touch.MaximumTouches(), 0);
  }

  const Bytes sent = ViewerSent();
  ASSERT_EQ(sent.size(), 6u + 176);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), (Bytes{253, 0x81, 0, 2, 0, 1}));
  EXPECT_EQ(static_cast<int>(sent[6 + 59]), std::min(touch.MaximumTouches(), 9));
  touch.UnregisterTouch(hwnd);
  EXPECT_FALSE(touch.TouchEnabled());
}

TEST_F(MouseWin32, TouchMessageHoldsTheMouseForASecond) {
  MultiTouchHandler touch(*session);
  SetMouseAllowed(true);
  // A handle the system does not know: nothing is read and nothing is sent.
  EXPECT_EQ(touch.OnTouch(hwnd, 1, static_cast<LPARAM>(0x1234), false), 0);
  EXPECT_FALSE(MouseAllowed());
  ASSERT_TRUE(WaitForTimer(hwnd, mouse::kMouseAllowTimer, 20000));
  MultiTouchHandler::OnMouseAllowTimer(hwnd);
  EXPECT_TRUE(MouseAllowed());
  EXPECT_FALSE(WaitForTimer(hwnd, mouse::kMouseAllowTimer, 1300));
  EXPECT_TRUE(ViewerSent().empty());
}

TEST(MouseWin32Frame, ViewAreaIsTheFrameClientAreaAndTheToolbarHeight) {
  HWND frame = MakeWindow("frame", false);
  if (!frame) GTEST_SKIP() << "needs a display (Xvfb)";
  HWND toolbar = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 0, 0, 300, 28, frame, nullptr, nullptr, nullptr);
  ASSERT_NE(toolbar, nullptr);
  RECT r;
  GetClientRect(frame, &r);
  const ViewArea a = FrameViewArea(frame, toolbar);
  EXPECT_GT(r.right, 0);
  EXPECT_EQ(a.clientWidth, r.right);
  EXPECT_EQ(a.clientHeight, r.bottom);
  EXPECT_EQ(a.toolbarHeight, 28);
  EXPECT_EQ(FrameViewArea(frame, nullptr).toolbarHeight, 0);
  DestroyWindow(frame);
}

}  // namespace
