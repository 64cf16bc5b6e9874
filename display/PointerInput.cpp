#include "display/PointerInput.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"

namespace {

std::atomic<bool> g_mouseAllowed{true};

// The key flags with the middle button in place of left and right.
std::uint32_t MiddleFlags(std::uint32_t keyFlags) {
  return (keyFlags & ~std::uint32_t(mouse::kLeft | mouse::kRight)) | mouse::kMiddle;
}

int ClampToWire(long long v) {
  return static_cast<int>(std::clamp<long long>(v, 0, 0xFFFF));
}

}  // namespace

bool MouseAllowed() { return g_mouseAllowed.load(); }
void SetMouseAllowed(bool allowed) { g_mouseAllowed = allowed; }

PointerView MakePointerView(const KEBOptions& opts, int framebufferWidth, int framebufferHeight, int scrollX,
                            int scrollY, int clientWidth, int clientHeight, int toolbarHeight) {
  PointerView v;
  v.framebufferWidth = framebufferWidth;
  v.framebufferHeight = framebufferHeight;
  if (opts.m_directx && !opts.m_showExtend) {
    v.fitted = true;
    v.fitWidth = clientWidth;
    v.fitHeight = clientHeight - (opts.m_showtoolbar ? toolbarHeight : 0);
    return v;
  }
  v.scrollX = scrollX;
  v.scrollY = scrollY;
  // The painting scales only with "Scaling" on; the pointer must land where it shows.
  if (opts.m_Scaling && opts.m_scale_num > 0 && opts.m_scale_den > 0) {
    v.scaleNum = opts.m_scale_num;
    v.scaleDen = opts.m_scale_den;
  }
  return v;
}

FramebufferPoint ViewToFramebuffer(const PointerView& view, int x, int y) {
  FramebufferPoint p{x, y};
  if (view.fitted) {
    if (view.fitWidth > 0) p.x = static_cast<long long>(x) * view.framebufferWidth / view.fitWidth;
    if (view.fitHeight > 0) p.y = static_cast<long long>(y) * view.framebufferHeight / view.fitHeight;
    return p;
  }
  const long long num = view.scaleNum > 0 ? view.scaleNum : 1;
  const long long den = view.scaleDen > 0 ? view.scaleDen : 1;
  p.x = den * (static_cast<long long>(x) + view.scrollX) / num;
  p.y = den * (static_cast<long long>(y) + view.scrollY) / num;
  return p;
}

std::uint8_t PointerButtonMask(std::uint32_t keyFlags, bool swapButtons) {
  std::uint8_t mask = 0;
  if (keyFlags & mouse::kLeft) mask |= mouse::kButton1;
  if (keyFlags & mouse::kMiddle) mask |= swapButtons ? mouse::kButton3 : mouse::kButton2;
  if (keyFlags & mouse::kRight) mask |= swapButtons ? mouse::kButton2 : mouse::kButton3;
  return mask;
}

bool DropMouseMessage(const MouseFilterFacts& f) {
  return !f.focusOnFrame || f.edgeScrolled || f.viewOnly || (f.touchEnabled && FromPenOrTouch(f.extraInfo)) ||
         !f.mouseAllowed;
}

// ---------------------------------------------------------------------------------------
// Throttling

bool PointerInput::ThrottlePointerEvent(int x, int y, std::uint32_t keyFlags, std::uint32_t message) {
  bool sent = false;
  if (message != mouse::kMouseMove) {
    // Anything but a move ends the wait: the held move goes first, in order.
    if (m_throttleTimer) {
      m_host.StopTimer(mouse::kThrottleTimer);
      m_throttleTimer = false;
    }
    if (m_pending) {
      m_pending = false;
      m_lastSendTick = m_host.TickMs();
      sent = Emulate3Buttons(m_pendingX, m_pendingY, m_pendingFlags, mouse::kMouseMove);
    }
  } else if (!m_haveLastMove || x != m_lastMoveX || y != m_lastMoveY || keyFlags != m_lastMoveFlags) {
    m_haveLastMove = true;
    m_lastMoveX = x;
    m_lastMoveY = y;
    m_lastMoveFlags = keyFlags;
    const int interval = m_opts.m_ThrottleMouse > 0 ? m_opts.m_ThrottleMouse : 0;
    // Drags follow the hand more closely: half the interval while a button is held.
    const int wait = (keyFlags & mouse::kAnyButton) ? interval / 2 : interval;
    const std::uint32_t now = m_host.TickMs();
    if (wait > 0 && now - m_lastSendTick < static_cast<std::uint32_t>(wait)) {
      m_pending = true;
      m_pendingX = x;
      m_pendingY = y;
      m_pendingFlags = keyFlags;
      if (m_host.StartTimer(mouse::kThrottleTimer, static_cast<unsigned>(interval))) {
        m_throttleTimer = true;
        return false;
      }
      // Without the timer nothing would ever send the held move: send it now.
    }
    m_pending = false;
    m_lastSendTick = now;
  } else if (m_opts.m_BlockSameMouse) {
    return false;
  }
  return Emulate3Buttons(x, y, keyFlags, message) || sent;
}

bool PointerInput::SendPendingPointerEvent() {
  m_host.StopTimer(mouse::kThrottleTimer);
  m_throttleTimer = false;
  if (!m_pending) return false;
  m_pending = false;
  m_lastSendTick = m_host.TickMs();
  // Through the emulation like any move: a press it holds back must not leak out with
  // the move, nor left and right while they stand for the middle button.
  return Emulate3Buttons(m_pendingX, m_pendingY, m_pendingFlags, mouse::kMouseMove);
}

