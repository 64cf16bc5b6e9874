#include "filetransfer/FileTransferProtocol.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/Log.h"
#include "app/UiText.h"
#include "decoders/GrowBuffer.h"
#include "rdr/ByteOrder.h"
#include "rdr/Exception.h"
#include "rdr/Sys.h"
#include "resources/StringIds.h"
#include "session/RfbSession.h"
#include "zip/ZipFileSystem.h"

using namespace ft;

namespace {

// Text of a body up to its first terminator.
std::string UpToNul(const std::string& s) {
  const std::size_t nul = s.find('\0');
  return nul == std::string::npos ? s : s.substr(0, nul);
}

const char* DriveTypeText(char type) {
  switch (type) {
    case 'c': return UiText(IDS_FT_DRIVE_CDROM);
    case 'f': return UiText(IDS_FT_DRIVE_REMOVABLE);
    case 'l': return UiText(IDS_FT_DRIVE_LOCAL);
    case 'n': return UiText(IDS_FT_DRIVE_NETWORK);
    default: return UiText(IDS_FT_DRIVE_UNKNOWN);
  }
}

std::string CountLine(int count, const char* text) {
  char buf[160];
  std::snprintf(buf, sizeof buf, " > %d %s", count, text);
  return buf;
}

// The name after the last separator of a local path.
std::string LocalLeaf(const std::string& path) {
  const std::size_t sep = LastLocalSeparator(path);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

}  // namespace

FileTransferProtocol::FileTransferProtocol(RfbSession& conn, ZipFileSystem& fs)
    : m_conn(conn), m_fs(fs), m_zip(&fs) {}

FileTransferProtocol::~FileTransferProtocol() = default;

std::uint64_t FileTransferProtocol::TickMs() { return rdr::GetTimeMicroseconds() / 1000; }

void FileTransferProtocol::SleepMs(int ms) { rdr::SleepMs(ms); }

std::string FileTransferProtocol::TempFolder() {
  std::error_code ec;
  std::string folder = std::filesystem::temp_directory_path(ec).string();
  if (ec) return std::string();
  if (!folder.empty() && LastLocalSeparator(folder) != folder.size() - 1)
    folder += static_cast<char>(std::filesystem::path::preferred_separator);
  return folder;
}

std::string FileTransferProtocol::LocalFolder() const {
  std::lock_guard<std::mutex> g(m_folderLock);
  return m_localFolder;
}
void FileTransferProtocol::SetLocalFolder(const std::string& folder) {
  std::lock_guard<std::mutex> g(m_folderLock);
  m_localFolder = folder;
}
std::string FileTransferProtocol::RemoteFolder() const {
  std::lock_guard<std::mutex> g(m_folderLock);
  return m_remoteFolder;
}
void FileTransferProtocol::SetRemoteFolder(const std::string& folder) {
  std::lock_guard<std::mutex> g(m_folderLock);
  m_remoteFolder = folder;
}

std::uint32_t FileTransferProtocol::ReceiveRateKbits() const {
  return m_conn.m_fdin ? m_conn.m_fdin->KbitsPerSecond() : 0;
}

void FileTransferProtocol::Status(const char* format, const char* a, const std::string& b, const char* c,
                                  const std::string& d) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, format, a, b.c_str(), c, d.c_str());
  SetStatus(buf);
}

// ---------------------------------------------------------------------------------------
// Output

bool FileTransferProtocol::SendFt(std::uint8_t contentType, std::uint16_t param, std::uint32_t size,
                                  const void* body, std::size_t length, const std::uint8_t* extra) {
  FileTransferMsgHeader h;
  h.contentType = contentType;
  h.contentParam = param;
  h.size = size;
  h.length = static_cast<std::uint32_t>(length);
  return SendFt(h, body, length, extra);
}

bool FileTransferProtocol::SendFt(const FileTransferMsgHeader& h, const void* body, std::size_t bodyLength,
                                  const std::uint8_t* extra) {
  std::uint8_t head[FileTransferMsgHeader::kWireSize];
  h.Encode(head);
  const std::size_t extraLength = extra ? 4 : 0;
  std::lock_guard<std::recursive_mutex> g(m_conn.m_messageLock);
  if (m_protocolVersion == 1) {
    // Plain writes: a header queued ahead of its body goes out with it.
    if (!bodyLength && !extraLength) return m_conn.WriteExact(head, sizeof head);
    bool ok = m_conn.WriteExactQueue(head, sizeof head);
    if (bodyLength) ok = (extraLength ? m_conn.WriteExactQueue(body, bodyLength) : m_conn.WriteExact(body, bodyLength)) && ok;
    if (extraLength) ok = m_conn.WriteExact(extra, extraLength) && ok;
    return ok;
  }
  std::vector<std::uint8_t> msg(sizeof head + bodyLength + extraLength);
  std::memcpy(msg.data(), head, sizeof head);
  if (bodyLength) std::memcpy(msg.data() + sizeof head, body, bodyLength);
  if (extraLength) std::memcpy(msg.data() + sizeof head + bodyLength, extra, extraLength);
  return m_conn.WriteMessage(msg.data(), msg.size(), kMessageType);
}

// ---------------------------------------------------------------------------------------
// Input

