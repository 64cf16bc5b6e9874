// The archiver's run state and the routines that share it. Internal to zip/.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zip/Zip.h"
#include "zip/ZipDeflate.h"
#include "zip/ZipFileSystem.h"

#if defined(__GNUC__)
#define ZIP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZIP_PRINTF(fmt, args)
#endif

constexpr std::uint16_t kZipMadeBy = 0x0B17;  // NTFS host, version 2.3
constexpr std::uint32_t kZipDos1980 = 0x210000;  // 1980-01-01 00:00:00
constexpr std::size_t kZipOutputBufferSize = 16384;
constexpr std::size_t kZipMaxPassword = 80;
constexpr std::uint64_t kZipMax32 = 0xFFFFFFFFull;
constexpr std::size_t kZipMaxEntries = 65535;

enum : std::uint16_t {
  kZipFlagEncrypted = 0x0001,
  kZipFlagMaximum = 0x0002,    // deflated at level 8-9
  kZipFlagFast = 0x0004,       // deflated at level 1-2
  kZipFlagDescriptor = 0x0008, // sizes and CRC in a data descriptor after the data
};

enum class ZipAction { kAdd, kUpdate, kFreshen, kDelete };

// What becomes of an entry of the old archive.
enum : int {
  kZipEntryCopy = 0,
  kZipEntryChange = 1,       // replace (add, update, freshen) or delete
  kZipEntryCopyComment = 2,  // copy, then ask a comment
};

struct ZipFoundFile {
  std::string path;     // as the file system takes it
  std::string name;     // stored name
  std::string display;  // name in messages
  bool dosName = false;
};

// One entry of the archive, old or new.
struct ZipEntry {
  std::uint16_t versionMadeBy = 0;
  std::uint16_t versionNeeded = 0;
  std::uint16_t flags = 0;  // central
  std::uint16_t method = 0;
  std::uint32_t dosTime = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t diskStart = 0;
  std::uint16_t internalAttributes = 0;
  std::uint16_t localFlags = 0;
  std::uint32_t externalAttributes = 0;
  std::uint64_t localOffset = 0;
  std::vector<std::uint8_t> localExtra, centralExtra;
  std::string comment;
  std::string name;     // stored name
  std::string display;  // for messages
  std::string path;     // file to take the new data from
  std::uint16_t localNameLength = 0;  // of the local header read back
  int action = kZipEntryCopy;
  bool selected = false;
  bool dosName = false;
};

enum class ZipPatternKind { kInclude, kExclude, kRecursive };
struct ZipPattern {
  ZipPatternKind kind;
  std::string text;
};

// The archive being written: a file behind a 16 KiB buffer that knows its position.
class ZipOutput {
public:
  void Attach(std::unique_ptr<ZipFile> file, std::uint64_t position);
  bool IsOpen() const { return file_ != nullptr; }
  // False once any write fell short.
  bool Write(const void* data, std::size_t len);
  bool Flush();
  bool SeekTo(std::uint64_t position);
  std::uint64_t Tell() const { return position_; }
  bool failed() const { return failed_; }
  ZipFile* file() { return file_.get(); }
  // Flushes and closes; false when anything failed.
  bool Close();
  void Discard();

private:
  std::unique_ptr<ZipFile> file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t position_ = 0;
  bool failed_ = false;
};

// Traditional PKWARE encryption.
struct ZipCipher {
  std::uint32_t keys[3] = {};
  void Init(const std::string& password);
  std::uint8_t StreamByte() const;
  void Update(std::uint8_t plain);
  std::uint8_t Encrypt(std::uint8_t plain) {
    std::uint8_t c = static_cast<std::uint8_t>(plain ^ StreamByte());
    Update(plain);
    return c;
  }
};

// Facts about one file, as the archiver stores them.
struct ZipFileInfo {
  bool isDirectory = false;
  bool isCharDevice = false;
  std::uint32_t attributes = 0;  // DOS attributes, masked with 0x37
  std::uint32_t mode = 0;        // the runtime's file mode
  std::uint64_t size = 0;
  std::uint32_t mtime = 0, atime = 0, ctime = 0;  // seconds since 1970, clamped to u32
  ZipFileStat stat;
};

struct ZipRun {
  ZipFileSystem* fs = nullptr;

  // Options.
  ZipAction action = ZipAction::kAdd;
  int level = 6;
  bool storeAll = false;  // -0
  std::string suffixes = ".Z:.zip:.zoo:.arc:.lzh:.arj";
  bool keepPaths = true;
  bool dirEntries = true;
  bool extraFields = true;
  int recurse = 0;  // 1 -r, 2 -R
  bool dosNames = false;
  int lineEnds = 0;  // 1 LF to CR LF, 2 CR LF to LF
  bool move = false;
  bool grow = false;
  int repair = 0;
  bool adjustOffsets = false;
  bool junkPrefix = false;
  bool latestTime = false;
  bool archiveComment = false;
  bool entryComments = false;
  bool testFlag = false;
  int mustMatch = 0;
  int verbose = 0;
  bool noisy = true;
  bool systemHidden = false;
  bool volumeLabel = false;
  bool privileges = false;
  bool encrypt = false;
  bool havePassword = false;
  std::string password;
  bool haveTempDir = false;
  std::string tempDir;
  bool haveSince = false, haveBefore = false;
  std::uint32_t since = 0, before = 0;  // DOS date-times
  bool namesFromStdin = false;
  // -i and -x arguments as given: 'i' or 'x' with a pattern, 'I' or 'X' with a names file.
  std::vector<std::pair<char, std::string>> patternArgs;
  std::vector<ZipPattern> patterns;

