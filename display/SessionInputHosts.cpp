#include "display/SessionInputHosts.h"

#include "app/KEBOptions.h"
#include "session/RfbSession.h"

PointerView SessionPointerView(const RfbSession& s, const ViewArea& area) {
  return MakePointerView(s.m_opts, s.m_si.framebufferWidth, s.m_si.framebufferHeight, s.m_hScrollPos,
                         s.m_vScrollPos, area.clientWidth, area.clientHeight, area.toolbarHeight);
}

void SessionPointerHost::SendPointerEvent(int x, int y, std::uint8_t buttonMask) {
  m_session.SendPointerEvent(x, y, buttonMask);
}

void SessionGiiHost::ReadGii(void* buf, std::size_t n) { m_session.ReadExact(buf, static_cast<long>(n)); }

void SessionGiiHost::WriteGii(const std::uint8_t* data, std::size_t n) {
  m_session.WriteMessage(data, n, gii::kMessageType);
}

void SessionGiiHost::EnableGii() { m_session.m_opts.m_GiiEnable = true; }

void SessionGiiHost::SkipRepeatedTypeByte() {
  std::uint8_t type = 0;
  m_session.ReadExact(&type, 1);
}
