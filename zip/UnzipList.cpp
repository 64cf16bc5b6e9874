// Listing, name matching and stored file metadata (extra fields, NT security).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <new>

#include "zip/UnzipContext.h"
#include "zip/ZipCrc32.h"

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::size_t CharLength(const unsigned char* s) {
  if (*s < 0x80) return 1;
  std::mbstate_t state{};
  std::size_t n = std::mbrlen(reinterpret_cast<const char*>(s), MB_CUR_MAX, &state);
  if (n == 0 || n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) return 1;
  for (std::size_t i = 1; i < n; i++)
    if (s[i] == 0) return i;
  return n;
}

unsigned Fold(unsigned ch, bool ignoreCase) {
  if (!ignoreCase) return ch;
  if (ch >= 'A' && ch <= 'Z') return ch + 32;
  if (ch >= 192 && ch <= 222 && ch != 215) return ch + 32;
  return ch;
}

enum { kMatch, kNoMatch, kAbort };

int DoMatch(const unsigned char* p, const unsigned char* s, bool ic) {
  for (; *p; p++) {
    if (*s == 0 && *p != '*') return kAbort;
    switch (*p) {
      case '\\':
        // The next character stands for itself.
        if (p[1] == 0) return Fold(*s, ic) == '\\' && s[1] == 0 ? kMatch : kNoMatch;
        p++;
        if (Fold(*p, ic) != Fold(*s, ic)) return kNoMatch;
        s++;
        break;
      case '?':
        s += CharLength(s);
        break;
      case '*': {
        while (p[1] == '*') p++;
        if (p[1] == 0) return kMatch;
        for (; *s; s += CharLength(s)) {
          int r = DoMatch(p + 1, s, ic);
          if (r != kNoMatch) return r;
        }
        return kAbort;  // no later start can do better
      }
      case '[': {
        const unsigned char* q = p + 1;
        bool negate = *q == '!' || *q == '^';
        if (negate) q++;
        bool matched = false;
        unsigned ch = Fold(*s, ic);
        bool first = true;
        for (; *q && (*q != ']' || first); first = false) {
          unsigned lo = *q;
          if (lo == '\\' && q[1]) lo = *++q;
          q++;
          unsigned hi = lo;
          if (*q == '-' && q[1] && q[1] != ']') {
            q++;
            hi = *q;
            if (hi == '\\' && q[1]) hi = *++q;
            q++;
          }
          if (Fold(lo, ic) <= ch && ch <= Fold(hi, ic)) matched = true;
          if (lo <= *s && *s <= hi) matched = true;
        }
        if (*q != ']') return kNoMatch;  // an unterminated set matches nothing
        if (matched == negate) return kNoMatch;
        p = q;
        s++;
        break;
      }
      default:
        if (Fold(*p, ic) != Fold(*s, ic)) return kNoMatch;
        s++;
        break;
    }
  }
  return *s == 0 ? kMatch : kNoMatch;
}

std::uint32_t Get32Checked(const std::uint8_t* p, std::size_t avail, std::size_t off, bool* ok) {
  if (off + 4 > avail) {
    *ok = false;
    return 0;
  }
  return UnzipGet32(p + off);
}

// Calls f(tag, data, size) for each well-formed record; stops at one that overruns.
template <class F>
void ForEachExtra(const std::uint8_t* extra, std::size_t len, F f) {
  std::size_t pos = 0;
  while (extra != nullptr && len - pos >= 4) {
    std::uint16_t tag = UnzipGet16(extra + pos);
    std::uint16_t size = UnzipGet16(extra + pos + 2);
    if (size > len - pos - 4) break;
    if (!f(tag, extra + pos + 4, size)) break;
    pos += 4u + size;
  }
}

// A SID at off: revision 1, at most 15 sub-authorities, inside the descriptor.
bool SidIsSound(const std::uint8_t* d, std::size_t len, std::uint32_t off) {
  if (off < 20 || off > len || len - off < 8) return false;
  if (d[off] != 1 || d[off + 1] > 15) return false;
  return len - off >= 8u + 4u * d[off + 1];
}

bool AclIsSound(const std::uint8_t* d, std::size_t len, std::uint32_t off) {
  if (off < 20 || off > len || len - off < 8) return false;
  std::uint8_t revision = d[off];
  if (revision != 2 && revision != 4) return false;
  std::uint16_t size = UnzipGet16(d + off + 2);
  std::uint16_t count = UnzipGet16(d + off + 4);
  if (size < 8 || size > len - off) return false;
  std::size_t pos = 8;
  for (unsigned i = 0; i < count; i++) {
    if (size - pos < 4) return false;
    std::uint16_t aceSize = UnzipGet16(d + off + pos + 2);
    if (aceSize < 4 || aceSize > size - pos || (aceSize & 3)) return false;
    pos += aceSize;
  }
  return true;
}

