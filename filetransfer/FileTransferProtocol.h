// The file-transfer protocol of one connection, platform-free: the access probe and the
// protocol version, remote listings and drive lists, downloads (resume by block
// checksums, compressed blocks, the "!ZELKPFT-" partial file), uploads (the offer, the
// server's checksums, the chunk loop of the upload timer), folder commands and their
// replies, and the status lines. The window (FileTransfer, Win32) derives from it and
// supplies what is shown through the virtual operations below; tests supply them in
// memory.
//
// Threads: every incoming message is read on the GUI thread (ProcessFileTransferMsg) while
// the connection thread waits; an upload's chunks go out from the upload timer's thread
// (UploadTimerTick). Sends from both go through the connection's message lock, so a
// header and its body stay together.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "filetransfer/FileTransferMessages.h"
#include "filetransfer/FolderZip.h"

class RfbSession;
class ZipFile;
class ZipFileSystem;

class FileTransferProtocol {
public:
  // fs: the local file system (the product's own; tests may give a temporary one).
  FileTransferProtocol(RfbSession& conn, ZipFileSystem& fs);
  virtual ~FileTransferProtocol();
  FileTransferProtocol(const FileTransferProtocol&) = delete;
  FileTransferProtocol& operator=(const FileTransferProtocol&) = delete;

  // ---- Incoming (GUI thread) ----

  // One type-7 message behind the type byte the dispatcher read (with an old-style
  // plug-in that repeats the type byte, the whole header). Stream errors throw.
  void ProcessFileTransferMsg();

  // ---- What the window asks for ----

  // The access probe, one second after the window opened: an abort (7, param 3).
  void SendAccessProbe();
  // Lists the remote drives (1, param 2).
  void ListRemoteDrives();
  // Opens a remote list entry: a drive or special folder ("[ C: ]", "[ My Documents ]"),
  // a folder ("[ name ]") or the parent ("[ .. ]"); "" lists the current folder again.
  // False when there is nothing to request (a pending request, or no such folder).
  bool RequestRemoteDirectory(const std::string& entryText);
  // Sends a listing request for a remote folder path (ending in a backslash).
  void RequestRemoteFolder(const std::string& folder);

  // A batch of list entries (names, or "[ name ]" for folders) from the local folder to the
  // remote one, or back. False when a transfer already runs or a folder is not set.
  bool StartUploads(const std::vector<std::string>& entries);
  bool StartDownloads(const std::vector<std::string>& entries);
  // Stop: the current file ends (failed) and the batch with it. forced: the caller also
  // closes the connection.
  void Stop(bool forced);

  // Remote folder commands on the current remote folder; false when nothing was sent.
  bool CreateRemoteFolder(const std::string& name);
  bool DeleteRemote(const std::vector<std::string>& entries);
  bool RenameRemote(const std::string& oldEntry, const std::string& newName);

  // Protocol version 3: the window closes while the connection runs.
  void SendSessionEnd();

  // The upload timer's callback: runs the chunk loop once per upload (re-entry does
  // nothing while it runs).
  void UploadTimerTick();

  // ---- State ----

  int ProtocolVersion() const { return m_protocolVersion; }
  std::uint32_t BlockSize() const { return m_blockSize; }
  bool AccessKnown() const { return m_accessKnown; }
  bool AccessGranted() const { return m_accessGranted; }
  // A batch of transfers is under way (requests and input are held back meanwhile).
  bool Transferring() const { return m_transferring; }
  bool DownloadOpen() const { return m_downloadOpen; }
  bool UploadRunning() const { return m_uploadRunning; }
  bool RemoteRequestPending() const { return m_listingRequested || m_listingOpen; }

  // The two folders the window shows (each ends in a separator, or is empty).
  std::string LocalFolder() const;
  void SetLocalFolder(const std::string& folder);
  std::string RemoteFolder() const;
  void SetRemoteFolder(const std::string& folder);

