// A command-line front end to the file-transfer protocol of a real session: connects to
// a server on loopback, runs the handshake, then carries out the commands in order and
// prints what the window would show, one line each ("STATUS text", "ENTRY name size
// folder", "DRIVE name"). Exit code 0 when every command ran, 1 otherwise.
//
//   keb_ftpeer PORT LOCAL-FOLDER COMMAND...
//     access           the access probe; waits for the answer and the drive list
//     list FOLDER      lists a remote folder (ending in a backslash)
//     get ENTRY        downloads an entry of the remote folder ("name" or "[ folder ]")
//     put ENTRY        uploads an entry of the local folder
//     close            the window closes (session end in version 3)
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/UiText.h"
#include "filetransfer/FileTransferProtocol.h"
#include "rdr/Exception.h"
#include "rdr/Sys.h"
#include "session/RfbSession.h"
#include "zip/ZipFileSystem.h"

namespace {

rdr::SocketHandle ConnectLoopback(int port) {
  const auto s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<unsigned short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return rdr::kInvalidSocket;
  return static_cast<rdr::SocketHandle>(s);
}

class PeerTransfer;

class PeerSession : public RfbSession {
public:
  PeerSession(KEBOptions& o, rdr::SocketHandle s) : RfbSession(o), sock_(s) {}
  PeerTransfer* transfer = nullptr;

protected:
  void ConnectToHost() override { SetSocket(sock_); }
  void ConnectToProxy() override { SetSocket(sock_); }
  bool AskChoice(const ChoicePrompt&, bool*) override { return false; }
  std::uint32_t ChooseHelpdesk(const std::vector<std::string>&) override { return 0; }
  void FileTransferMessage() override;

private:
  rdr::SocketHandle sock_;
};

class PeerTransfer : public FileTransferProtocol {
public:
  using FileTransferProtocol::FileTransferProtocol;

protected:
  void SetStatus(const std::string& text) override { std::printf("STATUS %s\n", text.c_str()); }
  void AddRemoteEntry(const ft::RemoteEntry& e) override {
    std::printf("ENTRY %s %llu %d\n", e.name.c_str(), static_cast<unsigned long long>(e.size), e.IsDirectory() ? 1 : 0);
  }
  void ShowRemoteDrives(const std::vector<DriveItem>& drives) override {
    for (const DriveItem& d : drives) std::printf("DRIVE %s\n", d.name.c_str());
  }
  bool FreeDiskSpace(const std::string& root, std::uint64_t* freeBytes) override {
    std::error_code ec;
    const auto info = std::filesystem::space(root, ec);
    if (ec) return false;
    *freeBytes = info.available;
    return true;
  }
};

void PeerSession::FileTransferMessage() { transfer->ProcessFileTransferMsg(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: keb_ftpeer PORT LOCAL-FOLDER COMMAND...\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  int version = 0;
  if (!rdr::SocketsStartup(&version)) return 1;
  LoadBuiltinUiTexts();
  KEBOptions opts;
  opts.m_FileTransferTimeout = 20;
  const rdr::SocketHandle s = ConnectLoopback(std::atoi(argv[1]));
  if (s == rdr::kInvalidSocket) {
    std::fprintf(stderr, "cannot connect\n");
    return 1;
  }
  PeerSession session(opts, s);
  PeerTransfer transfer(session, ZipSystemFileSystem());
  session.transfer = &transfer;
  std::string local = argv[2];
  if (ft::LastLocalSeparator(local) != local.size() - 1)
    local += static_cast<char>(std::filesystem::path::preferred_separator);
  transfer.SetLocalFolder(local);
  int code = 0;
  try {
    session.DoConnection();
    session.m_running = true;
    // Every wait reads server messages; the server's own time limit ends a stuck run.
    constexpr int kMaxMessages = 100000;
    auto readWhile = [&](auto pending) {
      for (int i = 0; i < kMaxMessages && pending(); i++) session.ReadServerMessage();
    };
    for (int i = 3; i < argc; i++) {
      const std::string cmd = argv[i];
      const std::string arg = i + 1 < argc ? argv[i + 1] : "";
      std::printf("COMMAND %s %s\n", cmd.c_str(), cmd == "access" || cmd == "close" ? "" : arg.c_str());
      if (cmd == "access") {
        transfer.SendAccessProbe();
        readWhile([&] { return !transfer.AccessKnown(); });
        readWhile([&] { return transfer.RemoteRequestPending(); });
      } else if (cmd == "list") {
        i++;
        transfer.RequestRemoteFolder(arg);
        readWhile([&] { return transfer.RemoteRequestPending(); });
      } else if (cmd == "get") {
        i++;
        if (!transfer.StartDownloads({arg})) code = 1;
        readWhile([&] { return transfer.Transferring(); });
      } else if (cmd == "put") {
        i++;
        if (!transfer.StartUploads({arg})) code = 1;
        for (int n = 0; n < kMaxMessages && transfer.Transferring(); n++) {
          if (transfer.UploadRunning())
            transfer.UploadTimerTick();
          else
            session.ReadServerMessage();
        }
        readWhile([&] { return transfer.RemoteRequestPending(); });
      } else if (cmd == "close") {
        transfer.SendSessionEnd();
      } else {
        std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
        code = 2;
        break;
      }
    }
  } catch (const rdr::Exception& e) {
    std::fprintf(stderr, "stream error: %s\n", e.str());
    code = 1;
  } catch (const Exception& e) {
    std::fprintf(stderr, "error: %s\n", e.Message());
    code = 1;
  }
  std::printf("DONE %d\n", code);
  return code;
}
