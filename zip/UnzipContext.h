// The extractor's run state and the routines that share it. Internal to zip/.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "zip/Unzip.h"
#include "zip/UnzipInflate.h"
#include "zip/ZipFileSystem.h"

#if defined(__GNUC__)
#define UNZIP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define UNZIP_PRINTF(fmt, args)
#endif

constexpr std::size_t kUnzipInputSize = 8192;
constexpr std::size_t kUnzipCommentBufferSize = 131073;
constexpr std::size_t kUnzipMaxPath = 260;    // output paths stay below this
constexpr std::size_t kUnzipMaxName = 259;    // longest stored name kept
constexpr std::size_t kUnzipBatchSize = 64;   // central headers read at a time
constexpr std::size_t kUnzipMaxFolderPath = 257;

// Flags of a message handed to the output function.
enum : int {
  kUnzipMsgError = 0x01,      // the error stream
  kUnzipMsgFreshLine = 0x20,  // start on a fresh line
  kUnzipMsgLineEnd = 0x40,    // end with a line end
  kUnzipMsgSuppress = 0x100,
  kUnzipMsgSuppress2 = 0x1000,
};

// Message types of the message function.
enum : int { kUnzipMsgSound = 1, kUnzipMsgData = 2, kUnzipMsgProgress = 3 };

// Overwrite modes.
enum : int { kUnzipOverwriteAsk = 0, kUnzipOverwriteAlways = 1, kUnzipOverwriteNever = 2 };

// Classes of a path-mapping result (second byte of the code).
enum : int {
  kMapFine = 0,
  kMapWarning = 1,       // a name was cut
  kMapSkipQuietly = 2,   // missing folder in freshen mode, root may not be created
  kMapError = 3,         // cannot create, exists but is no folder
  kMapTooLong = 4,
  kMapOutside = 5,       // the path would leave the extraction folder: skip, warning
  kMapNoMemory = 10,
  kMapFolderCreated = 16,
  kMapVolumeLabel = 17,
};
inline int MapCode(int cls, int code) { return (cls << 8) | code; }
inline int MapClass(int result) { return result >> 8; }

// Operations of the output-path builder.
enum : int {
  kPathSetRoot = 0,
  kPathStart = 1,
  kPathAddFolder = 2,
  kPathAddName = 3,
  kPathCopyOut = 4,
  kPathReleaseRoot = 5,
};

struct UnzipEndRecord {
  std::uint16_t diskNumber = 0;
  std::uint16_t centralDisk = 0;
  std::uint16_t entriesThisDisk = 0;
  std::uint16_t totalEntries = 0;
  std::uint32_t centralSize = 0;
  std::uint32_t centralOffset = 0;
  std::uint16_t commentLength = 0;
  std::int64_t position = 0;  // file offset of the record
};

struct UnzipCentralHeader {
  std::uint8_t versionMadeBy = 0, hostSystem = 0;
  std::uint8_t versionNeeded = 0, versionNeededHost = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t dosDateTime = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t nameLength = 0, extraLength = 0, commentLength = 0;
  std::uint16_t diskStart = 0;
  std::uint16_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;
  std::uint32_t localOffset = 0;
};

struct UnzipLocalHeader {
  std::uint8_t versionNeeded = 0, versionNeededHost = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t dosDateTime = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t nameLength = 0, extraLength = 0;
};

// One entry gathered from the central directory.
struct UnzipEntry {
  std::uint32_t localOffset = 0;
  std::uint8_t hostVersion = 0, hostSystem = 0;
  std::uint8_t versionNeeded = 0, versionNeededHost = 0;
  std::uint16_t flags = 0;
  bool encrypted = false;
  bool dataDescriptor = false;
  bool text = false;
  bool convertLineEnds = false;
  bool volumeLabel = false;
  bool unixAttributes = false;
  std::uint32_t dosAttributes = 0;
  std::uint32_t externalAttributes = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t method = 0;
  std::uint32_t dosDateTime = 0;
  std::string name;      // as converted for this host
  std::string rawName;   // as stored, for the comparison with the local header
  bool nameCut = false;  // the stored name was longer than we keep
  std::uint64_t number = 0;  // 1-based index in the central directory
};

struct UnzipDeferredFolder {
  std::string path;
  std::vector<std::uint8_t> security;  // the stored NT security record's data
  std::uint32_t attributes = 0;
  ZipFileTimes times;
};

