// The connection thread's side of a session: its body, the dispatch of server messages,
// the FramebufferUpdate reader with its pseudo-encodings, ServerState, the messages whose
// features live elsewhere (read whole and dropped), and the update requests that the GUI
// thread sends on the thread's behalf.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "decoders/Decoders.h"
#include "rdr/ByteOrder.h"
#include "rdr/Exception.h"
#include "resources/StringIds.h"
#include "session/RfbSession.h"

namespace {


// The framebuffer lock for a scope, without looking at the bitmap.
class BitmapLock {
public:
  explicit BitmapLock(FramebufferHost& host) : host_(host) { host_.LockFramebuffer(); }
  ~BitmapLock() { host_.UnlockFramebuffer(); }
  BitmapLock(const BitmapLock&) = delete;
  BitmapLock& operator=(const BitmapLock&) = delete;

private:
  FramebufferHost& host_;
};

// Times one FramebufferUpdate on the socket stream, also when it ends by an exception.
class TimedMessage {
public:
  explicit TimedMessage(rdr::FdInStream& in) : in_(in) { in_.StartTiming(); }
  ~TimedMessage() { Stop(); }
  void Stop() {
    if (running_) in_.StopTiming();
    running_ = false;
  }

private:
  rdr::FdInStream& in_;
  bool running_ = true;
};

// A side of the framebuffer as it may be applied: at least one pixel (a bitmap of width
// or height 0 cannot be built, and scaled coordinates divide by these).
std::uint16_t UsableSide(long long v) { return static_cast<std::uint16_t>(std::clamp<long long>(v, 1, 0xFFFF)); }

// Old servers announce this 32-bit format (11/11/10 bits) and cannot send ZRLE in it; the
// viewer switches to plain 24-bit colour in the same pixel size.
bool NeedsZrleFormatRewrite(const PixelFormat& pf) {
  return pf.redShift == 0 && pf.greenShift == 11 && pf.blueShift == 22;
}

constexpr int kPausePollMs = 2000;

}  // namespace

// ---------------------------------------------------------------------------------------
// Thread body

void RfbSession::EndConnectionThread() {
  m_endThread = true;
  m_reconnectDelay = 0;
  m_threadWake.Set();
}

void RfbSession::ConnectionLostRoad(int attempts, const char* warning) {
  // A connection that is being closed is expected to fail; the frame needs no news. Nor
  // when the loss is known already (a send failed and a reconnect closed the socket under
  // the read): one loss, one reconnect.
  if (m_paused.exchange(true) || m_closing || m_endThread) return;
  // An open chat or a running file transfer does not survive into a new connection: the
  // connection ends here, without a reconnect, and so does this thread.
  if (FileTransferInProgress() || TextChatActive()) {
    kebLog.Print(0, "Connection lost during a file transfer or chat: no reconnect\n");
    attempts = 0;
    m_reconnectDelay = 0;
  }
  TellLoss(attempts, warning);
}

void RfbSession::TellLoss(int attempts, const char* warning) {
  std::lock_guard<std::mutex> g(m_lossNewsLock);
  // The last news is the one that counts: a notice still owed gives way to this one.
  m_lossNewsOwed = !ConnectionLost(attempts, warning);
  m_owedAttempts = attempts;
  m_owedWarning = warning;
  if (m_lossNewsOwed) kebLog.Print(0, "The window could not be told of the lost connection; telling it again\n");
}

void RfbSession::RetryLossNews() {
  std::lock_guard<std::mutex> g(m_lossNewsLock);
  if (m_lossNewsOwed && !m_closing && !m_endThread) m_lossNewsOwed = !ConnectionLost(m_owedAttempts, m_owedWarning);
}

