#include "display/GiiTouchDevice.h"

#include <algorithm>

#include "app/Log.h"

int GiiTouchDevice::BoundedTouchCount(int systemCount) { return std::clamp(systemCount, 0, kMaxSlots); }

void GiiTouchDevice::HandleGiiMessage() {
  std::uint8_t subType = 0;
  m_host.ReadGii(&subType, 1);
  const bool bigEndian = (subType & gii::kBigEndian) != 0;
  std::uint8_t body[gii::kServerBodySize];
  switch (subType & gii::kSubTypeMask) {
    case gii::kVersion: {
      m_host.ReadGii(body, sizeof body);
      const gii::VersionRange range = gii::ParseVersionRange(body, bigEndian);
      if (!gii::AnswersVersionRange(range)) break;
      m_version = gii::ChosenVersion(range);
      const auto answer = gii::VersionAnswer(m_version);
      m_host.WriteGii(answer.data(), answer.size());
      m_host.EnableGii();
      if (!Created()) m_maxTouches = BoundedTouchCount(m_host.MaximumTouches());
      const auto creation = gii::DeviceCreation(static_cast<std::uint32_t>(m_maxTouches));
      m_host.WriteGii(creation.data(), creation.size());
      break;
    }
    case gii::kDeviceCreation: {
      m_host.ReadGii(body, sizeof body);
      const gii::DeviceCreationReply reply = gii::ParseDeviceCreationReply(body, bigEndian);
      if (reply.origin == 0) break;
      // A server that creates the device again (after a reconnect) names a new origin;
      // the touch slots stay as they are.
      m_origin = reply.origin;
      if (Created()) break;
      m_maxTouches = BoundedTouchCount(m_host.MaximumTouches());
      m_host.PrepareTouchInput();
      m_slots.assign(static_cast<std::size_t>(m_maxTouches), TouchSlot());
      m_ids.assign(static_cast<std::size_t>(m_maxTouches), -1);
      m_active.assign(static_cast<std::size_t>(m_maxTouches), false);
      m_created.store(true, std::memory_order_release);
      break;
    }
    default:
      // Nothing else comes from a server; its length is unknown, so nothing more is read.
      kebLog.Print(3, "gii: ignoring sub-type %d\n", subType & gii::kSubTypeMask);
      break;
  }
}

int GiiTouchDevice::FindSlot(std::int64_t id) {
  // A touch keeps its slot while it lasts, even when a lower slot became free meanwhile.
  for (std::size_t i = 0; i < m_ids.size(); i++)
    if (m_ids[i] == id) return static_cast<int>(i);
  for (std::size_t i = 0; i < m_ids.size(); i++) {
    if (m_ids[i] == -1) {
      m_ids[i] = id;
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool GiiTouchDevice::HandleTouchInput(const TouchInputPoint* inputs, std::size_t count) {
  if (!Created()) return false;
  for (TouchSlot& s : m_slots) s = TouchSlot();
  for (std::size_t k = 0; k < count; k++) {
    const TouchInputPoint& in = inputs[k];
    if (in.id == 0) continue;
    int slot = FindSlot(in.id);
    if (slot < 0) {
      // All slots hold ids: those of ended touches are given up. A slot already filled by
      // this message keeps its touch.
      for (std::size_t i = 0; i < m_ids.size(); i++)
        if (!m_active[i] && m_slots[i].number == TouchSlot::kFree) m_ids[i] = -1;
      slot = FindSlot(in.id);
      if (slot < 0) continue;
    }
    const std::size_t i = static_cast<std::size_t>(slot);
    m_active[i] = true;
    TouchSlot& s = m_slots[i];
    s.number = static_cast<std::uint32_t>(slot);
    s.x = in.x;
    s.y = in.y;
    s.flags = 0;
    if (in.hasContactSize) {
      s.hasSize = true;
      s.width = in.contactWidth;
      s.height = in.contactHeight;
    }
    if (in.flags & touch::kInRange) s.flags |= touch::kSlotInRange;
    if (in.flags & touch::kPrimary) s.flags |= touch::kSlotPrimary;
    if (in.flags & touch::kDown) s.flags |= touch::kSlotDown;
    if (in.flags & touch::kMove) s.flags |= touch::kSlotMove;
    if (in.flags & touch::kUp) {
      s.flags |= touch::kSlotUp;
      m_active[i] = false;
    }
  }
  SendTouchEvents();
  return true;
}

void GiiTouchDevice::SendTouchEvents() {
  const PointerView view = m_host.CurrentView();
  const long long width = view.framebufferWidth, height = view.framebufferHeight;
  // A touch that left the framebuffer is not reported.
  for (TouchSlot& s : m_slots) {
    if (s.number == TouchSlot::kFree) continue;
    const FramebufferPoint p = ViewToFramebuffer(view, s.x, s.y);
    if (p.x < 0 || p.x > width || p.y < 0 || p.y > height) s = TouchSlot();
  }
  // A portrait framebuffer gets its touches turned.
  const bool portrait = height > width;
  std::vector<gii::TouchReport> reports;
  reports.reserve(m_slots.size());
  for (TouchSlot& s : m_slots) {
    if (s.number == TouchSlot::kFree) continue;
    if (portrait) {
      const int x = s.x;
      s.x = s.y;
      s.y = static_cast<int>(std::clamp<long long>(height - x, -0x7FFFFFFF, 0x7FFFFFFF));
    }
    const FramebufferPoint p = ViewToFramebuffer(view, s.x, s.y);
    gii::TouchReport r;
    r.flags = gii::kTouchFlagsBase;
    if (s.flags & (touch::kSlotDown | touch::kSlotMove)) r.flags |= gii::kTouchPressed;
    if (s.flags & touch::kSlotPrimary) r.flags |= gii::kTouchPrimary;
    r.slot = s.number;
    r.x = static_cast<int>(std::clamp<long long>(p.x, 0, 0xFFFF));
    r.y = static_cast<int>(std::clamp<long long>(p.y, 0, 0xFFFF));
    reports.push_back(r);
  }
  const std::int64_t elapsed = m_host.WallMicroseconds() - m_startMicros;
  const auto event = gii::TouchEvent(m_origin.load(), reports.data(), reports.size(),
                                     static_cast<std::uint32_t>(elapsed / 1000), elapsed);
  m_host.WriteGii(event.data(), event.size());
}
