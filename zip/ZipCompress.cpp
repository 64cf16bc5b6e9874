// Compressing one entry: method choice, reading the file through the line-end
// conversions, storing or deflating, encryption, and completing the headers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "zip/ZipCrc32.h"
#include "zip/ZipRun.h"

// ---------------------------------------------------------------------------------------
// Traditional encryption

void ZipCipher::Init(const std::string& password) {
  keys[0] = 0x12345678u;
  keys[1] = 0x23456789u;
  keys[2] = 0x34567890u;
  for (char c : password) Update(static_cast<std::uint8_t>(c));
}

std::uint8_t ZipCipher::StreamByte() const {
  unsigned t = (keys[2] & 0xFFFF) | 2;
  return static_cast<std::uint8_t>((t * (t ^ 1)) >> 8);
}

void ZipCipher::Update(std::uint8_t plain) {
  const std::uint32_t* table = ZipLazyCrcTable();
  keys[0] = table[(keys[0] ^ plain) & 0xFF] ^ (keys[0] >> 8);
  keys[1] += keys[0] & 0xFF;
  keys[1] = keys[1] * 134775813u + 1;
  keys[2] = table[(keys[2] ^ (keys[1] >> 24)) & 0xFF] ^ (keys[2] >> 8);
}

std::uint16_t ZipPercent(std::uint64_t in, std::uint64_t out) {
  if (in > 0xFFFFFF) {
    in = (in + 128) >> 8;
    out = (out + 128) >> 8;
  }
  if (out >= in || in == 0) return 0;
  return static_cast<std::uint16_t>(((in - out) * 200 / in + 1) / 2);
}

namespace {

constexpr std::size_t kReadBlock = 32768;

// The file's data as it goes into the entry: line ends converted, CRC-32 and count kept.
class SourceReader : public ZipDeflateSource {
public:
  SourceReader(ZipRun* run, ZipFile* file) : run_(run), file_(file), raw_(kReadBlock + 2) {}

  // ZipReadSourceData: up to len converted bytes; 0 at the end; -1 on a read error or
  // when the data passes 4 GiB - 1 bytes.
  long Read(std::uint8_t* buf, std::size_t len) override {
    if (failed_) return -1;
    for (;;) {
      if (ended_) return Finish(buf, len);
      long n = Convert(buf, len);
      if (n < 0) return -1;
      if (n > 0) return Account(buf, static_cast<std::size_t>(n));
    }
  }

  std::uint32_t crc = 0;
  std::uint64_t count = 0;
  bool readError = false;
  bool tooBig = false;

private:
  long Account(const std::uint8_t* buf, std::size_t n) {
    crc = ZipUpdateCrc32(crc, buf, n);
    count += n;
    if (count > kZipMax32) {
      tooBig = true;
      failed_ = true;
      return -1;
    }
    return static_cast<long>(n);
  }

  long ReadRaw(std::uint8_t* dest, std::size_t len) {
    long n = file_->Read(dest, len);
    if (n < 0) {
      readError = true;
      failed_ = true;
    }
    return n;
  }

  // At the end of the file: a carried CR is data; a carried Ctrl-Z marked the end.
  long Finish(std::uint8_t* buf, std::size_t len) {
    if (carry_ == '\r' && len > 0) {
      carry_ = 0;
      buf[0] = '\r';
      return Account(buf, 1);
    }
    carry_ = 0;
    return 0;
  }

