// Connection loss and reconnect: the reset of a lost session, the reconnect thread that
// connects anew after the reconnect delay and hands the new socket to the parked
// connection thread, and the start of a close that ends either thread at once.
#include <algorithm>
#include <chrono>
#include <exception>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "rdr/Exception.h"
#include "session/RfbSession.h"

namespace {

// A reconnect delay is waited in steps no longer than this, so that a delay of any size
// from the options never wraps into a short or endless wait.
constexpr int kDelayStepMs = 3600 * 1000;

}  // namespace

int RfbSession::FullReconnectAttempts() const { return m_accepted ? 0 : std::max(0, m_opts.m_Reconnect); }

bool RfbSession::ResetForReconnect(int waitMs) {
  m_paused = true;
  m_running = false;
  // The connection thread may still be inside a message (a send failed on the GUI side
  // while it read): the closed socket ends its read, and nothing it reads is replaced
  // until it has parked.
  if (CloseSocket()) {
    std::lock_guard<std::recursive_mutex> g(m_sendLock);
    m_out.Clear();
  }
  if (m_threadStarted && !WaitUntilThreadParked(waitMs)) {
    kebLog.Print(0, "The connection thread did not stop reading; no reconnect\n");
    return false;
  }
  m_decoder.Reset();
  m_channelIn.Clear();
  m_typeByteConsumed = 1;
  LoadDSMPlugin(true);
  {
    std::lock_guard<std::mutex> g(m_preReadLock);
    m_preRead.data.Free();
    m_preRead.pending = false;
    m_preRead.pos = m_preRead.size = 0;
  }
  {
    std::lock_guard<std::mutex> g(m_zipBufLock);
    m_zipBuf.Free();
  }
  m_decoder.zlibBuffer.Free();
  {
    std::lock_guard<std::recursive_mutex> g(m_sendLock);
    m_out.Clear();
  }
  m_fPluginStreamingIn = false;
  m_fPluginStreamingOut = false;
  // What the lost server announced does not hold for the next one.
  m_keepAliveSupported = false;
  m_copyDataValue = 0;
  m_extendedDesktopSizeReceived = false;
  return true;
}

bool RfbSession::WaitUntilThreadParked(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!m_threadParked && !m_threadEnded) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    m_threadWake.Set();  // a thread that parks polls at once
    WaitForThreadEvent(m_parkedEvent, static_cast<int>(std::min<long long>(left, 50)));
  }
  return true;
}

bool RfbSession::StartReconnectThread() {
  if (m_reconnectActive) return false;
  if (m_reconnectThread.joinable()) m_reconnectThread.join();  // it has ended
  m_reconnectEnded.Reset();
  m_reconnectWake.Reset();
  m_reconnectActive = true;
  try {
    m_reconnectThread = std::thread([this] { ReconnectThreadProc(); });
  } catch (const std::exception&) {
    m_reconnectActive = false;
    return false;
  }
  return true;
}

bool RfbSession::WaitForReconnectThread(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (m_reconnectActive) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    WaitForThreadEvent(m_reconnectEnded, static_cast<int>(std::min<long long>(left, 50)));
  }
  if (m_reconnectThread.joinable()) m_reconnectThread.join();
  return true;
}

void RfbSession::BeginClose() {
  m_closing = true;
  EndConnectionThread();
  m_reconnectWake.Set();
  CancelConnect();
}

int RfbSession::ReconnectThreadProc() {
  struct Ended {
    RfbSession& s;
    ~Ended() {
      s.m_reconnectActive = false;
      s.m_reconnectEnded.Set();
    }
  } ended{*this};
  kebLog.Print(9, "Reconnect thread started\n");

  long long waitMs = std::max(0, m_reconnectDelay.load()) * 1000LL;
  while (waitMs > 0 && !m_closing && !m_endThread) {
    const int step = static_cast<int>(std::min<long long>(waitMs, kDelayStepMs));
    if (TimedPause(step, &m_reconnectWake)) continue;  // woken: look at the flags again
    waitMs -= step;
  }
  if (m_closing || m_endThread) return 0;

  try {
    // The status window of the attempt goes with it, made or failed.
    struct StatusEnd {
      RfbSession& s;
      ~StatusEnd() { s.EndStatusWhileConnecting(); }
    } statusEnd{*this};
    DoConnection();
    if (m_closing || m_endThread) return 0;
    m_pendingFormatChange = true;
    if (m_nServerScale > 1) SendServerScale(m_nServerScale);
    RequestNewFormatOrUpdate();  // the new session's format, a new bitmap, a full request
    m_running = true;
    // The next loss may take as many attempts as the first.
    m_reconnectAttempts = FullReconnectAttempts();
    if (!m_closing) {
      m_paused = false;
      m_threadWake.Set();
    }
    kebLog.Print(0, "Reconnected to %s port %d\n", m_host, m_port);
    Reconnected();
    return 0;
  } catch (const Exception& e) {
    kebLog.Print(0, "Reconnect failed: %s\n", e.Message() ? e.Message() : "");
  } catch (const rdr::Exception& e) {
    kebLog.Print(0, "Reconnect failed: %s\n", e.str());
  } catch (const std::exception& e) {
    kebLog.Print(0, "Reconnect failed: %s\n", e.what());
  } catch (...) {
    kebLog.Print(0, "Reconnect failed\n");
  }
  // A half-made session is not left behind for the next attempt.
  CloseSocket();
  m_running = false;
  m_paused = true;
  // While reconnecting is on, a failure is no news for the user: it costs one attempt.
  int left = m_reconnectAttempts.load();
  left = left > 0 ? left - 1 : 0;
  m_reconnectAttempts = left;
  if (!m_closing && !m_endThread) TellLoss(left, nullptr);
  return 0;
}
