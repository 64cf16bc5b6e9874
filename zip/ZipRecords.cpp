// ZIP records: headers written and read back, repair through the local headers, copying
// unchanged entries, and the central directory.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "zip/ZipRun.h"

namespace {

const std::uint8_t kLocalSig[4] = {'P', 'K', 3, 4};
const std::uint8_t kCentralSig[4] = {'P', 'K', 1, 2};
const std::uint8_t kEndSig[4] = {'P', 'K', 5, 6};
const std::uint8_t kDescriptorSig[4] = {'P', 'K', 7, 8};
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kDescriptorSize = 16;
constexpr std::size_t kSearchBlock = 4096;
constexpr std::size_t kCopyBuffer = 16384;

bool Is(const std::uint8_t* p, const std::uint8_t* sig) { return std::memcmp(p, sig, 4) == 0; }

bool LocalTime(std::time_t t, std::tm* out) {
#ifdef _WIN32
  return localtime_s(out, &t) == 0;
#else
  return localtime_r(&t, out) != nullptr;
#endif
}

// Reads exactly len bytes at offset; false at the end of the file or on an error.
bool ReadAt(ZipFile* f, std::uint64_t offset, void* buf, std::size_t len) {
  if (!f->Seek(static_cast<std::int64_t>(offset), 0)) return false;
  std::uint8_t* p = static_cast<std::uint8_t*>(buf);
  while (len > 0) {
    long n = f->Read(p, len);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string Format(const char* format, ...) ZIP_PRINTF(1, 2);
std::string Format(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

int Structure(ZipRun* run, const char* text, const std::string& name) {
  return ZipAbort(run, kZipBadStructure, (std::string(text) + name).c_str());
}

// Calls found(offset) for each signature among sigs at or after from, in order, until it
// answers true; returns that offset, or -1.
template <typename Found>
std::int64_t ScanSignatures(ZipFile* f, std::uint64_t from, std::uint64_t size,
                            const std::vector<const std::uint8_t*>& sigs, Found found) {
  std::vector<std::uint8_t> buf(kCopyBuffer + 3);
  std::uint64_t pos = from;
  while (pos + 4 <= size) {
    std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), size - pos));
    if (!ReadAt(f, pos, buf.data(), len)) return -1;
    for (std::size_t i = 0; i + 4 <= len; i++) {
      if (buf[i] != 'P') continue;
      for (const std::uint8_t* sig : sigs)
        if (Is(&buf[i], sig) && found(pos + i)) return static_cast<std::int64_t>(pos + i);
    }
    if (len < 4) break;
    pos += len - 3;
  }
  return -1;
}

std::int64_t ScanForSignature(ZipFile* f, std::uint64_t from, std::uint64_t size,
                              const std::vector<const std::uint8_t*>& sigs) {
  return ScanSignatures(f, from, size, sigs, [](std::uint64_t) { return true; });
}

void VerboseChecks(ZipRun* run, const ZipEntry& e) {
  const char* n = e.display.c_str();
  unsigned host = e.versionMadeBy >> 8, madeBy = e.versionMadeBy & 0xFF;
  if (host > 30)
    ZipPrintWarning(run, Format("made by version %u.%u on system type %u: ", madeBy / 10, madeBy % 10, host).c_str(), n);
  unsigned needed = e.versionNeeded & 0xFF;
  if (needed != 10 && needed != 11 && needed != 20)
    ZipPrintWarning(run,
                    Format("needs unzip %u.%u on system type %u: ", needed / 10, needed % 10, e.versionNeeded >> 8u).c_str(),
                    n);
  if (e.flags != e.localFlags)
    ZipPrintWarning(run, Format("local flags = 0x%04x, central = 0x%04x: ", e.localFlags, e.flags).c_str(), n);
  else if (e.flags > 0xF)
    ZipPrintWarning(run, Format("undefined bits used in flags = 0x%04x: ", e.flags).c_str(), n);
  if (e.method > 8) ZipPrintWarning(run, Format("unknown compression method %u: ", e.method).c_str(), n);
  if (e.diskStart != 0) ZipPrintWarning(run, Format("starts on disk %u: ", e.diskStart).c_str(), n);
  if (e.internalAttributes >= 3)
    ZipPrintWarning(run, Format("unknown internal attributes = 0x%04x: ", e.internalAttributes).c_str(), n);
  if (e.localExtra.size() != e.centralExtra.size()) {
    ZipErrorText("\tzip info: %s%s\n",
                 Format("local extra (%ld bytes) != central extra (%ld bytes): ", static_cast<long>(e.localExtra.size()),
                        static_cast<long>(e.centralExtra.size()))
                     .c_str(),
                 n);
  } else if (!e.localExtra.empty()) {
    const char* which = e.localExtra == e.centralExtra ? "" : "local ";
    ZipErrorText("zip info: %s has %ld bytes of %sextra data\n", n, static_cast<long>(e.localExtra.size()), which);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Output

void ZipOutput::Attach(std::unique_ptr<ZipFile> file, std::uint64_t position) {
  file_ = std::move(file);
  if (!buffer_) buffer_.reset(new std::uint8_t[kZipOutputBufferSize]);
  used_ = 0;
  position_ = position;
  failed_ = false;
}

bool ZipOutput::Write(const void* data, std::size_t len) {
  if (failed_ || !file_) return false;
  const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
  if (used_ + len > kZipOutputBufferSize && !Flush()) return false;
  if (len >= kZipOutputBufferSize) {
    long n = file_->Write(p, len);
    if (n < 0 || static_cast<std::size_t>(n) != len) failed_ = true;
  } else {
    std::memcpy(buffer_.get() + used_, p, len);
    used_ += len;
  }
  position_ += len;
  return !failed_;
}

bool ZipOutput::Flush() {
  if (failed_ || !file_) return false;
  if (used_ > 0) {
    long n = file_->Write(buffer_.get(), used_);
    if (n < 0 || static_cast<std::size_t>(n) != used_) failed_ = true;
    used_ = 0;
  }
  return !failed_;
}

bool ZipOutput::SeekTo(std::uint64_t position) {
  if (!Flush()) return false;
  if (!file_->Seek(static_cast<std::int64_t>(position), 0)) failed_ = true;
  position_ = position;
  return !failed_;
}

bool ZipOutput::Close() {
  if (!file_) return false;
  bool ok = Flush();
  ok = file_->Close() && ok;
  file_.reset();
  return ok;
}

void ZipOutput::Discard() {
  file_.reset();
  used_ = 0;
}

// ---------------------------------------------------------------------------------------
// Times and extra fields

std::uint32_t ZipUnixToDosTime(std::uint32_t unixTime) {
  // Rounded up to an even second: DOS times count two-second steps.
  std::time_t t = static_cast<std::time_t>(std::uint64_t(unixTime) + (unixTime & 1));
  std::tm tm;
  if (!LocalTime(t, &tm)) return kZipDos1980;
  int year = tm.tm_year + 1900;
  if (year < 1980) return kZipDos1980;
  if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  return (std::uint32_t(year - 1980) << 25) | (std::uint32_t(tm.tm_mon + 1) << 21) | (std::uint32_t(tm.tm_mday) << 16) |
         (std::uint32_t(tm.tm_hour) << 11) | (std::uint32_t(tm.tm_min) << 5) | (std::uint32_t(tm.tm_sec) >> 1);
}

std::vector<std::uint8_t> ZipTimestampExtra(const ZipFileInfo& info, bool central) {
  std::vector<std::uint8_t> x(central ? 9 : 17);
  ZipPut16(&x[0], 0x5455);
  ZipPut16(&x[2], central ? 5 : 13);
  x[4] = 7;  // modification, access and creation times present (the central copy holds the first)
  ZipPut32(&x[5], info.mtime);
  if (!central) {
    ZipPut32(&x[9], info.atime);
    ZipPut32(&x[13], info.ctime);
  }
  return x;
}

namespace {

// 1 found (mtime set), 0 none, in one extra field.
int TimeFromExtra(const std::vector<std::uint8_t>& extra, std::uint32_t* mtime) {
  bool fallbackOpen = true, haveFallback = false;
  std::uint32_t fallback = 0;
  std::size_t i = 0;
  while (i + 4 <= extra.size()) {
    unsigned tag = ZipGet16(&extra[i]);
    std::size_t size = ZipGet16(&extra[i + 2]);
    const std::uint8_t* data = &extra[i + 4];
    if (i + 4 + size > extra.size()) break;
    if (tag == 0x5455) {
      if (size >= 5 && (data[0] & 1)) {
        *mtime = ZipGet32(data + 1);
        return 1;
      }
      fallbackOpen = false;
    } else if (tag == 0x5855) {
      if (fallbackOpen && size >= 8 && !haveFallback) {
        fallback = ZipGet32(data + 4);
        haveFallback = true;
      }
    } else if (tag == 0x7855) {
      fallbackOpen = false;
    }
    i += 4 + size;
  }
  if (haveFallback) {
    *mtime = fallback;
    return 1;
  }
  return 0;
}

}  // namespace

bool ZipEntryModificationTime(const ZipEntry& e, std::uint32_t* mtime) {
  return TimeFromExtra(e.localExtra, mtime) || TimeFromExtra(e.centralExtra, mtime);
}

// ---------------------------------------------------------------------------------------
// Writing records

int ZipWriteLocalHeader(ZipRun* run, const ZipEntry& e) {
  std::uint8_t h[kLocalHeaderSize];
  std::memcpy(h, kLocalSig, 4);
  ZipPut16(h + 4, e.versionNeeded);
  ZipPut16(h + 6, e.localFlags);
  ZipPut16(h + 8, e.method);
  ZipPut32(h + 10, e.dosTime);
  ZipPut32(h + 14, e.crc);
  ZipPut32(h + 18, e.compressedSize);
  ZipPut32(h + 22, e.uncompressedSize);
  ZipPut16(h + 26, static_cast<unsigned>(e.name.size()));
  ZipPut16(h + 28, static_cast<unsigned>(e.localExtra.size()));
  bool ok = run->out.Write(h, sizeof h) && run->out.Write(e.name.data(), e.name.size()) &&
            (e.localExtra.empty() || run->out.Write(e.localExtra.data(), e.localExtra.size()));
  return ok ? kZipOk : kZipTempFailure;
}

int ZipWriteCentralHeader(ZipRun* run, const ZipEntry& e) {
  std::uint8_t h[kCentralHeaderSize];
  std::memcpy(h, kCentralSig, 4);
  ZipPut16(h + 4, e.versionMadeBy);
  ZipPut16(h + 6, e.versionNeeded);
  ZipPut16(h + 8, e.flags);
  ZipPut16(h + 10, e.method);
  ZipPut32(h + 12, e.dosTime);
  ZipPut32(h + 16, e.crc);
  ZipPut32(h + 20, e.compressedSize);
  ZipPut32(h + 24, e.uncompressedSize);
  ZipPut16(h + 28, static_cast<unsigned>(e.name.size()));
  ZipPut16(h + 30, static_cast<unsigned>(e.centralExtra.size()));
  ZipPut16(h + 32, static_cast<unsigned>(e.comment.size()));
  ZipPut16(h + 34, 0);
  ZipPut16(h + 36, e.internalAttributes);
  ZipPut32(h + 38, e.externalAttributes);
  ZipPut32(h + 42, static_cast<std::uint32_t>(e.localOffset));
  bool ok = run->out.Write(h, sizeof h) && run->out.Write(e.name.data(), e.name.size()) &&
            (e.centralExtra.empty() || run->out.Write(e.centralExtra.data(), e.centralExtra.size())) &&
            (e.comment.empty() || run->out.Write(e.comment.data(), e.comment.size()));
  return ok ? kZipOk : kZipTempFailure;
}

int ZipWriteDataDescriptor(ZipRun* run, const ZipEntry& e) {
  std::uint8_t d[kDescriptorSize];
  std::memcpy(d, kDescriptorSig, 4);
  ZipPut32(d + 4, e.crc);
  ZipPut32(d + 8, e.compressedSize);
  ZipPut32(d + 12, e.uncompressedSize);
  return run->out.Write(d, sizeof d) ? kZipOk : kZipTempFailure;
}

int ZipWriteEndRecord(ZipRun* run, std::size_t count, std::uint64_t centralSize, std::uint64_t centralOffset) {
  std::uint8_t r[kEndRecordSize];
  std::memcpy(r, kEndSig, 4);
  ZipPut16(r + 4, 0);
  ZipPut16(r + 6, 0);
  ZipPut16(r + 8, static_cast<unsigned>(count));
  ZipPut16(r + 10, static_cast<unsigned>(count));
  ZipPut32(r + 12, static_cast<std::uint32_t>(centralSize));
  ZipPut32(r + 16, static_cast<std::uint32_t>(centralOffset));
  ZipPut16(r + 20, static_cast<unsigned>(run->comment.size()));
  bool ok = run->out.Write(r, sizeof r) && (run->comment.empty() || run->out.Write(run->comment.data(), run->comment.size()));
  return ok ? kZipOk : kZipTempFailure;
}

int ZipWriteCentralDirectory(ZipRun* run, const std::vector<ZipEntry*>& list) {
  // Without the zip64 extensions, counts and offsets must fit their 16 and 32 bits.
  if (list.size() > kZipMaxEntries) return ZipAbort(run, kZipTooBig, "too many entries for a zip file without zip64");
  std::uint64_t start = run->out.Tell();
  if (start > kZipMax32) return ZipAbort(run, kZipTooBig, "zip file exceeds 4 GB without zip64");
  for (ZipEntry* e : list) {
    int r = ZipWriteCentralHeader(run, *e);
    if (r != kZipOk) return ZipAbort(run, r, "was writing central directory");
  }
  std::uint64_t size = run->out.Tell() - start;
  if (start + size > kZipMax32) return ZipAbort(run, kZipTooBig, "zip file exceeds 4 GB without zip64");
  int r = ZipWriteEndRecord(run, list.size(), size, start);
  if (r != kZipOk) return ZipAbort(run, r, "was writing end of central directory");
  return kZipOk;
}

// ---------------------------------------------------------------------------------------
// Copying

int ZipCopyBytes(ZipRun* run, std::uint64_t from, std::uint64_t length) {
  if (!run->in->Seek(static_cast<std::int64_t>(from), 0)) return kZipBadStructure;
  std::vector<std::uint8_t> buf(kCopyBuffer);
  while (length > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, buf.size()));
    long n = run->in->Read(buf.data(), want);
    if (n < 0) return kZipReadFailure;
    if (n == 0) return kZipUnexpectedEnd;
    if (!run->out.Write(buf.data(), static_cast<std::size_t>(n))) return kZipWriteFailure;
    length -= static_cast<std::uint64_t>(n);
  }
  return kZipOk;
}

int ZipCopyEntry(ZipRun* run, ZipEntry* e) {
  std::uint64_t newOffset = run->out.Tell();
  if (newOffset > kZipMax32) return ZipAbort(run, kZipTooBig, "zip file exceeds 4 GB without zip64");
  std::uint64_t headerLength = kLocalHeaderSize + e->localNameLength + e->localExtra.size();
  std::uint64_t dataLength = std::uint64_t(e->compressedSize) + ((e->localFlags & kZipFlagDescriptor) ? kDescriptorSize : 0);
  int r;
  if (run->repair >= 2) {
    // A header that was found by scanning is written anew from what was read.
    r = ZipWriteLocalHeader(run, *e);
    if (r == kZipOk) r = ZipCopyBytes(run, e->localOffset + headerLength, dataLength);
  } else {
    r = ZipCopyBytes(run, e->localOffset, headerLength + dataLength);
  }
  if (r != kZipOk) return r;
  e->localOffset = newOffset;
  e->localNameLength = static_cast<std::uint16_t>(e->name.size());
  return kZipOk;
}

// ---------------------------------------------------------------------------------------
// The name index

int ZipCompareNames(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; i++) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

void ZipSortIndex(ZipRun* run) {
  run->index.clear();
  for (auto& e : run->entries) run->index.push_back(e.get());
  std::stable_sort(run->index.begin(), run->index.end(),
                   [](const ZipEntry* a, const ZipEntry* b) { return ZipCompareNames(a->name, b->name) < 0; });
}

ZipEntry* ZipFindEntry(ZipRun* run, const std::string& name) {
  auto it = std::lower_bound(run->index.begin(), run->index.end(), name,
                             [](const ZipEntry* e, const std::string& n) { return ZipCompareNames(e->name, n) < 0; });
  if (it != run->index.end() && ZipCompareNames((*it)->name, name) == 0) return *it;
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Reading an archive back

namespace {

// Checks the local header of e against its central header and takes its extra field.
int CheckLocalHeader(ZipRun* run, ZipEntry* e) {
  std::uint8_t h[kLocalHeaderSize];
  if (e->localOffset + kLocalHeaderSize > run->archiveSize || !ReadAt(run->in.get(), e->localOffset, h, sizeof h) ||
      !Is(h, kLocalSig))
    return Structure(run, "local header not found for ", e->display);
  std::uint16_t nameLength = ZipGet16(h + 26);
  std::uint16_t extraLength = ZipGet16(h + 28);
  if (nameLength != e->name.size()) return Structure(run, "name lengths in local and central differ for ", e->display);
  std::string name(nameLength, '\0');
  std::vector<std::uint8_t> extra(extraLength);
  if (!ReadAt(run->in.get(), e->localOffset + kLocalHeaderSize, &name[0], nameLength) ||
      (extraLength > 0 && !ReadAt(run->in.get(), e->localOffset + kLocalHeaderSize + nameLength, extra.data(), extraLength)))
    return ZipAbort(run, kZipUnexpectedEnd, e->display.c_str());
  if (name != e->name) return Structure(run, "names in local and central differ for ", e->display);
  e->localFlags = ZipGet16(h + 6);
  e->localExtra = std::move(extra);
  e->localNameLength = nameLength;

  // Version needed through the uncompressed size, the top three flag bits aside.
  std::uint8_t local[22], central[22];
  std::memcpy(local, h + 4, 22);
  ZipPut16(central, e->versionNeeded);
  ZipPut16(central + 2, e->flags);
  ZipPut16(central + 4, e->method);
  ZipPut32(central + 6, e->dosTime);
  ZipPut32(central + 10, e->crc);
  ZipPut32(central + 14, e->compressedSize);
  ZipPut32(central + 18, e->uncompressedSize);
  local[3] &= 0x1F;
  central[3] &= 0x1F;
  if (e->localFlags & kZipFlagDescriptor) {
    std::uint32_t size = ZipGet32(h + 18) != 0 ? ZipGet32(h + 18) : e->compressedSize;
    std::uint64_t at = e->localOffset + kLocalHeaderSize + nameLength + extraLength + size;
    std::uint8_t d[kDescriptorSize];
    if (at + kDescriptorSize > run->archiveSize || !ReadAt(run->in.get(), at, d, sizeof d) || !Is(d, kDescriptorSig))
      return Structure(run, "extended local header not found for ", e->display);
    std::memcpy(local + 10, d + 4, 12);
  }
  for (int i = 0; i < 22; i++) {
    if (local[i] == central[i]) continue;
    ZipPrintWarning(run, "local and central headers differ for ", e->display.c_str());
    ZipErrorText(" offset %u--local = %02x, central = %02x\n", static_cast<unsigned>(i + 4), local[i], central[i]);
    if (!run->adjustOffsets) return ZipAbort(run, kZipBadStructure, "local and central headers differ");
    break;
  }
  return kZipOk;
}

void NotePreamble(ZipRun* run) {
  if (run->preamble > 0 && run->noisy)
    ZipErrorText("%s: %s a preamble of %lu bytes\n", run->zipName.c_str(),
                 run->adjustOffsets ? "adjusting offsets for" : "found", static_cast<unsigned long>(run->preamble));
}

}  // namespace

int ZipReadArchive(ZipRun* run) {
  ZipFileStat st;
  run->archiveExists = run->fs->Stat(run->zipName.c_str(), &st);
  if (!run->archiveExists) return kZipOk;
  run->archiveStat = st;
  run->archiveSize = st.size;
  if (st.isDirectory) return ZipAbort(run, kZipCreateFailure, (run->zipName + " is a folder").c_str());
  int error = 0;
  run->in = run->fs->Open(run->zipName.c_str(), ZipFileSystem::OpenMode::kRead, &error);
  if (!run->in) return ZipAbortIo(run, kZipNotFound, run->zipName.c_str(), error);
  if (run->archiveSize == 0) return kZipOk;
  if (run->repair > 0) return ZipReadArchiveRepair(run);

  // The end record, searched backwards a block at a time.
  std::vector<std::uint8_t> buf(kSearchBlock + 3);
  std::int64_t endPos = -1;
  std::uint64_t blockEnd = run->archiveSize;
  while (blockEnd > 0 && endPos < 0) {
    std::uint64_t blockStart = blockEnd > kSearchBlock ? blockEnd - kSearchBlock : 0;
    std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(blockEnd + 3, run->archiveSize) - blockStart);
    if (!ReadAt(run->in.get(), blockStart, buf.data(), len)) return ZipAbortIo(run, kZipBadStructure, "fseek", 0);
    for (std::size_t i = len >= 4 ? len - 4 + 1 : 0; i-- > 0;) {
      if (Is(&buf[i], kEndSig) && blockStart + i + kEndRecordSize <= run->archiveSize) {
        endPos = static_cast<std::int64_t>(blockStart + i);
        break;
      }
    }
    blockEnd = blockStart;
  }
  if (endPos < 0) {
    return ZipAbort(run, kZipBadStructure,
                    "missing end signature--probably not a zip file (did you\n"
                    "           remember to use binary mode when you transferred it?)");
  }
  std::uint8_t end[kEndRecordSize];
  if (!ReadAt(run->in.get(), static_cast<std::uint64_t>(endPos), end, sizeof end))
    return ZipAbort(run, kZipUnexpectedEnd, run->zipName.c_str());
  if (ZipGet16(end + 4) != 0 || ZipGet16(end + 6) != 0 || ZipGet16(end + 8) != ZipGet16(end + 10))
    ZipPrintWarning(run, "multiple disk information ignored", "");
  std::uint32_t centralSize = ZipGet32(end + 12);
  std::uint32_t centralOffset = ZipGet32(end + 16);
  std::size_t commentLength = ZipGet16(end + 20);
  std::uint64_t commentEnd = static_cast<std::uint64_t>(endPos) + kEndRecordSize + commentLength;
  if (commentEnd > run->archiveSize) commentLength = static_cast<std::size_t>(run->archiveSize - endPos - kEndRecordSize);
  run->comment.assign(commentLength, '\0');
  if (commentLength > 0 && !ReadAt(run->in.get(), static_cast<std::uint64_t>(endPos) + kEndRecordSize, &run->comment[0], commentLength))
    return ZipAbort(run, kZipUnexpectedEnd, run->zipName.c_str());

  if (centralSize > static_cast<std::uint64_t>(endPos)) return ZipAbort(run, kZipBadStructure, "central directory size");
  std::uint64_t centralStart = static_cast<std::uint64_t>(endPos) - centralSize;
  std::int64_t adjust = static_cast<std::int64_t>(centralStart) - static_cast<std::int64_t>(centralOffset);
  run->oldCentralOffset = centralStart;
  run->oldCentral.resize(static_cast<std::size_t>(commentEnd > run->archiveSize ? run->archiveSize - centralStart
                                                                                 : commentEnd - centralStart));
  if (!ReadAt(run->in.get(), centralStart, run->oldCentral.data(), run->oldCentral.size()))
    return ZipAbortIo(run, kZipBadStructure, "fseek", 0);

  const std::uint8_t* p = run->oldCentral.data();
  std::size_t pos = 0;
  const std::size_t limit = centralSize;
  std::uint64_t number = 0;
  std::uint64_t firstOffset = centralStart;
  while (pos + 4 <= limit && Is(p + pos, kCentralSig)) {
    number++;
    if (pos + kCentralHeaderSize > limit) return ZipAbort(run, kZipBadStructure, "central header cut short");
    const std::uint8_t* h = p + pos;
    auto e = std::make_unique<ZipEntry>();
    e->versionMadeBy = ZipGet16(h + 4);
    e->versionNeeded = ZipGet16(h + 6);
    e->flags = ZipGet16(h + 8);
    e->method = ZipGet16(h + 10);
    e->dosTime = ZipGet32(h + 12);
    e->crc = ZipGet32(h + 16);
    e->compressedSize = ZipGet32(h + 20);
    e->uncompressedSize = ZipGet32(h + 24);
    std::size_t nameLength = ZipGet16(h + 28), extraLength = ZipGet16(h + 30), commentLen = ZipGet16(h + 32);
    e->diskStart = ZipGet16(h + 34);
    e->internalAttributes = ZipGet16(h + 36);
    e->externalAttributes = ZipGet32(h + 38);
    std::int64_t offset = static_cast<std::int64_t>(ZipGet32(h + 42)) + (run->adjustOffsets ? adjust : 0);
    if (pos + kCentralHeaderSize + nameLength + extraLength + commentLen > limit)
      return ZipAbort(run, kZipBadStructure, "central header cut short");
    if (offset < 0) return ZipAbort(run, kZipBadStructure, "local header offset");
    e->localOffset = static_cast<std::uint64_t>(offset);
    const char* text = reinterpret_cast<const char*>(h + kCentralHeaderSize);
    e->name.assign(text, nameLength);
    e->centralExtra.assign(h + kCentralHeaderSize + nameLength, h + kCentralHeaderSize + nameLength + extraLength);
    e->comment.assign(text + nameLength + extraLength, commentLen);
    e->display = e->name;
    e->dosName = e->versionMadeBy < 0x100;
    pos += kCentralHeaderSize + nameLength + extraLength + commentLen;
    if (nameLength == 0) return ZipAbort(run, kZipBadStructure, Format("zero-length name for entry #%lu", static_cast<unsigned long>(number)).c_str());
    int r = CheckLocalHeader(run, e.get());
    if (r != kZipOk) return r;
    if (run->verbose > 0) VerboseChecks(run, *e);
    firstOffset = std::min(firstOffset, e->localOffset);
    run->entries.push_back(std::move(e));
  }
  if (pos != limit) return ZipAbort(run, kZipBadStructure, "central directory");
  run->preamble = firstOffset;
  NotePreamble(run);
  ZipSortIndex(run);
  return kZipOk;
}

// Reads the archive through its local headers instead of the central directory (-F,
// -FF): for archives whose directory is damaged or missing.
int ZipReadArchiveRepair(ZipRun* run) {
  ZipFile* f = run->in.get();
  const std::uint64_t size = run->archiveSize;
  std::int64_t first = ScanForSignature(f, 0, size, {kLocalSig, kEndSig});
  if (first < 0) first = static_cast<std::int64_t>(size);
  std::uint64_t pos = static_cast<std::uint64_t>(first);
  run->preamble = pos;
  if (pos > 0 && run->noisy)
    ZipErrorText("%s: adjusting offsets for a preamble of %lu bytes\n", run->zipName.c_str(), static_cast<unsigned long>(pos));
  ZipFileStat st = run->archiveStat;
  std::uint32_t external = (st.attributes & 0x37) | (st.mode << 16);
  std::uint64_t number = 0;
  std::uint8_t sig[4] = {};
  for (;;) {
    if (pos + 4 > size || !ReadAt(f, pos, sig, 4) || !Is(sig, kLocalSig)) break;
    std::uint8_t h[kLocalHeaderSize];
    if (pos + kLocalHeaderSize > size || !ReadAt(f, pos, h, sizeof h)) break;
    number++;
    auto e = std::make_unique<ZipEntry>();
    e->versionNeeded = ZipGet16(h + 4);
    e->localFlags = e->flags = ZipGet16(h + 6);
    e->method = ZipGet16(h + 8);
    e->dosTime = ZipGet32(h + 10);
    e->crc = ZipGet32(h + 14);
    e->compressedSize = ZipGet32(h + 18);
    e->uncompressedSize = ZipGet32(h + 22);
    std::size_t nameLength = ZipGet16(h + 26), extraLength = ZipGet16(h + 28);
    std::uint64_t dataStart = pos + kLocalHeaderSize + nameLength + extraLength;
    if (dataStart > size) break;
    e->name.assign(nameLength, '\0');
    e->localExtra.resize(extraLength);
    if ((nameLength > 0 && !ReadAt(f, pos + kLocalHeaderSize, &e->name[0], nameLength)) ||
        (extraLength > 0 && !ReadAt(f, pos + kLocalHeaderSize + nameLength, e->localExtra.data(), extraLength)))
      break;
    if (nameLength == 0)
      return ZipAbort(run, kZipBadStructure, Format("zero-length name for entry #%lu", static_cast<unsigned long>(number)).c_str());
    e->centralExtra = e->localExtra;
    e->display = e->name;
    e->localNameLength = static_cast<std::uint16_t>(nameLength);
    e->localOffset = pos;
    e->dosName = run->dosNames;
    e->versionMadeBy = run->dosNames ? 20 : kZipMadeBy;
    e->externalAttributes = external;
    if (run->noisy) ZipErrorText("zip: reading %s\n", e->display.c_str());

    std::uint64_t next;
    if (e->localFlags & kZipFlagDescriptor) {
      std::uint8_t d[kDescriptorSize];
      if (e->compressedSize == 0) {
        // The sizes are only in the descriptor: find the one that ends where it says.
        std::int64_t at = ScanSignatures(f, dataStart, size, {kDescriptorSig}, [&](std::uint64_t candidate) {
          return candidate + kDescriptorSize <= size && ReadAt(f, candidate, d, sizeof d) &&
                 ZipGet32(d + 8) == candidate - dataStart;
        });
        if (at < 0) return Structure(run, "bad extended local header for ", e->display);
        next = static_cast<std::uint64_t>(at) + kDescriptorSize;
      } else {
        std::uint64_t at = dataStart + e->compressedSize;
        if (at + kDescriptorSize > size || !ReadAt(f, at, d, sizeof d) || !Is(d, kDescriptorSig))
          return Structure(run, "extended local header not found for ", e->display);
        next = at + kDescriptorSize;
      }
      e->crc = ZipGet32(d + 4);
      e->compressedSize = ZipGet32(d + 8);
      e->uncompressedSize = ZipGet32(d + 12);
    } else if (run->repair >= 2) {
      std::int64_t at = ScanForSignature(f, dataStart, size, {kLocalSig, kCentralSig});
      std::uint64_t actual = (at < 0 ? size : static_cast<std::uint64_t>(at)) - dataStart;
      if (actual != e->compressedSize) {
        if (run->noisy)
          ZipErrorText(" compressed size %ld, actual size %ld for %s\n", static_cast<long>(e->compressedSize),
                       static_cast<long>(actual), e->display.c_str());
        if (actual > kZipMax32) break;
        e->compressedSize = static_cast<std::uint32_t>(actual);
      }
      next = dataStart + actual;
    } else {
      next = dataStart + e->compressedSize;
      if (next > size) break;
    }
    run->entries.push_back(std::move(e));
    pos = next;
  }
  bool atCentral = pos + 4 <= size && ReadAt(f, pos, sig, 4) && Is(sig, kCentralSig);
  if (!atCentral) {
    if (run->noisy)
      ZipErrorText("zip warning: %s %s truncated.\n", run->zipName.c_str(), run->repair >= 2 ? "has been" : "would be");
    if (run->repair == 1 && run->noisy) {
      ZipErrorText("Retry with option -qF to truncate, with -FF to attempt full recovery\n");
      return ZipAbort(run, kZipBadStructure, run->zipName.c_str());
    }
  }
  ZipSortIndex(run);
  return kZipOk;
}
