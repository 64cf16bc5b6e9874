#include "rdr/ByteOrder.h"
#include "session/RfbSession.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "rdr/Exception.h"
#include "resources/StringIds.h"
#include "security/DSMPlugin.h"
#include "session/ProtocolVersion.h"
#include "session/SessionFormat.h"

namespace {

// Bytes of an overlong desktop name read and dropped per step.
constexpr std::size_t kDiscardChunk = 4096;

// How long a close waits for the connection thread's end; the closed socket ends its read
// at once, so running out of it means the thread was held elsewhere.
constexpr int kCloseWaitMs = 6000;

// Sets a flag for the length of a scope and clears it on every way out.
class FlagScope {
public:
  FlagScope(std::atomic<bool>& flag, std::atomic<bool>& cleared) : flag_(flag), cleared_(cleared) {
    cleared_ = false;
    flag_ = true;
  }
  ~FlagScope() {
    flag_ = false;
    cleared_ = false;
  }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

private:
  std::atomic<bool>& flag_;
  std::atomic<bool>& cleared_;
};

}  // namespace

RfbSession::RfbSession(KEBOptions& opts)
    : m_opts(opts),
      m_channelIn([](void* self, void* buf, std::size_t n) { static_cast<RfbSession*>(self)->ReadExactUnconverted(buf, n); },
                  this),
      m_pDSMPlugin(new CDSMPlugin),
      m_decoder(*this) {
  CheckBufferSize(4096);
  m_reconnectDelay = opts.m_AutoReconnect;
}

RfbSession::~RfbSession() {
  // The shell waits for a reconnect thread before it deletes a connection; this join is
  // the last guard that no thread outlives its session.
  if (m_reconnectThread.joinable()) {
    BeginClose();
    m_reconnectThread.join();
  }
  StopConnectWatchdog();
  CloseSocket();
}

// ---------------------------------------------------------------------------------------
// Socket and watchdog

void RfbSession::SetSocket(rdr::SocketHandle s) {
  std::lock_guard<std::mutex> g(m_sockLock);
  rdr::SocketHandle old = m_sock.exchange(s);
  if (old != rdr::kInvalidSocket && old != s) {
    rdr::SocketShutdown(old);
    rdr::SocketClose(old);
  }
}

bool RfbSession::CloseSocket() {
  std::lock_guard<std::mutex> g(m_sockLock);
  rdr::SocketHandle s = m_sock.exchange(rdr::kInvalidSocket);
  if (s == rdr::kInvalidSocket) return false;
  rdr::SocketShutdown(s);
  rdr::SocketClose(s);
  return true;
}

bool RfbSession::TimedPause(int ms, AutoResetEvent* wake) {
  if (wake) return wake->Wait(ms);
  rdr::SleepMs(ms);
  return false;
}

void RfbSession::CloseConnection() {
  m_closing = true;
  m_paused = true;
  if (CloseSocket()) {
    std::lock_guard<std::recursive_mutex> g(m_sendLock);
    m_out.Clear();
  }
  // The thread sets the event once when it ends; a second close (or one after another
  // wait took the event) must not wait for a thread that is gone.
  if (m_threadStarted && !m_threadEnded && !WaitForThreadEvent(m_event1, kCloseWaitMs))
    kebLog.Print(0, "The connection thread did not end within %d ms of the close\n", kCloseWaitMs);
}

void RfbSession::ConnectWatchdogThreadProc() {
  while (m_connecting && !m_watchdogStop) {
    if (m_cancelConnect || m_closing) {
      // Closing the socket is what aborts a blocking connect or handshake read (also a
      // reconnect's, when the connection closes). The socket lock makes sure it is this
      // attempt's socket and that it is closed once.
      if (CloseSocket()) kebLog.Print(1, "Connection attempt cancelled\n");
      return;
    }
    rdr::SleepMs(100);
  }
}

void RfbSession::StartConnectWatchdog() {
  StopConnectWatchdog();
  m_watchdogStop = false;
  m_watchdog = std::thread(&RfbSession::ConnectWatchdogThreadProc, this);
}

