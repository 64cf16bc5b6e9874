// Plays arbitrary bytes as the server's side of a whole connect sequence: repeater
// prologue, ProtocolVersion and extra text, security negotiation (every round, result and
// reason), ClientInit and ServerInit, then the pixel format and encodings.
//
// Input: byte 0 chooses the options (colour mode, repeater, the user's answers, the
// untrusted-server and auto-accept switches, an information text); the rest is what the
// server sends, followed by the end of the stream.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "rdr/Exception.h"
#include "rdr/Sys.h"
#include "session/RfbSession.h"

namespace {

class FuzzSession : public RfbSession {
public:
  FuzzSession(KEBOptions& o, rdr::SocketHandle s, std::uint8_t answers) : RfbSession(o), sock_(s), answers_(answers) {}


protected:
  void ConnectToHost() override { SetSocket(sock_); }
  void ConnectToProxy() override {
    SetSocket(sock_);
    m_proxySocket = true;
  }
  bool AskChoice(const ChoicePrompt& p, bool* checked) override {
    // The texts reach a dialog: they must be terminated strings.
    volatile std::size_t n = std::string(p.instruction).size() + std::string(p.content).size();
    (void)n;
    if (p.checkbox && *p.checkbox) *checked = (answers_ & 2) != 0;
    bool a = answers_ & 1;
    answers_ = static_cast<std::uint8_t>((answers_ >> 1) | (answers_ << 7));
    return a;
  }
  std::uint32_t ChooseHelpdesk(const std::vector<std::string>& entries) override {
    for (const auto& e : entries)
      if (e.size() > kHelpdeskEntryBytes) __builtin_trap();
    return answers_ % (entries.size() + 2);  // also an index past the list
  }
  void SaveAllowUntrustedServers() override { m_opts.m_AllowUntrustedServers = true; }
  // The authentication dialogs: entered (password, user name, each or both), empty or
  // cancelled, by the same answer bits.
  bool AskCredentials(AuthDialogType, const char*, const char*, AuthEntry* entry) override {
    bool a = answers_ & 1;
    if (a && (answers_ & 2)) std::snprintf(entry->password, sizeof entry->password, "%s", "fuzz password");
    if (a && (answers_ & 4)) std::snprintf(entry->user, sizeof entry->user, "%s", "fuzz user");
    answers_ = static_cast<std::uint8_t>((answers_ >> 1) | (answers_ << 7));
    return a;
  }

private:
  rdr::SocketHandle sock_;
  std::uint8_t answers_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kebLog.SetLevel(-2);  // quiet
  LoadBuiltinUiTexts();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 65536) return 0;
  std::uint8_t opt = data[0];
  rdr::SocketHandle s[2];
  if (!rdr::SocketPair(s)) return 0;

  KEBOptions opts;
  opts.m_FileTransferTimeout = 1;
  opts.m_Use8Bit = (opt & 7) == 7 ? 9 : opt & 7;
  opts.m_AllowUntrustedServers = (opt & 8) != 0;
  opts.m_AutoAcceptIncoming = (opt & 16) != 0;
  if (opt & 32) std::snprintf(opts.m_InfoMsg, sizeof opts.m_InfoMsg, "%s", "information for the server");

  // The server's bytes, then the end of its stream; a writer thread, so that input larger
  // than the socket buffer cannot block.
  std::thread writer([&] {
    std::size_t off = 1;
    while (off < size) {
      long n = rdr::SocketSend(s[1], data + off, size - off);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    ::shutdown(static_cast<int>(s[1]), SHUT_WR);
  });
  // What the viewer sends is read and dropped, so that its writes never block either.
  std::thread drain([&] {
    std::uint8_t buf[4096];
    while (rdr::SocketRecv(s[1], buf, sizeof buf) > 0) {
    }
  });
  {
    FuzzSession session(opts, s[0], static_cast<std::uint8_t>(opt >> 6 | 0xA4));
    if (opt & 64) {
      session.m_fUseProxy = true;
      std::snprintf(session.m_proxyhost, sizeof session.m_proxyhost, "repeater");
      std::snprintf(session.m_host, sizeof session.m_host, "%s", "target.example");
      session.m_port = 5901;
    }
    try {
      session.DoConnection();
    } catch (const Exception&) {
    } catch (const rdr::Exception&) {
    }
  }  // the session closes s[0]: the drain thread sees the end
  writer.join();
  drain.join();
  rdr::SocketClose(s[1]);
  return 0;
}