  // Rate at or below which compression is used (kbit/s).
  static constexpr std::uint32_t kSlowLinkKbits = 2048;
  // Entries of one remote listing that are shown; further ones are read and dropped.
  static constexpr int kMaxListEntries = 100000;
  // Packets between acknowledgements in protocol version 1.
  static constexpr int kPacketsPerAck = 11;

protected:
  // ---- What the window shows (any thread; the defaults show nothing) ----

  virtual void SetStatus(const std::string& text) {}
  virtual void ShowFileNumber(int number, int count) {}
  // done of total bytes of the current file; done 0 resets.
  virtual void ShowProgress(std::uint64_t done, std::uint64_t total) {}
  virtual void ShowRemoteFolder(const std::string& folder) {}
  virtual void ClearRemoteList() {}
  virtual void AddRemoteEntry(const ft::RemoteEntry& entry) {}
  // The remote drive list replaces the list and the drive combo: each drive ("C:") or
  // special folder name is shown between "[ " and " ]", with its type text (nullptr for
  // the special folders).
  struct DriveItem {
    std::string name;
    const char* typeText;
  };
  virtual void ShowRemoteDrives(const std::vector<DriveItem>& drives) {}
  // The remote listing ended with count entries (the window restores the selection,
  // leaves transfer mode and updates its buttons).
  virtual void RemoteListingDone(int count) {}
  // The remote count line.
  virtual void ShowRemoteCount(const std::string& text) {}
  virtual void AccessRefused() {}
  // The server speaks protocol version 1 (no folder transfer hint).
  virtual void OldServerDetected() {}
  virtual void ShowStopButtons(bool shown) {}
  // A batch ended: the window lists the affected folder (the local one after downloads;
  // the remote one is requested here), restores itself and leaves transfer mode.
  virtual void BatchDone(bool upload, bool interrupted) {}
  // Pumps the window's messages (on the window's own thread only).
  virtual void PumpMessages() {}
  // The window is minimised or hidden (the uploader then yields to screen updates).
  virtual bool WindowMinimisedOrHidden() { return false; }

  // ---- Platform ----

  // Socket time-outs: -1 "FileTransferTimeout" seconds, 0 off.
  virtual void SetRecvTimeout(int ms) {}
  virtual void SetSendTimeout(int ms) {}
  virtual void PostKeepAlive() {}
  // Free bytes of the volume of a folder or drive root; false when it cannot be told.
  virtual bool FreeDiskSpace(const std::string& root, std::uint64_t* freeBytes) = 0;
  // The 10 ms periodic timer whose ticks call UploadTimerTick.
  virtual void StartUploadTimer() {}
  virtual void StopUploadTimer() {}
  virtual std::uint64_t TickMs();
  virtual void SleepMs(int ms);

  // The system's temporary folder, ending in a separator (folder archives go there).
  virtual std::string TempFolder();

  // ---- Folders (packed before an upload, unpacked after a download) ----

  // path: the local folder + a list entry. 1: a folder entry ("[ name ]"), packed into
  // "!ZELKDIR-" + name + ".zip" in the temporary folder; path now names the archive.
  // 0: not a folder entry (or a path too long to pack). -1: the folder could not be packed.
  int ZipFolderForUpload(std::string& path);
  // Unpacks a received "!ZELKDIR-" archive into a folder of its name in the local folder,
  // then deletes the archive.
  void UnpackFolderArchive(const std::string& archivePath);

  // ---- For the derived window ----

  RfbSession& m_conn;
  ZipFileSystem& m_fs;
  std::recursive_mutex m_lock;  // the FileTransfer lock (upload timer against the window)
  std::atomic<bool> m_stop{false}, m_forcedStop{false};
  std::atomic<bool> m_lastUploadWasFolder{false};