void RfbSession::StopConnectWatchdog() {
  if (!m_watchdog.joinable()) return;
  m_watchdogStop = true;
  m_watchdog.join();  // it looks at the flag every 100 ms
}

int RfbSession::HandshakeTimeoutMs() const {
  int s = m_opts.m_FileTransferTimeout;
  if (s <= 0) s = 30;
  return s * 1000;
}

// ---------------------------------------------------------------------------------------
// Connect sequence

void RfbSession::DoConnection() {
  std::lock_guard<std::recursive_mutex> connection(m_connectionLock);
  struct WatchdogStop {
    RfbSession& s;
    ~WatchdogStop() { s.StopConnectWatchdog(); }
  } watchdogStop{*this};
  FlagScope attempt(m_connecting, m_cancelConnect);
  try {
    if (m_closing) throw QuietException("Connection closed");
    // With an encryption plug-in the status window says so from the start, also for a
    // server that connected to the listening viewer (no connect step shows it then).
    if (m_pDSMPlugin && m_pDSMPlugin->IsEnabled()) {
      ShowStatusWhileConnecting(true);
      SetStatusText(kStatusPlugin, UiText(IDS_STATUS_ENCRYPTION));
    }
    if (m_sock.load() == rdr::kInvalidSocket) {
      m_proxySocket = false;
      if (m_proxyhost[0] && m_fUseProxy)
        ConnectToProxy();
      else
        ConnectToHost();
    }
    ConfigureSocket();
    {
      std::lock_guard<std::recursive_mutex> g(m_sendLock);
      m_out.Reset();
    }
    m_cursorShapeSeen = false;
    // A server that accepts and then stays silent must not block the caller for ever:
    // reads wait at most the time-out until ServerInit has arrived.
    m_fdin.reset(new rdr::FdInStream(m_sock.load(), HandshakeTimeoutMs(), kSocketBufferSize));
    m_channelIn.Clear();
    ConfigureDSMPlugin();
    if (m_proxySocket) NegotiateProxy();
    NegotiateProtocolVersion();
    std::vector<std::uint32_t> layers;
    NegotiateSecurityType(layers);
    SendClientInit();
    ReadServerInit();
    m_fdin->SetTimeout(0);
    SelectSessionPixelFormat();
    SendFormatAndEncodings();
  } catch (...) {
    if (m_cancelConnect) {
      kebLog.Print(1, "Connection attempt ended by the user\n");
      throw QuietException("Connection cancelled");
    }
    throw;
  }
}

bool RfbSession::ReadProtocolVersionBytes(std::uint8_t out[12]) {
  if (m_preRead.pending) {
    ReadExact(out, 12);
    return false;
  }
  if (!m_fUsePlugin || !m_pluginEnabled) {
    ReadExactPlain(out, 12);
    return true;
  }
  ReadExactPlain(out, 4);
  if (std::memcmp(out, "RFB ", 4) == 0) {
    ReadExactPlain(out + 4, 8);
    return true;
  }
  // The server encrypts from its first byte: the integrated object, which starts plain,
  // gives way to a plain per-connection object of the same library.
  if (m_pluginIntegrated) {
    m_channel.reset();
    m_pluginIntegrated = false;
    if (DSMPluginInterface* o = m_pDSMPlugin->CreatePluginInterface()) m_channel.reset(new DSMPluginChannel(o));
  }
  IPlugin* t = m_channel ? m_channel.get() : m_pluginTransform;
  if (!t) throw WarningException(UiText(IDS_PLUGIN_RESTORE_ERROR));
  // The four bytes already read are the first the plug-in asks for.
  const std::uint8_t first[4] = {out[0], out[1], out[2], out[3]};
  ReadThroughPlugin(t, out, 12, first, sizeof first);
  return false;
}