void FormatTime(std::uint32_t dos, bool haveUnix, std::int64_t unixTime, int style, char* out, std::size_t size) {
  unsigned year, month, day, hour, minute, second;
  if (haveUnix) {
    std::time_t t = static_cast<std::time_t>(unixTime);
    std::tm* tm = std::localtime(&t);
    if (tm == nullptr) {
      std::snprintf(out, size, "???? ??? ?? ??:??:??");
      return;
    }
    year = static_cast<unsigned>(tm->tm_year + 1900);
    month = static_cast<unsigned>(tm->tm_mon + 1);
    day = static_cast<unsigned>(tm->tm_mday);
    hour = static_cast<unsigned>(tm->tm_hour);
    minute = static_cast<unsigned>(tm->tm_min);
    second = static_cast<unsigned>(tm->tm_sec);
  } else {
    year = ((dos >> 25) & 0x7F) + 1980;
    month = (dos >> 21) & 0x0F;
    day = (dos >> 16) & 0x1F;
    hour = (dos >> 11) & 0x1F;
    minute = (dos >> 5) & 0x3F;
    second = (dos & 0x1F) * 2;
  }
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
    std::snprintf(out, size, "???? ??? ?? ??:??:??");
    return;
  }
  if (style == 0)
    std::snprintf(out, size, "%2u-%s-%02u %02u:%02u", day, kMonths[month - 1], year % 100, hour, minute);
  else if (style == 1)
    std::snprintf(out, size, "%u %s %u %02u:%02u:%02u", year, kMonths[month - 1], day, hour, minute, second);
  else
    std::snprintf(out, size, "%04u%02u%02u.%02u%02u%02u", year, month, day, hour, minute, second);
}

const char* HostName(unsigned host) {
  static const char* const kHosts[] = {
      "MS-DOS, OS/2 or NT FAT", "Amiga",        "VMS",         "Unix",        "VM/CMS",     "Atari ST",
      "OS/2 or NT HPFS",        "Macintosh HFS", "Z-System",   "CP/M",        "TOPS-20",    "NTFS",
      "SMS/QDOS",               "Acorn RISC OS", "Win32 VFAT", "MVS",         "BeOS",       "Tandem NSK",
      "Theos",                  "Mac OS X",      "unknown",     "unknown",     "unknown",    "unknown",
      "unknown",                "unknown",       "unknown",     "unknown",     "unknown",    "unknown",
      "AtheOS",                 "unknown"};
  return kHosts[host & 31];
}

const char* ExtraLabel(std::uint16_t tag) {
  struct Label {
    std::uint16_t tag;
    const char* text;
  };
  static const Label kLabels[] = {
      {0x0001, "64-bit sizes"},           {0x0007, "AV Info"},
      {0x0009, "OS/2 extended attributes"}, {0x000a, "NTFS times"},
      {0x000c, "VMS record format"},      {0x000d, "PKWARE Unix"},
      {0x000f, "patch descriptor"},       {0x0014, "PKCS#7 store"},
      {0x0015, "X.509 file certificate"}, {0x0016, "X.509 central certificate"},
      {0x0017, "strong encryption"},      {0x0018, "record management controls"},
      {0x0019, "PKCS#7 recipients"},      {0x0065, "IBM S/390 attributes"},
      {0x0066, "IBM S/390 compressed attributes"}, {0x07c8, "Macintosh (old)"},
      {0x2605, "ZipIt Macintosh"},        {0x2705, "ZipIt Macintosh short"},
      {0x334d, "Macintosh"},              {0x4154, "Tandem NSK"},
      {0x4341, "Acorn SparkFS"},          {0x4453, "Windows NT security descriptor"},
      {0x4704, "VM/CMS"},                 {0x470f, "MVS"},
      {0x4854, "Theos"},                  {0x4b46, "MD5 checksum"},
      {0x4c41, "OS/2 access control list"}, {0x4d49, "OpenVMS"},
      {0x5356, "AOS/VS access control list"}, {0x5455, "universal time"},
      {0x5855, "Unix (old)"},             {0x6375, "Unicode comment"},
      {0x6542, "BeOS"},                   {0x7075, "Unicode path"},
      {0x756e, "ASi Unix"},               {0x7855, "Unix user and group"},
      {0x7875, "Unix user and group (new)"}, {0x9901, "AES encryption"},
      {0xa220, "padding"},
  };
  for (const Label& l : kLabels)
    if (l.tag == tag) return l.text;
  return "unknown";
}

}  // namespace