struct UnzipContext;
using UnzipOutputFn = int (*)(UnzipContext*, const char* text, std::size_t len, int flags);
using UnzipMessageFn = int (*)(UnzipContext*, int type, const char* name, std::uint32_t size);
using UnzipPasswordFn = int (*)(UnzipContext*, char* buffer, int size, const char* prompt, const char* name);
using UnzipInputFn = int (*)(UnzipContext*, char* buffer, int size);

struct UnzipContext {
  // Options of the run.
  int quiet = 0;
  int overwriteMode = kUnzipOverwriteAsk;
  bool dropPaths = false;
  bool allowDotDot = false;
  bool update = false;
  bool freshen = false;
  bool toConsole = false;
  bool testOnly = false;
  bool listMode = false;
  int commentOnly = 0;
  bool blanksToUnderscore = false;
  int textConversion = 0;
  bool detailListing = false;
  int detailStyle = 0;
  bool ignoreCase = false;
  int restoreSecurity = 0;
  bool extractKind = false;
  bool haveExtractFolder = false;
  std::string extractFolder;
  std::string zipFileName;
  std::vector<std::string> includes, excludes;
  bool processAll = false;

  UnzipCallbacks* callbacks = nullptr;
  ZipFileSystem* fs = nullptr;
  std::string baseDirectory;  // absolute current directory when the run began

  // Installed functions.
  UnzipOutputFn output = nullptr;
  UnzipMessageFn message = nullptr;
  UnzipPasswordFn passwordFn = nullptr;
  UnzipInputFn input = nullptr;

  // The archive.
  std::string archiveName;
  std::unique_ptr<ZipFile> archive;
  std::int64_t archiveSize = 0;
  std::int64_t extraBytes = 0;  // bytes in front of the archive
  bool noEndRecordFlag = false;
  // The folder scan of a wildcard archive name.
  std::unique_ptr<ZipDirScan> wildScan;
  std::string wildFolder, wildPattern;
  // Input buffer: bufferStart is the file offset of input[0].
  std::unique_ptr<std::uint8_t[]> input_;
  std::int64_t bufferStart = 0;
  std::size_t bufferLength = 0;
  std::size_t bufferPos = 0;
  std::unique_ptr<char[]> commentBuffer;

  UnzipEndRecord endRecord;
  UnzipCentralHeader central;
  UnzipLocalHeader local;
  std::vector<UnzipEntry> batch;
  UnzipEntry* entry = nullptr;  // the entry being processed
  std::vector<std::uint8_t> extraField;  // of the current header
  bool backslashWarned = false;
  bool reCompensated = false;

  // Entry data input.
  std::uint64_t compressedLeft = 0;
  const std::uint8_t* byteNext = nullptr;
  const std::uint8_t* byteEnd = nullptr;
  bool decrypting = false;

  // Output.
  std::unique_ptr<ZipFile> outFile;
  std::string fileName;       // the mapped output path
  std::uint32_t crc = 0;
  std::uint64_t bytesOut = 0;     // bytes of decoded data handed on for this entry
  std::uint64_t bytesWritten = 0; // bytes written to the file (after conversion)
  bool diskFull = false;
  bool lastWasCr = false;
  int recordFormat = 0;      // VMS record format: variable-length records when 2 or 3
  int recordState = 0;       // 0 length low byte, 1 length high byte, 2 data, 3 pad byte
  std::uint32_t recordLeft = 0;
  bool recordPad = false;
  // Implode: compressed bytes used, and whether they ran out before the output was done.
  std::uint64_t implodeUsed = 0;
  bool implodeShort = false;
  std::unique_ptr<std::uint8_t[]> window;  // the 64 KiB decoding window
  std::unique_ptr<std::uint8_t[]> textBuffer;  // converted text before it is written
  std::size_t textFill = 0;
  char messageBuffer[4096] = {};
  std::set<std::string> pathsWritten;  // output paths of this run, to catch merged cut names
  std::set<std::string> cutPathsWritten;

  // Traditional decryption.
  std::uint32_t keys[3] = {};
  std::string password;
  bool havePassword = false;
  bool noMorePasswords = false;