void FileTransferProtocol::ReadExact(void* buf, std::size_t n) { m_conn.ReadExact(buf, static_cast<long>(n)); }

void FileTransferProtocol::Discard(std::uint64_t n) {
  if (n > GrowBuffer::kMaxRequest) throw rdr::Exception("File transfer: message body too long");
  std::uint8_t scratch[4096];
  while (n > 0) {
    const std::size_t step = n > sizeof scratch ? sizeof scratch : static_cast<std::size_t>(n);
    ReadExact(scratch, step);
    n -= step;
  }
}

void FileTransferProtocol::ReadBody(std::uint64_t n, std::size_t keep, std::string* out) {
  if (n > GrowBuffer::kMaxRequest) throw rdr::Exception("File transfer: message body too long");
  const std::size_t kept = n < keep ? static_cast<std::size_t>(n) : keep;
  out->assign(kept, '\0');
  if (kept) ReadExact(&(*out)[0], kept);
  Discard(n - kept);
}

void FileTransferProtocol::ProcessFileTransferMsg() {
  bool wholeHeader = m_conn.m_typeByteConsumed != 1;
  for (;;) {
    std::uint8_t b[FileTransferMsgHeader::kWireSize] = {kMessageType};
    if (wholeHeader) {
      ReadExact(b, sizeof b);
      if (b[0] != kMessageType) throw rdr::Exception("File transfer: another message where its next one belongs");
    } else {
      ReadExact(b + 1, sizeof b - 1);
    }
    const FileTransferMsgHeader h = FileTransferMsgHeader::Decode(b);
    switch (h.contentType) {
      case kDirPacket: ReceiveDirectoryPacket(h); break;
      case kFileHeader: ReceiveFileHeader(h.size, h.length); break;
      case kFilePacket: ReceiveFilePacket(h.length, h.size); break;
      case kEndOfFile:
        Discard(h.length);
        if (m_downloadOpen) FinishDownload();
        break;
      case kAbortFileTransfer:
        Discard(h.length);
        ReceiveAbort(h);
        break;
      case kFileAcceptHeader: OnFileAcceptHeader(h.size, h.length); break;
      case kCommandReturn: ReceiveCommandReply(h); break;
      case kFileChecksums: ReceiveChecksums(h.length); break;
      case kFileTransferAccess:
        Discard(h.length);
        ProcessAccessReply(h.size);
        break;
      case kFileTransferProtocolVersion:
        Discard(h.length);
        if (h.contentParam >= 1 && h.contentParam <= 3) {
          m_protocolVersion = h.contentParam;
          m_blockSize = h.contentParam == 1 ? kBlockSizeVersion1 : kBlockSize;
          kebLog.Print(2, "File transfer protocol version %d\n", static_cast<int>(h.contentParam));
        }
        break;
      default: break;  // nothing a viewer handles: only its header was sent
    }
    // An old-style plug-in in version 1 sends the next message of a listing at once, with
    // its type byte repeated.
    const bool oldPlugin = m_conn.m_fUsePlugin && !m_conn.m_fPluginStreamingOut && !m_conn.m_channel &&
                           !m_conn.m_fPluginStreamingIn;
    if (h.contentType == kDirPacket && m_protocolVersion == 1 && oldPlugin && m_listingOpen) {
      wholeHeader = true;
      continue;
    }
    return;
  }
}

// ---------------------------------------------------------------------------------------
// Access and listings

void FileTransferProtocol::SendAccessProbe() { SendFt(kAbortFileTransfer, kParamAbort, 0); }

void FileTransferProtocol::ProcessAccessReply(std::uint32_t size) {
  m_accessKnown = true;
  if (size == kSizeFailed) {
    m_accessGranted = false;
    SetRemoteFolder("");
    ShowRemoteFolder("");
    ClearRemoteList();
    ShowRemoteCount("");
    SetStatus(UiText(IDS_FT_DISABLED));
    AccessRefused();
    return;
  }
  m_accessGranted = true;
  if (m_protocolVersion == 3) SendFt(kFileTransferSessionStart, 0, 0);
  ListRemoteDrives();
  SetStatus(UiText(IDS_FT_CONNECTED));
}

void FileTransferProtocol::ListRemoteDrives() {
  m_listingRequested = true;
  SendFt(kDirContentRequest, kParamListDrives, 0);
}

bool FileTransferProtocol::RequestRemoteDirectory(const std::string& entryText) {
  if (m_listingRequested || m_listingOpen) return false;
  const std::string folder = RemoteFolder();
  const std::string name = Unbracketed(entryText);
  std::string target;
  if (entryText.empty()) {
    target = folder;
  } else if (name == "..") {
    target = ParentFolder(folder);
  } else if (folder.empty()) {
    // A drive ("C:") or a special folder of the drive list.
    target = name + "\\";
  } else {
    target = folder + name + "\\";
  }
  if (target.empty()) {
    ListRemoteDrives();
    return true;
  }
  RequestRemoteFolder(target);
  return true;
}

void FileTransferProtocol::RequestRemoteFolder(const std::string& folder) {
  if (folder.empty() || folder.size() >= kMaxPath) return;
  m_requestedFolder = folder;
  m_listingRequested = true;
  SendFt(kDirContentRequest, kParamListFolder, 0, folder.data(), folder.size());
}

