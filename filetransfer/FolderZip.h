// The glue between file transfer and the project's ZIP engine: a folder is packed into
// one archive before it is sent, and a received folder archive is unpacked into the
// local folder. Fills the archiver's and extractor's option and callback records for
// exactly these two jobs; the engine's messages are not shown, only its result counts.
// Platform-free. The engine keeps its run state process-wide: one job at a time.
#pragma once

#include <string>

#include "zip/Unzip.h"
#include "zip/Zip.h"

class ZipFileSystem;

class CZipUnZip32 {
public:
  // fs: the file system the engine works on (null: the process's own).
  explicit CZipUnZip32(ZipFileSystem* fs = nullptr);
  virtual ~CZipUnZip32();
  CZipUnZip32(const CZipUnZip32&) = delete;
  CZipUnZip32& operator=(const CZipUnZip32&) = delete;

  // Packs the files matching pattern (recursively, hidden and system files included) with
  // names relative to rootFolder into a new archive; level 0..9. True when the archiver
  // returned success.
  bool ZipFolder(const std::string& rootFolder, const std::string& pattern, const std::string& archivePath, int level);
  // Unpacks every entry of the archive below targetFolder, keeping stored relative paths
  // (without "." and ".." components) and overwriting existing files without asking.
  bool UnzipToFolder(const std::string& targetFolder, const std::string& archivePath);
  // Drops the callbacks and names of the last archiver run.
  void FreeCommandBlock();

private:
  ZipFileSystem* m_fs;
  ZipOptions m_options;
  ZipCallbacks* m_callbacks = nullptr;
  std::string m_name;  // the one name of the command block
};
