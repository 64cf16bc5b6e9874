// A session core over a socket pair: the test plays the server on the other end, with
// scripted answers for the user's questions. Server bytes are written before the viewer
// needs them (they fit in the socket buffer); what the viewer sent is collected at the end.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "rdr/Exception.h"
#include "rdr/Sys.h"
#include "session/RfbSession.h"

namespace sessiontest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes U32(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}
inline Bytes U32LE(std::uint32_t v) {
  return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// 32-bit true colour, little-endian, red in the low byte, as most servers offer.
inline Bytes Rgb888() { return {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0}; }

inline Bytes ServerInit(int w, int h, const Bytes& pf, const std::string& name) {
  Bytes b = {std::uint8_t(w >> 8), std::uint8_t(w), std::uint8_t(h >> 8), std::uint8_t(h)};
  b.insert(b.end(), pf.begin(), pf.end());
  Bytes n = U32(static_cast<std::uint32_t>(name.size()));
  b.insert(b.end(), n.begin(), n.end());
  b.insert(b.end(), name.begin(), name.end());
  return b;
}

// Passes bytes through unchanged, with the receive contract of a channel: asks for
// exactly the bytes wanted, then copies them.
class IdentityPlugin : public IPlugin {
public:
  std::uint8_t* Encrypt(const std::uint8_t* d, int n, int* outLen) override {
    out_.assign(d, d + n);
    *outLen = n;
    return out_.data();
  }
  std::uint8_t* Decrypt(std::uint8_t* d, int n, int* outLen) override {
    if (!d) {
      in_.resize(static_cast<std::size_t>(n) + 1);
      *outLen = n;
      return in_.data();
    }
    std::memcpy(d, in_.data(), static_cast<std::size_t>(n));
    *outLen = n;
    return d;
  }

private:
  Bytes out_, in_;
};

// Two ends of a loopback TCP connection (where a socket pair is another kind of socket),
// so that a reset is a real one.
inline bool TcpSocketPair(rdr::SocketHandle out[2]) {
#ifdef _WIN32
  return rdr::SocketPair(out);
#else
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int c = -1, s = -1;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0 && ::listen(listener, 1) == 0) {
    c = ::socket(AF_INET, SOCK_STREAM, 0);
    if (c >= 0 && ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) s = ::accept(listener, nullptr, nullptr);
  }
  ::close(listener);
  if (s < 0) {
    if (c >= 0) ::close(c);
    return false;
  }
  out[0] = c;
  out[1] = s;
  return true;
#endif
}

