// The file-transfer protocol of a session over a socket pair: the test plays the server
// on the other end (its messages built here byte by byte, not with the viewer's codecs),
// the local folder is a fresh folder of the process's own file system, and what the
// window would show is recorded.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../session/SessionTestSupport.h"
#include "filetransfer/FileTransferProtocol.h"
#include "zip/ZipFileSystem.h"

namespace fttest {

using sessiontest::B;
using sessiontest::Bytes;
using sessiontest::Cat;
using sessiontest::U32;
namespace stdfs = std::filesystem;

// One file-transfer message as a server writes it.
inline Bytes Msg(std::uint8_t type, std::uint16_t param, std::uint32_t size, const Bytes& body = {},
                 std::int64_t length = -1) {
  const std::uint32_t len = length < 0 ? static_cast<std::uint32_t>(body.size()) : static_cast<std::uint32_t>(length);
  return Cat({{7, type, std::uint8_t(param), std::uint8_t(param >> 8)}, U32(size), U32(len), body});
}
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// One file-transfer message as the viewer sent it.
struct Sent {
  std::uint8_t type = 0;
  std::uint16_t param = 0;
  std::uint32_t size = 0, length = 0;
  Bytes body, extra;
  std::string Body() const { return std::string(body.begin(), body.end()); }
};

// Splits what the viewer sent into file-transfer messages; the offer's 4-byte high part
// follows its body except in version 1.
inline std::vector<Sent> ParseSent(const Bytes& b, int version) {
  std::vector<Sent> out;
  std::size_t at = 0;
  while (at < b.size()) {
    EXPECT_GE(b.size() - at, 12u) << "a message cut short";
    if (b.size() - at < 12) break;
    EXPECT_EQ(b[at], 7) << "not a file-transfer message at " << at;
    if (b[at] != 7) break;
    Sent m;
    m.type = b[at + 1];
    m.param = static_cast<std::uint16_t>(b[at + 2] | (b[at + 3] << 8));
    m.size = (std::uint32_t(b[at + 4]) << 24) | (std::uint32_t(b[at + 5]) << 16) | (std::uint32_t(b[at + 6]) << 8) | b[at + 7];
    m.length = (std::uint32_t(b[at + 8]) << 24) | (std::uint32_t(b[at + 9]) << 16) | (std::uint32_t(b[at + 10]) << 8) | b[at + 11];
    at += 12;
    const std::size_t body = (m.type == 5 && m.size == 2) ? 0 : m.length;
    const std::size_t extra = (m.type == 8 && version != 1) ? 4 : 0;
    EXPECT_LE(body + extra, b.size() - at) << "a body cut short";
    if (body + extra > b.size() - at) break;
    m.body.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + body));
    m.extra.assign(b.begin() + static_cast<long>(at + body), b.begin() + static_cast<long>(at + body + extra));
    at += body + extra;
    out.push_back(m);
  }
  return out;
}

// The protocol with what a window would show recorded.
class TestTransfer : public FileTransferProtocol {
public:
  using FileTransferProtocol::FileTransferProtocol;
  ~TestTransfer() override = default;

  std::vector<std::string> statuses, remoteFolders, countLines;
  std::vector<ft::RemoteEntry> entries;
  std::vector<DriveItem> drives;
  std::vector<int> listingsDone, sleeps;
  std::vector<std::pair<int, int>> fileNumbers;
  std::vector<std::pair<bool, bool>> batches;  // upload, interrupted
  int refused = 0, oldServer = 0, timerStarts = 0, timerStops = 0, keepAlives = 0, cleared = 0;
  std::vector<int> recvTimeouts, sendTimeouts;
  bool freeOk = true;
  std::uint64_t freeBytes = 1ull << 40;
  std::vector<std::string> freeRoots;
  bool minimised = false;
  std::uint64_t clock = 0;  // advances 1 ms per look
  std::string tempFolder;   // where folder archives are made (empty: the system's)

  bool HasStatus(const std::string& text) const {
    for (const auto& s : statuses)
      if (s == text) return true;
    return false;
  }
  std::string Statuses() const {
    std::string all;
    for (const auto& s : statuses) all += "[" + s + "]\n";
    return all;
  }