std::string UnzipPrintableName(const char* name) {
  std::string out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(name);
  while (*s) {
    if (*s < 32) {
      out += '^';
      out += static_cast<char>(*s + 64);
      s++;
      continue;
    }
    std::size_t n = CharLength(s);
    out.append(reinterpret_cast<const char*>(s), n);
    s += n;
  }
  return out;
}

bool UnzipMatchWildcard(const char* pattern, const char* name, bool ignoreCase) {
  return DoMatch(reinterpret_cast<const unsigned char*>(pattern), reinterpret_cast<const unsigned char*>(name),
                 ignoreCase) == kMatch;
}

bool UnzipMatchName(const char* name, const char* pattern, bool ignoreCase) {
  return UnzipMatchWildcard(pattern, name, ignoreCase);
}

bool UnzipSpecHasPatternChars(const char* text) {
  for (; *text; text++) {
    if (*text == '\\' && text[1]) {
      text++;
      continue;
    }
    if (*text == '*' || *text == '?' || *text == '[') return true;
  }
  return false;
}

int UnzipRatioPerMille(std::uint32_t uncompressed, std::uint32_t compressed) {
  if (uncompressed == 0) return 0;
  std::int64_t u = uncompressed, k = compressed;
  if (u > 2000000) return static_cast<int>((u / 2000 + u - k) / (u / 1000));
  std::int64_t num = (u - k) * 1000;
  // Rounded to nearest, away from zero at the half.
  return static_cast<int>(num >= 0 ? (num + u / 2) / u : -((-num + u / 2) / u));
}

const char* UnzipMethodName(std::uint16_t method, std::uint16_t flags, char* buffer) {
  static const char* const kNames[] = {"Stored",  "Shrunk",  "Reduce1", "Reduce2", "Reduce3", "Reduce4", "Implode",
                                       "Token",   "Defl:#",  "Def64#",  "ImplDCL", "PKres11", "BZip2"};
  if (method > 12) {
    std::snprintf(buffer, 8, "Unk:%03u", method % 1000u);
    return buffer;
  }
  std::strcpy(buffer, kNames[method]);
  char* hash = std::strchr(buffer, '#');
  if (hash) *hash = "NXFS"[(flags >> 1) & 3];
  return buffer;
}

int UnzipParseExtraTimes(const std::uint8_t* extra, std::size_t len, bool central, std::uint32_t,
                         UnzipExtraTimes* times, UnzipExtraIds* ids) {
  int utFlags = 0, unixFlags = 0, idFlags = 0;
  UnzipExtraTimes ut, ux;
  ForEachExtra(extra, len, [&](std::uint16_t tag, const std::uint8_t* d, std::uint16_t size) {
    bool ok = true;
    switch (tag) {
      case 0x5455: {  // extended timestamp: flags, then the times it names
        if (size < 1 || utFlags) break;
        std::uint8_t f = d[0];
        std::size_t off = 1;
        if (f & 1) {
          std::uint32_t t = Get32Checked(d, size, off, &ok);
          if (!ok) break;
          ut.modification = t;
          utFlags |= kTimeMod;
          off += 4;
        }
        if (central) break;  // the central copy carries the modification time only
        if (f & 2) {
          std::uint32_t t = Get32Checked(d, size, off, &ok);
          if (!ok) break;
          ut.access = t;
          utFlags |= kTimeAccess;
          off += 4;
        }
        if (f & 4) {
          std::uint32_t t = Get32Checked(d, size, off, &ok);
          if (!ok) break;
          ut.creation = t;
          utFlags |= kTimeCreation;
        }
        break;
      }
      case 0x5855:  // older Unix record: access, modification, then user and group
      case 0x000D:
        if (size >= 8) {
          ux.access = UnzipGet32(d);
          ux.modification = UnzipGet32(d + 4);
          unixFlags = kTimeMod | kTimeAccess;
          if (size >= 12 && (!central || tag == 0x000D)) {
            ids->uid = UnzipGet16(d + 8);
            ids->gid = UnzipGet16(d + 10);
            idFlags = kTimeIds;
          }
        }
        break;
      case 0x7855:
        if (!central && size >= 4) {
          ids->uid = UnzipGet16(d);
          ids->gid = UnzipGet16(d + 2);
          idFlags = kTimeIds;
        }
        break;
    }
    return true;
  });
  if (utFlags) {
    *times = ut;
    return utFlags | idFlags;
  }
  if (unixFlags) *times = ux;
  return unixFlags | idFlags;
}

