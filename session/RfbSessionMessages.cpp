// The fixed-size client messages and the pixel-rectangle operations of a connection.
#include "app/KEBOptions.h"
#include "decoders/PixelOps.h"
#include "session/RfbSession.h"

void RfbSession::SendFramebufferUpdateRequest(int x, int y, int w, int h, bool incremental) {
  if (HoldUpdatesAndInput()) return;
  // After an ExtendedDesktopSize the next full request goes out once as incremental
  // (not in sessions of security type 17, which send the caller's choice).
  bool afterResize = m_extendedDesktopSizeReceived.exchange(false);
  bool inc = m_securityType17 ? incremental : (incremental || afterResize);
  auto msg = clientmsg::FramebufferUpdateRequest(inc, x, y, w, h);
  WriteTypedMessage(msg.data(), msg.size(), false, true);

  std::uint64_t now = rdr::GetTimeMicroseconds() / 1000;
  std::lock_guard<std::recursive_mutex> g(m_sendLock);
  m_requestCount++;
  if (now - m_requestCountStartMs > 1000) {
    m_requestsPerSecond = m_requestCount;
    m_requestCount = 0;
    m_requestCountStartMs = now;
  }
}

void RfbSession::SendKeyEvent(std::uint32_t key, bool down) {
  if (HoldUpdatesAndInput()) return;
  auto msg = clientmsg::KeyEvent(down, key);
  WriteTypedMessage(msg.data(), msg.size(), true, true);
}

void RfbSession::SendPointerEvent(int x, int y, std::uint8_t buttonMask) {
  if (HoldUpdatesAndInput()) return;
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  m_lastPointerX = x;
  m_lastPointerY = y;
  m_lastPointerMask = buttonMask;
  m_decoder.cursor.Move(x, y);
  auto msg = clientmsg::PointerEvent(buttonMask, x, y);
  WriteTypedMessage(msg.data(), msg.size(), true, true);
}

void RfbSession::SendServerScale(int scale) {
  auto msg = clientmsg::ServerScale(static_cast<std::uint8_t>(scale));
  WriteMessage(msg.data(), msg.size(), clientmsg::kServerScale);
}

void RfbSession::SendServerInput(bool disable) {
  auto msg = clientmsg::ServerInput(disable);
  WriteMessage(msg.data(), msg.size(), clientmsg::kServerInput);
}

void RfbSession::SendDesktopSelection(int x, int y) {
  if (x == 9999 && y == 9999) {
    x = y = 1;
  } else {
    int num = m_opts.m_scale_num > 0 ? m_opts.m_scale_num : 1;
    int den = m_opts.m_scale_den > 0 ? m_opts.m_scale_den : 1;
    x = static_cast<int>((static_cast<long long>(x) + m_hScrollPos) * num / den);
    y = static_cast<int>((static_cast<long long>(y) + m_vScrollPos) * num / den);
  }
  auto msg = clientmsg::DesktopSelection(x, y);
  WriteTypedMessage(msg.data(), msg.size(), false, true);
}

void RfbSession::SendKeepAlive(bool force) {
  if (!m_keepAliveSupported) return;
  SetKeepAliveTimer(0);
  int interval = m_opts.m_KeepAliveInterval;
  if (!force && interval > 0) {
    std::uint64_t now = rdr::GetTimeMicroseconds() / 1000;
    std::uint64_t last = m_out.LastSendMs();
    std::uint64_t due = last + static_cast<std::uint64_t>(interval) * 1000;
    if (last != 0 && now < due && due - now >= 100) {
      SetKeepAliveTimer(static_cast<int>(due - now));
      return;
    }
  }
  auto msg = clientmsg::KeepAlive();
  WriteTypedMessage(msg.data(), msg.size(), false, true);
  if (interval > 0) SetKeepAliveTimer(interval * 1000);
}