void FileTransferProtocol::ReceiveDirectoryPacket(const FileTransferMsgHeader& h) {
  const std::uint16_t param = h.contentParam;
  if (param == kParamDriveList) {
    ReceiveDriveList(h.length);
    return;
  }
  if (param != kParamListFolder && param != kParamListFolderMore) {
    Discard(h.length);
    if (!m_listingOpen) return;
    m_listingOpen = false;
    m_listingRequested = false;
    ShowRemoteCount(CountLine(m_listCount, UiText(IDS_FT_FILES_FOLDERS)));
    RemoteListingDone(m_listCount);
    return;
  }
  if (param == kParamListFolder && m_lastUploadWasFolder.exchange(false)) SetStatus(UiText(IDS_FT_FOLDER_UNZIPPED));
  if (!m_listingOpen) {
    if (h.length == 0) {
      Discard(h.length);
      m_listingRequested = false;
      SetStatus(UiText(IDS_FT_NO_REMOTE_MEDIA));
      RemoteListingDone(0);
      return;
    }
    std::string folder = m_requestedFolder;
    if (h.length > 1 && m_protocolVersion != 1 && h.length <= kMaxDirPathBody) {
      std::string body;
      ReadBody(h.length, kMaxDirPathBody, &body);
      body = UpToNul(body);
      if (!body.empty()) folder = body;
      if (folder.back() != '\\') folder += '\\';
    } else {
      // The path of a longer packet (or of version 1) is not taken; its bytes still are.
      Discard(h.length);
    }
    SetRemoteFolder(folder);
    ShowRemoteFolder(folder);
    SetStatus(UiText(IDS_FT_BROWSING_REMOTE));
    m_listCount = 0;
    m_listingOpen = true;
    ClearRemoteList();
    return;
  }
  if (h.length > kMaxDirEntryBody) {
    Discard(h.length);
    return;
  }
  std::string body;
  ReadBody(h.length, kMaxDirEntryBody, &body);
  RemoteEntry e;
  if (!ParseFindData(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(), &e)) return;
  if (e.name.empty() || e.name == ".") return;
  if (m_listCount >= kMaxListEntries) return;
  m_listCount++;
  AddRemoteEntry(e);
  PumpMessages();
}

void FileTransferProtocol::ReceiveDriveList(std::uint32_t length) {
  if (length > kMaxDriveListBody) {
    Discard(length);
    return;
  }
  std::string body;
  ReadBody(length, kMaxDriveListBody, &body);
  m_listingRequested = false;
  std::vector<DriveItem> items;
  for (const RemoteDrive& d : ParseDriveList(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()))
    items.push_back({d.drive, DriveTypeText(d.type)});
  if (m_protocolVersion != 1) {
    for (int id : {IDS_FT_MY_DOCUMENTS, IDS_FT_DESKTOP, IDS_FT_NETWORK_FAVORITES}) items.push_back({UiText(id), nullptr});
  }
  SetRemoteFolder("");
  ShowRemoteFolder("");
  ShowRemoteDrives(items);
  RemoteListingDone(static_cast<int>(items.size()));
}

// ---------------------------------------------------------------------------------------
// Batches

bool FileTransferProtocol::StartDownloads(const std::vector<std::string>& entries) {
  if (m_transferring || entries.empty() || LocalFolder().empty() || RemoteFolder().empty()) return false;
  m_batch = entries;
  m_batchNext = 0;
  m_batchUpload = false;
  m_stop = false;
  m_forcedStop = false;
  m_transferring = true;
  DownloadNextFile();
  return true;
}

bool FileTransferProtocol::StartUploads(const std::vector<std::string>& entries) {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (m_transferring || entries.empty() || LocalFolder().empty() || RemoteFolder().empty()) return false;
  m_batch = entries;
  m_batchNext = 0;
  m_batchUpload = true;
  m_stop = false;
  m_forcedStop = false;
  m_transferring = true;
  UploadNextFile();
  return true;
}

void FileTransferProtocol::Stop(bool forced) {
  m_stop = true;
  if (forced) m_forcedStop = true;
}

void FileTransferProtocol::EndBatch(bool upload) {
  const bool interrupted = m_stop;
  m_batch.clear();
  m_batchNext = 0;
  m_transferring = false;
  ShowStopButtons(false);
  SetStatus(UiText(interrupted ? IDS_FT_INTERRUPTED : IDS_FT_TRANSFER_COMPLETED));
  if (upload) RequestRemoteFolder(RemoteFolder());
  BatchDone(upload, interrupted);
  if (m_timerStarted) {
    SleepMs(1000);
    m_timerStarted = false;
    StopUploadTimer();
  }
}

// ---------------------------------------------------------------------------------------
// Download

void FileTransferProtocol::DownloadNextFile() {
  if (m_stop || m_batchNext >= m_batch.size()) {
    EndBatch(false);
    return;
  }
  const std::string& entry = m_batch[m_batchNext++];
  std::string remote = RemoteFolder();
  // A folder is asked for as an archive: its list text, or in version 1 its name in
  // parentheses.
  if (IsBracketed(entry))
    remote += m_protocolVersion == 1 ? "(" + Unbracketed(entry) + ")" : entry;
  else
    remote += entry;
  RequestFileDownload(remote);
}