  // Output-path builder.
  std::string root;       // ends in '/', or empty
  std::string rootFull;   // the root as the file system resolves it
  std::string mapName;    // the stored name after the absolute-path and separator fixes
  std::string buildPath;
  bool folderCreated = false;
  bool pathCut = false;
  bool hostName = false;  // the replace callback supplied the name
  std::string volumeKey;  // the drive whose facts are cached
  ZipVolumeInfo volume;

  std::vector<UnzipDeferredFolder> deferredFolders;

  // Counters of the walk.
  std::uint64_t filesProcessed = 0;
  std::uint64_t skippedUnsupported = 0;
  std::uint64_t skippedPassword = 0;
  std::uint64_t passwordFailures = 0;
  std::uint64_t entriesSelected = 0;
  std::uint64_t entriesBatched = 0;  // selected and supported
  bool fatal = false;  // a read error deep inside: the run ends with 3
  bool stopped = false;
};

// Messages (UnzipExtract.cpp).
void UnzipInfo(UnzipContext* c, int flags, const char* format, ...) UNZIP_PRINTF(3, 4);
void UnzipPrintText(UnzipContext* c, const char* text, std::size_t len);
int UnzipMessageOutput(UnzipContext* c, const char* text, std::size_t len, int flags);
int UnzipPrintOutput(UnzipContext* c, const char* text, std::size_t len, int flags);
int UnzipHandleMessage(UnzipContext* c, int type, const char* name, std::uint32_t size);
int UnzipNoInput(UnzipContext* c, char* buffer, int size);
int UnzipWriteStream(UnzipContext* c, ZipFile* stream, const std::uint8_t* data, std::size_t len);
// The path to hand to the file system: relative paths are taken from the folder that was
// current when the run began, so a change of the process's folder meanwhile does not
// move the run.
std::string UnzipFsPath(const UnzipContext* c, const std::string& path);
extern const char kUnzipEngineName[];
extern const char kUnzipBinaryHint[];

// Archive processing (UnzipArchive.cpp).
int UnzipRunAllArchives(UnzipContext* c);
int UnzipProcessArchive(UnzipContext* c, bool lastTry);
int UnzipFindEndRecord(UnzipContext* c, std::int64_t searchLimit);
int UnzipReadCentralHeader(UnzipContext* c);
int UnzipReadLocalHeader(UnzipContext* c);
enum { kFieldSkip, kFieldComment, kFieldCentralName, kFieldLocalName, kFieldExtra };
int UnzipReadVariableField(UnzipContext* c, std::size_t length, int action, std::string* name);
long UnzipReadArchive(UnzipContext* c, std::uint8_t* buffer, std::size_t count);
int UnzipPositionInput(UnzipContext* c, std::int64_t offset);
std::size_t UnzipReadInput(UnzipContext* c, std::uint8_t* dest, std::size_t count);
int UnzipFetchEntryByte(UnzipContext* c);
long UnzipNextEntryChunk(UnzipContext* c, const std::uint8_t** data);
int UnzipExtractMatchingEntries(UnzipContext* c);
// The central-directory walk shared by extraction and listing.
int UnzipNextCentralSignature(UnzipContext* c, std::uint64_t numberRead, bool* endNote);
int UnzipReadCentralEntry(UnzipContext* c, std::uint64_t number, UnzipEntry* e, std::string* comment);
bool UnzipSelectEntry(UnzipContext* c, const std::string& name, std::vector<bool>* includeMatched,
                      std::vector<bool>* excludeMatched);
// The note (and warning) for a directory not followed by the end record.
void UnzipReportEndNote(UnzipContext* c, bool needed, int* worst);
void UnzipReportUnmatched(UnzipContext* c, const std::vector<bool>& includeMatched,
                          const std::vector<bool>& excludeMatched, int* worst);
int UnzipExtractEntryBatch(UnzipContext* c, std::size_t count, bool* stop);
bool UnzipNextMatchingArchive(UnzipContext* c, const char* wildcardName, std::string* next);
bool UnzipTakeCentralEntry(UnzipContext* c, std::uint64_t number, UnzipEntry* e);
void UnzipConvertName(const UnzipContext* c, std::string* name, std::uint8_t hostSystem,
                      std::uint8_t hostVersion, bool unixAttributes, bool fromLocal);

