// The session's share of the input hosts: the PointerEvent writer, the gii reads and
// writes through the connection's streams, and the view from the session's framebuffer
// size, scroll offsets and options. The Win32 shell adds the viewer window's timers, the
// clocks and the window sizes.
#pragma once

#include "display/GiiTouchDevice.h"
#include "display/PointerInput.h"

class RfbSession;

// The frame window's client area and the toolbar's height, for the fitted view.
struct ViewArea {
  int clientWidth = 0, clientHeight = 0, toolbarHeight = 0;
};

PointerView SessionPointerView(const RfbSession& session, const ViewArea& area);

class SessionPointerHost : public PointerInputHost {
public:
  explicit SessionPointerHost(RfbSession& session) : m_session(session) {}
  void SendPointerEvent(int x, int y, std::uint8_t buttonMask) override;
  PointerView CurrentView() override { return SessionPointerView(m_session, CurrentViewArea()); }

protected:
  virtual ViewArea CurrentViewArea() = 0;
  RfbSession& m_session;
};

class SessionGiiHost : public GiiHost {
public:
  explicit SessionGiiHost(RfbSession& session) : m_session(session) {}
  // Through the plug-in's decryption when one is active.
  void ReadGii(void* buf, std::size_t n) override;
  // Under the message lock, sent at once behind anything queued before it.
  void WriteGii(const std::uint8_t* data, std::size_t n) override;
  void EnableGii() override;
  PointerView CurrentView() override { return SessionPointerView(m_session, CurrentViewArea()); }

protected:
  virtual ViewArea CurrentViewArea() = 0;
  // An old-style plug-in repeats a server message's type byte: it is read and dropped.
  void SkipRepeatedTypeByte();
  RfbSession& m_session;
};
