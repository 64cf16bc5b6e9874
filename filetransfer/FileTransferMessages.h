// The file-transfer messages (RFB message type 7 in both directions) and the small pieces
// of text and arithmetic around them: the 12-byte header, the bodies the server sends
// (directory entries, drive lists), size and date texts, progress, block checksums and
// block compression, the file-name markers and the checks that keep a name the server
// chose inside the folder the user chose. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ZipFile;

namespace ft {

// Content types. V: the viewer sends it; S: the server sends it.
enum ContentType : std::uint8_t {
  kDirContentRequest = 1,    // V: param 1 list a folder, 2 list the drives
  kDirPacket = 2,            // S: param 1/2 a listing step, 3 the drive list, else the end
  kFileTransferRequest = 3,  // V: download a file (size 1: compression wanted)
  kFileHeader = 4,           // S: the file to come; V: the answer (size, or -1 refused)
  kFilePacket = 5,           // V/S: size 0 raw, 1 zlib, 2 block unchanged (no body)
  kEndOfFile = 6,            // V/S
  kAbortFileTransfer = 7,    // V: param 3; S: a failed download, or an old server
  kFileTransferOffer = 8,    // V: an upload
  kFileAcceptHeader = 9,     // S: the upload accepted (size -1 refused)
  kCommand = 10,             // V: param 1 create folder, 4 delete, 5 rename
  kCommandReturn = 11,       // S: param 4 created, 7 deleted, 8 renamed (size -1 failed)
  kFileChecksums = 12,       // V/S: adler32 per block, little-endian
  kFileTransferAccess = 14,  // S: size -1 refused
  kFileTransferSessionStart = 15,  // V: protocol version 3
  kFileTransferSessionEnd = 16,    // V: protocol version 3
  kFileTransferProtocolVersion = 17,  // S: param the version (1..3)
};

enum : std::uint16_t {
  kParamListFolder = 1,
  kParamListFolderMore = 2,
  kParamListDrives = 2,  // in a directory request
  kParamDriveList = 3,   // in a directory packet
  kParamAbort = 3,
  kParamCreateFolder = 1,
  kParamDelete = 4,
  kParamRename = 5,
  kParamFolderCreated = 4,
  kParamDeleted = 7,
  kParamRenamed = 8,
};

enum : std::uint32_t {
  kSizeFailed = 0xFFFFFFFF,  // -1: refused, failed, not accessible
  kPacketRaw = 0,
  kPacketCompressed = 1,
  kPacketUnchanged = 2,
};

constexpr std::uint8_t kMessageType = 7;
constexpr std::uint32_t kBlockSize = 8192;
constexpr std::uint32_t kBlockSizeVersion1 = 4096;
// Room the chunk and compression buffers are asked for beyond one block.
constexpr std::uint32_t kBlockSlack = 1024;

// Bodies the viewer keeps, and the longest of each it takes.
constexpr std::size_t kMaxDirPathBody = 259;
constexpr std::size_t kMaxDirEntryBody = 323;
constexpr std::size_t kMaxDriveListBody = 255;
constexpr std::size_t kMaxRenameReplyBody = 520;
constexpr std::size_t kMaxPath = 260;         // characters of a name or path kept
constexpr std::size_t kMaxModTimeText = 17;  // "," and "MM/DD/YYYY HH:MM"
constexpr std::size_t kFindDataSize = 320;
constexpr std::size_t kMaxCommandPath = 248;  // paths of commands and new folders

// The 12-byte header of every file-transfer message. contentParam travels least
// significant byte first; size and length big-endian.
struct FileTransferMsgHeader {
  static constexpr std::size_t kWireSize = 12;
  std::uint8_t type = kMessageType;
  std::uint8_t contentType = 0;
  std::uint16_t contentParam = 0;
  std::uint32_t size = 0;
  std::uint32_t length = 0;

