#include "filetransfer/FileTransferMessages.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "rdr/ByteOrder.h"
#include "zip/ZipFileSystem.h"

namespace ft {

namespace {

std::uint32_t LoadLE32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}
void StoreLE32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t LoadLE64(const std::uint8_t* p) { return LoadLE32(p) | (std::uint64_t(LoadLE32(p + 4)) << 32); }
void StoreLE64(std::uint8_t* p, std::uint64_t v) {
  StoreLE32(p, static_cast<std::uint32_t>(v));
  StoreLE32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// Offsets in a find-data record.
constexpr std::size_t kFdAttributes = 0, kFdCreation = 4, kFdAccess = 12, kFdWrite = 20, kFdSizeHigh = 28,
                      kFdSizeLow = 32, kFdName = 44, kFdShortName = 304;
constexpr std::size_t kFdNameBytes = 260, kFdShortNameBytes = 14;

std::string TerminatedText(const std::uint8_t* p, std::size_t capacity) {
  std::size_t n = 0;
  while (n + 1 < capacity && p[n]) n++;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian), and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
void CivilFromDays(std::int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2));
}

constexpr std::int64_t kFileTimeTo1970 = 11644473600LL;  // seconds from 1601 to 1970

}  // namespace

void FileTransferMsgHeader::Encode(std::uint8_t out[kWireSize]) const {
  out[0] = type;
  out[1] = contentType;
  out[2] = static_cast<std::uint8_t>(contentParam);
  out[3] = static_cast<std::uint8_t>(contentParam >> 8);
  for (int i = 0; i < 4; i++) {
    out[4 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    out[8 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
  }
}

FileTransferMsgHeader FileTransferMsgHeader::Decode(const std::uint8_t in[kWireSize]) {
  FileTransferMsgHeader h;
  h.type = in[0];
  h.contentType = in[1];
  h.contentParam = static_cast<std::uint16_t>(in[2] | (in[3] << 8));
  h.size = rdr::LoadU32BE(in + 4);
  h.length = rdr::LoadU32BE(in + 8);
  return h;
}

std::vector<std::uint8_t> BuildMessage(std::uint8_t contentType, std::uint16_t param, std::uint32_t size,
                                       const void* body, std::size_t length) {
  FileTransferMsgHeader h;
  h.contentType = contentType;
  h.contentParam = param;
  h.size = size;
  h.length = static_cast<std::uint32_t>(length);
  std::vector<std::uint8_t> out(FileTransferMsgHeader::kWireSize + length);
  h.Encode(out.data());
  if (length) std::memcpy(out.data() + FileTransferMsgHeader::kWireSize, body, length);
  return out;
}

std::uint64_t IncomingBodyLength(const FileTransferMsgHeader& h, int protocolVersion) {
  switch (h.contentType) {
    case kDirPacket:
    case kEndOfFile:
    case kAbortFileTransfer:
    case kFileAcceptHeader:
    case kCommandReturn:
    case kFileChecksums:
    case kFileTransferAccess:
    case kFileTransferProtocolVersion: return h.length;
    case kFileHeader: return std::uint64_t(h.length) + (protocolVersion == 1 ? 0 : 4);
    case kFilePacket: return h.size == kPacketUnchanged ? 0 : h.length;
    default: return 0;  // types a server does not send: their header is all there is
  }
}

bool ParseFindData(const std::uint8_t* body, std::size_t len, RemoteEntry* entry) {
  if (len > kMaxDirEntryBody) return false;
  std::uint8_t rec[kMaxDirEntryBody] = {};
  if (len) std::memcpy(rec, body, len);
  RemoteEntry e;
  e.attributes = LoadLE32(rec + kFdAttributes);
  e.creationTime = LoadLE64(rec + kFdCreation);
  e.accessTime = LoadLE64(rec + kFdAccess);
  e.writeTime = LoadLE64(rec + kFdWrite);
  e.size = (std::uint64_t(LoadLE32(rec + kFdSizeHigh)) << 32) | LoadLE32(rec + kFdSizeLow);
  e.name = TerminatedText(rec + kFdName, kFdNameBytes);
  e.shortName = TerminatedText(rec + kFdShortName, kFdShortNameBytes);
  *entry = std::move(e);
  return true;
}

std::vector<std::uint8_t> EncodeFindData(const RemoteEntry& e) {
  std::vector<std::uint8_t> rec(kFindDataSize, 0);
  StoreLE32(&rec[kFdAttributes], e.attributes);
  StoreLE64(&rec[kFdCreation], e.creationTime);
  StoreLE64(&rec[kFdAccess], e.accessTime);
  StoreLE64(&rec[kFdWrite], e.writeTime);
  StoreLE32(&rec[kFdSizeHigh], static_cast<std::uint32_t>(e.size >> 32));
  StoreLE32(&rec[kFdSizeLow], static_cast<std::uint32_t>(e.size));
  std::memcpy(&rec[kFdName], e.name.data(), std::min(e.name.size(), kFdNameBytes - 1));
  std::memcpy(&rec[kFdShortName], e.shortName.data(), std::min(e.shortName.size(), kFdShortNameBytes - 1));
  return rec;
}

std::vector<RemoteDrive> ParseDriveList(const std::uint8_t* body, std::size_t len) {
  std::vector<RemoteDrive> out;
  for (std::size_t i = 0; i + 4 <= len; i += 4) {
    const unsigned char letter = body[i];
    if (!std::isalpha(letter) || letter > 0x7F || body[i + 1] != ':') continue;
    RemoteDrive d;
    d.drive = std::string(1, static_cast<char>(letter)) + ":";
    d.type = static_cast<char>(body[i + 2]);
    out.push_back(d);
  }
  return out;
}

std::string FormatSizeText(std::uint64_t bytes) {
  char buf[64];
  static const struct {
    std::uint64_t unit;
    const char* name;
  } units[] = {{1ull << 30, "Gb"}, {1ull << 20, "Mb"}, {1ull << 10, "Kb"}};
  for (const auto& u : units) {
    if (bytes > u.unit) {
      const std::uint64_t whole = bytes / u.unit, hundredths = (bytes % u.unit) * 100 / u.unit;
      std::snprintf(buf, sizeof buf, "%llu.%2.2llu %s", static_cast<unsigned long long>(whole),
                    static_cast<unsigned long long>(hundredths), u.name);
      return buf;
    }
  }
  std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  return buf;
}

long long SizeTextToBytes(const std::string& text) {
  long long whole = 0, hundredths = 0;
  char unit[8] = {};
  if (std::sscanf(text.c_str(), "%lld.%lld %7s", &whole, &hundredths, unit) == 3) {
    long long scale = std::strcmp(unit, "Kb") == 0   ? 1LL << 10
                      : std::strcmp(unit, "Mb") == 0 ? 1LL << 20
                      : std::strcmp(unit, "Gb") == 0 ? 1LL << 30
                                                     : 0;
    if (!scale || whole < 0 || hundredths < 0 || hundredths > 99 || whole > (1LL << 32)) return -1;
    return whole * scale + hundredths * scale / 100;
  }
  if (std::sscanf(text.c_str(), "%lld %7s", &whole, unit) == 2 && std::strcmp(unit, "bytes") == 0 && whole >= 0)
    return whole;
  return -1;
}

std::string FormatDateText(const DateFields& d) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%2.2d/%2.2d/%4.4d %2.2d:%2.2d", d.month, d.day, d.year, d.hour, d.minute);
  return buf;
}

bool ParseDateText(const std::string& text, DateFields* d) {
  DateFields f;
  int used = 0;
  if (std::sscanf(text.c_str(), "%2d/%2d/%4d %2d:%2d%n", &f.month, &f.day, &f.year, &f.hour, &f.minute, &used) != 5)
    return false;
  if (static_cast<std::size_t>(used) != text.size()) return false;
  if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31 || f.year < 1601 || f.year > 9999 || f.hour < 0 ||
      f.hour > 23 || f.minute < 0 || f.minute > 59)
    return false;
  *d = f;
  return true;
}

