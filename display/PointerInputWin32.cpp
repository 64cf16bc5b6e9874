#include "display/PointerInputWin32.h"

#include <windowsx.h>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "session/RfbSession.h"

// The core names the Windows values it reads; they must be the system's.
static_assert(mouse::kMouseMove == WM_MOUSEMOVE && mouse::kLButtonDown == WM_LBUTTONDOWN &&
                  mouse::kLButtonUp == WM_LBUTTONUP && mouse::kRButtonDown == WM_RBUTTONDOWN &&
                  mouse::kRButtonUp == WM_RBUTTONUP && mouse::kMButtonDown == WM_MBUTTONDOWN &&
                  mouse::kMButtonUp == WM_MBUTTONUP,
              "mouse messages");
static_assert(mouse::kLeft == MK_LBUTTON && mouse::kRight == MK_RBUTTON && mouse::kShift == MK_SHIFT &&
                  mouse::kControl == MK_CONTROL && mouse::kMiddle == MK_MBUTTON && mouse::kX1 == MK_XBUTTON1 &&
                  mouse::kX2 == MK_XBUTTON2,
              "key flags");
static_assert(mouse::kWheelDelta == WHEEL_DELTA, "wheel notch");

ViewArea FrameViewArea(HWND frame, HWND toolbar) {
  ViewArea a;
  RECT r;
  if (frame && GetClientRect(frame, &r)) {
    a.clientWidth = r.right - r.left;
    a.clientHeight = r.bottom - r.top;
  }
  if (toolbar && GetWindowRect(toolbar, &r)) a.toolbarHeight = r.bottom - r.top;
  return a;
}

bool FilterMouseMessage(HWND frame, const KEBOptions& opts, bool touchEnabled, bool edgeScrolled) {
  MouseFilterFacts f;
  const HWND focus = GetFocus();
  f.focusOnFrame = frame && focus && (focus == frame || IsChild(frame, focus));
  f.edgeScrolled = edgeScrolled;
  f.viewOnly = opts.m_viewonly;
  f.touchEnabled = touchEnabled;
  f.extraInfo = static_cast<std::uint32_t>(GetMessageExtraInfo());
  f.mouseAllowed = MouseAllowed();
  return DropMouseMessage(f);
}

bool HandleViewerMouseMessage(PointerInput& pointer, UINT message, WPARAM wParam, LPARAM lParam) {
  return pointer.ThrottlePointerEvent(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), static_cast<std::uint32_t>(wParam),
                                      message);
}

bool ViewerPointerHost::StartTimer(unsigned id, unsigned ms) {
  return m_viewer && SetTimer(m_viewer, id, ms, nullptr) != 0;
}

void ViewerPointerHost::StopTimer(unsigned id) {
  if (m_viewer) KillTimer(m_viewer, id);
}

void ViewerPointerHost::PointerSendFailed(const Exception& e) {
  e.Report();
  if (m_frame) PostMessageA(m_frame, WM_CLOSE, static_cast<WPARAM>(int(m_session.m_reconnectAttempts)), 1);
}

void ViewerPointerHost::EmulationTimerFailed() {
  if (m_frame) PostMessageA(m_frame, WM_CLOSE, 0, 1);
}