void RfbSession::NegotiateProxy() {
  SetStatusText(kStatusLine, UiText(IDS_CONNECTING));
  std::uint8_t pv[rfbversion::kBytes];
  bool oldPlugin = m_fUsePlugin && !m_pluginIntegrated;
  try {
    ReadProtocolVersionBytes(pv);
  } catch (const rdr::Exception& e) {
    kebLog.Print(0, "Error reading protocol version: %s\n", e.str());
    throw WarningException(oldPlugin ? UiText(IDS_PROXY_READ_FAILED_PLUGIN) : UiText(IDS_PROXY_READ_FAILED));
  } catch (const Exception& e) {
    kebLog.Print(0, "Error reading protocol version: %s\n", e.Message());
    throw WarningException(oldPlugin ? UiText(IDS_PROXY_READ_FAILED_PLUGIN) : UiText(IDS_PROXY_READ_FAILED));
  }
  int major, minor;
  if (!rfbversion::Parse(pv, &major, &minor)) throw WarningException(oldPlugin ? UiText(IDS_PROXY_INVALID_PLUGIN) : UiText(IDS_PROXY_INVALID));
  kebLog.Print(0, "Connected to proxy \n");
  if (major == 0 && minor == 0) {
    // The repeater asks for the target: host, and ":" and port when there is a host, in a
    // NUL-padded field of 250 bytes. A long host name is cut so that the field always ends
    // in at least one NUL.
    char field[kHostCapacity] = {};
    if (m_host[0])
      std::snprintf(field, sizeof field, "%.*s:%d", kHostCapacity - 8, m_host, m_port);
    WriteExact(field, sizeof field);
  }
  kebLog.Print(0, "Connected to RFB server, using protocol version %d.%d\n", 3, minor);
}

void RfbSession::ProtocolVersionFailure(const char* what, bool endOfStream) {
  kebLog.Print(0, "Error reading protocol version: %s\n", what);
  bool oldPlugin = m_fUsePlugin && !m_pluginIntegrated;
  if (m_paused) throw QuietException(what);
  if (endOfStream) {
    if (oldPlugin) throw WarningException(UiText(IDS_VERSION_READ_FAILED_PLUGIN), 1003);
    if (!m_accepted) throw WarningException(UiText(IDS_VERSION_END_OF_STREAM), 1004);
    throw QuietException(what);
  }
  if (oldPlugin) throw WarningException(UiText(IDS_VERSION_FAILED_PLUGIN), 1003);
  throw WarningException(UiText(IDS_VERSION_READ_FAILED), 1004);
}