  long Convert(std::uint8_t* buf, std::size_t len) {
    if (run_->lineEnds == 0) {
      long n = ReadRaw(buf, len);
      if (n == 0) ended_ = true;
      return n;
    }
    if (run_->lineEnds == 1) {
      // LF to CR LF: half a buffer is read so that the expansion fits.
      std::size_t want = len / 2 > 0 ? len / 2 : 1;
      if (want > kReadBlock) want = kReadBlock;
      long n = ReadRaw(raw_.data(), want);
      if (n <= 0) {
        if (n == 0) ended_ = true;
        return n;
      }
      std::size_t o = 0;
      for (long i = 0; i < n && o < len; i++) {
        if (raw_[static_cast<std::size_t>(i)] == '\n') buf[o++] = '\r';
        buf[o++] = raw_[static_cast<std::size_t>(i)];
      }
      return static_cast<long>(o);
    }
    // CR LF to LF. A CR or a Ctrl-Z that ends a read block is carried over to the next
    // one: only then is it known whether a LF follows, or whether the file ends there.
    std::size_t have = 0;
    if (carry_) raw_[have++] = carry_;
    carry_ = 0;
    std::size_t want = len < kReadBlock ? len : kReadBlock;
    if (want <= have) want = have + 1;
    long n = ReadRaw(raw_.data() + have, want - have);
    if (n < 0) return -1;
    if (n == 0) {
      ended_ = true;
      if (have > 0) carry_ = raw_[0];
      return 0;
    }
    have += static_cast<std::size_t>(n);
    std::size_t o = 0;
    for (std::size_t i = 0; i < have; i++) {
      std::uint8_t c = raw_[i];
      if (c == '\r') {
        if (i + 1 == have) {
          carry_ = '\r';
          break;
        }
        if (raw_[i + 1] == '\n') continue;
      }
      buf[o++] = c;
    }
    if (!carry_ && o > 0 && buf[o - 1] == 0x1A) {
      carry_ = 0x1A;
      o--;
    }
    return static_cast<long>(o);
  }

