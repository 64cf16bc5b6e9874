// The viewer window's side of mouse input (Win32): the window timers and the tick behind
// PointerInput, the view area of the frame window, and the filter every mouse message
// passes first.
//
// The viewer window procedure, for WM_MOUSEMOVE, WM_LBUTTONDOWN/UP, WM_RBUTTONDOWN/UP,
// WM_MBUTTONDOWN/UP (outside point-selection mode, while the session runs):
//   if (!FilterMouseMessage(frame, opts, touch.TouchEnabled(), edgeScrolled) &&
//       HandleViewerMouseMessage(pointer, msg, wParam, lParam))
//     flush the output (timed);
// WM_TIMER 207: if (pointer.SendPendingPointerEvent()) flush (untimed);
// WM_TIMER 140: if (pointer.Emulate3ButtonsTimer()) flush (timed);
// WM_DESTROY: pointer.StopTimers().
// The frame window's WM_MOUSEWHEEL (not view-only):
//   if (pointer.SendWheel(GET_WHEEL_DELTA_WPARAM(wParam))) flush (timed).
#pragma once

#include <windows.h>

#include "display/SessionInputHosts.h"

class KEBOptions;

// The frame window's client area and the toolbar's height (0 without a toolbar window).
ViewArea FrameViewArea(HWND frame, HWND toolbar);

// True when the mouse message just received is to be dropped: the keyboard focus is not
// on the frame window (or a window inside it), full screen scrolled the view at an edge,
// "viewonly", a message made by pen or touch while touch input is on, or mouse messages
// not allowed since the last touch.
bool FilterMouseMessage(HWND frame, const KEBOptions& opts, bool touchEnabled, bool edgeScrolled);

// A mouse message of the viewer window into the pointer logic; true when the output is to
// be flushed.
bool HandleViewerMouseMessage(PointerInput& pointer, UINT message, WPARAM wParam, LPARAM lParam);

// PointerInput's host for one connection: timers on the viewer window, GetTickCount, the
// session's PointerEvent writer, failures closing through the frame window.
class ViewerPointerHost : public SessionPointerHost {
public:
  explicit ViewerPointerHost(RfbSession& session) : SessionPointerHost(session) {}
  // Set once the windows exist (and again whenever they are made anew).
  void SetWindows(HWND frame, HWND viewer, HWND toolbar) {
    m_frame = frame;
    m_viewer = viewer;
    m_toolbar = toolbar;
  }

  std::uint32_t TickMs() override { return GetTickCount(); }
  bool StartTimer(unsigned id, unsigned ms) override;
  void StopTimer(unsigned id) override;
  // Reports the exception and closes with the reconnect attempts left.
  void PointerSendFailed(const Exception& e) override;
  // Closes without reconnecting.
  void EmulationTimerFailed() override;

protected:
  ViewArea CurrentViewArea() override { return FrameViewArea(m_frame, m_toolbar); }

private:
  HWND m_frame = nullptr, m_viewer = nullptr, m_toolbar = nullptr;
};