void RfbSession::RunConnectionThread() {
  kebLog.Print(9, "Update-processing thread started\n");
  m_event2.Reset();
  m_nServerScale = std::clamp(m_opts.m_ServerScale, 1, 9);
  m_reconnectAttempts = FullReconnectAttempts();
  m_reconnectDelay = m_endThread ? 0 : m_opts.m_AutoReconnect;
  m_decoder.rectanglesReceived = 0;
  m_decoder.quality = m_opts.m_qualityGiven && m_opts.m_quality >= 0 && m_opts.m_quality <= 9 ? m_opts.m_quality : -1;
  {
    FramebufferLock lock(*this);
    dec::ClearCache(lock.fb());
  }

  try {
    if (m_nServerScale > 1) SendServerScale(m_nServerScale);
    PostUpdateRequest(kRequestFull, true);
    ConnectionThreadStarted();
    m_running = true;
    if (!m_endThread) {
      if (m_reconnectDelay < 1) m_reconnectDelay = 1;
      if (!m_closing) m_paused = false;
    }
  } catch (...) {
    kebLog.Print(0, "Connection thread could not start\n");
    ConnectionLostRoad(0, nullptr);
  }

  while (m_reconnectDelay > 0 && !m_endThread) {
    m_threadParked = false;
    if (m_paused) {
      // Parked: a reconnect resumes the thread on a new socket, closing ends it.
      m_threadParked = true;
      m_parkedEvent.Set();
      RetryLossNews();
      m_threadWake.Wait(kPausePollMs);
      continue;
    }
    try {
      ReadServerMessage();
    } catch (const QuietException& e) {
      // The user refused what the server asked for (a framebuffer too large): no reconnect.
      kebLog.Print(0, "Connection ended: %s\n", e.Message());
      ConnectionLostRoad(0, nullptr);
    } catch (const Exception& e) {
      kebLog.Print(0, "Connection ended: %s\n", e.Message());
      // A file transfer or chat cut short is news for the user, whatever ended it.
      const bool told = (FileTransferInProgress() || TextChatActive()) && !m_closing && !m_endThread;
      ConnectionLostRoad(m_reconnectAttempts, told ? UiText(IDS_CONNECTION_LOST) : nullptr);
    } catch (const rdr::Exception& e) {
      kebLog.Print(0, "rdr::Exception (1): %s\n", e.str());
      // A server that closed the stream or reset the connection, or a read failing because
      // this side closed the socket, is no news for the user, unless a file transfer or chat
      // was cut short by the reset; any other stream error is.
      const auto* sys = dynamic_cast<const rdr::SystemException*>(&e);
      const bool reset = sys && rdr::IsConnectionReset(sys->err);
      const bool sideWindows = FileTransferInProgress() || TextChatActive();
      const bool quiet = std::strcmp(e.str(), "rdr::EndOfStream: read") == 0 || (reset && !sideWindows) ||
                         m_closing || m_endThread;
      ConnectionLostRoad(m_reconnectAttempts, quiet ? nullptr : UiText(IDS_CONNECTION_LOST));
    } catch (const std::bad_alloc&) {
      kebLog.Print(0, "Connection ended: out of memory\n");
      ConnectionLostRoad(m_reconnectAttempts, nullptr);
    } catch (const std::exception& e) {
      kebLog.Print(0, "Connection ended: %s\n", e.what());
      ConnectionLostRoad(m_reconnectAttempts, nullptr);
    } catch (...) {
      kebLog.Print(0, "Connection ended: unexpected error\n");
      ConnectionLostRoad(m_reconnectAttempts, nullptr);
    }
  }
  kebLog.Print(4, "Update-processing thread finishing\n");
  // Whoever waits for the thread may free the connection once the events are set.
  m_threadEnded = true;
  m_parkedEvent.Set();
  m_event1.Set();
  m_event2.Set();
}

// ---------------------------------------------------------------------------------------
// Server messages

void RfbSession::ReadMessageBody(std::uint8_t* buf, std::size_t total) {
  if (m_typeByteConsumed == 1)
    ReadExact(buf + 1, static_cast<long>(total - 1));
  else
    ReadExact(buf, static_cast<long>(total));
}

void RfbSession::DiscardInput(std::uint64_t n) {
  std::uint8_t scratch[4096];
  while (n > 0) {
    std::size_t step = n > sizeof scratch ? sizeof scratch : static_cast<std::size_t>(n);
    ReadExact(scratch, static_cast<long>(step));
    n -= step;
  }
}