// Ends a TCP connection with a reset instead of an orderly close.
inline void ResetConnection(rdr::SocketHandle h) {
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
#ifdef _WIN32
  ::setsockopt(static_cast<SOCKET>(h), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
#else
  ::setsockopt(static_cast<int>(h), SOL_SOCKET, SO_LINGER, &l, sizeof l);
#endif
  rdr::SocketClose(h);
}

// The error with which a scheme hook of TestSession ends the handshake.
constexpr char kSchemeStopped[] = "scheme hook stopped the handshake";

struct Question {
  std::string instruction, content, first, second, checkbox;
};

class TestSession : public RfbSession {
public:
  explicit TestSession(KEBOptions& o) : RfbSession(o) {}
  ~TestSession() override { StopConnectWatchdog(); }

  rdr::SocketHandle connectTo = rdr::kInvalidSocket;  // handed over by ConnectToHost/Proxy
  bool useWatchdog = true;
  int connects = 0;
  std::vector<Question> asked;
  std::deque<bool> answers;  // empty: the first answer
  bool tickCheckbox = false;
  std::uint32_t helpdeskAnswer = 1;
  std::vector<std::string> helpdeskSeen;
  std::vector<std::pair<int, std::string>> status;
  int savedUntrusted = 0;
  std::vector<std::string> schemes;  // security schemes run, by name
  bool schemesSucceed = false;       // a scheme hook returns instead of ending the handshake

  // The test's clock for the pauses the protocol names: each one asked for, in ms; with
  // instantPauses they pass at once (a wake already set still ends one), else they take
  // their time.
  std::atomic<bool> instantPauses{false};
  std::vector<int> Pauses() {
    std::lock_guard<std::mutex> g(pauseLock_);
    return pauses_;
  }
  // The close's waits for the end of the connection thread: how many, how many ran out.
  std::atomic<int> closeWaits{0};
  std::atomic<int> closeWaitsRunOut{0};

  using RfbSession::CloseSocket;
  using RfbSession::SetSocket;
  using RfbSession::StartConnectWatchdog;


protected:
  bool TimedPause(int ms, AutoResetEvent* wake) override {
    {
      std::lock_guard<std::mutex> g(pauseLock_);
      pauses_.push_back(ms);
    }
    if (!instantPauses) return RfbSession::TimedPause(ms, wake);
    return wake && wake->Wait(0);
  }
  bool WaitForThreadEvent(AutoResetEvent& event, int timeoutMs) override {
    const bool got = RfbSession::WaitForThreadEvent(event, timeoutMs);
    if (&event == &m_event1) {
      closeWaits++;
      if (!got) closeWaitsRunOut++;
    }
    return got;
  }
  void ConnectToHost() override {
    connects++;
    SetSocket(connectTo);
    connectTo = rdr::kInvalidSocket;
    if (useWatchdog) StartConnectWatchdog();
  }
  void ConnectToProxy() override {
    ConnectToHost();
    m_proxySocket = true;
  }
  bool AskChoice(const ChoicePrompt& p, bool* checked) override {
    asked.push_back({p.instruction ? p.instruction : "", p.content ? p.content : "", p.first ? p.first : "",
                     p.second ? p.second : "", p.checkbox ? p.checkbox : ""});
    if (p.checkbox && *p.checkbox) *checked = tickCheckbox;
    if (answers.empty()) return true;
    bool a = answers.front();
    answers.pop_front();
    return a;
  }
  std::uint32_t ChooseHelpdesk(const std::vector<std::string>& entries) override {
    helpdeskSeen = entries;
    return helpdeskAnswer;
  }
  void SetStatusText(int control, const char* text) override { status.emplace_back(control, text); }
  // Records the scheme the dispatcher chose; unless told to succeed, the handshake ends
  // there, as if the scheme had failed.
  void Scheme(const char* name) {
    schemes.push_back(name);
    if (!schemesSucceed) throw ErrorException(kSchemeStopped);
  }
  void AuthPasswordChallenge() override { Scheme("password"); }
  void AuthMsLogonI() override { Scheme("mslogon1"); }
  void AuthMsLogonII() override { Scheme("mslogon2"); }
  void AuthRsaAes(int bits, bool channel) override {
    Scheme(bits == 256 ? (channel ? "rsaaes256" : "rsaaes256auth") : (channel ? "rsaaes" : "rsaaesauth"));
  }
  void AuthVeNCrypt() override { Scheme("vencrypt"); }
  void AuthSecureKEBPluginOld() override { Scheme("plugin114"); }
  void AuthSecureKEBPlugin() override { Scheme("plugin115"); }
  void SaveAllowUntrustedServers() override {
    savedUntrusted++;
    RfbSession::SaveAllowUntrustedServers();
  }

private:
  std::mutex pauseLock_;
  std::vector<int> pauses_;
};

// Waits up to `seconds` for done() (another thread's work) to hold.
inline bool WaitFor(const std::function<bool()>& done, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Watches for `seconds` that happened() stays false: for a thing that would come at once
// and must not come; the time must be several times what "at once" takes.
inline bool StaysFalse(const std::function<bool()>& happened, double seconds) {
  return !WaitFor(happened, seconds);
}

// The server end of a socket pair, and the session on the other end.
class SessionFixture : public ::testing::Test {
protected:
  rdr::SocketHandle s[2] = {rdr::kInvalidSocket, rdr::kInvalidSocket};
  KEBOptions opts;
  std::unique_ptr<TestSession> session;
  bool tcpPair = false;  // the pairs are loopback TCP connections

  void SetUp() override {
    int v;
    ASSERT_TRUE(rdr::SocketsStartup(&v));
    LoadBuiltinUiTexts();
    opts.m_FileTransferTimeout = 5;  // a stuck handshake fails the test in seconds, not minutes
    NewPair();
    session.reset(new TestSession(opts));
    session->connectTo = s[0];
  }
  void TearDown() override {
    session.reset();
    if (s[1] != rdr::kInvalidSocket) rdr::SocketClose(s[1]);
    s[0] = s[1] = rdr::kInvalidSocket;
    rdr::SocketsCleanup();
  }
  // A fresh pair; the old client end belongs to the session, the old server end is closed.
  void NewPair() {
    if (s[1] != rdr::kInvalidSocket) rdr::SocketClose(s[1]);
    ASSERT_TRUE(tcpPair ? TcpSocketPair(s) : rdr::SocketPair(s));
  }

  void ServerSend(const Bytes& b) {
    std::size_t off = 0;
    while (off < b.size()) {
      long n = rdr::SocketSend(s[1], b.data() + off, b.size() - off);
      ASSERT_GT(n, 0);
      off += static_cast<std::size_t>(n);
    }
  }
  // The server stops sending (half close); it can still read what the viewer sends.
  void ServerClose() {
#ifdef _WIN32
    ::shutdown(static_cast<SOCKET>(s[1]), SD_SEND);
#else
    ::shutdown(static_cast<int>(s[1]), SHUT_WR);
#endif
  }

  // Everything the viewer sent. Its writes are done when its calls return, so what it sent
  // is already waiting at the server end.
  Bytes ViewerSent() { return ReadAvailable(100); }
  // Reads what arrives at the server end until the peer closes or nothing comes for waitMs.
  Bytes ReadAvailable(int waitMs) {
    Bytes out;
    std::uint8_t buf[4096];
    for (int rounds = 0; rounds < 100000; rounds++) {
      if (rdr::WaitReadable(s[1], waitMs) <= 0) break;
      long n = rdr::SocketRecv(s[1], buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  // The server side of a complete 3.8 handshake with None and a small ServerInit.
  static Bytes Standard38(const std::string& name = "test desktop") {
    return Cat({B("RFB 003.008\n"), {1, 1}, U32(0), ServerInit(64, 32, Rgb888(), name)});
  }

  // Runs DoConnection; returns "" on success, else "<kind>: <message>".
  std::string Connect() {
    try {
      session->DoConnection();
      return "";
    } catch (const QuietException& e) {
      return std::string("quiet: ") + e.Message();
    } catch (const WarningException& e) {
      return std::string("warning: ") + e.Message();
    } catch (const ErrorException& e) {
      return std::string("error: ") + e.Message();
    } catch (const rdr::Exception& e) {
      return std::string("rdr: ") + e.str();
    }
  }
};

// The boxes core code shows while it is in place (title|text, and the icon of each).
class RecordingUI : public UserInterface {
public:
  RecordingUI() { old_ = SetUserInterface(this); }
  ~RecordingUI() override { SetUserInterface(old_); }
  void ShowMessage(const char* text, const char* title, MessageIcon icon) override {
    boxes.push_back(std::string(title) + "|" + text);
    icons.push_back(icon);
  }
  void Quit(int) override {}
  std::vector<std::string> boxes;
  std::vector<MessageIcon> icons;

private:
  UserInterface* old_;
};

// A bitmap in memory for a session's size and format; *bits holds its pixels.
inline Framebuffer MakeMemoryFramebuffer(const PixelFormat& format, int width, int height,
                                         std::vector<std::uint8_t>* bits) {
  Framebuffer fb;
  fb.format = format;
  fb.bytesPerPixel = format.BytesPerPixel();
  fb.width = width;
  fb.height = height;
  fb.stride = Framebuffer::StrideFor(fb.width, fb.bytesPerPixel);
  bits->assign(fb.stride * static_cast<std::size_t>(fb.height), 0);
  fb.bits = bits->data();
  return fb;
}

// The 32-bit pixel at (x, y).
inline std::uint32_t PixelAt(const Framebuffer& fb, int x, int y) {
  std::uint32_t v;
  std::memcpy(&v, fb.At(x, y), 4);
  return v;
}

// Splits what a viewer sent after the handshake into the SetPixelFormat (20 bytes) and
// SetEncodings messages; both expected.
struct FormatAndEncodings {
  Bytes setPixelFormat;
  std::vector<std::int32_t> encodings;
  bool ok = false;
};

inline FormatAndEncodings ParseFormatAndEncodings(const Bytes& b, std::size_t at) {
  FormatAndEncodings r;
  if (b.size() < at + 24 || b[at] != 0 || b[at + 20] != 2) return r;
  r.setPixelFormat.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 20);
  std::size_t n = (b[at + 22] << 8) | b[at + 23];
  if (b.size() != at + 24 + 4 * n) return r;
  for (std::size_t i = 0; i < n; i++) {
    const std::uint8_t* p = &b[at + 24 + 4 * i];
    r.encodings.push_back(static_cast<std::int32_t>((std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                                                    (std::uint32_t(p[2]) << 8) | p[3]));
  }
  r.ok = true;
  return r;
}

}  // namespace sessiontest