int UnzipCheckPkwareExtraField(UnzipContext* c, const std::uint8_t* extra, std::size_t len) {
  int format = 0;
  ForEachExtra(extra, len, [&](std::uint16_t tag, const std::uint8_t* d, std::uint16_t size) {
    if (tag != 0x000C) return true;
    if (size < 4) return false;
    if (ZipUpdateCrc32(0, d + 4, size - 4u) != UnzipGet32(d)) {
      UnzipInfo(c, kUnzipMsgError, "[Warning: CRC error, discarding PKWARE extra field]\n");
      return false;
    }
    std::size_t pos = 4;
    while (size - pos >= 4) {
      std::uint16_t sub = UnzipGet16(d + pos);
      std::uint16_t subSize = UnzipGet16(d + pos + 2);
      if (subSize > size - pos - 4) break;
      if (sub == 4 && subSize >= 1) format = d[pos + 4] & 0x0F;
      pos += 4u + subSize;
    }
    return false;
  });
  return format;
}

bool UnzipLocateSecurityRecord(const std::uint8_t* extra, std::size_t len, const std::uint8_t** data,
                               std::size_t* size) {
  bool found = false;
  ForEachExtra(extra, len, [&](std::uint16_t tag, const std::uint8_t* d, std::uint16_t n) {
    if (tag != 0x4453) return true;
    *data = d;
    *size = n;
    found = true;
    return false;
  });
  return found;
}

bool UnzipDescriptorIsSound(const std::uint8_t* d, std::size_t len) {
  // Self-relative SECURITY_DESCRIPTOR: revision 1, control with SE_SELF_RELATIVE, then
  // the offsets of owner, group, SACL and DACL, each zero or inside the descriptor.
  if (len < 20 || d[0] != 1) return false;
  std::uint16_t control = UnzipGet16(d + 2);
  if (!(control & 0x8000)) return false;
  std::uint32_t owner = UnzipGet32(d + 4), group = UnzipGet32(d + 8), sacl = UnzipGet32(d + 12),
                dacl = UnzipGet32(d + 16);
  if (owner && !SidIsSound(d, len, owner)) return false;
  if (group && !SidIsSound(d, len, group)) return false;
  if ((control & 0x0004) && dacl && !AclIsSound(d, len, dacl)) return false;
  if ((control & 0x0010) && sacl && !AclIsSound(d, len, sacl)) return false;
  return true;
}

namespace {

// Security descriptors are small; a stated size beyond this is not believed.
constexpr std::uint32_t kMaxDescriptor = 1u << 20;

// Decodes an NT security record's data (u32 size, version, u16 method, u32 CRC, data).
// 0 done; 79 data missing; 7 out of memory; 2 bad data; 1 unknown method; 3 CRC; -1 ignored.
int DecodeSecurityRecord(UnzipContext* c, const std::uint8_t* block, std::size_t size, std::vector<std::uint8_t>* out,
                         std::uint16_t* method, std::uint32_t* crc) {
  if (size < 5 || block[4] != 0) return -1;
  if (size < 11) return kUnzipNoSecurityData;
  std::uint32_t length = UnzipGet32(block);
  *method = UnzipGet16(block + 5);
  *crc = UnzipGet32(block + 7);
  if (length == 0 || length > kMaxDescriptor) return 2;
  try {
    out->assign(length, 0);
  } catch (const std::bad_alloc&) {
    return 7;
  }
  return UnzipDecodeBufferedBlock(c, out->data(), length, block + 11, size - 11, *method, *crc);
}

}  // namespace

int UnzipApplySecurityExtra(UnzipContext* c, const std::string& path, bool isDirectory, const std::uint8_t* block,
                            std::size_t size, long* appliedBytes) {
  *appliedBytes = 0;
  std::vector<std::uint8_t> sd;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  int r = DecodeSecurityRecord(c, block, size, &sd, &method, &crc);
  if (r < 0) return 0;
  if (r == kUnzipNoSecurityData) {
    UnzipInfo(c, kUnzipMsgError, " compressed WinNT security data missing (%d bytes)%s", static_cast<int>(size), "\n");
    return kUnzipNoSecurityData;
  }
  if (r == 7) return 7;
  if (r == 1) {
    UnzipInfo(c, kUnzipMsgError, "\nerror:  unsupported extra-field compression type (%u)--skipping\n", method);
    return kUnzipBadData;
  }
  if (r == 3) {
    UnzipInfo(c, kUnzipMsgError, "error [%s]:  bad extra-field CRC %08lx (should be %08lx)\n", c->archiveName.c_str(),
              static_cast<unsigned long>(ZipUpdateCrc32(0, sd.data(), sd.size())), static_cast<unsigned long>(crc));
    return kUnzipBadData;
  }
  if (r != 0 || !UnzipDescriptorIsSound(sd.data(), sd.size())) return kUnzipBadData;
  ZipSecurityResult applied =
      c->fs->ApplySecurity(UnzipFsPath(c, path).c_str(), isDirectory, sd.data(), sd.size(), c->restoreSecurity);
  if (applied == ZipSecurityResult::kApplied) *appliedBytes = static_cast<long>(sd.size());
  return applied == ZipSecurityResult::kFailed ? kUnzipWarning : 0;
}