void RfbSession::ReadServerMessage() {
  std::uint8_t type;
  if (!m_fUsePlugin) {
    if (!m_fdin) throw rdr::EndOfStream("read");
    type = m_fdin->ReadU8();
    m_typeByteConsumed = 1;
  } else {
    ReadExact(&type, 1);
    m_typeByteConsumed = (m_channel || m_fPluginStreamingIn) ? 1 : 0;
  }
  std::uint8_t b[8] = {type};
  switch (type) {
    case 0: ReadFramebufferUpdate(); break;
    case 1:
      kebLog.Print(3, "rfbSetColourMapEntries read but not supported\n");
      throw WarningException("rfbSetColourMapEntries read but not supported");
    case 2:
      // An old-style plug-in repeats the type byte behind the one already read.
      ReadMessageBody(b, 1);
      Bell();
      kebLog.Print(6, "Bell!\n");
      break;
    case 3: ReadServerCutText(); break;
    case 4: {
      // A desktop-size change of its own message: [4, padding, width, height].
      ReadMessageBody(b, 6);
      ResizeFramebuffer(rdr::LoadU16BE(b + 2), rdr::LoadU16BE(b + 4));
      QueueUpdateRequest(kRequestNewFormat);
      break;
    }
    case 7: FileTransferMessage(); break;
    case 11: ReadTextChatMessage(); break;
    case 13: m_keepAliveSupported = true; break;
    case 20: break;  // announces nothing the viewer uses; it is only its type byte
    case 80:
      ReadMessageBody(b, 4);
      m_fPluginStreamingIn = true;
      PostStreamingAck();
      break;
    case 173:
      ReadServerState();
      ServerStateChanged();
      break;
    case 252:
      ReadMessageBody(b, 4);
      m_copyDataValue = b[1];
      break;
    case 253: ReadGiiMessage(); break;
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "Unknown message type x%02x", type);
      kebLog.Print(3, "Unknown message type x%02x\n", type);
      throw WarningException(text);
    }
  }
}

void RfbSession::ReadServerState() {
  std::uint8_t b[12] = {173};
  ReadMessageBody(b, sizeof b);
  kebLog.Print(1, "ServerState- reading %u bytes\n", static_cast<unsigned>(sizeof b));
  const std::uint32_t state = rdr::LoadU32BE(b + 4), value = rdr::LoadU32BE(b + 8);
  kebLog.Print(1, "ServerState (%u, %u)\n", state, value);
  switch (state) {
    case 1:
      m_remoteInputEnabled = value == 0;
      kebLog.Print(1, "New input state %u\n", value);
      break;
    case 2: {
      // Keep-alives must come more often than the file-transfer time-out.
      const std::uint64_t cap = m_opts.m_FileTransferTimeout > 1 ? std::uint64_t(m_opts.m_FileTransferTimeout) - 1 : 0;
      const std::uint64_t interval = std::min<std::uint64_t>(value, cap);
      m_opts.m_KeepAliveInterval = static_cast<int>(interval);
      kebLog.Print(1, "New keepalive interval %u\n", static_cast<unsigned>(interval));
      SetKeepAliveTimer(interval > 0 ? static_cast<int>(interval * 1000) : 0);
      break;
    }
    case 3: {
      m_idleInterval = value;
      kebLog.Print(1, "New IdleTiler interval %u\n", value);
      // Seconds to milliseconds in 64 bits: 4,294,968 s must not wrap to a short timer.
      // The timer's own limit is about 24 days; any interval of 60 s or more closes the
      // connection at its first expiry anyway.
      const std::uint64_t ms = std::uint64_t(value) * 1000;
      SetIdleTimer(static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, kMaxTimerMs)));
      break;
    }
    default: kebLog.Print(1, "Ignoring unsupported state %u\n", state); break;
  }
}