  void Encode(std::uint8_t out[kWireSize]) const;
  static FileTransferMsgHeader Decode(const std::uint8_t in[kWireSize]);
  bool SizeFailed() const { return size == kSizeFailed; }
};

// A header and its body as one message.
std::vector<std::uint8_t> BuildMessage(std::uint8_t contentType, std::uint16_t param, std::uint32_t size,
                                       const void* body, std::size_t length);

// How many body bytes follow a header from the server, as the stream is framed. Content
// types that a server never sends carry no body the viewer reads; a file header carries
// the 4-byte high part of its size beyond its length except in protocol version 1.
std::uint64_t IncomingBodyLength(const FileTransferMsgHeader& h, int protocolVersion);

// One entry of a remote listing: a Windows find-data record (320 bytes, little-endian).
struct RemoteEntry {
  std::uint32_t attributes = 0;
  std::uint64_t creationTime = 0, accessTime = 0, writeTime = 0;  // FILETIME, 100 ns since 1601
  std::uint64_t size = 0;
  std::string name;       // at most 259 characters, up to its terminator
  std::string shortName;  // at most 13
  bool IsDirectory() const { return (attributes & 0x10) != 0; }
};
// False (entry untouched) for a body longer than kMaxDirEntryBody; a shorter body counts
// as the record with its missing bytes zero. A name with no terminator within its 260
// bytes is cut at 259.
bool ParseFindData(const std::uint8_t* body, std::size_t len, RemoteEntry* entry);
// The record as a server writes it (tests and the fuzzer build bodies with it).
std::vector<std::uint8_t> EncodeFindData(const RemoteEntry& e);

// The server's drive list: 4 bytes per drive (letter, ':', type letter, ignored byte).
// Entries whose first two bytes are not a letter and a colon are left out.
struct RemoteDrive {
  std::string drive;  // "C:"
  char type = 0;      // 'c' CD-ROM, 'f' removable, 'l' local, 'n' network, else unknown
};
std::vector<RemoteDrive> ParseDriveList(const std::uint8_t* body, std::size_t len);

// "%u bytes" up to 1024 bytes, then "%u.%2.2lu Kb" / "Mb" / "Gb" with the hundredths of
// the unit cut.
std::string FormatSizeText(std::uint64_t bytes);
// The byte count a size text stands for (for sorting): -1 when it is not a size text.
long long SizeTextToBytes(const std::string& text);

// "%2.2d/%2.2d/%4.4d %2.2d:%2.2d": month, day, year, hour, minute.
struct DateFields {
  int month = 0, day = 0, year = 0, hour = 0, minute = 0;
};
std::string FormatDateText(const DateFields& d);
// Reads "%2d/%2d/%4d %2d:%2d" with every field in its calendar range; false otherwise.
bool ParseDateText(const std::string& text, DateFields* d);
// Seconds since 1970 for those fields read as UTC (the file-time numbers themselves, no
// time-zone conversion).
std::int64_t DateFieldsToSeconds(const DateFields& d);
// Fields of a FILETIME value (100 ns since 1601), read without time-zone conversion.
DateFields FileTimeToDateFields(std::uint64_t fileTime);
DateFields SecondsToDateFields(std::int64_t seconds);

// Progress bar position (0 .. block size) and percentage for done of total bytes.
std::uint64_t ProgressPosition(std::uint64_t done, std::uint64_t total, std::uint32_t blockSize);
int ProgressPercent(std::uint64_t done, std::uint64_t total, std::uint32_t blockSize);

// adler32 of data (initial value adler32 of nothing).
std::uint32_t BlockChecksum(const std::uint8_t* data, std::size_t len);
// The checksums of each block of a file from its start, 4 bytes little-endian each.
// False when a read fails.
bool ComputeBlockChecksums(ZipFile& file, std::uint32_t blockSize, std::vector<std::uint8_t>* out);
// The checksum at byte offset pos of a list, read little-endian; false when it does not
// lie wholly within the list.
bool ChecksumAt(const std::vector<std::uint8_t>& list, std::size_t pos, std::uint32_t* value);

// zlib compress / uncompress into a buffer of capacity bytes; the length produced, or -1.
long CompressBlock(const std::uint8_t* in, std::size_t len, std::uint8_t* out, std::size_t capacity);
long UncompressBlock(const std::uint8_t* in, std::size_t len, std::uint8_t* out, std::size_t capacity);

// ---- Names ----

constexpr char kFolderMarker[] = "!ZELKDIR-";   // a folder packed into a ZIP archive
constexpr char kPartialMarker[] = "!ZELKPFT-";  // a download in progress
constexpr std::size_t kMarkerLength = 9;

// A copy of the name without its first "!ZELKPFT-".
std::string StripTransferTag(const std::string& name);
bool StartsWith(const std::string& s, const char* prefix);
bool EndsWithNoCase(const std::string& s, const char* suffix);
bool EqualNoCase(const std::string& a, const std::string& b);

// A list entry that stands for a folder: "[ " + name + " ]".
bool IsBracketed(const std::string& listText);
std::string Bracketed(const std::string& name);
std::string Unbracketed(const std::string& listText);

// A file header's name "path,MM/DD/YYYY HH:MM": splits off the modification time (the
// suffix from the last ",", kept when it reads as a date; a comma that is part of the
// name stays in it).
void SplitModTime(const std::string& received, std::string* name, std::string* modTime);

// The last component of a remote (backslash-separated) path; "" when there is none.
std::string RemoteLeafName(const std::string& remotePath);

// Whether a name coming from the server may become a file or folder name in a local
// folder: one non-empty component, no separators, drive or stream colon, wildcards,
// control characters, "." or "..", trailing dot or blank, or device name.
bool IsSafeLocalName(const std::string& name);

// The last separator ('\\' or '/') of a local path, or npos.
std::size_t LastLocalSeparator(const std::string& path);

// The folder name of a packed folder's archive name: after the first "-", without the
// part from the last "." on.
std::string FolderNameOfArchive(const std::string& archiveName);

// The parent of a folder path that ends in a backslash ("C:\\a\\b\\" -> "C:\\a\\");
// "" above a drive root.
std::string ParentFolder(const std::string& folder);

}  // namespace ft