int UnzipVerifyExtraBlocks(UnzipContext* c, const std::uint8_t* extra, std::size_t len) {
  int worst = 0;
  std::size_t pos = 0;
  while (extra != nullptr && len - pos >= 4) {
    std::uint16_t tag = UnzipGet16(extra + pos);
    std::uint16_t size = UnzipGet16(extra + pos + 2);
    if (size > len - pos - 4) {
      UnzipInfo(c, kUnzipMsgError,
                "bad extra-field entry:\n      EF block length (%u bytes) exceeds remaining EF data (%u bytes)\n",
                size, static_cast<unsigned>(len - pos - 4));
      return kUnzipBadData;
    }
    const std::uint8_t* d = extra + pos + 4;
    if (tag == 0x4453 || tag == 0x0009) {
      std::vector<std::uint8_t> data;
      std::uint16_t method = 0;
      std::uint32_t crc = 0;
      int r;
      if (tag == 0x4453) {
        if (size >= 5 && d[4] != 0) {
          UnzipInfo(c, 0, " unsupported NTSD EAs version %d\n", d[4]);
          worst = std::max(worst, static_cast<int>(kUnzipWarning));
          pos += 4u + size;
          continue;
        }
        r = DecodeSecurityRecord(c, d, size, &data, &method, &crc);
        if (r == kUnzipNoSecurityData) {
          UnzipInfo(c, 0, " compressed WinNT security data missing (%d bytes)%s", static_cast<int>(size), "\n");
          worst = std::max(worst, r);
        }
      } else {
        // OS/2 extended attributes: u32 size, u16 method, u32 CRC, data.
        if (size < 10) {
          UnzipInfo(c, 0, " compressed EA data missing (%d bytes)%s", static_cast<int>(size), "\n");
          worst = std::max(worst, static_cast<int>(kUnzipBadData));
          pos += 4u + size;
          continue;
        }
        std::uint32_t length = UnzipGet32(d);
        method = UnzipGet16(d + 4);
        crc = UnzipGet32(d + 6);
        if (length > kMaxDescriptor) {
          r = 2;
        } else {
          data.assign(length, 0);
          r = UnzipDecodeBufferedBlock(c, data.data(), length, d + 10, size - 10u, method, crc);
        }
      }
      switch (r) {
        case -1:
        case kUnzipNoSecurityData:
          break;
        case 0:
          if (tag == 0x4453 && !UnzipDescriptorIsSound(data.data(), data.size())) {
            UnzipInfo(c, 0, " EAs fail security check\n");
            worst = std::max(worst, static_cast<int>(kUnzipBadData));
          } else if (tag == 0x4453 && c->quiet == 0) {
            UnzipInfo(c, 0, " (%ld bytes security)", static_cast<long>(data.size()));
          }
          break;
        case 1:
          UnzipInfo(c, 0, " unknown compression method for EAs (%u)\n", method);
          worst = std::max(worst, static_cast<int>(kUnzipWarning));
          break;
        case 2:
          UnzipInfo(c, 0, " invalid compressed data for EAs\n");
          worst = std::max(worst, static_cast<int>(kUnzipBadData));
          break;
        case 3:
          UnzipInfo(c, 0, " bad CRC for extended attributes\n");
          worst = std::max(worst, static_cast<int>(kUnzipBadData));
          break;
        case 7:
          UnzipInfo(c, 0, " out of memory while inflating EAs\n");
          worst = std::max(worst, static_cast<int>(kUnzipNoMemoryDecoding));
          break;
        default:
          UnzipInfo(c, 0, " unknown error on extended attributes\n");
          worst = std::max(worst, static_cast<int>(kUnzipBadData));
          break;
      }
    }
    pos += 4u + size;
  }
  return worst;
}