void RfbSession::SkipFileTransferMessage() {
  // Header: type, content type, parameter (u16 little-endian), size, length; the body
  // follows for the content types a viewer reads (see the file-transfer protocol).
  std::uint8_t b[12] = {7};
  ReadMessageBody(b, sizeof b);
  const std::uint8_t content = b[1];
  const std::uint32_t size = rdr::LoadU32BE(b + 4), length = rdr::LoadU32BE(b + 8);
  std::uint64_t body = length;
  switch (content) {
    case 1: case 3: case 8: case 10: case 13: case 15: case 16: body = 0; break;  // not read by a viewer
    case 4: body += 4; break;                                                      // high part of the size
    case 5: if (size == 2) body = 0; break;                                        // "block unchanged"
    default: if (content > 17) body = 0; break;
  }
  if (body > GrowBuffer::kMaxRequest) throw rdr::Exception("File transfer message too long");
  kebLog.Print(6, "File transfer message %u dropped\n", content);
  DiscardInput(body);
}

void RfbSession::SkipGiiMessage() {
  std::uint8_t b[2] = {253};
  ReadMessageBody(b, sizeof b);
  const int subType = b[1] & 0x7F;
  if (subType == 1 || subType == 2) DiscardInput(6);
}

// ---------------------------------------------------------------------------------------
// FramebufferUpdate

RectHeader RfbSession::ReadRectHeader() {
  std::uint8_t b[RectHeader::kWireSize];
  ReadExact(b, sizeof b);
  RectHeader r;
  r.x = rdr::LoadU16BE(b);
  r.y = rdr::LoadU16BE(b + 2);
  r.w = rdr::LoadU16BE(b + 4);
  r.h = rdr::LoadU16BE(b + 6);
  r.encoding = static_cast<std::int32_t>(rdr::LoadU32BE(b + 8));
  return r;
}

void RfbSession::ResizeFramebuffer(int width, int height) {
  m_pendingFormatChange = true;
  std::uint16_t w = UsableSide(width), h = UsableSide(height);
  // May ask the user: never with the framebuffer lock held (painting waits for it).
  CheckFramebufferSize(w, h);
  {
    BitmapLock lock(*this);
    m_si.framebufferWidth = w;
    m_si.framebufferHeight = h;
    m_decoder.cursor.FramebufferRebuilt();
    RebuildFramebuffer();
  }
  kebLog.Print(2, "New framebuffer size %d x %d\n", w, h);
  FramebufferResized();
}

void RfbSession::ReadExtendedDesktopSize(const RectHeader& r) {
  m_extendedDesktopSizeReceived = true;
  std::uint8_t head[4];
  ReadExact(head, sizeof head);
  const int screens = head[0];
  std::uint8_t screen[16] = {};
  for (int i = 0; i < screens; i++) ReadExact(screen, sizeof screen);

  const int scale = std::max(1, m_nServerScale);
  int fbw, fbh;
  {
    BitmapLock lock(*this);
    fbw = m_si.framebufferWidth;
    fbh = m_si.framebufferHeight;
  }
  // The header carries the new framebuffer size (servers resize this way): a change in
  // either direction is applied.
  if (r.w / scale != fbw || r.h / scale != fbh) ResizeFramebuffer(r.w / scale, r.h / scale);
  if (m_opts.m_GNOME) {
    if (screens == 1) {
      m_desktopRect.x = rdr::LoadU16BE(screen + 4) / scale;
      m_desktopRect.y = rdr::LoadU16BE(screen + 6) / scale;
      m_desktopRect.w = rdr::LoadU16BE(screen + 8) / scale;
      m_desktopRect.h = rdr::LoadU16BE(screen + 10) / scale;
    }
  } else if (!m_opts.m_ChangeServerRes || !SendMonitorInfo(LocalMonitorLayout())) {
    QueueUpdateRequest(kRequestFull);
  }
}