void RfbSession::NegotiateProtocolVersion() {
  SetStatusText(kStatusLine, UiText(IDS_CONNECTING));
  std::uint8_t pv[rfbversion::kBytes];
  bool plain = true;
  try {
    plain = ReadProtocolVersionBytes(pv);
  } catch (const rdr::EndOfStream& e) {
    ProtocolVersionFailure(e.str(), true);
  } catch (const rdr::Exception& e) {
    ProtocolVersionFailure(e.str(), false);
  } catch (const Exception& e) {
    ProtocolVersionFailure(e.Message(), false);
  }

  // The version came in plain although a plug-in that is not of the integrated kind was
  // asked for: the server does not encrypt.
  if (m_fUsePlugin && plain && !m_pluginIntegrated) {
    if (m_opts.m_RequireEncryption) throw WarningException(UiText(IDS_INSECURE_NOT_ALLOWED));
    SwitchOffPlugin();
    if (!m_opts.m_AutoAcceptNoDSM) AskAcceptInsecure(false);
  }

  int major, minor;
  if (!rfbversion::Parse(pv, &major, &minor)) {
    m_event1.Set();
    throw WarningException((m_fUsePlugin && !m_pluginIntegrated) ? UiText(IDS_VERSION_INVALID_PLUGIN) : UiText(IDS_VERSION_INVALID));
  }
  kebLog.Print(0, "RFB server supports protocol version %d.%d\n", major, minor);
  rfbversion::Decision d = rfbversion::Decide(major, minor);
  if (d.legacy33) kebLog.Print(0, "RFB version 3.3, Legacy \n");
  if (d.belowThree) kebLog.Print(0, "Can't use IDEA authentication\n");
  if (d.serverExtA) m_serverExtA = true;
  if (d.serverExtB) m_serverExtB = true;
  m_majorVersion = d.answerMajor;
  m_minorVersion = d.answerMinor;

  std::uint8_t answer[rfbversion::kBytes];
  rfbversion::Format(d.answerMajor, d.answerMinor, answer);
  WriteExact(answer, sizeof answer);

  if (m_accepted) PlayIncomingSound();

  if (d.extraText) {
    std::uint8_t lenBytes[4];
    ReadExact(lenBytes, 4);
    std::uint32_t len = rdr::LoadU32BE(lenBytes);
    if (len > kMaxServerText) throw WarningException(UiText(IDS_BUFFER_TOO_BIG));
    char text[kMaxServerText + 1];
    ReadString(text, len);
    std::uint8_t reply[4];
    bool accept = true;
    if (!m_opts.m_AutoAcceptIncoming) {
      bool checked = false;
      ChoicePrompt p{UiText(IDS_SERVER_TEXT_TITLE), text, UiText(IDS_ACCEPT_INCOMING),
                     UiText(IDS_REFUSE_INCOMING), ""};
      accept = AskChoice(p, &checked);
    }
    rdr::StoreU32BE(reply, accept ? 1 : 0);
    WriteExact(reply, 4);
    if (!accept) throw WarningException(UiText(IDS_YOU_REFUSED_CONNECTION));
    m_minorVersion = d.sessionMinor;
  }
  kebLog.Print(0, "Connected to RFB server, using protocol version %d.%d\n", 3, m_minorVersion);
  if (m_minorVersion > 6 && m_fUsePlugin && m_pluginIntegrated) {
    m_fPluginStreamingOut = true;
    m_fPluginStreamingIn = true;
  }
}

void RfbSession::SendClientInit() {
  std::uint8_t flags = m_opts.m_shared ? 1 : 0;
  bool info = m_infoMsgRequested;
  m_infoMsgRequested = false;
  if (info) flags |= 2;
  std::lock_guard<std::recursive_mutex> message(m_messageLock);
  WriteExact(&flags, 1);
  // A standard server reads ClientInit as this one byte: the information text follows
  // only when the server asked for it with type 117.
  if (info) {
    std::size_t n = std::strlen(m_opts.m_InfoMsg);
    if (n > 255) n = 255;
    std::uint8_t len = static_cast<std::uint8_t>(n);
    WriteExact(&len, 1);
    if (n) WriteExact(m_opts.m_InfoMsg, n);
  }
}

void RfbSession::CheckFramebufferSize() { CheckFramebufferSize(m_si.framebufferWidth, m_si.framebufferHeight); }

void RfbSession::CheckFramebufferSize(std::uint16_t& width, std::uint16_t& height) {
  if (width <= kMaxFramebufferSide && height <= kMaxFramebufferSide) return;
  kebLog.Print(0, "Framebuffer of %d x %d pixels\n", width, height);
  bool checked = false;
  ChoicePrompt p{UiText(IDS_SIZE_WARNING), UiText(IDS_SIZE_QUESTION), UiText(IDS_ACCEPT_CONNECT),
                 UiText(IDS_REFUSE_CONNECT), ""};
  // Refusing ends this connection quietly on the thread that asked; the caller closes it.
  if (!AskChoice(p, &checked)) throw QuietException("Framebuffer size refused");
  width = kOversizeWidth;
  height = kOversizeHeight;
}