  ZipRun* run_;
  ZipFile* file_;
  std::vector<std::uint8_t> raw_;
  std::uint8_t carry_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// Entry data on its way to the archive, enciphered when a password is set.
class EntrySink : public ZipDeflateSink {
public:
  explicit EntrySink(ZipRun* run) : run_(run) {}
  bool Write(const std::uint8_t* data, std::size_t len) override {
    if (!run_->encrypt) return run_->out.Write(data, len);
    std::uint8_t buf[1024];
    while (len > 0) {
      std::size_t n = len < sizeof buf ? len : sizeof buf;
      for (std::size_t i = 0; i < n; i++) buf[i] = run_->cipher.Encrypt(data[i]);
      if (!run_->out.Write(buf, n)) return false;
      data += n;
      len -= n;
    }
    return true;
  }

private:
  ZipRun* run_;
};

// The data of the name "-".
class StandardInput : public ZipFile {
public:
  long Read(void* buf, std::size_t len) override {
    std::size_t n = std::fread(buf, 1, len, stdin);
    return n == 0 && std::ferror(stdin) ? -1 : static_cast<long>(n);
  }
  long Write(const void*, std::size_t) override { return -1; }
  bool Seek(std::int64_t, int) override { return false; }
  std::int64_t Tell() override { return -1; }
  bool SetSize(std::uint64_t) override { return false; }
  bool Close() override { return true; }
};

bool HasStoredSuffix(const ZipRun* run, const std::string& name) {
  const std::string& list = run->suffixes;
  std::size_t i = 0;
  while (i <= list.size()) {
    std::size_t j = list.find_first_of(":;", i);
    if (j == std::string::npos) j = list.size();
    std::string suffix = list.substr(i, j - i);
    if (!suffix.empty() && suffix.size() <= name.size() &&
        ZipCompareNames(name.substr(name.size() - suffix.size()), suffix) == 0)
      return true;
    i = j + 1;
  }
  return false;
}

void WriteEncryptionHeader(ZipRun* run, std::uint32_t dosTime, std::uint8_t* header) {
  static std::once_flag seeded;
  std::call_once(seeded, [] { std::srand(static_cast<unsigned>(std::time(nullptr))); });
  run->cipher.Init(run->password);
  for (int i = 0; i < 10; i++) header[i] = run->cipher.Encrypt(static_cast<std::uint8_t>(std::rand() >> 7));
  // The check bytes: the low half of the DOS time, which the data descriptor lets a
  // reader know before the CRC-32.
  header[10] = static_cast<std::uint8_t>(dosTime);
  header[11] = static_cast<std::uint8_t>(dosTime >> 8);
  run->cipher.Init(run->password);
  for (int i = 0; i < 12; i++) header[i] = run->cipher.Encrypt(header[i]);
}

}  // namespace

int ZipCompressEntry(ZipRun* run, ZipEntry* e) {
  const bool isLabel = e->path.empty();  // the volume label entry has no file
  ZipFileInfo info;
  if (isLabel) {
    info.attributes = kZipAttrVolumeLabel | kZipAttrArchive;
  } else if (!ZipGetFileInfo(run, e->path, &info)) {
    return kZipNotFound;
  }
  const bool nameIsFolder = !e->name.empty() && e->name.back() == '/';
  if (!isLabel && nameIsFolder != info.isDirectory) return -1;
  const bool noData = isLabel || info.isDirectory;
  std::unique_ptr<ZipFile> file;
  if (!noData) {
    if (e->path == "-")
      file = std::make_unique<StandardInput>();
    else
      file = run->fs->Open(e->path.c_str(), ZipFileSystem::OpenMode::kRead, nullptr);
    if (!file) return kZipNotFound;
  }
  if (!noData && info.size > kZipMax32 && run->lineEnds == 0)
    return ZipAbort(run, kZipTooBig, "file exceeds Zip's 4GB uncompressed size limit");

  const bool unknownSize = e->path == "-";
  bool deflate = !noData && (info.size > 0 || unknownSize) && !run->storeAll && run->level > 0 && !HasStoredSuffix(run, e->name);
  if (isLabel) {
    e->dosTime = kZipDos1980;
  } else {
    e->dosTime = ZipUnixToDosTime(info.mtime);
  }
  e->externalAttributes = info.attributes | (e->dosName ? 0 : info.mode << 16);
  if (e->dosName)
    e->versionMadeBy = run->dosNames ? 20 : 23;
  else
    e->versionMadeBy = kZipMadeBy;
  e->localExtra.clear();
  e->centralExtra.clear();
  if (run->extraFields && !isLabel) {
    ZipReadSecurityExtra(run, e->path, info.isDirectory, &e->localExtra, &e->centralExtra);
    std::vector<std::uint8_t> local = ZipTimestampExtra(info, false), central = ZipTimestampExtra(info, true);
    e->localExtra.insert(e->localExtra.end(), local.begin(), local.end());
    e->centralExtra.insert(e->centralExtra.end(), central.begin(), central.end());
  }
  const int level = run->level;
  std::uint16_t levelFlags = 0;
  if (deflate) levelFlags = level <= 2 ? kZipFlagFast : level >= 8 ? kZipFlagMaximum : 0;
  e->flags = static_cast<std::uint16_t>(kZipFlagDescriptor | (run->encrypt ? kZipFlagEncrypted : 0) | levelFlags);
  e->localFlags = e->flags;
  e->method = deflate ? 8 : 0;
  e->versionNeeded = deflate ? 20 : 10;
  e->crc = e->compressedSize = e->uncompressedSize = 0;
  e->internalAttributes = 0;
  e->diskStart = 0;
  e->localOffset = run->out.Tell();
  if (e->localOffset > kZipMax32) return ZipAbort(run, kZipTooBig, "zip file exceeds 4 GB without zip64");

  int r = ZipWriteLocalHeader(run, *e);
  if (r != kZipOk) return ZipAbort(run, r, e->display.c_str());
  const std::uint64_t dataStart = run->out.Tell();
  if (run->encrypt && !noData) {
    std::uint8_t header[12];
    WriteEncryptionHeader(run, e->dosTime, header);
    if (!run->out.Write(header, sizeof header)) return ZipAbort(run, kZipWriteFailure, "unexpected error on zip file");
  }

  SourceReader reader(run, file.get());
  EntrySink sink(run);
  bool writeFailed = false;
  if (!noData && !deflate) {
    std::vector<std::uint8_t> buf(kReadBlock);
    std::uint64_t dots = 0;
    for (;;) {
      long n = reader.Read(buf.data(), buf.size());
      if (n <= 0) break;
      if (!sink.Write(buf.data(), static_cast<std::size_t>(n))) {
        writeFailed = true;
        break;
      }
      if (run->verbose > 0 && run->noisy) {
        for (std::uint64_t d = reader.count / 16384; dots < d; dots++) ZipMessage(run, ".");
      }
    }
  } else if (deflate) {
    ZipDeflateOutcome outcome;
    ZipDeflateStatus status = run->deflater.Deflate(level, &reader, &sink, true, &outcome);
    if (status == ZipDeflateStatus::kBadLevel) return ZipAbort(run, kZipLogicError, "bad pack level");
    if (status == ZipDeflateStatus::kWriteError) writeFailed = true;
    if (outcome.storedWhole) {
      e->method = 0;
      e->versionNeeded = 10;
      e->flags = e->localFlags = static_cast<std::uint16_t>(e->flags & ~(kZipFlagFast | kZipFlagMaximum));
    }
    if (outcome.text) e->internalAttributes = 1;
    if (run->lineEnds != 0 && !outcome.text) ZipPrintWarning(run, "-l used on binary file", "");
  }
  if (reader.tooBig) return ZipAbort(run, kZipTooBig, "file exceeds Zip's 4GB uncompressed size limit");
  if (reader.readError) return ZipAbortIo(run, kZipReadFailure, e->path.c_str(), 0);
  if (writeFailed || run->out.failed()) return ZipAbort(run, kZipWriteFailure, "unexpected error on zip file");
  file.reset();

  e->crc = reader.crc;
  e->uncompressedSize = static_cast<std::uint32_t>(reader.count);
  std::uint64_t compressed = run->out.Tell() - dataStart;
  if (compressed > kZipMax32) return ZipAbort(run, kZipTooBig, "entry exceeds 4 GB compressed without zip64");
  e->compressedSize = static_cast<std::uint32_t>(compressed);
  run->totalIn += e->uncompressedSize;
  run->totalOut += e->compressedSize;

  // The archive is a file: the local header gets the real values. Only an encrypted
  // entry keeps its data descriptor (its check byte was taken from the time).
  if (!run->encrypt || noData) e->flags = static_cast<std::uint16_t>(e->flags & ~kZipFlagDescriptor);
  if (run->encrypt && noData) e->flags = static_cast<std::uint16_t>(e->flags & ~kZipFlagEncrypted);
  e->localFlags = e->flags;
  const std::uint64_t end = run->out.Tell();
  if (!run->out.SeekTo(e->localOffset)) return ZipAbort(run, kZipWriteFailure, "unexpected error on zip file");
  r = ZipWriteLocalHeader(run, *e);
  if (r != kZipOk) return ZipAbort(run, r, e->display.c_str());
  if (run->out.Tell() != dataStart) {
    ZipErrorText(" s=%ld, actual=%ld ", static_cast<long>(dataStart), static_cast<long>(run->out.Tell()));
    return ZipAbort(run, kZipLogicError, "incorrect compressed size");
  }
  if (!run->out.SeekTo(end)) return ZipAbort(run, kZipWriteFailure, "unexpected error on zip file");
  if (e->flags & kZipFlagDescriptor) {
    r = ZipWriteDataDescriptor(run, *e);
    if (r != kZipOk) return ZipAbort(run, r, e->display.c_str());
  }

  if (run->noisy) {
    if (run->verbose > 0)
      ZipMessage(run, "\t(in=%lu) (out=%lu)", static_cast<unsigned long>(e->uncompressedSize),
                 static_cast<unsigned long>(e->compressedSize));
    if (e->method == 8)
      ZipMessage(run, " (deflated %d%%)\n", ZipPercent(e->uncompressedSize, e->compressedSize));
    else
      ZipMessage(run, " (stored 0%%)\n");
  }
  return kZipOk;
}