bool RfbSession::ReadPluginBlock(std::int32_t encoding) {
  if (!m_fUsePlugin || !m_fdin) return false;
  auto readLength = [this] {
    std::uint8_t b[4];
    ReadExact(b, 4);
    const std::uint64_t n = rdr::LoadU32BE(b);
    if (n > GrowBuffer::kMaxRequest) throw rdr::Exception("Plug-in data block too long");
    return n;
  };
  const bool preRead = encoding == rfbenc::kRaw || encoding == rfbenc::kRRE ||
                       (encoding >= rfbenc::kCoRRE && encoding <= rfbenc::kOpalo2);
  const bool zrle = encoding == rfbenc::kZRLE || encoding == rfbenc::kZYWRLE || encoding == rfbenc::kZSTDRLE ||
                    encoding == rfbenc::kZSTDYWRLE;
  if (preRead && OldStylePlugin() && m_pluginEnabled && !m_preRead.pending && !m_fdin->InjectionActive()) {
    // An old-style plug-in sends the rectangle's data as one block with its length ahead:
    // it is decrypted whole and served to the decoder before the socket.
    const std::uint64_t n = readLength();
    std::uint8_t* data;
    {
      std::lock_guard<std::mutex> g(m_preReadLock);
      data = m_preRead.data.Ensure(n);
    }
    ReadExact(data, static_cast<long>(n));
    m_fdin->InjectData(static_cast<std::size_t>(n), data);
    return true;
  }
  if (zrle && (m_channel || m_pluginEnabled) && !m_fdin->InjectionActive()) {
    const std::uint64_t n = readLength();
    // A channel of the newer protocol versions keeps the length in front of the data.
    const bool keepLength = m_channel && m_minorVersion != 4 && m_minorVersion != 6 && m_minorVersion != 14 &&
                            m_minorVersion != 16;
    const std::size_t front = keepLength ? 4 : 0;
    std::uint8_t* data = CheckInjectBufferSize(n + front);
    for (std::size_t i = 0; i < front; i++) data[i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
    ReadExact(data + front, static_cast<long>(n));
    m_fdin->InjectData(static_cast<std::size_t>(n + front), data);
    return true;
  }
  return false;
}

void RfbSession::DrainAfterUnknownEncoding() {
  // The rectangle's length is unknown: whatever the server still sends is dropped, and
  // the next message is expected once it has been silent for a while.
  m_fdin->Clear();
  const rdr::SocketHandle s = m_sock.load();
  std::uint8_t scratch[4096];
  int quiet = 0;
  for (int round = 0; round < 4000 && s != rdr::kInvalidSocket; round++) {
    const int r = rdr::WaitReadable(s, 0);
    if (r < 0) break;
    if (r > 0) {
      if (rdr::SocketRecv(s, scratch, sizeof scratch) <= 0) break;
      TimedPause(5, nullptr);
      continue;
    }
    if (quiet++ == 5) break;
    TimedPause(200, nullptr);
  }
  kebLog.Print(0, "Buffer cleared, sync should be back OK..Continue \n");
}

void RfbSession::ReadFramebufferUpdate() {
  bool requested = false;
  if (m_opts.m_PreemptiveUpdates && !m_pendingFormatChange) {
    QueueUpdateRequest(kRequestNewFormat);
    requested = true;
  }
  std::uint8_t head[4] = {0};
  ReadMessageBody(head, sizeof head);
  const unsigned count = rdr::LoadU16BE(head + 2);
  rdr::FdInStream& in = *m_fdin;
  rdr::InStream& din = DecoderInput();
  TimedMessage timing(in);
  bool pluginData = false;
  bool cursorShape = false;
  const int scale = std::max(1, m_nServerScale);
  // The display shows the update once it is whole; what an error leaves of it is shown too.
  struct UpdateEnd {
    RfbSession& s;
    bool pending;
    void Now() {
      if (pending) s.InvalidateUpdateRegion();
      pending = false;
    }
    ~UpdateEnd() { Now(); }
  } updateEnd{*this, true};
  if (count > 0) UpdateStarting();

  // i counts the rectangles read; an XZ list counts as many as its sub-rectangles.
  std::uint64_t step = 1;
  for (std::uint64_t i = 0; i < count; i += step) {
    step = 1;
    const RectHeader r = ReadRectHeader();

    bool rewrite = false;
    if (r.encoding == rfbenc::kZRLE) {
      BitmapLock lock(*this);
      rewrite = m_formatResendDue || NeedsZrleFormatRewrite(m_myFormat);
    }
    if (rewrite) {
      {
        BitmapLock lock(*this);
        m_myFormat.depth = 24;
        m_myFormat.redMax = m_myFormat.greenMax = m_myFormat.blueMax = 255;
        m_myFormat.redShift = 16;
        m_myFormat.greenShift = 8;
        m_myFormat.blueShift = 0;
      }
      m_formatResendDue = true;
      // The rectangle cannot be drawn in the old format; its data still feed the stream.
      std::uint8_t b[4];
      ReadExact(b, 4);
      const std::uint64_t n = rdr::LoadU32BE(b);
      if (n > GrowBuffer::kMaxRequest) throw rdr::Exception("ZRLE: rectangle data too long");
      m_decoder.zrle.zlib.SetUnderlying(&din, n);
      m_decoder.zrle.zlib.Reset();
      continue;
    }

    switch (r.encoding) {
      case rfbenc::kLastRect: i = count; continue;
      case rfbenc::kNewFBSize:
        ResizeFramebuffer(r.w / scale, r.h / scale);
        QueueUpdateRequest(kRequestFull);
        continue;
      case rfbenc::kDesktopRect:
        m_desktopRect.x = r.x / scale;
        m_desktopRect.y = r.y / scale;
        m_desktopRect.w = r.w / scale;
        m_desktopRect.h = r.h / scale;
        ShowDesktopRect();
        continue;
      case rfbenc::kExtendedDesktopSize: ReadExtendedDesktopSize(r); continue;
      case rfbenc::kXCursor:
      case rfbenc::kRichCursor:
        dec::DecodeCursorShape(m_decoder, din, r, m_opts.m_noremotecursor);
        cursorShape = true;
        continue;
      case rfbenc::kPointerPos: dec::DecodeCursorPos(m_decoder, r, scale); continue;
      default: break;
    }

    if (r.encoding == rfbenc::kZRLE || r.encoding == rfbenc::kZSTDRLE) m_zywrle = false;
    if (r.encoding == rfbenc::kXZ) m_xzyw = false;
    if (ReadPluginBlock(r.encoding)) pluginData = true;
    m_decoder.rectanglesReceived++;
    LockFramebufferForUpdate();
    if (!dec::DecodeRectangle(m_decoder, din, r)) {
      DrainAfterUnknownEncoding();
      break;
    }
    m_lastEncoding = r.encoding;
    if (r.encoding == rfbenc::kXZ || r.encoding == rfbenc::kXZYW) step = dec::XzSubRectangleCount(r);
  }

  // The next request; a change made pending by this update (a new size) goes out with it.
  // It goes before the invalidation: the window thread, woken by the invalidation first,
  // would paint the whole update before it took the request, and the server would wait
  // for that paint. A posted message is taken before a paint.
  if (!requested || m_pendingFormatChange) QueueUpdateRequest(kRequestNewFormat);
  updateEnd.Now();
  if (cursorShape && !m_cursorShapeSeen) {
    bool present;
    {
      BitmapLock lock(*this);
      present = m_decoder.cursor.Present();
    }
    if (present) {
      m_cursorShapeSeen = true;
      CursorShapeArrived();
    }
  }
  if (m_formatResendDue) {
    m_formatResendDue = false;
    std::uint16_t w, h;
    {
      BitmapLock lock(*this);
      SendFormatAndEncodings();
      m_decoder.cursor.FramebufferRebuilt();
      RebuildFramebuffer();
      w = m_si.framebufferWidth;
      h = m_si.framebufferHeight;
    }
    SendFramebufferUpdateRequest(0, 0, w, h, false);
  }
  timing.Stop();
  if (!pluginData) AutoDetectSample(in.KbitsPerSecond(), rdr::GetTimeMicroseconds() / 1000);
}

// ---------------------------------------------------------------------------------------
// Automatic encoding choice

void RfbSession::AutoDetectSample(std::uint32_t kbits, std::uint64_t nowMs) {
  const std::uint64_t sample = kbits, est = m_kbitsEstimate;
  if (est == 0)
    m_kbitsEstimate = kbits;
  else if (sample * 2 < est || sample * 2 > est * 3)
    m_kbitsEstimate = static_cast<std::uint32_t>((sample + 3 * est) / 4);
  else
    m_kbitsEstimate = static_cast<std::uint32_t>((est + sample) / 2);

  const std::uint32_t e = m_kbitsEstimate;
  if (e == 0 || !m_opts.m_autoDetect || HoldUpdatesAndInput()) return;
  if (nowMs - m_autoLastChangeMs <= m_autoCheckIntervalMs) return;
  m_autoCheckIntervalMs = 60000;

  int level;
  std::int32_t encoding;
  bool stamp = true;
  if (e > 10000) {
    if (m_autoLevel == 1) return;
    BitmapLock lock(*this);
    const bool wasHextile = !m_opts.m_PreferredEncodings.empty() && m_opts.m_PreferredEncodings.front() == rfbenc::kHextile;
    if (!wasHextile || m_opts.m_EnableCache) m_pendingFormatChange = true;
    m_opts.m_EnableCache = false;
    m_opts.m_PreferredEncodings.assign(1, rfbenc::kHextile);
    m_autoLevel = 1;
    m_autoLastChangeMs = nowMs;
    return;
  } else if (e >= 129 && e <= 9999 && e != 256) {
    // Both bands of a medium line choose ZRLE at level 2 (a band that named level 1 here
    // would never settle and switch again at every check).
    if (m_autoLevel == 2) return;
    level = 2;
    encoding = rfbenc::kZRLE;
  } else if (e >= 20 && e <= 127) {
    if (m_autoLevel == 3) return;
    level = 3;
    encoding = rfbenc::kTight;
  } else if (e >= 6 && e <= 18) {
    if (m_autoLevel == 4) return;
    level = 4;
    encoding = rfbenc::kTight;
    stamp = false;
  } else {
    return;
  }
  BitmapLock lock(*this);
  m_autoLevel = level;
  m_opts.m_PreferredEncodings.assign(1, encoding);
  m_opts.m_EnableCache = false;
  m_pendingFormatChange = true;
  if (stamp) m_autoLastChangeMs = nowMs;
}

// ---------------------------------------------------------------------------------------
// Update requests (GUI thread)

unsigned RfbSession::QueuedRequestBit(std::uint32_t kind) {
  switch (kind) {
    case kRequestIncremental: return 1u;
    case kRequestNewFormat: return 2u;
    default: return 4u;  // every other value asks for a full request
  }
}

void RfbSession::QueueUpdateRequest(std::uint32_t kind) {
  const unsigned bit = QueuedRequestBit(kind);
  if (m_queuedRequests.fetch_or(bit) & bit) return;  // that one still waits: it will do
  if (PostUpdateRequest(kind, false)) return;
  m_queuedRequests.fetch_and(~bit);
  HandleUpdateRequest(kind);
}

void RfbSession::HandleQueuedUpdateRequest(std::uint32_t kind) {
  // Cleared first: an update that ends while this request goes out asks for the next one.
  m_queuedRequests.fetch_and(~QueuedRequestBit(kind));
  HandleUpdateRequest(kind);
}

void RfbSession::HandleUpdateRequest(std::uint32_t kind) {
  if (kind == kRequestNewFormat) {
    RequestNewFormatOrUpdate();
    return;
  }
  std::uint16_t w, h;
  {
    BitmapLock lock(*this);
    w = m_si.framebufferWidth;
    h = m_si.framebufferHeight;
  }
  SendFramebufferUpdateRequest(0, 0, w, h, kind == kRequestIncremental);
}

void RfbSession::RequestNewFormatOrUpdate() {
  std::uint16_t w, h;
  if (m_pendingFormatChange.exchange(false)) {
    kebLog.Print(3, "Requesting new pixel format\n");
    {
      // The decoders never see a format and a bitmap that disagree: both change together.
      BitmapLock lock(*this);
      SelectSessionPixelFormat();
      SendFormatAndEncodings();
      m_decoder.cursor.FramebufferRebuilt();
      RebuildFramebuffer();
      w = m_si.framebufferWidth;
      h = m_si.framebufferHeight;
    }
    SendFramebufferUpdateRequest(0, 0, w, h, false);
    return;
  }
  if (m_dormant == 1) return;
  {
    BitmapLock lock(*this);
    w = m_si.framebufferWidth;
    h = m_si.framebufferHeight;
  }
  SendFramebufferUpdateRequest(0, 0, w, h, true);
  int entering = 2;
  m_dormant.compare_exchange_strong(entering, 1);
}