  // Names and files.
  std::vector<std::string> names;
  std::vector<ZipFoundFile> found;
  bool volumeLabelDone = false;
  bool anyNameSeen = false;

  // The archive.
  std::string zipName;
  bool archiveExists = false;
  ZipFileStat archiveStat;
  std::unique_ptr<ZipFile> in;
  std::uint64_t archiveSize = 0;
  std::vector<std::unique_ptr<ZipEntry>> entries;
  std::vector<ZipEntry*> index;  // sorted by name through the upper-case table
  std::uint64_t preamble = 0;    // bytes in front of the first entry
  std::uint64_t oldCentralOffset = 0;  // where the old central directory starts (-g)
  std::vector<std::uint8_t> oldCentral;  // the old central directory and end record (-g)
  std::string comment;

  // Output.
  ZipOutput out;
  std::string tempPath;
  bool inPlace = false;  // -g: the archive itself is written
  std::uint32_t archiveAttributes = 0;
  bool haveArchiveAttributes = false;
  ZipDeflater deflater;
  ZipCipher cipher;

  // Results.
  bool aborted = false;
  bool openFailures = false;  // some file could not be read: the run ends with 18
  std::uint64_t totalIn = 0, totalOut = 0;
};

// Messages (ZipEngine.cpp).
void ZipMessage(ZipRun* run, const char* format, ...) ZIP_PRINTF(2, 3);  // standard output, unless quiet
void ZipErrorText(const char* format, ...) ZIP_PRINTF(1, 2);  // standard error, always
void ZipPrintWarning(ZipRun* run, const char* text, const char* detail);
void ZipHostPrint(const char* format, ...) ZIP_PRINTF(1, 2);  // the print callback
// Prints the error and marks the run as aborted; returns code, which the caller hands
// back up to the engine's entry.
int ZipAbort(ZipRun* run, int code, const char* detail);
int ZipAbortIo(ZipRun* run, int code, const char* detail, int systemError);
const ZipCallbacks& ZipInstalledCallbacks();
// Upper-case table comparisons (only ASCII letters change).
int ZipCompareNames(const std::string& a, const std::string& b);
// 1 match, 0 no match, -1 no match possible from here on.
int ZipMatchWildcard(const char* pattern, const char* name, bool ignoreCase);
bool ZipHasWildcard(const char* name);
// Whether a stored name passes the -i, -x and -R patterns.
bool ZipPatternsAccept(ZipRun* run, const std::string& name);
int ZipBuildPatternList(ZipRun* run);

// Records (ZipRecords.cpp).
std::uint32_t ZipUnixToDosTime(std::uint32_t unixTime);
std::vector<std::uint8_t> ZipTimestampExtra(const ZipFileInfo& info, bool central);
// Modification time from an entry's 0x5455 (or older 0x5855) field; false when none.
bool ZipEntryModificationTime(const ZipEntry& e, std::uint32_t* mtime);
int ZipWriteLocalHeader(ZipRun* run, const ZipEntry& e);
int ZipWriteCentralHeader(ZipRun* run, const ZipEntry& e);
int ZipWriteDataDescriptor(ZipRun* run, const ZipEntry& e);
int ZipWriteEndRecord(ZipRun* run, std::size_t count, std::uint64_t centralSize, std::uint64_t centralOffset);
int ZipReadArchive(ZipRun* run);
int ZipReadArchiveRepair(ZipRun* run);
int ZipCopyEntry(ZipRun* run, ZipEntry* e);
int ZipCopyBytes(ZipRun* run, std::uint64_t from, std::uint64_t length);
int ZipWriteCentralDirectory(ZipRun* run, const std::vector<ZipEntry*>& list);
void ZipSortIndex(ZipRun* run);
ZipEntry* ZipFindEntry(ZipRun* run, const std::string& name);

// Compressing (ZipCompress.cpp).
// 0 done; kZipNotFound the file could not be opened (nothing written); -1 a file and a
// folder of one name; other codes end the run (ZipAbort has been called).
int ZipCompressEntry(ZipRun* run, ZipEntry* e);
std::uint16_t ZipPercent(std::uint64_t in, std::uint64_t out);

// Scanning and the file-system layer (ZipScan.cpp).
int ZipExpandNameArgument(ZipRun* run, const std::string& name);
int ZipCollectPath(ZipRun* run, const std::string& path);
int ZipCollectNamedPath(ZipRun* run, const std::string& name);
int ZipAddFoundFile(ZipRun* run, const std::string& path, bool isDirectory);
std::string ZipPathToStoredName(ZipRun* run, const std::string& path, bool isDirectory, bool* dosName);
bool ZipGetFileInfo(ZipRun* run, const std::string& path, ZipFileInfo* info);
bool ZipStatFile(ZipRun* run, const std::string& path, ZipFileStat* st);
int ZipCreateTempFile(ZipRun* run, const std::string& folder, std::string* path, std::unique_ptr<ZipFile>* file);
int ZipSwapInNewArchive(ZipRun* run, const std::string& temp, const std::string& archive);
bool ZipReadSecurityExtra(ZipRun* run, const std::string& path, bool isDirectory,
                          std::vector<std::uint8_t>* local, std::vector<std::uint8_t>* central);
std::string ZipEightThree(const std::string& component);

// Little-endian helpers.
inline void ZipPut16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void ZipPut32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline std::uint16_t ZipGet16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t ZipGet32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