int UnzipShowComment(UnzipContext* c, std::size_t length) {
  c->bufferLength = c->bufferPos = 0;  // the input buffer is read afresh afterwards
  if (!c->archive->Seek(c->endRecord.position + 22, 0)) return 1;
  std::size_t left = length;
  char* buf = c->commentBuffer.get();
  while (left > 0) {
    std::size_t n = std::min(left, kUnzipCommentBufferSize - 1);
    long got = UnzipReadArchive(c, reinterpret_cast<std::uint8_t*>(buf), n);
    if (got <= 0) return 1;
    std::size_t k = 0;
    for (long i = 0; i < got; i++)
      if (buf[i] != '\r') buf[k++] = buf[i];
    buf[k] = '\0';
    c->fs->OemToAnsi(buf, k);
    UnzipPrintText(c, buf, k);
    left -= static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) < n) return 1;
  }
  UnzipPrintText(c, "\n\n", 2);
  return 0;
}

namespace {

// The date of an entry for listings: the extended timestamp when the central extra field
// has one (as local time), else the DOS time.
void EntryDate(UnzipContext* c, const UnzipEntry& e, unsigned* year, unsigned* month, unsigned* day, unsigned* hour,
               unsigned* minute) {
  UnzipExtraTimes t;
  UnzipExtraIds ids;
  if (UnzipParseExtraTimes(c->extraField.data(), c->extraField.size(), true, e.dosDateTime, &t, &ids) & kTimeMod) {
    std::time_t tt = static_cast<std::time_t>(t.modification);
    if (std::tm* tm = std::localtime(&tt)) {
      *year = static_cast<unsigned>(tm->tm_year + 1900);
      *month = static_cast<unsigned>(tm->tm_mon + 1);
      *day = static_cast<unsigned>(tm->tm_mday);
      *hour = static_cast<unsigned>(tm->tm_hour);
      *minute = static_cast<unsigned>(tm->tm_min);
      return;
    }
  }
  *year = ((e.dosDateTime >> 25) & 0x7F) + 1980;
  *month = (e.dosDateTime >> 21) & 0x0F;
  *day = (e.dosDateTime >> 16) & 0x1F;
  *hour = (e.dosDateTime >> 11) & 0x1F;
  *minute = (e.dosDateTime >> 5) & 0x3F;
}

}  // namespace

int UnzipListPlain(UnzipContext* c) {
  std::vector<bool> includeMatched(c->includes.size()), excludeMatched(c->excludes.size());
  int worst = 0;
  std::uint64_t numberRead = 0, listed = 0;
  std::uint64_t totalCompressed = 0, totalUncompressed = 0;
  bool endNote = false;
  const int order = c->fs->DateOrder();
  if (UnzipPositionInput(c, c->endRecord.centralOffset) != 0) return kUnzipBadStructure;
  for (;;) {
    int s = UnzipNextCentralSignature(c, numberRead, &endNote);
    if (s != 0) {
      if (s != 1) worst = std::max(worst, s);
      break;
    }
    numberRead++;
    UnzipEntry e;
    int r = UnzipReadCentralEntry(c, numberRead, &e, nullptr);
    worst = std::max(worst, r);
    if (r > kUnzipWarning) break;
    if (!UnzipSelectEntry(c, e.name, &includeMatched, &excludeMatched)) continue;

    std::uint32_t csize = e.compressedSize;
    if (e.encrypted) csize = csize >= 12 ? csize - 12 : 0;
    int ratio = UnzipRatioPerMille(e.uncompressedSize, csize);
    unsigned year, month, day, hour, minute;
    EntryDate(c, e, &year, &month, &day, &hour, &minute);
    unsigned yy = year % 100;
    unsigned d1 = month, d2 = day, d3 = yy;
    if (order == 1) {
      d1 = day;
      d2 = month;
    } else if (order == 2) {
      d1 = yy;
      d2 = month;
      d3 = day;
    }
    char method[16];
    UnzipMethodName(e.method, e.flags, method);
    if (c->callbacks->listEntry)
      c->callbacks->listEntry(e.uncompressedSize, csize, static_cast<unsigned>((std::abs(ratio) + 5) / 10), d1, d2, d3,
                              hour, minute, ' ', UnzipPrintableName(e.name.c_str()).c_str(), method, e.crc,
                              e.encrypted ? 'E' : ' ');
    totalCompressed += csize;
    totalUncompressed += e.uncompressedSize;
    listed++;
  }
  UnzipReportEndNote(c, endNote, &worst);
  if (c->quiet < 2) {
    c->callbacks->totalCompressed = static_cast<std::uint32_t>(totalCompressed);
    c->callbacks->totalUncompressed = static_cast<std::uint32_t>(totalUncompressed);
    int ratio = UnzipRatioPerMille(static_cast<std::uint32_t>(totalUncompressed),
                                   static_cast<std::uint32_t>(totalCompressed));
    c->callbacks->ratioPercent = static_cast<std::uint32_t>((std::abs(ratio) + 5) / 10);
    c->callbacks->entryCount = static_cast<std::uint32_t>(listed);
  }
  UnzipReportUnmatched(c, includeMatched, excludeMatched, &worst);
  if (listed == 0 && worst <= kUnzipWarning) return kUnzipNoMatch;
  return worst;
}