void RfbSession::ReadServerInit() {
  std::uint8_t b[ServerInitData::kWireSize];
  ReadExact(b, sizeof b);
  m_si.framebufferWidth = static_cast<std::uint16_t>((b[0] << 8) | b[1]);
  m_si.framebufferHeight = static_cast<std::uint16_t>((b[2] << 8) | b[3]);
  m_si.format = PixelFormat::FromWire(b + 4);
  m_si.nameLength = rdr::LoadU32BE(b + 20);
  CheckFramebufferSize();

  // At most 2024 bytes of the name are kept; the rest is read in chunks and dropped, so
  // that the next message is read right after it, whatever length the server claims.
  std::uint64_t len = m_si.nameLength;
  std::size_t keep = len > kDesktopNameCapacity ? kDesktopNameCapacity : static_cast<std::size_t>(len);
  if (len > kDesktopNameCapacity) {
    bool checked = false;
    ChoicePrompt p{UiText(IDS_NAME_WARNING), UiText(IDS_NAME_QUESTION), UiText(IDS_ACCEPT_CONNECT),
                   UiText(IDS_REFUSE_CONNECT), ""};
    if (!AskChoice(p, &checked)) throw QuietException("Desktop name refused");
  }
  char name[kDesktopNameCapacity + 1];
  ReadString(name, keep);
  for (std::uint64_t rest = len - keep; rest > 0;) {
    std::uint8_t scratch[kDiscardChunk];
    std::size_t n = rest > kDiscardChunk ? kDiscardChunk : static_cast<std::size_t>(rest);
    ReadExact(scratch, static_cast<long>(n));
    rest -= n;
  }
  if (std::strlen(name) > kDesktopNameShown) name[kDesktopNameShown] = '\0';
  m_desktopName = name;
  m_desktopNameViewOnly = m_desktopName + " " + "viewonly";
  kebLog.Print(0, "Desktop name \"%s\"\n", m_desktopName.c_str());
  if (m_fUsePlugin && m_pluginEnabled) {
    m_desktopName += "--- " + m_pDSMPlugin->Name() + "-v" + m_pDSMPlugin->Version() + " ";
    m_desktopNameViewOnly = m_desktopName + " " + "viewonly";
  }
  kebLog.Print(0, "Geometry %d x %d depth %d\n", m_si.framebufferWidth, m_si.framebufferHeight, m_si.format.depth);
}

void RfbSession::SelectSessionPixelFormat() {
  const char* line = nullptr;
  m_myFormat = sessionformat::Select(m_opts.m_Use8Bit, m_si.format, &line);
  if (line) kebLog.Print(0, "%s", line);
}

void RfbSession::SendFormatAndEncodings() {
  std::lock_guard<std::recursive_mutex> message(m_messageLock);
  std::uint8_t spf[20];
  sessionformat::SetPixelFormatMessage(m_myFormat, spf);
  WriteTypedMessage(spf, sizeof spf, true, false);
  m_myBytesPerPixel = (m_myFormat.bitsPerPixel + 7) / 8;

  sessionformat::EncodingContext ctx;
  ctx.securityType17 = m_securityType17;
  ctx.pluginInterfaces = m_fUsePlugin && m_pluginEnabled && m_pDSMPlugin->SupportsPluginInterface();
  sessionformat::EncodingList list = sessionformat::Build(m_opts, ctx);
  m_zywrle = list.has17;
  m_xzyw = list.has19;
  std::vector<std::uint8_t> msg = sessionformat::SetEncodingsMessage(list.encodings);
  WriteMessage(msg.data(), msg.size(), clientmsg::kSetEncodings);
}

void RfbSession::ApplyQuickOption(KEBOptions& opts) { sessionformat::ApplyQuickOption(opts); }

// ---------------------------------------------------------------------------------------
// Output path

bool RfbSession::WriteBuffered(const std::uint8_t* data, std::size_t len, bool queue, bool timed, int timeoutSec) {
  std::lock_guard<std::recursive_mutex> g(m_sendLock);
  if (m_out.Write(data, len, queue, timed, timeoutSec)) return true;
  m_running = false;
  return false;
}

