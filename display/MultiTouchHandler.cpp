#include "display/MultiTouchHandler.h"

#include <vector>

#include "app/Exception.h"
#include "app/Log.h"
#include "display/PointerInputWin32.h"
#include "session/RfbSession.h"

static_assert(touch::kMove == TOUCHEVENTF_MOVE && touch::kDown == TOUCHEVENTF_DOWN && touch::kUp == TOUCHEVENTF_UP &&
                  touch::kInRange == TOUCHEVENTF_INRANGE && touch::kPrimary == TOUCHEVENTF_PRIMARY,
              "touch event flags");

namespace {

// Microseconds since 1970 from the system time (100 ns units since 1601).
std::int64_t WallClockMicroseconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const std::uint64_t t = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(t / 10) - 11644473600LL * 1000000;
}

}  // namespace

MultiTouchHandler::MultiTouchHandler(RfbSession& session)
    : SessionGiiHost(session), m_device(*this, WallClockMicroseconds()) {}

void MultiTouchHandler::HandleGiiMessage(HWND viewer, bool typeByteRepeated) {
  m_viewer = viewer;
  if (typeByteRepeated) SkipRepeatedTypeByte();
  m_device.HandleGiiMessage();
}

int MultiTouchHandler::MaximumTouches() {
  const int digitizer = GetSystemMetrics(SM_DIGITIZER);
  if ((digitizer & NID_MULTI_INPUT) && (digitizer & NID_READY)) return GetSystemMetrics(SM_MAXIMUMTOUCHES);
  return 0;
}

void MultiTouchHandler::PrepareTouchInput() {
  const HWND viewer = m_viewer;
  if (!viewer) return;
  // Registration belongs on the GUI thread: timer 1014 does it there. A window's timer can
  // only be set by its own thread, so from here the expiry may have to be posted instead.
  if (!SetTimer(viewer, mouse::kRegisterTouchTimer, 100, nullptr))
    PostMessageA(viewer, WM_TIMER, mouse::kRegisterTouchTimer, 0);
  Sleep(1000);
}

std::int64_t MultiTouchHandler::WallMicroseconds() { return WallClockMicroseconds(); }

ViewArea MultiTouchHandler::CurrentViewArea() { return FrameViewArea(m_frame, m_toolbar); }

void MultiTouchHandler::OnRegisterTouchTimer(HWND viewer) {
  if (RegisterTouchWindow(viewer, 0)) {
    m_registered = true;
  } else {
    kebLog.Print(2, "RegisterTouchWindow failed (%lu): no touch input\n", GetLastError());
  }
  Sleep(10);
  KillTimer(viewer, mouse::kRegisterTouchTimer);
}

void MultiTouchHandler::OnMouseAllowTimer(HWND viewer) {
  KillTimer(viewer, mouse::kMouseAllowTimer);
  SetMouseAllowed(true);
}

void MultiTouchHandler::UnregisterTouch(HWND viewer) {
  if (m_registered.exchange(false)) UnregisterTouchWindow(viewer);
}

LRESULT MultiTouchHandler::OnTouch(HWND viewer, WPARAM wParam, LPARAM lParam, bool viewOnly) {
  SetTimer(viewer, mouse::kMouseAllowTimer, 1000, nullptr);
  SetMouseAllowed(false);
  const HTOUCHINPUT input = reinterpret_cast<HTOUCHINPUT>(lParam);
  if (viewOnly)
    CloseTouchInputHandle(input);
  else
    HandleTouchInput(viewer, LOWORD(wParam), input);
  return 0;
}

void MultiTouchHandler::HandleTouchInput(HWND viewer, UINT count, HTOUCHINPUT input) {
  if (!m_device.Created() || count == 0) {
    CloseTouchInputHandle(input);
    return;
  }
  std::vector<TOUCHINPUT> raw(count);
  if (!GetTouchInputInfo(input, count, raw.data(), sizeof(TOUCHINPUT))) {
    CloseTouchInputHandle(input);
    return;
  }
  std::vector<TouchInputPoint> points;
  points.reserve(count);
  for (const TOUCHINPUT& t : raw) {
    POINT pt{t.x / 100, t.y / 100};
    ScreenToClient(viewer, &pt);
    TouchInputPoint p;
    p.id = t.dwID;
    p.x = pt.x;
    p.y = pt.y;
    p.flags = t.dwFlags;
    if (t.dwMask & TOUCHINPUTMASKF_CONTACTAREA) {
      p.hasContactSize = true;
      p.contactWidth = t.cxContact;
      p.contactHeight = t.cyContact;
    }
    points.push_back(p);
  }
  try {
    m_device.HandleTouchInput(points.data(), points.size());
  } catch (const Exception& e) {
    SendFailed(e);
  }
  CloseTouchInputHandle(input);
}

void MultiTouchHandler::SendTouchEvents() {
  if (!m_device.Created()) return;
  try {
    m_device.SendTouchEvents();
  } catch (const Exception& e) {
    SendFailed(e);
  }
}

void MultiTouchHandler::SendFailed(const Exception& e) {
  e.Report();
  if (m_frame) PostMessageA(m_frame, WM_CLOSE, static_cast<WPARAM>(int(m_session.m_reconnectAttempts)), 1);
}