void RfbSession::SendCopyDataValue(std::uint8_t value) {
  if (m_copyDataValue == 0) return;
  auto msg = clientmsg::CopyDataValue(value);
  WriteTypedMessage(msg.data(), msg.size(), false, true);
}

bool RfbSession::SendMonitorInfo(const MonitorLayout& layout) {
  if (!m_opts.m_ChangeServerRes) return false;
  std::uint32_t mode;
  if (m_opts.m_extendDisplay)
    mode = !m_opts.m_showExtend ? 2 : (m_opts.m_useAllMonitors ? 2 : 3);
  else
    mode = m_opts.m_use_virt ? 1 : 0;
  std::vector<clientmsg::MonitorEntry> entries;
  if (m_opts.m_useAllMonitors) {
    entries = layout.monitors;
  } else {
    clientmsg::MonitorEntry e{0, 0, layout.table.width, layout.table.height};
    if (m_opts.m_requestedWidth > 0 && m_opts.m_requestedHeight > 0) {
      e.width = m_opts.m_requestedWidth;
      e.height = m_opts.m_requestedHeight;
    }
    entries.push_back(e);
  }
  std::vector<std::uint8_t> msg = clientmsg::MonitorInfo(layout.headerA, layout.headerB, entries, mode);
  std::lock_guard<std::recursive_mutex> message(m_messageLock);
  if (msg == m_lastMonitorInfo) return false;
  // With an old-style plug-in its type byte goes alone first, like every client message's;
  // while such a plug-in is not enabled nothing goes, and the layout is still to be sent.
  if (!WriteTypedMessage(msg.data(), msg.size(), false, false)) return false;
  m_lastMonitorInfo = msg;
  return true;
}

bool RfbSession::IsRectInFramebuffer(long long x, long long y, long long w, long long h) const {
  Framebuffer fb;
  fb.width = m_si.framebufferWidth;
  fb.height = m_si.framebufferHeight;
  return dec::IsRectInFramebuffer(fb, x, y, w, h);
}

namespace {
Framebuffer BitmapView(std::uint8_t* bits, int width, int height, int bpp) {
  Framebuffer fb;
  fb.bits = bits;
  fb.width = width;
  fb.height = height;
  fb.bytesPerPixel = bpp;
  fb.stride = (width >= 0 && (bpp == 1 || bpp == 2 || bpp == 4)) ? Framebuffer::StrideFor(width, bpp) : 0;
  return fb;
}
}  // namespace

void RfbSession::CopyPixelRect(int w, int h, int x, int y, int bpp, const std::uint8_t* src, std::uint8_t* dstBits,
                               int dstWidth, int dstHeight) {
  dec::CopyPixelRect(BitmapView(dstBits, dstWidth, dstHeight, bpp), x, y, w, h, bpp, src);
}

void RfbSession::CopyPixelRectChecked(int w, int h, int x, int y, int bpp, const std::uint8_t* src,
                                      std::uint8_t* dstBits, int dstWidth, int dstHeight, std::size_t srcBytes) {
  dec::CopyPixelRectChecked(BitmapView(dstBits, dstWidth, dstHeight, bpp), x, y, w, h, bpp, src, srcBytes);
}

void RfbSession::CopyRectBetweenBitmaps(int w, int h, int x, int y, int bpp, const std::uint8_t* srcBits,
                                        std::uint8_t* dstBits, int width, int height) {
  Framebuffer fb = BitmapView(dstBits, width, height, bpp);
  dec::CopyRectBetweenBitmaps(fb, srcBits, dstBits, x, y, w, h);
}

const std::uint8_t* RfbSession::ConvertRgbRect(int x, int y, int w, int h, int bpp, const std::uint8_t* src,
                                               std::uint8_t* dstBits, int width, int height) const {
  Framebuffer fb = BitmapView(dstBits, width, height, bpp);
  fb.format = m_myFormat;
  return dec::ConvertRgbRect(fb, x, y, w, h, src);
}