int UnzipListInfoMode(UnzipContext* c) {
  const UnzipEndRecord& end = c->endRecord;
  const char* name = c->archiveName.c_str();
  UnzipInfo(c, 0, "Archive:  %s   %ld bytes   %u file%s\n", name, static_cast<long>(c->archiveSize), end.totalEntries,
            end.totalEntries == 1 ? "" : "s");

  // The end record.
  std::int64_t expected = static_cast<std::int64_t>(end.centralOffset) + end.centralSize;
  UnzipInfo(c, 0, "\nEnd-of-central-directory record:\n");
  UnzipInfo(c, 0, "-------------------------------\n\n");
  UnzipInfo(c, 0, "  Archive size:                         %ld (%.8lXh) bytes\n", static_cast<long>(c->archiveSize),
            static_cast<unsigned long>(c->archiveSize));
  UnzipInfo(c, 0, "  End record found at offset:           %ld (%.8lXh)\n", static_cast<long>(end.position),
            static_cast<unsigned long>(end.position));
  UnzipInfo(c, 0, "  End record expected at offset:        %ld (%.8lXh)\n", static_cast<long>(expected),
            static_cast<unsigned long>(expected));
  if (end.diskNumber == 0 && end.centralDisk == 0)
    UnzipInfo(c, 0, "  The archive is one single disk; its central directory holds %u entr%s.\n", end.totalEntries,
              end.totalEntries == 1 ? "y" : "ies");
  else
    UnzipInfo(c, 0, "  This is disk %u; the central directory starts on disk %u and holds %u of %u entries here.\n",
              end.diskNumber, end.centralDisk, end.entriesThisDisk, end.totalEntries);
  UnzipInfo(c, 0, "  Central directory: %lu (%.8lXh) bytes at offset %lu (%.8lXh).\n\n",
            static_cast<unsigned long>(end.centralSize), static_cast<unsigned long>(end.centralSize),
            static_cast<unsigned long>(end.centralOffset), static_cast<unsigned long>(end.centralOffset));
  if (end.commentLength > 0) {
    UnzipInfo(c, 0, "======================== zipfile comment begins ==========================\n");
    UnzipShowComment(c, end.commentLength);
    UnzipInfo(c, 0, "========================= zipfile comment ends ===========================\n");
  } else {
    UnzipInfo(c, 0, "  There is no zipfile comment.\n");
  }

  std::vector<bool> includeMatched(c->includes.size()), excludeMatched(c->excludes.size());
  int worst = 0;
  std::uint64_t numberRead = 0, listed = 0, totalCompressed = 0, totalUncompressed = 0;
  bool endNote = false;
  if (UnzipPositionInput(c, end.centralOffset) != 0) return kUnzipBadStructure;
  for (;;) {
    int s = UnzipNextCentralSignature(c, numberRead, &endNote);
    if (s != 0) {
      if (s != 1) worst = std::max(worst, s);
      break;
    }
    numberRead++;
    UnzipEntry e;
    std::string comment;
    int r = UnzipReadCentralEntry(c, numberRead, &e, &comment);
    worst = std::max(worst, r);
    if (r > kUnzipWarning) break;
    if (!UnzipSelectEntry(c, e.name, &includeMatched, &excludeMatched)) continue;
    listed++;
    totalCompressed += e.compressedSize;
    totalUncompressed += e.uncompressedSize;
    const UnzipCentralHeader& h = c->central;

    UnzipInfo(c, 0, "\nCentral directory entry #%lu:\n---------------------------\n\n",
              static_cast<unsigned long>(numberRead));
    UnzipInfo(c, 0, "  %s\n\n", UnzipPrintableName(e.name.c_str()).c_str());
    UnzipInfo(c, 0, "  offset of local header from start of archive:     %lu (%.8lXh) bytes\n",
              static_cast<unsigned long>(h.localOffset), static_cast<unsigned long>(h.localOffset));
    UnzipInfo(c, 0, "  made by:                                          %s, version %u.%u\n",
              HostName(h.hostSystem), h.versionMadeBy / 10u, h.versionMadeBy % 10u);
    UnzipInfo(c, 0, "  needed to extract:                                %s, version %u.%u\n",
              HostName(h.versionNeededHost), h.versionNeeded / 10u, h.versionNeeded % 10u);
    char method[16];
    UnzipInfo(c, 0, "  compression method:                               %s\n", UnzipMethodName(h.method, h.flags, method));
    UnzipInfo(c, 0, "  encrypted:                                        %s\n", (h.flags & 1) ? "yes" : "no");
    UnzipInfo(c, 0, "  data descriptor after the data:                   %s\n", (h.flags & 8) ? "yes" : "no");
    char when[40];
    FormatTime(h.dosDateTime, false, 0, 1, when, sizeof when);
    UnzipInfo(c, 0, "  last modified (DOS date and time):                %s\n", when);
    UnzipExtraTimes t;
    UnzipExtraIds ids;
    if (UnzipParseExtraTimes(c->extraField.data(), c->extraField.size(), true, h.dosDateTime, &t, &ids) & kTimeMod) {
      FormatTime(0, true, t.modification, 1, when, sizeof when);
      UnzipInfo(c, 0, "  last modified (extended timestamp, local):        %s\n", when);
    }
    UnzipInfo(c, 0, "  32-bit CRC value (hex):                           %.8lx\n", static_cast<unsigned long>(h.crc));
    UnzipInfo(c, 0, "  compressed size:                                  %lu bytes\n",
              static_cast<unsigned long>(h.compressedSize));
    UnzipInfo(c, 0, "  uncompressed size:                                %lu bytes\n",
              static_cast<unsigned long>(h.uncompressedSize));
    UnzipInfo(c, 0, "  name, extra field, comment:                       %u, %u, %u bytes\n", h.nameLength,
              h.extraLength, h.commentLength);
    UnzipInfo(c, 0, "  disk on which the entry begins:                   %u\n", h.diskStart);
    UnzipInfo(c, 0, "  apparent file type:                               %s\n", (h.internalAttributes & 1) ? "text" : "binary");
    std::uint32_t a = h.externalAttributes & 0xFF;
    UnzipInfo(c, 0, "  MS-DOS file attributes (%02X hex):                  %s%s%s%s%s%s%s%s\n", static_cast<unsigned>(a),
              (a & 0x01) ? "rdo " : "", (a & 0x02) ? "hid " : "", (a & 0x04) ? "sys " : "", (a & 0x08) ? "lab " : "",
              (a & 0x10) ? "dir " : "", (a & 0x20) ? "arc " : "", (a & 0x40) ? "lnk " : "", (a & 0x80) ? "exe " : "");
    if (h.externalAttributes >> 16)
      UnzipInfo(c, 0, "  Unix file attributes:                             %06o octal\n",
                static_cast<unsigned>(h.externalAttributes >> 16));
    if (c->extraField.empty()) {
      UnzipInfo(c, 0, "\n  There is no extra field.\n");
    } else {
      UnzipInfo(c, 0, "\n  The central extra field holds:\n");
      ForEachExtra(c->extraField.data(), c->extraField.size(),
                   [&](std::uint16_t tag, const std::uint8_t*, std::uint16_t size) {
                     UnzipInfo(c, 0, "    0x%04x (%s), %u bytes\n", tag, ExtraLabel(tag), size);
                     return true;
                   });
    }
    if (comment.empty()) {
      UnzipInfo(c, 0, "\n  There is no file comment.\n");
    } else {
      UnzipInfo(c, 0, "\n------------------------- file comment begins ----------------------------\n");
      UnzipPrintText(c, comment.data(), comment.size());
      UnzipInfo(c, 0, "\n-------------------------- file comment ends -----------------------------\n");
    }
  }
  UnzipReportEndNote(c, endNote, &worst);
  int ratio = UnzipRatioPerMille(static_cast<std::uint32_t>(totalUncompressed), static_cast<std::uint32_t>(totalCompressed));
  UnzipInfo(c, 0, "%lu file%s, %lu bytes uncompressed, %lu bytes compressed:  %s%d.%d%%\n",
            static_cast<unsigned long>(listed), listed == 1 ? "" : "s", static_cast<unsigned long>(totalUncompressed),
            static_cast<unsigned long>(totalCompressed), ratio < 0 ? "-" : "", std::abs(ratio) / 10, std::abs(ratio) % 10);
  UnzipReportUnmatched(c, includeMatched, excludeMatched, &worst);
  return worst;
}