bool RfbSession::WriteExactTimed(const void* data, std::size_t len, int timeoutSec, bool queue) {
  if (len == 0) return true;
  std::lock_guard<std::recursive_mutex> g(m_sendLock);
  const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
  IPlugin* t = m_fUsePlugin ? (m_channel ? m_channel.get() : m_pluginTransform) : nullptr;
  if (t) {
    // The transform's buffer is its own until its next call: it is copied into the output
    // buffer before the lock is left.
    std::lock_guard<std::mutex> pg(m_pluginLock);
    int outLen = 0;
    const std::uint8_t* enc =
        len <= static_cast<std::size_t>(kMaxPluginChunk) ? t->Encrypt(p, static_cast<int>(len), &outLen) : nullptr;
    if (!enc || outLen <= 0) {
      const char* why = t->ErrorText();
      throw WarningException(why && *why ? why : UiText(IDS_PLUGIN_TRANSFORM_ERROR));
    }
    return WriteBuffered(enc, static_cast<std::size_t>(outLen), queue, timeoutSec > 0, timeoutSec);
  }
  return WriteBuffered(p, len, queue, timeoutSec > 0, timeoutSec);
}

bool RfbSession::WriteExactTransformed(const void* data, std::size_t len, bool queue) {
  return WriteExactTimed(data, len, 0, queue);
}

bool RfbSession::WriteMessageEx(const void* data, std::size_t len, std::uint8_t type, bool queue) {
  std::lock_guard<std::recursive_mutex> message(m_messageLock);
  if (OldStylePlugin()) {
    if (!m_pluginEnabled) return false;
    if (!WriteExactTransformed(&type, 1, true)) return false;
  }
  return WriteExactTransformed(data, len, queue);
}

bool RfbSession::WriteMessage(const void* data, std::size_t len, std::uint8_t type) {
  std::lock_guard<std::recursive_mutex> message(m_messageLock);
  return WriteMessageEx(data, len, type, false);
}

bool RfbSession::WriteTypedMessage(const std::uint8_t* msg, std::size_t len, bool queue, bool timed) {
  std::lock_guard<std::recursive_mutex> message(m_messageLock);
  int timeout = timed ? kInputTimeoutSec : 0;
  if (OldStylePlugin()) {
    if (!m_pluginEnabled) return false;
    if (!WriteExactTimed(msg, 1, timeout, true)) return false;
  }
  return WriteExactTimed(msg, len, timeout, queue);
}

bool RfbSession::FlushOutputBuffer(bool timed, int timeoutSec) {
  return WriteBuffered(nullptr, 0, false, timed, timeoutSec);
}

long RfbSession::SendWithTimeout(const std::uint8_t* data, std::size_t len, int seconds) {
  std::lock_guard<std::recursive_mutex> g(m_sendLock);
  return m_out.SendWithTimeout(data, len, seconds);
}

// ---------------------------------------------------------------------------------------
// Input

void RfbSession::ReadExactPlain(void* buf, std::size_t n) {
  if (n == 0) return;
  if (!m_fdin) throw rdr::EndOfStream("no connection");
  m_fdin->ReadBytes(buf, n);
}

rdr::InStream& RfbSession::DecoderInput() {
  const bool deciphered = m_fUsePlugin && (m_channel || (m_pluginEnabled && m_pluginTransform));
  if (deciphered) return m_channelIn;
  if (!m_fdin) throw rdr::EndOfStream("no connection");
  return *m_fdin;
}

void RfbSession::ReadExactUnconverted(void* buf, std::size_t n) {
  std::uint8_t* out = static_cast<std::uint8_t*>(buf);
  IPlugin* t = m_channel ? m_channel.get() : (m_pluginEnabled ? m_pluginTransform : nullptr);
  if (!m_fUsePlugin || !t) {
    ReadExactPlain(out, n);
    return;
  }
  if (m_preRead.pending) {
    std::lock_guard<std::mutex> g(m_preReadLock);
    std::size_t avail = m_preRead.size - m_preRead.pos;
    std::size_t take = std::min(avail, n);
    std::memcpy(out, m_preRead.data.Data() + m_preRead.pos, take);
    m_preRead.pos += take;
    if (m_preRead.pos >= m_preRead.size) {
      m_preRead.pending = false;
      m_preRead.pos = m_preRead.size = 0;
    }
    if (take == n) return;
    out += take;
    n -= take;
  }
  if (m_fdin) {
    // An injected block is plain already; the raw bytes it displaced, and everything after
    // them, still come through the channel.
    const std::size_t injected = std::min(n, m_fdin->InjectedLeft());
    if (injected) {
      ReadExactPlain(out, injected);
      if (injected == n) return;
      out += injected;
      n -= injected;
    }
  }
  ReadThroughPlugin(t, out, n);
}

