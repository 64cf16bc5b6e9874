// The ZIP extractor: unpacks, tests or lists one archive (or every archive a wildcard
// name matches) in-process, on the caller's thread. It throws nothing: the outcome is a
// result code, and every message goes to the print callback.
#pragma once

#include <cstdint>

class ZipFileSystem;

// Result codes; a run returns the worst one met.
enum : int {
  kUnzipOk = 0,
  kUnzipWarning = 1,             // warnings only: success for callers
  kUnzipBadData = 2,             // bad CRC, invalid compressed data, bad header lengths
  kUnzipBadStructure = 3,        // no central directory where expected, bad offsets
  kUnzipNoMemory = 4,            // at the start of the run
  kUnzipNoPassword = 5,          // the password callback could not supply one
  kUnzipNoMemoryDecoding = 6,
  kUnzipNoArchive = 9,           // not found, or no end-of-central-directory record
  kUnzipNoMatch = 11,            // no entry matched the include list
  kUnzipDiskFull = 50,           // or an output file could not be created
  kUnzipEarlyEnd = 51,           // the archive ended early
  kUnzipIsFolder = 76,
  kUnzipNoSecurityData = 79,
  kUnzipStopped = 80,            // the progress callback asked to stop
  kUnzipUnsupported = 81,        // every entry skipped: method or encryption unsupported
  kUnzipBadPassword = 82,        // every entry skipped: wrong password
};

// Answers of the replace callback.
enum : int {
  kUnzipReplaceSkip = 100,
  kUnzipReplaceAll = 103,
  kUnzipReplaceNone = 104,
  kUnzipReplaceRenamed = 105,  // a new name was written into the buffer
};

// Answers of the password callback besides 0 (a password is in the buffer).
enum : int {
  kUnzipPasswordCancel = 5,     // give up: the entry is skipped with code 5
  kUnzipPasswordNoMore = -2,    // no password, and do not ask again during this run
};

// Size of the buffer handed to the replace callback (a path and its terminator).
constexpr int kUnzipPathBufferSize = 260;
// Size of the buffer handed to the password callback.
constexpr int kUnzipPasswordBufferSize = 81;

struct UnzipOptions {
  std::int32_t updateOnly;          // only entries whose target is missing or older
  std::int32_t blanksToUnderscore;  // blanks in names become '_'
  std::int32_t promptOverwrite;     // with overwriteAll 0: ask the replace callback (else never overwrite)
  std::int32_t quietLevel;          // 0 all messages .. 3 fewest
  std::int32_t toConsole;           // entry data goes to print
  std::int32_t testOnly;            // decode and check, write nothing
  std::int32_t listMode;            // list through listEntry
  std::int32_t freshenOnly;         // only entries whose target exists and is older
  std::int32_t commentOnly;         // show the archive comment only
  std::int32_t pathMode;            // 0 drop folders; 1 keep, drop "." and ".."; 2 keep ".." too
  std::int32_t overwriteAll;        // overwrite without asking
  std::int32_t textConversion;      // 0 never, 1 entries flagged as text, 2 every entry
  std::int32_t detailListing;       // detailed text listing through print
  std::int32_t ignoreCase;          // include/exclude names match case-blind
  std::int32_t restoreSecurity;     // 0 ignore stored NT security; 1 apply; 2 also with privileges
  const char* zipFileName;          // required; may hold '*', '?' and '[...]'
  const char* extractFolder;        // null: the current folder
};

struct UnzipCallbacks {
  int (*print)(const char* text, unsigned long length);
  void (*sound)();
  // buffer holds the target path (kUnzipPathBufferSize bytes); see the kUnzipReplace answers.
  int (*replace)(char* buffer);
  // buffer of size bytes; 0: it holds a password to try.
  int (*password)(char* buffer, int size, const char* prompt, const char* entryName);
  void (*listEntry)(std::uint32_t uncompressedSize, std::uint32_t compressedSize, unsigned ratio,
                    unsigned date1, unsigned date2, unsigned date3, unsigned hour, unsigned minute,
                    char caseSign, const char* name, const char* method, std::uint32_t crc,
                    char encryptionSign);
  // May be null; nonzero stops the run with kUnzipStopped.
  int (*progress)(const char* entryName, std::uint32_t uncompressedSize);

  // Filled by the extractor.
  std::uint32_t totalCompressed;
  std::uint32_t totalUncompressed;
  std::uint32_t ratioPercent;
  std::uint32_t entryCount;
  std::uint16_t commentLength;
};

// Runs one job. A name list is an array of text pointers; its length is the count of
// entries before the first null pointer, at most the given count. With both lists empty
// every entry is processed. fileSystem null: the process's own file system.
int UnzipExtract(int includeCount, const char* const* includeNames, int excludeCount,
                 const char* const* excludeNames, const UnzipOptions* options,
                 UnzipCallbacks* callbacks, ZipFileSystem* fileSystem = nullptr);

// Whether a result code means the job was done: success or warnings only.
inline bool UnzipSucceeded(int result) { return result == kUnzipOk || result == kUnzipWarning; }