void FileTransferProtocol::RequestFileDownload(const std::string& remotePath) {
  m_requestedRemote = remotePath;
  m_awaitingHeader = true;
  const std::uint32_t compress = ReceiveRateKbits() <= kSlowLinkKbits ? 1 : 0;
  SendFt(kFileTransferRequest, 0, compress, remotePath.data(), remotePath.size());
}

void FileTransferProtocol::RefuseFileHeader() {
  SendFt(kFileHeader, 0, kSizeFailed);
  m_downloadFailed = true;
  DownloadNextFile();
}

void FileTransferProtocol::ReceiveFileHeader(std::uint32_t size, std::uint32_t nameLength) {
  std::string received;
  ReadBody(nameLength, kMaxPath, &received);
  received = UpToNul(received);
  std::uint32_t high = 0;
  if (m_protocolVersion != 1) {
    std::uint8_t b[4];
    ReadExact(b, 4);
    high = rdr::LoadU32BE(b);
  }
  if (!m_awaitingHeader || m_downloadOpen) return;
  m_awaitingHeader = false;
  ShowFileNumber(static_cast<int>(m_batchNext), static_cast<int>(m_batch.size()));

  if (size == kSizeFailed && (m_protocolVersion == 1 || high == 0xFFFFFFFF)) {
    Status(" %s < %s > %s", UiText(IDS_FT_ERROR_FILE), received, UiText(IDS_FT_NOT_ACCESSIBLE));
    RefuseFileHeader();
    return;
  }
  std::string name;
  SplitModTime(received, &name, &m_modTime);
  // The server packs a requested folder into an archive of another name.
  if (!EqualNoCase(name, m_requestedRemote) && !EndsWithNoCase(name, ".zip")) {
    kebLog.Print(1, "File transfer: the server sent another file than the one requested\n");
    RefuseFileHeader();
    return;
  }
  const std::string leaf = RemoteLeafName(name);
  if (leaf.empty() || !IsSafeLocalName(leaf)) {
    Status(" %s < %s > %s", UiText(IDS_FT_ERROR_FILE), UiText(IDS_FT_INVALID_REMOTE_NAME),
           UiText(IDS_FT_NOT_ACCESSIBLE));
    RefuseFileHeader();
    return;
  }
  const std::uint64_t total = (std::uint64_t(high) << 32) | size;
  const std::string folder = LocalFolder();
  const std::string target = folder + leaf;

  // Free space on the local volume (its drive root when the folder has a drive letter).
  const bool driveLetter = folder.size() >= 2 && std::isalpha(static_cast<unsigned char>(folder[0])) && folder[1] == ':';
  std::uint64_t freeBytes = 0;
  if (!FreeDiskSpace(driveLetter ? folder.substr(0, 3) : folder, &freeBytes) || freeBytes / 1024 < total / 1000) {
    Status(" %s < %s >", UiText(IDS_FT_NO_FREE_SPACE), target);
    RefuseFileHeader();
    return;
  }

  const bool archive = StartsWith(leaf, kFolderMarker);
  m_dlLeaf = leaf;
  m_dlPath = folder + (archive ? leaf : std::string(kPartialMarker) + leaf);
  ZipFileStat st;
  const bool existed = m_fs.Stat(m_dlPath.c_str(), &st) && !st.isDirectory;
  m_dlFile = m_fs.Open(m_dlPath.c_str(), existed ? ZipFileSystem::OpenMode::kUpdate : ZipFileSystem::OpenMode::kCreate,
                       nullptr);
  if (!m_dlFile) {
    Status(" %s < %s > %s", UiText(IDS_FT_ERROR_FILE), target, UiText(IDS_FT_CANNOT_CREATE_LOCAL));
    RefuseFileHeader();
    return;
  }
  Status(" %s < %s > (%s) <<<", UiText(IDS_FT_RECEIVING_FILE), target, FormatSizeText(total).c_str());
  m_dlTotal = total;
  m_dlDone = 0;
  m_dlFileSize = existed ? st.size : 0;
  ShowProgress(0, total);

  // A partial file from an earlier attempt: the server sends only the blocks that differ.
  if (existed && m_protocolVersion != 1) {
    std::vector<std::uint8_t> sums;
    const bool ok = ComputeBlockChecksums(*m_dlFile, m_blockSize, &sums);
    m_dlFile->Seek(0, 0);
    if (ok) {
      const std::uint64_t capacity = (st.size / m_blockSize) * 4 + 1024;
      SendFt(kFileChecksums, 0, static_cast<std::uint32_t>(capacity), sums.data(), sums.size());
    }
  }
  SendFt(kFileHeader, 0, size);
  m_downloadOpen = true;
  m_downloadFailed = false;
  m_abortSent = false;
  m_packets = 0;
  m_fileStartMs = TickMs();
}

