// The file-transfer protocol on any server bytes: after a fixed handshake, server
// messages 7 are handled until the stream ends or another message type comes, while the
// viewer downloads a file or a folder, or uploads a file or a folder, of an in-memory file
// system. Whatever the server sends, the viewer must not crash or overrun, and it must
// write nothing outside its local and temporary folders.
//
// Input: byte 0 chooses the job (low 3 bits) and the protocol version the server answers
// with is whatever its own messages say; the rest is the server's stream after the
// handshake, followed by its end.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "filetransfer/FileTransferProtocol.h"
#include "rdr/Exception.h"
#include "rdr/Sys.h"
#include "session/RfbSession.h"
#include "tests/support/ZipMemoryFileSystem.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

const std::string kLocal = "\\local\\";
const std::string kTemp = "\\tmp\\";

class FuzzSession : public RfbSession {
public:
  FuzzSession(KEBOptions& o, rdr::SocketHandle s) : RfbSession(o), sock_(s) {}

protected:
  void ConnectToHost() override { SetSocket(sock_); }
  void ConnectToProxy() override { SetSocket(sock_); }
  bool AskChoice(const ChoicePrompt&, bool*) override { return false; }
  std::uint32_t ChooseHelpdesk(const std::vector<std::string>&) override { return 0; }

private:
  rdr::SocketHandle sock_;
};

class FuzzTransfer : public FileTransferProtocol {
public:
  using FileTransferProtocol::FileTransferProtocol;

protected:
  bool FreeDiskSpace(const std::string&, std::uint64_t* freeBytes) override {
    *freeBytes = 1ull << 30;
    return true;
  }
  void SleepMs(int) override {}
  std::string TempFolder() override { return kTemp; }
};

// ServerInit of a 3.8 server without security: 16x16, 32-bit true colour.
std::vector<std::uint8_t> Handshake() {
  const std::string v = "RFB 003.008\n";
  std::vector<std::uint8_t> b(v.begin(), v.end());
  const std::uint8_t rest[] = {1, 1, 0, 0, 0, 0,  // one type (None), result OK
                               0, 16, 0, 16, 32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0,
                               0, 0, 0, 1, 'f'};
  b.insert(b.end(), rest, rest + sizeof rest);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kebLog.SetLevel(-2);  // quiet
  LoadBuiltinUiTexts();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 200000) return 0;
  const std::uint8_t job = data[0] & 7;
  rdr::SocketHandle s[2];
  if (!rdr::SocketPair(s)) return 0;
  std::vector<std::uint8_t> stream = Handshake();
  stream.insert(stream.end(), data + 1, data + size);

  std::thread writer([&] {
    std::size_t off = 0;
    while (off < stream.size()) {
      long n = rdr::SocketSend(s[1], stream.data() + off, stream.size() - off);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    ::shutdown(static_cast<int>(s[1]), SHUT_WR);
  });
  std::thread drain([&] {
    std::uint8_t buf[4096];
    while (rdr::SocketRecv(s[1], buf, sizeof buf) > 0) {
    }
  });

  ZipMemoryFileSystem fs;
  fs.AddDirectory("\\local");
  fs.AddDirectory("\\tmp");
  fs.AddDirectory("\\local\\folder");
  std::vector<std::uint8_t> content(20000);
  for (std::size_t i = 0; i < content.size(); i++) content[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
  fs.AddFile("\\local\\up.bin", content);
  fs.AddFile("\\local\\folder\\inner.txt", std::vector<std::uint8_t>(content.begin(), content.begin() + 3000));
  fs.AddFile("\\local\\!ZELKPFT-down.bin", std::vector<std::uint8_t>(content.begin(), content.begin() + 9000));
  {
    KEBOptions opts;
    opts.m_FileTransferTimeout = 1;
    FuzzSession session(opts, s[0]);
    FuzzTransfer transfer(session, fs);
    try {
      session.DoConnection();
      session.m_running = true;
      transfer.SetLocalFolder(kLocal);
      transfer.SetRemoteFolder("C:\\remote\\");
      switch (job) {
        case 1: transfer.StartDownloads({"down.bin", "other.txt"}); break;
        case 2: transfer.StartDownloads({"[ dir ]"}); break;
        case 3: transfer.StartUploads({"up.bin", "missing"}); break;
        case 4: transfer.StartUploads({"[ folder ]"}); break;
        case 5: transfer.RequestRemoteFolder("C:\\remote\\"); break;
        case 6: transfer.DeleteRemote({"a", "[ b ]"}); break;
        default: transfer.SendAccessProbe(); break;
      }
      for (int i = 0; i < 100000; i++) {
        if (transfer.UploadRunning()) {
          transfer.UploadTimerTick();
          continue;
        }
        if (session.m_fdin->ReadU8() != 7) break;
        transfer.ProcessFileTransferMsg();
      }
    } catch (const Exception&) {
    } catch (const rdr::Exception&) {
    }
  }
  for (const std::string& p : fs.Paths())
    Require(p.compare(0, 6, "/local") == 0 || p.compare(0, 4, "/tmp") == 0 ||
            p == "/");
  writer.join();
  drain.join();
  rdr::SocketClose(s[1]);
  return 0;
}