std::int64_t DateFieldsToSeconds(const DateFields& d) {
  return DaysFromCivil(d.year, static_cast<unsigned>(d.month), static_cast<unsigned>(d.day)) * 86400 +
         d.hour * 3600 + d.minute * 60;
}

DateFields SecondsToDateFields(std::int64_t seconds) {
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days--;
  }
  DateFields f;
  CivilFromDays(days, &f.year, &f.month, &f.day);
  f.hour = static_cast<int>(rest / 3600);
  f.minute = static_cast<int>(rest % 3600 / 60);
  return f;
}

DateFields FileTimeToDateFields(std::uint64_t fileTime) {
  return SecondsToDateFields(static_cast<std::int64_t>(fileTime / 10000000ull) - kFileTimeTo1970);
}

std::uint64_t ProgressPosition(std::uint64_t done, std::uint64_t total, std::uint32_t blockSize) {
  if (!blockSize) return 0;
  std::uint64_t blocks = total / blockSize;
  if (!blocks) blocks = 1;
  return std::uint64_t(blockSize) * (done / blockSize) / blocks;
}

int ProgressPercent(std::uint64_t done, std::uint64_t total, std::uint32_t blockSize) {
  if (!blockSize) return 0;
  std::uint64_t blocks = total / blockSize;
  if (!blocks) blocks = 1;
  return static_cast<int>((done / blockSize) * 100 / blocks);
}

