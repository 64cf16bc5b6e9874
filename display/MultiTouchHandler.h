// The multitouch handler of one connection (Win32): the gii device of GiiTouchDevice with
// the system's touch count, the viewer window's touch registration and WM_TOUCH.
//
// Entry points:
//   connection thread, server message 253 (after its type byte):
//     HandleGiiMessage(viewer window, whether an old-style plug-in repeats the type byte);
//   viewer window WM_TOUCH:            return OnTouch(hwnd, wParam, lParam, viewonly);
//   viewer window WM_TIMER 1014:       OnRegisterTouchTimer(hwnd);
//   viewer window WM_TIMER 1015:       MultiTouchHandler::OnMouseAllowTimer(hwnd);
//   viewer window WM_DESTROY:          UnregisterTouch(hwnd);
//   the mouse filter:                  TouchEnabled().
// Where touch input cannot be registered (no digitizer, or a system without it) the
// handler still negotiates the device; WM_TOUCH then never comes and mouse messages made
// by touch stay ordinary mouse messages.
#pragma once

#include <windows.h>

#include <atomic>

#include "display/GiiTouchDevice.h"
#include "display/SessionInputHosts.h"

class MultiTouchHandler : public SessionGiiHost {
public:
  explicit MultiTouchHandler(RfbSession& session);
  MultiTouchHandler(const MultiTouchHandler&) = delete;
  MultiTouchHandler& operator=(const MultiTouchHandler&) = delete;

  // The frame window and toolbar, for the view area (set once they exist).
  void SetWindows(HWND frame, HWND toolbar) {
    m_frame = frame;
    m_toolbar = toolbar;
  }

  // One server message 253 behind its type byte, on the connection thread.
  void HandleGiiMessage(HWND viewer, bool typeByteRepeated = false);

  // WM_TOUCH of the viewer window: timer 1015 and the mouse-allowed flag, then (unless
  // view-only) the touch input. The touch-input handle is always closed; the result is
  // the window procedure's (0).
  LRESULT OnTouch(HWND viewer, WPARAM wParam, LPARAM lParam, bool viewOnly);
  // The inputs of one WM_TOUCH to the server (nothing before the device exists); closes
  // the handle.
  void HandleTouchInput(HWND viewer, UINT count, HTOUCHINPUT input);
  void SendTouchEvents();
  FramebufferPoint WindowToFramebuffer(int x, int y) { return ViewToFramebuffer(CurrentView(), x, y); }

  // Timer 1014: registers the viewer window for touch input.
  void OnRegisterTouchTimer(HWND viewer);
  // Timer 1015: mouse messages are allowed again.
  static void OnMouseAllowTimer(HWND viewer);
  void UnregisterTouch(HWND viewer);

  // The device exists and the window takes touch input.
  bool TouchEnabled() const { return m_device.Created() && m_registered.load(); }
  const GiiTouchDevice& Device() const { return m_device; }

  // GiiHost.
  int MaximumTouches() override;
  void PrepareTouchInput() override;
  std::int64_t WallMicroseconds() override;

protected:
  ViewArea CurrentViewArea() override;

private:
  // A send failed on the GUI thread: reported, and the connection closes.
  void SendFailed(const Exception& e);

  GiiTouchDevice m_device;
  std::atomic<HWND> m_viewer{nullptr};
  HWND m_frame = nullptr, m_toolbar = nullptr;
  std::atomic<bool> m_registered{false};
};