  // Sends one message: in protocol version 1 as plain writes, else as one client message
  // under the message lock. extra (4 bytes or none) follows the body.
  bool SendFt(std::uint8_t contentType, std::uint16_t param, std::uint32_t size, const void* body = nullptr,
              std::size_t length = 0, const std::uint8_t* extra = nullptr);
  // The same with a header whose length field need not count a body (a block unchanged).
  bool SendFt(const ft::FileTransferMsgHeader& h, const void* body, std::size_t bodyLength,
              const std::uint8_t* extra);
  // Status " %s < %s > %s" and its relatives: formats with the given texts.
  void Status(const char* format, const char* a, const std::string& b, const char* c = "",
              const std::string& d = std::string());
  std::uint32_t ReceiveRateKbits() const;

private:
  // ---- Incoming, by content type ----
  void ReceiveDirectoryPacket(const ft::FileTransferMsgHeader& h);
  void ReceiveDriveList(std::uint32_t length);
  void ReceiveFileHeader(std::uint32_t size, std::uint32_t nameLength);
  void ReceiveFilePacket(std::uint32_t length, std::uint32_t sizeFlag);
  void ReceiveAbort(const ft::FileTransferMsgHeader& h);
  void OnFileAcceptHeader(std::uint32_t size, std::uint32_t nameLength);
  void ReceiveChecksums(std::uint32_t length);
  void ReceiveCommandReply(const ft::FileTransferMsgHeader& h);
  void ProcessAccessReply(std::uint32_t size);

  // ---- Downloads ----
  void RequestFileDownload(const std::string& remotePath);
  void RefuseFileHeader();
  void FinishDownload();
  void DownloadNextFile();
  // ---- Uploads ----
  void OfferFileUpload(const std::string& entry);
  bool OpenAcceptedUpload();
  void SendFileChunk();
  void FinishUpload();
  void UploadNextFile();
  void EndUploadFile();

  void EndBatch(bool upload);

  // Reads n bytes; up to keep of them into *out, the rest dropped. Above the largest
  // request a buffer takes, the stream cannot be followed: throws.
  void ReadBody(std::uint64_t n, std::size_t keep, std::string* out);
  void Discard(std::uint64_t n);
  void ReadExact(void* buf, std::size_t n);

  // Protocol.
  std::atomic<int> m_protocolVersion{2};
  std::atomic<std::uint32_t> m_blockSize{ft::kBlockSize};
  std::atomic<bool> m_accessKnown{false}, m_accessGranted{false};

  // Folders and the batch.
  mutable std::mutex m_folderLock;
  std::string m_localFolder, m_remoteFolder;
  std::string m_requestedFolder;  // the remote folder of the listing asked for
  std::vector<std::string> m_batch;
  std::size_t m_batchNext = 0;  // index of the next entry to start
  std::atomic<bool> m_transferring{false};
  bool m_batchUpload = false;

  // Listing.
  std::atomic<bool> m_listingRequested{false}, m_listingOpen{false};
  int m_listCount = 0;
  int m_pendingDeletes = 0;
  std::set<std::string> m_deletedFolders;  // paths of folders whose deletion was asked

  // Download.
  std::atomic<bool> m_downloadOpen{false};
  bool m_awaitingHeader = false, m_downloadFailed = false, m_abortSent = false;
  std::unique_ptr<ZipFile> m_dlFile;
  std::string m_requestedRemote;  // the remote path last requested
  std::string m_dlLeaf;           // the file's name
  std::string m_dlPath;           // local path while receiving (with its tag)
  std::string m_modTime;          // "," + "MM/DD/YYYY HH:MM", or ""
  std::uint64_t m_dlDone = 0, m_dlTotal = 0, m_dlFileSize = 0;
  std::uint32_t m_packets = 0;

  // Upload.
  std::atomic<bool> m_uploadRunning{false}, m_uploadFailed{false}, m_uploadEnd{false};
  bool m_inChunkLoop = false, m_awaitingAccept = false, m_compressionAllowed = false;
  bool m_ulIsArchive = false;
  std::unique_ptr<ZipFile> m_ulFile;
  std::string m_ulPath;
  std::uint64_t m_ulDone = 0, m_ulTotal = 0;
  std::vector<std::uint8_t> m_checksums;
  std::size_t m_checksumPos = 0;
  bool m_timerStarted = false;

  std::uint64_t m_fileStartMs = 0;

  CZipUnZip32 m_zip;
};