// Extracting entries (UnzipEntry.cpp).
bool UnzipCheckEntrySupported(UnzipContext* c, UnzipEntry* e);
int UnzipMapEntryName(UnzipContext* c);
int UnzipStoredNameToPath(UnzipContext* c, bool hostName);
int UnzipBuildOutputPath(UnzipContext* c, const char* text, int operation);
int UnzipTargetAtLeastAsNew(UnzipContext* c, const std::string& path);
int UnzipCreateTargetFile(UnzipContext* c);
int UnzipExtractEntry(UnzipContext* c);
int UnzipFlushOutput(UnzipContext* c, const std::uint8_t* data, std::size_t len, bool final);
void UnzipFinishTargetFile(UnzipContext* c);
void UnzipRecordDirectory(UnzipContext* c, const std::string& path);
int UnzipRestoreDirectoryInfo(UnzipContext* c);
int UnzipStatFile(UnzipContext* c, const std::string& path, ZipFileStat* st);
ZipFileTimes UnzipEntryTimesAsFileTimes(UnzipContext* c, const std::uint8_t* extra, std::size_t len);
void UnzipExamineVolume(UnzipContext* c, const std::string& path);
std::string UnzipShortenToEightThree(const std::string& component);
std::uint32_t UnzipTakeDosAttributes(const UnzipEntry& e);
std::int64_t UnzipDosToUnixTime(std::uint32_t dosDateTime);
// Extracts the current entry after its local header: name mapping, overwrite decision,
// extraction. Returns the entry's code.
int UnzipProcessEntry(UnzipContext* c);

// Decoders and decryption (UnzipDecode.cpp).
int UnzipInflateEntry(UnzipContext* c, bool deflate64);
int UnzipExpandImploded(UnzipContext* c);
int UnzipExpandShrunk(UnzipContext* c);
int UnzipDecodeBufferedBlock(UnzipContext* c, std::uint8_t* target, std::size_t targetSize,
                             const std::uint8_t* block, std::size_t blockSize, std::uint16_t method,
                             std::uint32_t crc);
int UnzipCheckEncryptionHeader(UnzipContext* c, const char* password);
int UnzipTryPassword(UnzipContext* c, const std::uint8_t* header, const char* password);
int UnzipAskPassword(UnzipContext* c, char* buffer, int size, const char* prompt, const char* name);
std::uint8_t UnzipCipherStreamByte(const UnzipContext* c);
void UnzipCipherAdvance(UnzipContext* c, std::uint8_t plain);
void UnzipInitKeys(UnzipContext* c, const char* password);

// Listing, matching and stored metadata (UnzipList.cpp).
int UnzipListPlain(UnzipContext* c);
int UnzipListInfoMode(UnzipContext* c);
int UnzipShowComment(UnzipContext* c, std::size_t length);
std::string UnzipPrintableName(const char* name);
bool UnzipMatchName(const char* name, const char* pattern, bool ignoreCase);
bool UnzipMatchWildcard(const char* pattern, const char* name, bool ignoreCase);
bool UnzipSpecHasPatternChars(const char* text);
int UnzipRatioPerMille(std::uint32_t uncompressed, std::uint32_t compressed);
const char* UnzipMethodName(std::uint16_t method, std::uint16_t flags, char* buffer);

struct UnzipExtraTimes {
  std::int64_t modification = 0, access = 0, creation = 0;
};
struct UnzipExtraIds {
  std::uint32_t uid = 0, gid = 0;
};
enum : int { kTimeMod = 1, kTimeAccess = 2, kTimeCreation = 4, kTimeIds = 0x100 };
int UnzipParseExtraTimes(const std::uint8_t* extra, std::size_t len, bool central, std::uint32_t dosDateTime,
                         UnzipExtraTimes* times, UnzipExtraIds* ids);
int UnzipCheckPkwareExtraField(UnzipContext* c, const std::uint8_t* extra, std::size_t len);
bool UnzipLocateSecurityRecord(const std::uint8_t* extra, std::size_t len, const std::uint8_t** data,
                               std::size_t* size);
int UnzipApplySecurityExtra(UnzipContext* c, const std::string& path, bool isDirectory,
                            const std::uint8_t* block, std::size_t size, long* appliedBytes);
bool UnzipDescriptorIsSound(const std::uint8_t* descriptor, std::size_t len);
int UnzipVerifyExtraBlocks(UnzipContext* c, const std::uint8_t* extra, std::size_t len);

// Little-endian readers.
inline std::uint16_t UnzipGet16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t UnzipGet32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