std::uint32_t BlockChecksum(const std::uint8_t* data, std::size_t len) {
  uLong a = adler32(0L, Z_NULL, 0);
  while (len > 0) {
    const uInt step = len > 0x40000000 ? 0x40000000u : static_cast<uInt>(len);
    a = adler32(a, data, step);
    data += step;
    len -= step;
  }
  return static_cast<std::uint32_t>(a);
}

bool ComputeBlockChecksums(ZipFile& file, std::uint32_t blockSize, std::vector<std::uint8_t>* out) {
  std::vector<std::uint8_t> block(blockSize);
  out->clear();
  for (;;) {
    std::size_t got = 0;
    while (got < blockSize) {
      const long n = file.Read(block.data() + got, blockSize - got);
      if (n < 0) return false;
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got == 0) return true;
    std::uint8_t le[4];
    StoreLE32(le, BlockChecksum(block.data(), got));
    out->insert(out->end(), le, le + 4);
    if (got < blockSize) return true;
  }
}

bool ChecksumAt(const std::vector<std::uint8_t>& list, std::size_t pos, std::uint32_t* value) {
  if (pos > list.size() || list.size() - pos < 4) return false;
  *value = LoadLE32(&list[pos]);
  return true;
}

long CompressBlock(const std::uint8_t* in, std::size_t len, std::uint8_t* out, std::size_t capacity) {
  uLongf n = static_cast<uLongf>(capacity);
  if (compress(out, &n, in, static_cast<uLong>(len)) != Z_OK) return -1;
  return static_cast<long>(n);
}

long UncompressBlock(const std::uint8_t* in, std::size_t len, std::uint8_t* out, std::size_t capacity) {
  uLongf n = static_cast<uLongf>(capacity);
  if (uncompress(out, &n, in, static_cast<uLong>(len)) != Z_OK) return -1;
  return static_cast<long>(n);
}

// ---- Names ----

std::string StripTransferTag(const std::string& name) {
  std::string out = name;
  const std::size_t at = out.find(kPartialMarker);
  if (at != std::string::npos) out.erase(at, kMarkerLength);
  return out;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i++)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && EqualNoCase(s.substr(s.size() - n), suffix);
}

bool IsBracketed(const std::string& listText) {
  return listText.size() >= 4 && StartsWith(listText, "[ ") && listText.compare(listText.size() - 2, 2, " ]") == 0;
}

std::string Bracketed(const std::string& name) { return "[ " + name + " ]"; }

std::string Unbracketed(const std::string& listText) {
  return IsBracketed(listText) ? listText.substr(2, listText.size() - 4) : listText;
}

void SplitModTime(const std::string& received, std::string* name, std::string* modTime) {
  const std::size_t comma = received.rfind(',');
  DateFields d;
  if (comma != std::string::npos && ParseDateText(received.substr(comma + 1), &d)) {
    *name = received.substr(0, comma);
    *modTime = received.substr(comma, kMaxModTimeText);
  } else {
    *name = received;
    modTime->clear();
  }
}

std::string RemoteLeafName(const std::string& remotePath) {
  const std::size_t slash = remotePath.rfind('\\');
  if (slash == std::string::npos) return std::string();
  return remotePath.substr(slash + 1);
}

bool IsSafeLocalName(const std::string& name) {
  if (name.empty() || name.size() >= kMaxPath) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c)) return false;
  if (name == "." || name == "..") return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  return !ZipFileSystem::IsWindowsDeviceName(name.c_str());
}

std::size_t LastLocalSeparator(const std::string& path) { return path.find_last_of("\\/"); }

std::string FolderNameOfArchive(const std::string& archiveName) {
  const std::size_t dash = archiveName.find('-');
  std::string rest = dash == std::string::npos ? archiveName : archiveName.substr(dash + 1);
  const std::size_t dot = rest.rfind('.');
  if (dot != std::string::npos) rest.erase(dot);
  return rest;
}

std::string ParentFolder(const std::string& folder) {
  std::string f = folder;
  if (!f.empty() && (f.back() == '\\' || f.back() == '/')) f.pop_back();
  const std::size_t slash = f.find_last_of("\\/");
  if (slash == std::string::npos) return std::string();
  return f.substr(0, slash + 1);
}

}  // namespace ft