  using FileTransferProtocol::SendFt;

protected:
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void ShowFileNumber(int n, int count) override { fileNumbers.emplace_back(n, count); }
  void ShowRemoteFolder(const std::string& f) override { remoteFolders.push_back(f); }
  void ClearRemoteList() override {
    cleared++;
    entries.clear();
  }
  void AddRemoteEntry(const ft::RemoteEntry& e) override { entries.push_back(e); }
  void ShowRemoteDrives(const std::vector<DriveItem>& d) override { drives = d; }
  void RemoteListingDone(int count) override { listingsDone.push_back(count); }
  void ShowRemoteCount(const std::string& text) override { countLines.push_back(text); }
  void AccessRefused() override { refused++; }
  void OldServerDetected() override { oldServer++; }
  void BatchDone(bool upload, bool interrupted) override { batches.emplace_back(upload, interrupted); }
  bool WindowMinimisedOrHidden() override { return minimised; }
  void SetRecvTimeout(int ms) override { recvTimeouts.push_back(ms); }
  void SetSendTimeout(int ms) override { sendTimeouts.push_back(ms); }
  void PostKeepAlive() override { keepAlives++; }
  bool FreeDiskSpace(const std::string& root, std::uint64_t* bytes) override {
    freeRoots.push_back(root);
    *bytes = freeBytes;
    return freeOk;
  }
  void StartUploadTimer() override { timerStarts++; }
  void StopUploadTimer() override { timerStops++; }
  std::uint64_t TickMs() override { return ++clock; }
  void SleepMs(int ms) override { sleeps.push_back(ms); }
  std::string TempFolder() override { return tempFolder.empty() ? FileTransferProtocol::TempFolder() : tempFolder; }
};

// A session after its handshake, its file-transfer protocol, a local folder, and the
// server end of the socket pair.
class FileTransferFixture : public sessiontest::SessionFixture {
protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
    ViewerSent();  // SetPixelFormat and SetEncodings
    session->m_running = true;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = stdfs::temp_directory_path() / (std::string("keb-ft-") + info->test_suite_name() + "-" + info->name());
    stdfs::remove_all(dir);
    stdfs::create_directories(dir);
    transfer.reset(new TestTransfer(*session, ZipSystemFileSystem()));
    transfer->SetLocalFolder(Local(""));
    transfer->SetRemoteFolder("C:\\remote\\");
  }
  void TearDown() override {
    transfer.reset();
    std::error_code ec;
    stdfs::remove_all(dir, ec);
    SessionFixture::TearDown();
  }

  // A path in the local folder, as the protocol composes it (folder + name).
  std::string Local(const std::string& name) const {
    std::string folder = dir.string();
    folder += static_cast<char>(stdfs::path::preferred_separator);
    return folder + name;
  }
  void WriteLocal(const std::string& name, const Bytes& data) {
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  Bytes ReadLocal(const std::string& name) const {
    std::ifstream in(dir / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  bool LocalExists(const std::string& name) const { return stdfs::exists(dir / name); }
  std::vector<std::string> LocalNames() const {
    std::vector<std::string> out;
    for (const auto& e : stdfs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  // The server sends these messages; the viewer's dispatcher reads each type byte and the
  // protocol handles the message, as many times as count.
  void Deliver(const Bytes& messages, int count = 1) {
    ServerSend(messages);
    for (int i = 0; i < count; i++) {
      ASSERT_EQ(session->m_fdin->ReadU8(), 7);
      transfer->ProcessFileTransferMsg();
    }
  }
  // The viewer's side is in step: a sentinel message after everything sent is the next
  // one it reads.
  void ExpectInStep() {
    ServerSend({2});  // a Bell
    EXPECT_EQ(session->m_fdin->ReadU8(), 2) << "the stream is out of step";
  }
  std::vector<Sent> SentByViewer(int version = 2) { return ParseSent(ViewerSent(), version); }

  stdfs::path dir;
  std::unique_ptr<TestTransfer> transfer;
};

// Patterned test data that compresses (text) or does not (noise).
inline Bytes TextData(std::size_t n, int seed = 0) {
  static const char words[] = "the quick brown fox jumps over the lazy dog; ";
  Bytes b(n);
  for (std::size_t i = 0; i < n; i++) b[i] = static_cast<std::uint8_t>(words[(i + seed) % (sizeof words - 1)]);
  return b;
}
inline Bytes Noise(std::size_t n, std::uint32_t seed = 1) {
  Bytes b(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<std::uint8_t>(x);
  }
  return b;
}

}  // namespace fttest