void FileTransferProtocol::ReceiveFilePacket(std::uint32_t length, std::uint32_t sizeFlag) {
  const std::uint64_t body = sizeFlag == kPacketUnchanged ? 0 : length;
  if (!m_downloadOpen) {
    Discard(body);
    return;
  }
  if (m_downloadFailed) {
    Discard(body);
    FinishDownload();
    return;
  }
  const std::uint32_t block = m_blockSize;
  const std::size_t capacity = block + kBlockSlack;
  SetRecvTimeout(-1);
  std::uint64_t advanced = 0;
  if (length > capacity) {
    // Not a block of this protocol: nothing of it is taken.
    Discard(body);
    m_downloadFailed = true;
  } else if (sizeFlag == kPacketUnchanged) {
    // The block is already in the partial file; only what is there can be kept.
    const std::int64_t pos = m_dlFile->Tell();
    if (pos < 0 || std::uint64_t(pos) + length > m_dlFileSize || !m_dlFile->Seek(length, 1))
      m_downloadFailed = true;
    else
      advanced = length;
  } else if (sizeFlag == kPacketRaw || sizeFlag == kPacketCompressed) {
    std::uint8_t* chunk = m_conn.CheckFileChunkBufferSize(capacity);
    ReadExact(chunk, length);
    const std::uint8_t* data = chunk;
    long n = static_cast<long>(length);
    if (sizeFlag == kPacketCompressed) {
      std::uint8_t* plain = m_conn.CheckFileZipBufferSize(capacity);
      n = UncompressBlock(chunk, length, plain, capacity);
      data = plain;
      SleepMs(5);
    }
    if (n < 0 || (n > 0 && m_dlFile->Write(data, static_cast<std::size_t>(n)) != n))
      m_downloadFailed = true;
    else
      advanced = static_cast<std::uint64_t>(n);
  } else {
    Discard(body);
    m_downloadFailed = true;
  }
  m_dlDone += advanced;
  ShowProgress(m_dlDone, m_dlTotal);
  PostKeepAlive();
  m_packets++;
  if (m_protocolVersion == 1) {
    if (m_packets % kPacketsPerAck == 0)
      SendFt(kFilePacket, 0, (m_stop || m_downloadFailed) ? std::uint32_t(kSizeFailed) : 0u);
  } else if (m_stop && !m_abortSent) {
    m_abortSent = true;
    SendFt(kAbortFileTransfer, kParamAbort, 0);
  }
}

void FileTransferProtocol::FinishDownload() {
  SetRecvTimeout(0);
  PostKeepAlive();
  const bool failed = m_downloadFailed;
  if (m_dlFile) {
    const std::int64_t pos = m_dlFile->Tell();
    if (pos >= 0) m_dlFile->SetSize(static_cast<std::uint64_t>(pos));
    m_dlFile->Close();
    m_dlFile.reset();
  }
  m_downloadOpen = false;
  if (failed)
    Status(" %s < %s > %s", UiText(IDS_FT_TRANSFER_OF_FILE), StripTransferTag(m_dlLeaf), UiText(IDS_FT_FAILED_REMOTE));
  else
    Status(" %s < %s > %s", UiText(IDS_FT_FILE), m_dlLeaf, UiText(IDS_FT_RECEIVED));

  DateFields d;
  if (!m_modTime.empty() && ParseDateText(m_modTime.substr(1), &d)) {
    ZipFileTimes t;
    t.present = ZipFileTimes::kModification | ZipFileTimes::kAccess | ZipFileTimes::kCreation;
    t.modification = t.access = t.creation = DateFieldsToSeconds(d);
    m_fs.SetTimes(m_dlPath.c_str(), t, false, nullptr);
  }
  const std::string final = LocalFolder() + m_dlLeaf;
  if (failed) {
    // Kept for a later resume unless the user stopped it (or version 1 cannot resume).
    if (m_protocolVersion == 1 || m_stop || m_forcedStop) m_fs.Remove(m_dlPath.c_str());
  } else if (StartsWith(m_dlLeaf, kFolderMarker)) {
    UnpackFolderArchive(m_dlPath);
  } else if (!m_fs.ReplaceFile(m_dlPath.c_str(), final.c_str())) {
    Status(" %s < %s > %s", UiText(IDS_FT_ERROR_FILE), final, UiText(IDS_FT_CANNOT_CREATE_LOCAL));
  }
  DownloadNextFile();
}

void FileTransferProtocol::ReceiveAbort(const FileTransferMsgHeader& h) {
  if (m_downloadOpen) {
    m_downloadFailed = true;
    FinishDownload();
    return;
  }
  if (m_awaitingHeader) {
    // The server gave up on the file asked for before its header.
    m_awaitingHeader = false;
    Status(" %s < %s > %s", UiText(IDS_FT_TRANSFER_OF_FILE), RemoteLeafName(m_requestedRemote),
           UiText(IDS_FT_FAILED_REMOTE));
    DownloadNextFile();
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (m_uploadRunning) {
      m_uploadFailed = true;  // the chunk loop finishes the file
      return;
    }
    if (m_awaitingAccept) {
      m_awaitingAccept = false;
      Status(" %s < %s > %s", UiText(IDS_FT_TRANSFER_OF_FILE), m_ulPath, UiText(IDS_FT_FAILED_LOCAL));
      SetSendTimeout(0);
      EndUploadFile();
      UploadNextFile();
      return;
    }
  }
  // Only the answer to the access probe tells an old server; later aborts with nothing
  // under way are no news.
  if (!m_accessKnown) {
    m_protocolVersion = 1;
    m_blockSize = kBlockSizeVersion1;
    OldServerDetected();
    ProcessAccessReply(h.size);
  }
}

// ---------------------------------------------------------------------------------------
// Upload

