// Mouse input of one connection, without the Windows API: the viewer window hands in its
// mouse messages (window coordinates and the key flags of wParam) and this turns them into
// PointerEvents. It thins out mouse moves (the "ThrottleMouse" interval), emulates a
// middle button when left and right are pressed together ("emulate3"), maps the key flags
// to the RFB button mask ("swapmouse") and window coordinates to framebuffer coordinates
// (scaling, scroll offsets, or the view fitted to the window).
//
// Everything runs on the GUI thread. The window's timers, its clock and the session's
// PointerEvent writer come through PointerInputHost, so the logic runs natively with a
// fake clock. Each entry point returns true when it sent something: the caller then
// flushes the output buffer.
#pragma once

#include <cstdint>

class Exception;
class KEBOptions;

namespace mouse {

// The Windows mouse messages that reach this code (WM_*).
enum Message : std::uint32_t {
  kMouseMove = 0x0200,
  kLButtonDown = 0x0201,
  kLButtonUp = 0x0202,
  kRButtonDown = 0x0204,
  kRButtonUp = 0x0205,
  kMButtonDown = 0x0207,
  kMButtonUp = 0x0208,
};

// Key flags of a mouse message's wParam (MK_*); a wheel delta may sit in the high word.
enum KeyFlag : std::uint32_t {
  kLeft = 0x0001,
  kRight = 0x0002,
  kShift = 0x0004,
  kControl = 0x0008,
  kMiddle = 0x0010,
  kX1 = 0x0020,
  kX2 = 0x0040,
  kAnyButton = kLeft | kRight | kMiddle | kX1 | kX2,
};

// RFB button-mask bits.
enum ButtonBit : std::uint8_t {
  kButton1 = 1,
  kButton2 = 2,
  kButton3 = 4,
  kWheelUp = 8,
  kWheelDown = 16,
};

// Window timers of the viewer window that mouse and touch input use.
enum TimerId : unsigned {
  kEmulate3Timer = 140,
  kThrottleTimer = 207,
  kRegisterTouchTimer = 1014,
  kMouseAllowTimer = 1015,
};

// One wheel notch.
constexpr int kWheelDelta = 120;

// Pen and touch mark the mouse messages they synthesise in the message's extra
// information.
constexpr std::uint32_t kPenSignatureMask = 0xFFFFFF00;
constexpr std::uint32_t kPenSignature = 0xFF515700;
constexpr std::uint32_t kTouchExtraBit = 0x80;

}  // namespace mouse

// How window coordinates map to framebuffer coordinates.
struct PointerView {
  // Fitted: the framebuffer is stretched over fitWidth x fitHeight window pixels (the
  // Direct3D view). Otherwise it is scaled by scaleNum / scaleDen and scrolled.
  bool fitted = false;
  int fitWidth = 0, fitHeight = 0;
  int framebufferWidth = 0, framebufferHeight = 0;
  int scrollX = 0, scrollY = 0;
  int scaleNum = 1, scaleDen = 1;
};

// The view as the painting shows it: fitted with "directx" on and "showExtend" off (the
// frame's client area, less the toolbar when "showtoolbar" is on); otherwise scaled by
// "scale_num"/"scale_den" when "Scaling" is on, one to one when it is off.
PointerView MakePointerView(const KEBOptions& opts, int framebufferWidth, int framebufferHeight, int scrollX,
                            int scrollY, int clientWidth, int clientHeight, int toolbarHeight);

struct FramebufferPoint {
  long long x, y;
};

// Window coordinates to framebuffer coordinates (integer arithmetic, no range check; a
// fitted view over an empty area leaves the point unchanged).
FramebufferPoint ViewToFramebuffer(const PointerView& view, int x, int y);

// Key flags to the RFB button mask. Without swapping: left 1, middle 2, right 4; with
// swapping: left 1, right 2, middle 4.
std::uint8_t PointerButtonMask(std::uint32_t keyFlags, bool swapButtons);