void RfbSession::ReadThroughPlugin(IPlugin* t, std::uint8_t* out, std::size_t n, const std::uint8_t* prefix,
                                   std::size_t prefixLen) {
  // Only the reading thread decrypts; writers use the transform lock meanwhile, so a
  // read that waits for the server never holds up a send.
  std::lock_guard<std::mutex> g(m_pluginRestoreLock);
  auto fail = [t]() {
    const char* why = t->ErrorText();
    throw WarningException(why && *why ? why : UiText(IDS_PLUGIN_RESTORE_ERROR));
  };
  for (std::size_t done = 0; done < n;) {
    const int want = static_cast<int>(std::min<std::size_t>(n - done, kMaxPluginChunk));
    for (;;) {
      int raw = -1;
      std::uint8_t* room = t->Decrypt(nullptr, want, &raw);
      if (!room || raw < 0) fail();
      const std::size_t early = std::min<std::size_t>(prefixLen, static_cast<std::size_t>(raw));
      if (early) std::memcpy(room, prefix, early);
      prefix += early;
      prefixLen -= early;
      ReadExactPlain(room + early, static_cast<std::size_t>(raw) - early);
      int got = 0;
      if (!t->Decrypt(out + done, want, &got)) fail();
      if (got == want) break;
      // "Read more" must come with something read, or the channel would ask for ever.
      if (got >= 0 || raw == 0) throw WarningException(UiText(IDS_PLUGIN_RESTORE_ERROR));
    }
    done += static_cast<std::size_t>(want);
  }
  if (prefixLen) throw WarningException(UiText(IDS_PLUGIN_RESTORE_ERROR));
}

void RfbSession::ReadExact(void* buf, long n) {
  if (n <= 0) return;
  try {
    ReadExactUnconverted(buf, static_cast<std::size_t>(n));
  } catch (const rdr::TimedOut&) {
    char text[128];
    std::snprintf(text, sizeof text, "rdr::TimedOut: the server sent nothing for %d s", HandshakeTimeoutMs() / 1000);
    kebLog.Print(0, "rdr::Exception (2): %s\n", text);
    SetStatusText(kStatusLine, text);
    throw ErrorException(text);
  } catch (const rdr::Exception& e) {
    kebLog.Print(0, "rdr::Exception (2): %s\n", e.str());
    SetStatusText(kStatusLine, e.str());
    throw ErrorException(e.str());
  }
}

void RfbSession::ReadString(char* buf, std::size_t n) {
  if (n > 0) ReadExact(buf, static_cast<long>(n));
  buf[n] = '\0';
  kebLog.Print(10, "Read a %d-byte string\n", static_cast<int>(n));
}

// ---------------------------------------------------------------------------------------
// Work buffers and pixel operations

std::uint8_t* RfbSession::GrowLocked(GrowBuffer& buf, std::mutex& lock, std::uint64_t n) {
  std::lock_guard<std::mutex> g(lock);
  return buf.Ensure(n);
}

std::uint8_t* RfbSession::CheckBufferSize(std::uint64_t n) { return GrowLocked(m_decoder.receive, m_recvBufLock, n); }
std::uint8_t* RfbSession::CheckZipBufferSize(std::uint64_t n) { return GrowLocked(m_zipBuf, m_zipBufLock, n); }
std::uint8_t* RfbSession::CheckFileZipBufferSize(std::uint64_t n) {
  return GrowLocked(m_fileZipBuf, m_fileZipBufLock, n);
}
std::uint8_t* RfbSession::CheckFileChunkBufferSize(std::uint64_t n) {
  return GrowLocked(m_fileChunkBuf, m_fileChunkBufLock, n);
}
std::uint8_t* RfbSession::CheckInjectBufferSize(std::uint64_t n) { return GrowLocked(m_injectBuf, m_injectBufLock, n); }