void FileTransferProtocol::UploadNextFile() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (m_stop || m_batchNext >= m_batch.size()) {
    EndBatch(true);
    return;
  }
  const std::string entry = m_batch[m_batchNext++];
  OfferFileUpload(entry);
}

void FileTransferProtocol::EndUploadFile() {
  if (m_ulFile) {
    m_ulFile->Close();
    m_ulFile.reset();
  }
  if (m_ulIsArchive) {
    m_fs.Remove(m_ulPath.c_str());
    m_ulIsArchive = false;
  }
}

void FileTransferProtocol::OfferFileUpload(const std::string& entry) {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  std::string path = LocalFolder() + entry;
  m_ulIsArchive = false;
  m_ulPath = path;
  const int packed = ZipFolderForUpload(path);
  if (packed < 0) {
    UploadNextFile();
    return;
  }
  m_ulIsArchive = packed == 1;
  m_ulPath = path;
  ZipFileStat st;
  if (m_fs.Stat(path.c_str(), &st) && !st.isDirectory) m_ulFile = m_fs.Open(path.c_str(), ZipFileSystem::OpenMode::kRead, nullptr);
  if (!m_ulFile) {
    Status(" %s < %s >", UiText(IDS_FT_ACCESS_PROBLEM), path);
    EndUploadFile();
    UploadNextFile();
    return;
  }
  Status(" %s < %s > (%s) >>>", UiText(IDS_FT_SENDING_FILE), path, FormatSizeText(st.size).c_str());
  ShowProgress(0, st.size);
  const std::string remoteFolder = RemoteFolder();
  if (remoteFolder.empty()) {
    EndUploadFile();
    EndBatch(true);
    return;
  }
  m_checksums.clear();
  m_checksumPos = 0;
  m_ulTotal = st.size;
  const std::string target = remoteFolder + LocalLeaf(path) + "," + FormatDateText(SecondsToDateFields(st.mtime));
  const std::uint32_t high = static_cast<std::uint32_t>(st.size >> 32);
  const std::uint8_t highBytes[4] = {std::uint8_t(high >> 24), std::uint8_t(high >> 16), std::uint8_t(high >> 8),
                                     std::uint8_t(high)};
  m_awaitingAccept = true;
  SendFt(kFileTransferOffer, 0, static_cast<std::uint32_t>(st.size), target.data(), target.size(),
         m_protocolVersion == 1 ? nullptr : highBytes);
  if (m_protocolVersion == 1) m_conn.FlushOutputBuffer(false, 0);
  ShowStopButtons(true);
  SetSendTimeout(-1);
}

void FileTransferProtocol::ReceiveChecksums(std::uint32_t length) {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  // One checksum per block of the file offered, and the slack the viewer allows itself.
  const std::uint64_t most = (m_ulTotal / m_blockSize + 1) * 4 + 1024;
  if (!m_awaitingAccept || length > most) {
    Discard(length);
    return;
  }
  std::string body;
  ReadBody(length, static_cast<std::size_t>(length), &body);
  m_checksums.assign(body.begin(), body.end());
  m_checksumPos = 0;
}

void FileTransferProtocol::OnFileAcceptHeader(std::uint32_t size, std::uint32_t nameLength) {
  std::string name;
  ReadBody(nameLength, kMaxPath, &name);
  name = UpToNul(name);
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (!m_awaitingAccept) return;
  m_awaitingAccept = false;
  if (!m_timerStarted) {
    m_timerStarted = true;
    StartUploadTimer();
  }
  ShowFileNumber(static_cast<int>(m_batchNext), static_cast<int>(m_batch.size()));
  if (size == kSizeFailed) {
    Status(" %s < %s > %s", UiText(IDS_FT_ERROR_FILE), StripTransferTag(name), UiText(IDS_FT_CANNOT_CREATE_REMOTE));
    Status(" %s < %s > %s", UiText(IDS_FT_THIS_FILE), StripTransferTag(name), UiText(IDS_FT_MAY_BE_LOCKED));
    SetSendTimeout(0);
    EndUploadFile();
    UploadNextFile();
    return;
  }
  if (!OpenAcceptedUpload()) {
    Status(" %s < %s >", UiText(IDS_FT_ACCESS_PROBLEM), m_ulPath);
    SetSendTimeout(0);
    SendFt(kAbortFileTransfer, kParamAbort, 0);
    EndUploadFile();
    UploadNextFile();
  }
}

bool FileTransferProtocol::OpenAcceptedUpload() {
  if (m_ulFile) m_ulFile->Close();
  m_ulFile = m_fs.Open(m_ulPath.c_str(), ZipFileSystem::OpenMode::kRead, nullptr);
  if (!m_ulFile) return false;
  m_compressionAllowed = ReceiveRateKbits() <= kSlowLinkKbits;
  m_ulDone = 0;
  m_uploadEnd = false;
  m_uploadFailed = false;
  m_fileStartMs = TickMs();
  m_uploadRunning = true;
  return true;
}

void FileTransferProtocol::UploadTimerTick() {
  {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (!m_uploadRunning || m_inChunkLoop) return;
    m_inChunkLoop = true;
  }
  try {
    SendFileChunk();
  } catch (...) {
    // A timer callback must not throw; the connection's own thread reports its loss.
    kebLog.Print(0, "File transfer: the upload ended by an error\n");
    m_uploadRunning = false;
  }
  std::lock_guard<std::recursive_mutex> g(m_lock);
  m_inChunkLoop = false;
}