// The facts the mouse filter looks at before a mouse message goes anywhere.
struct MouseFilterFacts {
  bool focusOnFrame = true;     // the keyboard focus is on the frame window (or inside it)
  bool edgeScrolled = false;    // full screen and the pointer at an edge scrolled the view
  bool viewOnly = false;        // "viewonly"
  bool touchEnabled = false;    // touch input is on for this connection
  std::uint32_t extraInfo = 0;  // the message's extra information
  bool mouseAllowed = true;     // the process-wide mouse-allowed flag
};
bool DropMouseMessage(const MouseFilterFacts& facts);

// Mouse messages synthesised from touch or pen input.
inline bool FromPenOrTouch(std::uint32_t extraInfo) {
  return (extraInfo & mouse::kPenSignatureMask) == mouse::kPenSignature || (extraInfo & mouse::kTouchExtraBit) != 0;
}

// The process-wide mouse-allowed flag: cleared by every touch message, set again by the
// viewer window's timer 1015 a second later.
bool MouseAllowed();
void SetMouseAllowed(bool allowed);

// What the pointer logic needs from the viewer window and the session.
class PointerInputHost {
public:
  virtual ~PointerInputHost() = default;
  // The millisecond tick (wraps like GetTickCount).
  virtual std::uint32_t TickMs() = 0;
  // A window timer of the viewer window; false when it could not be started.
  virtual bool StartTimer(unsigned id, unsigned ms) = 0;
  virtual void StopTimer(unsigned id) = 0;
  virtual PointerView CurrentView() = 0;
  // The PointerEvent writer (queued; the caller flushes). May throw Exception.
  virtual void SendPointerEvent(int x, int y, std::uint8_t buttonMask) = 0;
  // A writer threw: report it and close the connection with the reconnect attempts left.
  virtual void PointerSendFailed(const Exception& e) = 0;
  // The three-button timer could not be started: close the connection (no reconnect).
  virtual void EmulationTimerFailed() = 0;
};

class PointerInput {
public:
  PointerInput(const KEBOptions& opts, PointerInputHost& host) : m_opts(opts), m_host(host) {}
  PointerInput(const PointerInput&) = delete;
  PointerInput& operator=(const PointerInput&) = delete;

  // A mouse message (WM_MOUSEMOVE or a button message) that passed the filter: window
  // coordinates and the key flags. Moves may be held back by throttling, button presses
  // by the three-button emulation.
  bool ThrottlePointerEvent(int x, int y, std::uint32_t keyFlags, std::uint32_t message);
  // Timer 207: the move held back by throttling, if any.
  bool SendPendingPointerEvent();
  // Timer 140: the button press held back by the emulation.
  bool Emulate3ButtonsTimer();
  // Mask, framebuffer coordinates and the PointerEvent (and its release for a wheel delta
  // in the high word of keyFlags). Writer exceptions are reported, not thrown.
  bool ProcessPointerEvent(int x, int y, std::uint32_t keyFlags);
  // The frame window's wheel: per notch (rounded up) a press of button 4 (delta > 0) or 5
  // (delta < 0) and its release, at the last position with the last buttons.
  bool SendWheel(int delta);
  // The viewer window goes away: the two timers are stopped, nothing is held any more.
  void StopTimers();

  bool Emulate3Waiting() const { return m_waiting; }
  bool EmulatingMiddle() const { return m_emulatingMiddle; }
  bool MovePending() const { return m_pending; }

private:
  bool Emulate3Buttons(int x, int y, std::uint32_t keyFlags, std::uint32_t message);
  bool SendHeldEvent();
  bool Send(int x, int y, std::uint8_t mask);

  const KEBOptions& m_opts;
  PointerInputHost& m_host;

  // Throttling.
  std::uint32_t m_lastSendTick = 0;
  bool m_throttleTimer = false;
  bool m_pending = false;
  int m_pendingX = 0, m_pendingY = 0;
  std::uint32_t m_pendingFlags = 0;
  bool m_haveLastMove = false;
  int m_lastMoveX = 0, m_lastMoveY = 0;
  std::uint32_t m_lastMoveFlags = 0;

  // Three-button emulation.
  bool m_waiting = false;  // timer 140 runs, a press is held
  bool m_emulatingMiddle = false;
  int m_heldX = 0, m_heldY = 0;
  std::uint32_t m_heldFlags = 0;

  // What went out last (framebuffer coordinates), for the wheel.
  int m_lastX = 0, m_lastY = 0;
  std::uint8_t m_lastMask = 0;
};