// ---------------------------------------------------------------------------------------
// Three-button emulation

bool PointerInput::Emulate3Buttons(int x, int y, std::uint32_t keyFlags, std::uint32_t message) {
  const bool leftDown = message == mouse::kLButtonDown, rightDown = message == mouse::kRButtonDown;
  if (m_waiting) {
    const long long fuzz = m_opts.m_emulate3fuzz;
    const bool moved = message == mouse::kMouseMove && (std::llabs(static_cast<long long>(x) - m_heldX) > fuzz ||
                                                        std::llabs(static_cast<long long>(y) - m_heldY) > fuzz);
    if (message == mouse::kLButtonUp || message == mouse::kRButtonUp || moved) {
      m_host.StopTimer(mouse::kEmulate3Timer);
      m_waiting = false;
      SendHeldEvent();
      ProcessPointerEvent(x, y, keyFlags);
      return true;
    }
    if ((leftDown && (keyFlags & mouse::kRight)) || (rightDown && (keyFlags & mouse::kLeft))) {
      m_host.StopTimer(mouse::kEmulate3Timer);
      m_waiting = false;
      m_emulatingMiddle = true;
      return ProcessPointerEvent(x, y, MiddleFlags(keyFlags));
    }
    // The held button is not pressed yet as far as the server knows.
    return ProcessPointerEvent(x, y, keyFlags & ~(m_heldFlags & (mouse::kLeft | mouse::kRight)));
  }
  if (m_emulatingMiddle) {
    if (keyFlags & (mouse::kLeft | mouse::kRight)) return ProcessPointerEvent(x, y, MiddleFlags(keyFlags));
    m_emulatingMiddle = false;
    return ProcessPointerEvent(x, y, keyFlags);
  }
  if (m_opts.m_emulate3 && ((leftDown && !(keyFlags & mouse::kRight)) || (rightDown && !(keyFlags & mouse::kLeft)))) {
    const unsigned timeout = m_opts.m_emulate3timeout > 0 ? static_cast<unsigned>(m_opts.m_emulate3timeout) : 0;
    if (m_host.StartTimer(mouse::kEmulate3Timer, timeout)) {
      m_waiting = true;
      m_heldX = x;
      m_heldY = y;
      m_heldFlags = keyFlags;
      return false;
    }
    kebLog.Print(0, "Failed to create timer for emulating 3 buttons");
    m_host.EmulationTimerFailed();
  }
  return ProcessPointerEvent(x, y, keyFlags);
}

bool PointerInput::SendHeldEvent() { return ProcessPointerEvent(m_heldX, m_heldY, m_heldFlags); }

bool PointerInput::Emulate3ButtonsTimer() {
  m_host.StopTimer(mouse::kEmulate3Timer);
  if (!m_waiting) return false;
  m_waiting = false;
  return SendHeldEvent();
}

void PointerInput::StopTimers() {
  if (m_waiting) m_host.StopTimer(mouse::kEmulate3Timer);
  if (m_throttleTimer) m_host.StopTimer(mouse::kThrottleTimer);
  m_waiting = m_emulatingMiddle = m_throttleTimer = m_pending = false;
}

// ---------------------------------------------------------------------------------------
// Sending

bool PointerInput::Send(int x, int y, std::uint8_t mask) {
  m_host.SendPointerEvent(x, y, mask);
  m_lastX = x;
  m_lastY = y;
  m_lastMask = mask;
  return true;
}

bool PointerInput::ProcessPointerEvent(int x, int y, std::uint32_t keyFlags) {
  std::uint8_t mask = PointerButtonMask(keyFlags, m_opts.m_swapmouse);
  // A wheel delta in the high word: positive is button 4, negative button 5.
  const std::int32_t signedFlags = static_cast<std::int32_t>(keyFlags);
  if (signedFlags > 0xFFFF) mask |= mouse::kWheelUp;
  if (signedFlags < 0) mask |= mouse::kWheelDown;
  const FramebufferPoint p = ViewToFramebuffer(m_host.CurrentView(), x, y);
  const int fx = ClampToWire(p.x), fy = ClampToWire(p.y);
  try {
    Send(fx, fy, mask);
    // The wheel "button" is released at once; buttons still held stay held.
    if (keyFlags >= 0x10000) Send(fx, fy, mask & ~std::uint8_t(mouse::kWheelUp | mouse::kWheelDown));
  } catch (const Exception& e) {
    m_host.PointerSendFailed(e);
  }
  return true;
}

bool PointerInput::SendWheel(int delta) {
  if (delta == 0) return false;
  const std::uint8_t bit = delta > 0 ? mouse::kWheelUp : mouse::kWheelDown;
  const std::uint8_t base = m_lastMask & ~std::uint8_t(mouse::kWheelUp | mouse::kWheelDown);
  // A wheel message carries a 16-bit delta: at most 274 notches.
  const long long magnitude = std::min<long long>(std::llabs(static_cast<long long>(delta)), 32768);
  const long long notches = (magnitude + mouse::kWheelDelta - 1) / mouse::kWheelDelta;
  const int x = m_lastX, y = m_lastY;
  try {
    for (long long i = 0; i < notches; i++) {
      Send(x, y, base | bit);
      Send(x, y, base);
    }
  } catch (const Exception& e) {
    m_host.PointerSendFailed(e);
  }
  return true;
}