void FileTransferProtocol::SendFileChunk() {
  for (;;) {
    const std::uint64_t t0 = TickMs();
    if (m_uploadEnd || m_uploadFailed) {
      FinishUpload();
      return;
    }
    const std::uint32_t block = m_blockSize;
    const std::size_t capacity = block + kBlockSlack;
    std::uint8_t* chunk = m_conn.CheckFileChunkBufferSize(capacity);
    const long n = m_ulFile->Read(chunk, block);
    if (n == 0) {
      m_uploadEnd = true;
      continue;
    }
    if (n < 0) {
      m_uploadFailed = true;
      continue;
    }
    bool ok;
    std::uint32_t want = 0;
    if (!m_checksums.empty() && ChecksumAt(m_checksums, m_checksumPos, &want) && want != 0 &&
        (m_checksumPos += 4, want == BlockChecksum(chunk, static_cast<std::size_t>(n)))) {
      // The server has this block already.
      FileTransferMsgHeader h;
      h.contentType = kFilePacket;
      h.size = kPacketUnchanged;
      h.length = static_cast<std::uint32_t>(n);
      ok = SendFt(h, nullptr, 0, nullptr);
    } else if (m_compressionAllowed && m_protocolVersion != 1) {
      std::uint8_t* packed = m_conn.CheckFileZipBufferSize(capacity);
      const long c = CompressBlock(chunk, static_cast<std::size_t>(n), packed, capacity);
      if (c < 0) {
        m_uploadFailed = true;
        FinishUpload();
        return;
      }
      ok = c > n ? SendFt(kFilePacket, 0, kPacketRaw, chunk, static_cast<std::size_t>(n))
                 : SendFt(kFilePacket, 0, kPacketCompressed, packed, static_cast<std::size_t>(c));
    } else {
      ok = SendFt(kFilePacket, 0, kPacketRaw, chunk, static_cast<std::size_t>(n));
    }
    if (!ok) m_uploadFailed = true;
    m_ulDone += static_cast<std::uint64_t>(n);
    ShowProgress(m_ulDone, m_ulTotal);
    PumpMessages();
    if (m_stop) m_uploadFailed = true;
    if (TickMs() - t0 > 1000)
      SleepMs(150);
    else if (WindowMinimisedOrHidden() && m_protocolVersion != 1 && m_conn.m_dormant == 0)
      SleepMs(50);
  }
}

void FileTransferProtocol::FinishUpload() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  SetSendTimeout(0);
  if (m_ulFile) {
    m_ulFile->Close();
    m_ulFile.reset();
  }
  m_uploadRunning = false;
  const bool failed = m_uploadFailed;
  if (m_uploadEnd || !failed) {
    SendFt(kEndOfFile, 0, 0);
    Status(" %s < %s > %s", UiText(IDS_FT_FILE), m_ulPath, UiText(IDS_FT_SENT));
  } else {
    SendFt(kAbortFileTransfer, kParamAbort, 0);
    Status(" %s < %s > %s", UiText(IDS_FT_TRANSFER_OF_FILE), m_ulPath, UiText(IDS_FT_FAILED_LOCAL));
  }
  if (m_ulIsArchive) {
    const std::string folderName = FolderNameOfArchive(LocalLeaf(m_ulPath));
    EndUploadFile();
    if (!failed) {
      Status(" %s < %s > %s", UiText(IDS_FT_LOCAL_FOLDER), folderName, UiText(IDS_FT_FOLDER_SENT));
      m_lastUploadWasFolder = true;
    }
  }
  UploadNextFile();
}

// ---------------------------------------------------------------------------------------
// Folders as archives

int FileTransferProtocol::ZipFolderForUpload(std::string& path) {
  const std::size_t sep = LastLocalSeparator(path);
  if (sep == std::string::npos) return 0;
  const std::string entry = path.substr(sep + 1);
  if (!IsBracketed(entry)) return 0;
  const std::string name = Unbracketed(entry);
  const std::string parent = path.substr(0, sep + 1);
  if (name.size() + parent.size() + 13 >= kMaxPath) return 0;
  const std::string archive = TempFolder() + kFolderMarker + name + ".zip";
  const std::string folder = parent + name;
  if (folder.size() > 256) return -1;
  Status(" %s < %s > %s", UiText(IDS_FT_COMPRESSING), folder, UiText(IDS_FT_FOR_TRANSFER));
  // A stale archive of an earlier run would be updated rather than replaced.
  m_fs.Remove(archive.c_str());
  if (!m_zip.ZipFolder(folder, folder + "\\*.*", archive, 1)) {
    Status(" %s < %s >. %s", UiText(IDS_FT_COMPRESS_ERROR), folder, UiText(IDS_FT_TRANSFER_ABORTED));
    m_fs.Remove(archive.c_str());
    return -1;
  }
  Status(" %s < %s > %s", UiText(IDS_FT_LOCAL_FOLDER), folder, UiText(IDS_FT_COMPRESSED));
  path = archive;
  return 1;
}

void FileTransferProtocol::UnpackFolderArchive(const std::string& archivePath) {
  const std::string name = FolderNameOfArchive(LocalLeaf(archivePath));
  Status(" %s < %s > %s", UiText(IDS_FT_DECOMPRESSING), name, UiText(IDS_FT_AFTER_RECEPTION));
  // The folder's name comes from the server: it must name one folder inside the local
  // one ("!ZELKDIR-...zip" would otherwise unpack into the parent folder).
  const bool ok = IsSafeLocalName(name) && m_zip.UnzipToFolder(LocalFolder() + name, archivePath);
  if (ok)
    Status(" %s < %s > %s", UiText(IDS_FT_REMOTE_FOLDER), name, UiText(IDS_FT_RECEIVED));
  else
    Status(" %s < %s >. %s", UiText(IDS_FT_DECOMPRESS_ERROR), name, UiText(IDS_FT_ABORTED));
  m_fs.Remove(archivePath.c_str());
}

// ---------------------------------------------------------------------------------------
// Folder commands

bool FileTransferProtocol::CreateRemoteFolder(const std::string& name) {
  const std::string folder = RemoteFolder();
  if (folder.empty() || name.empty()) return false;
  const std::string path = folder + name;
  if (path.size() > kMaxCommandPath) return false;
  return SendFt(kCommand, kParamCreateFolder, 0, path.data(), path.size());
}

bool FileTransferProtocol::DeleteRemote(const std::vector<std::string>& entries) {
  const std::string folder = RemoteFolder();
  if (folder.empty()) return false;
  bool sent = false;
  for (const std::string& entry : entries) {
    const std::string name = Unbracketed(entry);
    if (name.empty() || name == "..") continue;
    const std::string path = folder + name;
    if (path.size() >= kMaxPath) continue;
    if (IsBracketed(entry)) m_deletedFolders.insert(path);
    m_pendingDeletes++;
    sent = SendFt(kCommand, kParamDelete, 0, path.data(), path.size()) || sent;
  }
  return sent;
}

bool FileTransferProtocol::RenameRemote(const std::string& oldEntry, const std::string& newName) {
  const std::string folder = RemoteFolder();
  if (folder.empty() || newName.empty() || newName.find('*') != std::string::npos) return false;
  const std::string oldPath = folder + Unbracketed(oldEntry);
  const std::string newPath = folder + newName;
  if (newPath.size() > kMaxCommandPath || oldPath.size() > kMaxCommandPath) return false;
  const std::string body = oldPath + "*" + newPath;
  return SendFt(kCommand, kParamRename, 0, body.data(), body.size());
}

void FileTransferProtocol::ReceiveCommandReply(const FileTransferMsgHeader& h) {
  const bool failed = h.size == kSizeFailed;
  switch (h.contentParam) {
    case kParamFolderCreated: {
      std::string path;
      ReadBody(h.length, kMaxPath, &path);
      path = UpToNul(path);
      if (failed) {
        Status("%s < %s > %s", UiText(IDS_FT_CANNOT_CREATE_FOLDER), path, UiText(IDS_FT_ON_REMOTE));
      } else {
        Status("%s < %s > %s", UiText(IDS_FT_FOLDER), path, UiText(IDS_FT_CREATED_REMOTE));
        RequestRemoteFolder(RemoteFolder());
      }
      break;
    }
    case kParamDeleted: {
      std::string path;
      ReadBody(h.length, kMaxPath, &path);
      path = UpToNul(path);
      const bool folder = m_deletedFolders.erase(path) > 0;
      if (failed)
        Status("%s < %s > %s", UiText(folder ? IDS_FT_CANNOT_DELETE_FOLDER : IDS_FT_CANNOT_DELETE_FILE), path,
               UiText(IDS_FT_ON_REMOTE));
      else
        Status("%s < %s > %s", UiText(folder ? IDS_FT_FOLDER : IDS_FT_FILE), path, UiText(IDS_FT_DELETED_REMOTE));
      if (m_pendingDeletes > 0 && --m_pendingDeletes == 0) {
        m_deletedFolders.clear();
        RequestRemoteFolder(RemoteFolder());
      }
      break;
    }
    case kParamRenamed: {
      if (h.length < 1 || h.length > kMaxRenameReplyBody) {
        Discard(h.length);
        break;
      }
      std::string body;
      ReadBody(h.length, kMaxRenameReplyBody, &body);
      body = UpToNul(body);
      const std::size_t star = body.find('*');
      const std::string oldPath = star == std::string::npos ? std::string(UiText(IDS_FT_SELECTED_FILE)) : body.substr(0, star);
      if (failed) {
        Status(" %s < %s > %s", UiText(IDS_FT_RENAME_FAILED), oldPath, UiText(IDS_FT_ON_REMOTE));
      } else {
        Status(" %s < %s > %s < %s >", UiText(IDS_FT_RENAMED_REMOTE), oldPath, UiText(IDS_FT_TO),
               star == std::string::npos ? std::string() : body.substr(star + 1));
        RequestRemoteFolder(RemoteFolder());
      }
      break;
    }
    default: Discard(h.length); break;
  }
}

void FileTransferProtocol::SendSessionEnd() {
  if (m_protocolVersion >= 3 && m_conn.m_running) SendFt(kFileTransferSessionEnd, 0, 0);
}
