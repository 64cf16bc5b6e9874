// Archive processing: from an archive name to a walk over its entries.
#include <algorithm>
#include <cstring>
#include <new>

#include "zip/UnzipContext.h"

namespace {

const std::uint8_t kCentralSig[4] = {'P', 'K', 1, 2};
const std::uint8_t kLocalSig[4] = {'P', 'K', 3, 4};
const std::uint8_t kEndSig[4] = {'P', 'K', 5, 6};

const char* Plural(std::uint64_t n) { return n == 1 ? "" : "s"; }

// Offsets within the archive as the engine sees them (stored offset + extra bytes) and
// as the file holds them.
std::int64_t InputPosition(const UnzipContext* c) {
  return c->bufferStart + static_cast<std::int64_t>(c->bufferPos) - c->extraBytes;
}

bool ReadBlockAt(UnzipContext* c, std::int64_t fileOffset) {
  c->bufferStart = fileOffset;
  c->bufferLength = 0;
  c->bufferPos = 0;
  if (!c->archive->Seek(fileOffset, 0)) return false;
  long n = UnzipReadArchive(c, c->input_.get(), kUnzipInputSize);
  c->bufferLength = n > 0 ? static_cast<std::size_t>(n) : 0;
  return n > 0;
}

}  // namespace

long UnzipReadArchive(UnzipContext* c, std::uint8_t* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    long n = c->archive->Read(buffer + done, count - done);
    if (n < 0) {
      UnzipInfo(c, kUnzipMsgError, "error:  zipfile read error\n");
      return 0;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

int UnzipPositionInput(UnzipContext* c, std::int64_t offset) {
  std::int64_t abs = offset + c->extraBytes;
  if (abs < 0) return kUnzipBadStructure;
  if (abs >= c->bufferStart && abs < c->bufferStart + static_cast<std::int64_t>(c->bufferLength)) {
    c->bufferPos = static_cast<std::size_t>(abs - c->bufferStart);
    return 0;
  }
  std::int64_t block = abs - abs % static_cast<std::int64_t>(kUnzipInputSize);
  ReadBlockAt(c, block);
  c->bufferPos = static_cast<std::size_t>(abs - block);
  if (c->bufferPos >= c->bufferLength) {
    c->bufferPos = c->bufferLength;
    return kUnzipEarlyEnd;
  }
  return 0;
}

std::size_t UnzipReadInput(UnzipContext* c, std::uint8_t* dest, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    if (c->bufferPos >= c->bufferLength) {
      std::int64_t next = c->bufferStart + static_cast<std::int64_t>(c->bufferLength);
      if (!ReadBlockAt(c, next)) break;
    }
    std::size_t n = std::min(count - done, c->bufferLength - c->bufferPos);
    std::memcpy(dest + done, c->input_.get() + c->bufferPos, n);
    c->bufferPos += n;
    done += n;
  }
  return done;
}

// The next piece of the current entry's compressed data, never past its compressed
// size; deciphered as it is handed out.
long UnzipNextEntryChunk(UnzipContext* c, const std::uint8_t** data) {
  if (c->compressedLeft == 0 || c->fatal) return 0;
  if (c->bufferPos >= c->bufferLength) {
    std::int64_t next = c->bufferStart + static_cast<std::int64_t>(c->bufferLength);
    c->bufferStart = next;
    c->bufferLength = c->bufferPos = 0;
    if (!c->archive->Seek(next, 0)) return 0;
    long n = c->archive->Read(c->input_.get(), kUnzipInputSize);
    if (n < 0) {
      UnzipInfo(c, kUnzipMsgError, "error:  zipfile read error\n");
      c->fatal = true;
      return -1;
    }
    if (n == 0) return 0;  // the archive ends inside the entry
    c->bufferLength = static_cast<std::size_t>(n);
  }
  std::size_t n = std::min<std::uint64_t>(c->bufferLength - c->bufferPos, c->compressedLeft);
  std::uint8_t* p = c->input_.get() + c->bufferPos;
  if (c->decrypting) {
    for (std::size_t i = 0; i < n; i++) {
      std::uint8_t plain = p[i] ^ UnzipCipherStreamByte(c);
      UnzipCipherAdvance(c, plain);
      p[i] = plain;
    }
  }
  c->bufferPos += n;
  c->compressedLeft -= n;
  *data = p;
  return static_cast<long>(n);
}

int UnzipFetchEntryByte(UnzipContext* c) {
  if (c->byteNext == c->byteEnd) {
    const std::uint8_t* p = nullptr;
    long n = UnzipNextEntryChunk(c, &p);
    if (n <= 0) return -1;
    c->byteNext = p;
    c->byteEnd = p + n;
  }
  return *c->byteNext++;
}

int UnzipReadCentralHeader(UnzipContext* c) {
  std::uint8_t h[42];
  if (UnzipReadInput(c, h, sizeof h) != sizeof h) return kUnzipEarlyEnd;
  UnzipCentralHeader& r = c->central;
  r.versionMadeBy = h[0];
  r.hostSystem = h[1];
  r.versionNeeded = h[2];
  r.versionNeededHost = h[3];
  r.flags = UnzipGet16(h + 4);
  r.method = UnzipGet16(h + 6);
  r.dosDateTime = UnzipGet32(h + 8);
  r.crc = UnzipGet32(h + 12);
  r.compressedSize = UnzipGet32(h + 16);
  r.uncompressedSize = UnzipGet32(h + 20);
  r.nameLength = UnzipGet16(h + 24);
  r.extraLength = UnzipGet16(h + 26);
  r.commentLength = UnzipGet16(h + 28);
  r.diskStart = UnzipGet16(h + 30);
  r.internalAttributes = UnzipGet16(h + 32);
  r.externalAttributes = UnzipGet32(h + 34);
  r.localOffset = UnzipGet32(h + 38);
  return 0;
}

int UnzipReadLocalHeader(UnzipContext* c) {
  std::uint8_t h[26];
  if (UnzipReadInput(c, h, sizeof h) != sizeof h) return kUnzipEarlyEnd;
  UnzipLocalHeader& r = c->local;
  r.versionNeeded = h[0];
  r.versionNeededHost = h[1];
  r.flags = UnzipGet16(h + 2);
  r.method = UnzipGet16(h + 4);
  r.dosDateTime = UnzipGet32(h + 6);
  r.crc = UnzipGet32(h + 10);
  r.compressedSize = UnzipGet32(h + 14);
  r.uncompressedSize = UnzipGet32(h + 18);
  r.nameLength = UnzipGet16(h + 22);
  r.extraLength = UnzipGet16(h + 24);
  return 0;
}

int UnzipReadVariableField(UnzipContext* c, std::size_t length, int action, std::string* name) {
  switch (action) {
    case kFieldSkip: {
      std::uint8_t scratch[256];
      while (length > 0) {
        std::size_t n = std::min(length, sizeof scratch);
        if (UnzipReadInput(c, scratch, n) != n) return kUnzipEarlyEnd;
        length -= n;
      }
      return 0;
    }
    case kFieldComment: {
      // An entry comment, kept for display.
      name->assign(length, '\0');
      if (length > 0 && UnzipReadInput(c, reinterpret_cast<std::uint8_t*>(&(*name)[0]), length) != length)
        return kUnzipEarlyEnd;
      return 0;
    }
    case kFieldCentralName:
    case kFieldLocalName: {
      int result = 0;
      std::size_t keep = std::min(length, kUnzipMaxName);
      name->assign(keep, '\0');
      if (keep > 0 && UnzipReadInput(c, reinterpret_cast<std::uint8_t*>(&(*name)[0]), keep) != keep)
        return kUnzipEarlyEnd;
      if (length > keep) {
        UnzipInfo(c, kUnzipMsgError, "warning:  filename too long--truncating.\n");
        std::size_t nul = name->find('\0');
        UnzipInfo(c, kUnzipMsgError, "[ %s ]\n", UnzipPrintableName(name->substr(0, nul).c_str()).c_str());
        if (UnzipReadVariableField(c, length - keep, kFieldSkip, nullptr) != 0) return kUnzipEarlyEnd;
        result = kUnzipWarning;
      }
      return result;
    }
    case kFieldExtra: {
      c->extraField.clear();
      if (length == 0) return 0;
      std::vector<std::uint8_t> block;
      try {
        block.resize(length);
      } catch (const std::bad_alloc&) {
        UnzipInfo(c, kUnzipMsgError, "warning:  extra field too long (%d).  Ignoring...\n", static_cast<int>(length));
        return UnzipReadVariableField(c, length, kFieldSkip, nullptr);
      }
      if (UnzipReadInput(c, block.data(), length) != length) return kUnzipEarlyEnd;
      c->extraField.swap(block);
      return 0;
    }
  }
  return 0;
}

void UnzipConvertName(const UnzipContext* c, std::string* name, std::uint8_t hostSystem, std::uint8_t hostVersion,
                      bool unixAttributes, bool fromLocal) {
  bool convert = false;
  if (hostSystem == 0)
    convert = !fromLocal && !(unixAttributes && (hostVersion == 25 || hostVersion == 26 || hostVersion == 40));
  else if (hostSystem == 6)
    convert = true;
  else if (hostSystem == 11)
    convert = hostVersion == 50;
  if (convert && !name->empty()) c->fs->OemToAnsi(&(*name)[0], name->size());
}

// Fills an entry record from the central header just read (its name in *nameInOut).
bool UnzipTakeCentralEntry(UnzipContext* c, std::uint64_t number, UnzipEntry* e) {
  const UnzipCentralHeader& h = c->central;
  e->number = number;
  e->localOffset = h.localOffset;
  e->hostVersion = h.versionMadeBy;
  e->hostSystem = h.hostSystem > 30 ? 31 : h.hostSystem;
  e->versionNeeded = h.versionNeeded;
  e->versionNeededHost = h.versionNeededHost;
  e->flags = h.flags;
  e->encrypted = (h.flags & 1) != 0;
  e->dataDescriptor = (h.flags & 8) != 0;
  e->text = (h.internalAttributes & 1) != 0;
  e->externalAttributes = h.externalAttributes;
  e->dosAttributes = h.externalAttributes & 0xFF;
  e->unixAttributes = (h.externalAttributes >> 16) != 0;
  e->volumeLabel = (h.externalAttributes & kZipAttrVolumeLabel) &&
                   (h.hostSystem == 0 || h.hostSystem == 5 || h.hostSystem == 6 || h.hostSystem == 11);
  e->crc = h.crc;
  e->compressedSize = h.compressedSize;
  e->uncompressedSize = h.uncompressedSize;
  e->method = h.method;
  e->dosDateTime = h.dosDateTime;
  // A name holding a zero byte ends there; like a cut name it may now equal another.
  std::size_t nul = e->rawName.find('\0');
  if (nul != std::string::npos) {
    e->rawName.resize(nul);
    e->nameCut = true;
  }
  e->name = e->rawName;
  UnzipConvertName(c, &e->name, e->hostSystem, e->hostVersion, e->unixAttributes, false);
  if (e->volumeLabel && e->name.size() > 8 && e->name[8] == '.') e->name.erase(8, 1);
  return true;
}

int UnzipFindEndRecord(UnzipContext* c, std::int64_t searchLimit) {
  const std::int64_t size = c->archiveSize;
  std::uint8_t* buf = c->input_.get();
  std::int64_t found = -1;
  auto scan = [&](std::int64_t blockStart, std::size_t blockLen, std::int64_t from) {
    // from: the highest offset in the block to try.
    for (std::int64_t i = from; i >= 0; i--) {
      if (blockStart + i + 22 > size) continue;
      if (std::memcmp(buf + i, kEndSig, 4) == 0) {
        found = blockStart + i;
        return true;
      }
    }
    (void)blockLen;
    return false;
  };
  auto readAt = [&](std::int64_t off, std::size_t len) {
    return c->archive->Seek(off, 0) && UnzipReadArchive(c, buf, len) == static_cast<long>(len);
  };

  if (size <= static_cast<std::int64_t>(kUnzipInputSize)) {
    std::size_t len = static_cast<std::size_t>(size);
    if (len >= 22 && readAt(0, len)) scan(0, len, static_cast<std::int64_t>(len) - 22);
  } else {
    std::int64_t tail = size % static_cast<std::int64_t>(kUnzipInputSize);
    std::int64_t pos = size - tail;
    if (tail > 18) {
      if (readAt(pos, static_cast<std::size_t>(tail))) {
        std::memcpy(buf + kUnzipInputSize, buf, 3);
        scan(pos, static_cast<std::size_t>(tail), tail - 22);
      }
    } else if (tail > 0) {
      // Too short to hold a record; keep its first bytes for a signature that straddles.
      if (readAt(pos, static_cast<std::size_t>(tail))) std::memcpy(buf + kUnzipInputSize, buf, 3);
    }
    std::int64_t blocks = (searchLimit - tail + static_cast<std::int64_t>(kUnzipInputSize) - 1) /
                          static_cast<std::int64_t>(kUnzipInputSize);
    std::uint8_t hold[3];
    std::memcpy(hold, buf + kUnzipInputSize, 3);
    for (std::int64_t b = 0; found < 0 && b < blocks && pos > 0; b++) {
      pos -= static_cast<std::int64_t>(kUnzipInputSize);
      if (!readAt(pos, kUnzipInputSize)) break;
      std::memcpy(buf + kUnzipInputSize, hold, 3);  // the next block's first bytes
      std::memcpy(hold, buf, 3);
      scan(pos, kUnzipInputSize, static_cast<std::int64_t>(kUnzipInputSize) - 1);
    }
  }
  c->bufferLength = c->bufferPos = 0;  // the buffer was used for the search

  if (found < 0) {
    if (c->quiet == 0 || c->detailListing) UnzipInfo(c, kUnzipMsgError, "[%s]\n", c->archiveName.c_str());
    UnzipInfo(c, kUnzipMsgError,
              "  End-of-central-directory signature not found.  Either this file is not\n"
              "  a zipfile, or it constitutes one disk of a multi-part archive.  In the\n"
              "  latter case the central directory and zipfile comment will be found on\n"
              "  the last disk(s) of this archive.\n");
    return kUnzipBadData;
  }
  std::uint8_t rec[22];
  if (!c->archive->Seek(found, 0) || UnzipReadArchive(c, rec, 22) != 22) return kUnzipEarlyEnd;
  UnzipEndRecord& e = c->endRecord;
  e.diskNumber = UnzipGet16(rec + 4);
  e.centralDisk = UnzipGet16(rec + 6);
  e.entriesThisDisk = UnzipGet16(rec + 8);
  e.totalEntries = UnzipGet16(rec + 10);
  e.centralSize = UnzipGet32(rec + 12);
  e.centralOffset = UnzipGet32(rec + 16);
  e.commentLength = UnzipGet16(rec + 20);
  e.position = found;
  return 0;
}

int UnzipProcessArchive(UnzipContext* c, bool lastTry) {
  int worst = 0;
  const char* name = c->archiveName.c_str();
  ZipFileStat st;
  if (UnzipStatFile(c, c->archiveName, &st) != 0) {
    if (lastTry && c->quiet < 3) {
      if (c->noEndRecordFlag)
        UnzipInfo(c, kUnzipMsgError, "%s:  cannot find zipfile directory in %s,\n        %sand cannot find %s, period.\n",
                  kUnzipEngineName, c->zipFileName.c_str(), "", name);
      else
        UnzipInfo(c, kUnzipMsgError, "%s:  cannot find either %s or %s.\n", kUnzipEngineName, c->zipFileName.c_str(),
                  name);
    }
    return kUnzipNoArchive;
  }
  if (st.isDirectory) return kUnzipIsFolder;

  int err = 0;
  c->archive = c->fs->Open(UnzipFsPath(c, c->archiveName).c_str(), ZipFileSystem::OpenMode::kRead, &err);
  if (!c->archive) {
    UnzipInfo(c, kUnzipMsgError, "error:  cannot open zipfile [ %s ]\n        %s\n", name, c->fs->ErrorText(err).c_str());
    return kUnzipNoArchive;
  }
  c->bufferStart = 0;
  c->bufferLength = c->bufferPos = 0;
  c->extraBytes = 0;
  c->reCompensated = false;
  c->backslashWarned = false;

  struct Closer {
    UnzipContext* c;
    ~Closer() {
      if (c->archive) c->archive->Close();
      c->archive.reset();
      UnzipBuildOutputPath(c, nullptr, kPathReleaseRoot);
    }
  } closer{c};

  if (c->extractKind && c->haveExtractFolder) {
    int r = UnzipBuildOutputPath(c, c->extractFolder.c_str(), kPathSetRoot);
    int cls = MapClass(r);
    if (cls == kMapNoMemory) return kUnzipNoMemory;
    if (cls >= kMapSkipQuietly) return kUnzipBadData;
  }

  c->archive->Seek(0, 2);
  c->archiveSize = c->archive->Tell();
  if (c->archiveSize < 0) c->archiveSize = 0;
  std::int64_t limit = c->detailListing ? c->archiveSize : std::min<std::int64_t>(c->archiveSize, 66000);
  int r = UnzipFindEndRecord(c, limit);
  if (r != 0) {
    if (st.isExecutable) UnzipInfo(c, kUnzipMsgError, "note:  %s may be a plain executable, not an archive\n", name);
    if (lastTry) return r;
    c->noEndRecordFlag = true;
    return kUnzipNoArchive;
  }
  UnzipEndRecord& end = c->endRecord;
  c->callbacks->commentLength = end.commentLength;

  if (c->commentOnly > 0 && end.commentLength > 0) {
    if (UnzipShowComment(c, end.commentLength) != 0) {
      UnzipInfo(c, kUnzipMsgError, "\ncaution:  zipfile comment truncated\n");
      worst = kUnzipWarning;
    }
  }
  if (c->commentOnly) return worst;

  if (c->detailListing && end.diskNumber != end.centralDisk) {
    if (end.diskNumber < end.centralDisk) {
      UnzipInfo(c, kUnzipMsgError,
                "\n   [%s]:\n     Zipfile is disk %u of a multi-disk archive, and this is not the disk on\n"
                "     which the central zipfile directory begins (disk %u).\n",
                name, end.diskNumber, end.centralDisk);
      return kUnzipNoMatch;
    }
    UnzipInfo(c, kUnzipMsgError,
              "\nwarning [%s]:  end-of-central-directory record claims this\n"
              "  is disk %u but that the central directory starts on disk %u; this is a\n"
              "  contradiction.  Attempting to process anyway.\n",
              name, end.diskNumber, end.centralDisk);
    worst = kUnzipWarning;
  } else if (!c->detailListing && end.diskNumber != 0) {
    UnzipInfo(c, kUnzipMsgError,
              "warning [%s]:  zipfile claims to be last disk of a multi-part archive;\n"
              "  attempting to process anyway, assuming all parts have been concatenated\n"
              "  together in order.  Expect \"errors\" and warnings...true multi-part support\n"
              "  doesn't exist yet (coming soon).\n",
              name);
    worst = kUnzipWarning;
  }

  // Bytes in front of the archive: where the end record is against where it should be.
  std::int64_t expected = static_cast<std::int64_t>(end.centralOffset) + end.centralSize;
  std::int64_t extra = end.position - expected;
  if (extra < 0) {
    UnzipInfo(c, kUnzipMsgError, "error [%s]:  missing %ld bytes in zipfile\n  (attempting to process anyway)\n", name,
              static_cast<long>(-extra));
    worst = std::max(worst, static_cast<int>(kUnzipBadData));
  } else if (extra > 0) {
    if (end.centralOffset != 0 || end.centralSize == 0) {
      UnzipInfo(c, kUnzipMsgError,
                "warning [%s]:  %ld extra byte%s at beginning or within zipfile\n  (attempting to process anyway)\n",
                name, static_cast<long>(extra), Plural(static_cast<std::uint64_t>(extra)));
      worst = std::max(worst, static_cast<int>(kUnzipWarning));
    } else {
      UnzipInfo(c, kUnzipMsgError, "error [%s]:  NULL central directory offset\n  (attempting to process anyway)\n",
                name);
      end.centralOffset = static_cast<std::uint32_t>(extra);
      extra = 0;
      worst = std::max(worst, static_cast<int>(kUnzipBadData));
    }
  }
  c->extraBytes = extra;

  if (end.centralOffset == 0 && end.centralSize == 0) {
    if (c->detailListing)
      UnzipInfo(c, 0, "%sEmpty zipfile.\n", "");
    else
      UnzipInfo(c, kUnzipMsgError, "warning [%s]:  zipfile is empty\n", name);
    return std::max(worst, static_cast<int>(kUnzipWarning));
  }

  // The central directory must start where the record says.
  std::uint8_t sig[4] = {};
  bool atCentral = UnzipPositionInput(c, end.centralOffset) == 0 && UnzipReadInput(c, sig, 4) == 4 &&
                   std::memcmp(sig, kCentralSig, 4) == 0;
  if (!atCentral) {
    bool retried = false;
    if (c->extraBytes != 0) {
      std::int64_t saved = c->extraBytes;
      c->extraBytes = 0;
      if (UnzipPositionInput(c, end.centralOffset) == 0 && UnzipReadInput(c, sig, 4) == 4 &&
          std::memcmp(sig, kCentralSig, 4) == 0) {
        UnzipInfo(c, kUnzipMsgError,
                  "error [%s]:  the central directory's length was reported %ld bytes too long;\n"
                  "  compensating\n",
                  name, static_cast<long>(saved));
        worst = std::max(worst, static_cast<int>(kUnzipBadData));
        retried = true;
      } else {
        c->extraBytes = saved;
      }
    }
    if (!retried) {
      UnzipInfo(c, kUnzipMsgError, "error [%s]:  start of central directory not found;\n  zipfile corrupt.\n%s", name,
                kUnzipBinaryHint);
      return std::max(worst, static_cast<int>(kUnzipBadStructure));
    }
  }

  if (c->detailListing)
    r = UnzipListInfoMode(c);
  else if (c->listMode && !c->testOnly && !c->toConsole)
    r = UnzipListPlain(c);
  else
    r = UnzipExtractMatchingEntries(c);
  if (r == kUnzipStopped) return r;
  return std::max(worst, r);
}

bool UnzipNextMatchingArchive(UnzipContext* c, const char* wildcardName, std::string* next) {
  if (wildcardName != nullptr) {
    std::string given = wildcardName;
    std::size_t sep = given.find_last_of("/\\");
    if (sep == std::string::npos && given.size() >= 2 && given[1] == ':') sep = 1;
    c->wildFolder = sep == std::string::npos ? "" : given.substr(0, sep + 1);
    c->wildPattern = sep == std::string::npos ? given : given.substr(sep + 1);
    if (c->wildPattern.find('.') == std::string::npos) c->wildPattern += '.';
    std::string folder = c->wildFolder.empty() ? "." : c->wildFolder;
    c->wildScan = c->fs->Scan(UnzipFsPath(c, folder).c_str());
  }
  ZipDirEntry e;
  while (c->wildScan && c->wildScan->Next(&e)) {
    // A pattern ending in '.' also takes names without any dot, as on DOS.
    const std::string& p = c->wildPattern;
    bool match = UnzipMatchWildcard(p.c_str(), e.name.c_str(), c->ignoreCase);
    if (!match && !p.empty() && p.back() == '.' && e.name.find('.') == std::string::npos)
      match = UnzipMatchWildcard(p.substr(0, p.size() - 1).c_str(), e.name.c_str(), c->ignoreCase);
    if (match) {
      *next = c->wildFolder + e.name;
      return true;
    }
  }
  c->wildScan.reset();
  return false;
}

int UnzipRunAllArchives(UnzipContext* c) {
  c->input_.reset(new (std::nothrow) std::uint8_t[kUnzipInputSize + 4]);
  c->commentBuffer.reset(new (std::nothrow) char[kUnzipCommentBufferSize]);
  c->window.reset(new (std::nothrow) std::uint8_t[kUnzipWindowSize]);
  if (!c->input_ || !c->commentBuffer || !c->window) {
    UnzipInfo(c, kUnzipMsgError, "error:  cannot allocate unzip buffers\n");
    return kUnzipNoMemory;
  }
  c->fs->UseSystemTimeZone();

  const bool wildcard = UnzipSpecHasPatternChars(c->zipFileName.c_str());
  int numSuccess = 0, numWarnings = 0, numNoDirectory = 0, numFolders = 0, numFatal = 0, total = 0;
  int worst = 0;
  std::string lastMissing;
  auto count = [&](int r, const std::string& name) {
    if (r == kUnzipOk)
      numSuccess++;
    else if (r == kUnzipWarning)
      numWarnings++;
    else if (r == kUnzipNoArchive) {
      numNoDirectory++;
      lastMissing = name;
    } else if (r == kUnzipIsFolder) {
      numFolders++;
      lastMissing = name;
    } else
      numFatal++;
    if (r != kUnzipIsFolder && r > worst) worst = r;
  };

  std::string name;
  bool more = wildcard ? UnzipNextMatchingArchive(c, c->zipFileName.c_str(), &name) : true;
  if (!wildcard) name = c->zipFileName;
  while (more) {
    if (c->quiet == 0 && total > 0) UnzipInfo(c, 0, "\n");
    c->archiveName = name;
    int r = UnzipProcessArchive(c, false);
    total++;
    if (r == kUnzipStopped) return kUnzipStopped;
    count(r, name);
    if (c->fatal) break;
    more = wildcard && UnzipNextMatchingArchive(c, nullptr, &name);
  }

  if (numSuccess + numWarnings + numFatal == 0 && numNoDirectory + numFolders <= 1 && (wildcard || total == 1)) {
    if (wildcard) {
      UnzipInfo(c, kUnzipMsgError, "%s:  cannot find any matches for wildcard specification \"%s\".\n",
                kUnzipEngineName, c->zipFileName.c_str());
      // Nothing was found: that is not success.
      worst = kUnzipNoArchive;
    } else {
      // One more try with ".zip" appended; its outcome replaces the first.
      bool wasFolder = numFolders == 1;
      numNoDirectory = numFolders = 0;
      total--;
      worst = 0;
      c->archiveName = lastMissing + ".zip";
      int r = UnzipProcessArchive(c, true);
      if (r == kUnzipStopped) return r;
      if (r == kUnzipIsFolder) r = kUnzipNoArchive;
      (void)wasFolder;
      total++;
      count(r, c->archiveName);
    }
  }

  if (c->quiet < 3 && total > 1) {
    if (numSuccess > 0)
      UnzipInfo(c, 0, "%d archive%s successfully processed.\n", numSuccess, numSuccess == 1 ? " was" : "s were");
    if (numWarnings > 0)
      UnzipInfo(c, 0, "%d archive%s had warnings but no fatal errors.\n", numWarnings, Plural(numWarnings));
    if (numFatal > 0) UnzipInfo(c, 0, "%d archive%s had fatal errors.\n", numFatal, Plural(numFatal));
    if (numNoDirectory > 0)
      UnzipInfo(c, 0, "%d file%s had no zipfile directory.\n", numNoDirectory, Plural(numNoDirectory));
    if (numFolders == 1)
      UnzipInfo(c, 0, "1 \"zipfile\" was a directory.\n");
    else if (numFolders > 1)
      UnzipInfo(c, 0, "%d \"zipfiles\" were directories.\n", numFolders);
  }
  return worst;
}

int UnzipNextCentralSignature(UnzipContext* c, std::uint64_t numberRead, bool* endNote) {
  std::uint8_t sig[4] = {};
  bool haveSig = UnzipReadInput(c, sig, 4) == 4;
  if (haveSig && std::memcmp(sig, kCentralSig, 4) == 0) return 0;
  if ((numberRead & 0xFFFF) == c->endRecord.totalEntries) {
    if (!haveSig || std::memcmp(sig, kEndSig, 4) != 0) *endNote = true;
    return 1;
  }
  UnzipInfo(c, kUnzipMsgError, "error:  expected central file header signature not found (file #%lu).\n%s",
            static_cast<unsigned long>(numberRead + 1), kUnzipBinaryHint);
  return kUnzipBadStructure;
}

int UnzipReadCentralEntry(UnzipContext* c, std::uint64_t number, UnzipEntry* e, std::string* comment) {
  int worst = 0;
  if (UnzipReadCentralHeader(c) != 0) {
    UnzipInfo(c, kUnzipMsgError, "file #%lu:  bad central header\n", static_cast<unsigned long>(number));
    return kUnzipEarlyEnd;
  }
  int r = UnzipReadVariableField(c, c->central.nameLength, kFieldCentralName, &e->rawName);
  if (r == kUnzipWarning) {
    e->nameCut = true;
    worst = r;
  } else if (r != 0) {
    UnzipInfo(c, kUnzipMsgError, "%s:  bad filename length (%s)\n", c->archiveName.c_str(), "central");
    return r;
  }
  if (UnzipReadVariableField(c, c->central.extraLength, kFieldExtra, nullptr) != 0) {
    UnzipInfo(c, kUnzipMsgError, "%s:  bad extra field length (%s)\n", UnzipPrintableName(e->rawName.c_str()).c_str(),
              "central");
    return kUnzipEarlyEnd;
  }
  std::string scratch;
  if (UnzipReadVariableField(c, c->central.commentLength, comment ? kFieldComment : kFieldSkip,
                             comment ? comment : &scratch) != 0) {
    UnzipInfo(c, kUnzipMsgError, "%s:  bad file comment length\n", UnzipPrintableName(e->rawName.c_str()).c_str());
    return kUnzipEarlyEnd;
  }
  UnzipTakeCentralEntry(c, number, e);
  return worst;
}

bool UnzipSelectEntry(UnzipContext* c, const std::string& name, std::vector<bool>* includeMatched,
                      std::vector<bool>* excludeMatched) {
  if (c->processAll) return true;
  bool take = c->includes.empty();
  for (std::size_t i = 0; i < c->includes.size(); i++)
    if (UnzipMatchName(name.c_str(), c->includes[i].c_str(), c->ignoreCase)) {
      take = true;
      (*includeMatched)[i] = true;
    }
  for (std::size_t i = 0; take && i < c->excludes.size(); i++)
    if (UnzipMatchName(name.c_str(), c->excludes[i].c_str(), c->ignoreCase)) {
      take = false;
      (*excludeMatched)[i] = true;
    }
  return take;
}

void UnzipReportEndNote(UnzipContext* c, bool needed, int* worst) {
  if (!needed) return;
  UnzipInfo(c, kUnzipMsgError, "\nnote:  didn't find end-of-central-dir signature at end of central dir.\n%s",
            kUnzipBinaryHint);
  if (*worst < kUnzipWarning) *worst = kUnzipWarning;
}

void UnzipReportUnmatched(UnzipContext* c, const std::vector<bool>& includeMatched,
                          const std::vector<bool>& excludeMatched, int* worst) {
  for (std::size_t i = 0; i < c->includes.size(); i++)
    if (!includeMatched[i]) {
      UnzipInfo(c, kUnzipMsgError, "caution: filename not matched:  %s\n", c->includes[i].c_str());
      if (*worst < kUnzipBadData) *worst = kUnzipNoMatch;
    }
  for (std::size_t i = 0; i < c->excludes.size(); i++)
    if (!excludeMatched[i])
      UnzipInfo(c, kUnzipMsgError, "caution: excluded filename not matched:  %s\n", c->excludes[i].c_str());
}

int UnzipExtractMatchingEntries(UnzipContext* c) {
  const UnzipEndRecord& end = c->endRecord;
  std::vector<bool> includeMatched(c->includes.size()), excludeMatched(c->excludes.size());
  int worst = 0;
  std::uint64_t numberRead = 0;
  bool endNoteNeeded = false;
  bool done = false;
  c->filesProcessed = c->skippedUnsupported = c->skippedPassword = 0;
  c->entriesSelected = c->entriesBatched = 0;
  c->deferredFolders.clear();

  if (UnzipPositionInput(c, end.centralOffset) != 0) return kUnzipBadStructure;
  while (!done) {
    c->batch.clear();
    while (c->batch.size() < kUnzipBatchSize) {
      int s = UnzipNextCentralSignature(c, numberRead, &endNoteNeeded);
      if (s != 0) {
        if (s != 1) worst = std::max(worst, s);
        done = true;
        break;
      }
      numberRead++;
      UnzipEntry e;
      int r = UnzipReadCentralEntry(c, numberRead, &e, nullptr);
      worst = std::max(worst, r);
      if (r > kUnzipWarning) {
        done = true;
        break;
      }
      if (!UnzipSelectEntry(c, e.name, &includeMatched, &excludeMatched)) continue;
      c->entriesSelected++;
      if (UnzipCheckEntrySupported(c, &e)) {
        c->batch.push_back(std::move(e));
        c->entriesBatched++;
      } else {
        c->skippedUnsupported++;
      }
    }

    std::int64_t resume = InputPosition(c);
    if (!c->batch.empty()) {
      bool stop = false;
      int r = UnzipExtractEntryBatch(c, c->batch.size(), &stop);
      if (r == kUnzipStopped) {
        UnzipRestoreDirectoryInfo(c);
        return kUnzipStopped;
      }
      worst = std::max(worst, r);
      if (stop || c->fatal) break;
    }
    if (!done && UnzipPositionInput(c, resume) != 0) {
      UnzipInfo(c, kUnzipMsgError, "error:  expected central file header signature not found (file #%lu).\n%s",
                static_cast<unsigned long>(numberRead + 1), kUnzipBinaryHint);
      worst = std::max(worst, static_cast<int>(kUnzipBadStructure));
      break;
    }
  }
  UnzipReportEndNote(c, endNoteNeeded, &worst);

  // Folders get their times and security once everything inside them is written.
  std::uint64_t failedFolders = static_cast<std::uint64_t>(UnzipRestoreDirectoryInfo(c));
  if (failedFolders > 0) {
    worst = std::max(worst, static_cast<int>(kUnzipWarning));
    if (c->quiet == 0 && !c->testOnly)
      UnzipInfo(c, kUnzipMsgError, "     failed setting attrib/times for %lu dir entries",
                static_cast<unsigned long>(failedFolders));
  }
  UnzipReportUnmatched(c, includeMatched, excludeMatched, &worst);

  const char* name = c->archiveName.c_str();
  if (c->testOnly && c->quiet < 2) {
    if (worst != 0)
      UnzipInfo(c, 0, "At least one %serror was detected in %s.\n", worst == kUnzipWarning ? "warning-" : "", name);
    else if (c->filesProcessed == 0)
      UnzipInfo(c, 0, "Caution:  zero files tested in %s.\n", name);
    else if (c->processAll)
      UnzipInfo(c, 0, "No errors detected in compressed data of %s.\n", name);
    else
      UnzipInfo(c, 0, "No errors detected in %s for the %lu file%s tested.\n", name,
                static_cast<unsigned long>(c->filesProcessed), Plural(c->filesProcessed));
    if (c->skippedUnsupported > 0)
      UnzipInfo(c, 0, "%lu file%s skipped because of unsupported compression or encoding.\n",
                static_cast<unsigned long>(c->skippedUnsupported), Plural(c->skippedUnsupported));
    if (c->skippedPassword > 0)
      UnzipInfo(c, 0, "%lu file%s skipped because of incorrect password.\n",
                static_cast<unsigned long>(c->skippedPassword), Plural(c->skippedPassword));
  }

  const bool noError = worst <= kUnzipWarning;
  const std::uint64_t reached = c->entriesBatched;
  if (reached == 0 && noError) return c->skippedUnsupported > 0 ? kUnzipUnsupported : std::max(worst, static_cast<int>(kUnzipNoMatch));
  if (c->skippedPassword > 0 && c->skippedPassword == reached && c->skippedUnsupported == 0 && noError)
    return kUnzipBadPassword;
  if (c->skippedUnsupported > 0 && noError) return kUnzipUnsupported;
  if (c->skippedPassword > 0) return std::max(worst, static_cast<int>(kUnzipWarning));
  return worst;
}

int UnzipExtractEntryBatch(UnzipContext* c, std::size_t count, bool* stop) {
  int worst = 0;
  const char* archive = c->archiveName.c_str();
  for (std::size_t i = 0; i < count; i++) {
    UnzipEntry* e = &c->batch[i];
    c->entry = e;
    const bool first = e->number == 1 || c->reCompensated;
    std::int64_t offset = e->localOffset;

    int r = UnzipPositionInput(c, offset);
    if (r == kUnzipBadStructure) {
      UnzipInfo(c, kUnzipMsgError, "error [%s]:  attempt to seek before beginning of zipfile\n%s", archive,
                kUnzipBinaryHint);
      if (first && c->extraBytes != 0) {
        UnzipInfo(c, kUnzipMsgError, "  (attempting to re-compensate)\n");
        c->extraBytes = 0;
        c->reCompensated = true;
        worst = std::max(worst, static_cast<int>(kUnzipBadData));
        r = UnzipPositionInput(c, offset);
      } else {
        worst = std::max(worst, static_cast<int>(kUnzipBadStructure));
        continue;
      }
    }
    if (r != 0) {
      UnzipInfo(c, kUnzipMsgError, "file #%lu:  bad zipfile offset (%s):  %ld\n", static_cast<unsigned long>(e->number),
                "lseek", static_cast<long>(offset));
      worst = std::max(worst, static_cast<int>(kUnzipBadStructure));
      continue;
    }
    std::uint8_t sig[4] = {};
    if (UnzipReadInput(c, sig, 4) != 4 || std::memcmp(sig, kLocalSig, 4) != 0) {
      UnzipInfo(c, kUnzipMsgError, "file #%lu:  bad zipfile offset (%s):  %ld\n", static_cast<unsigned long>(e->number),
                "local header sig", static_cast<long>(offset));
      if (first && c->extraBytes != 0) {
        UnzipInfo(c, kUnzipMsgError, "  (attempting to re-compensate)\n");
        c->extraBytes = 0;
        c->reCompensated = true;
        bool ok = UnzipPositionInput(c, offset) == 0;
        bool sigOk = ok && UnzipReadInput(c, sig, 4) == 4 && std::memcmp(sig, kLocalSig, 4) == 0;
        if (!sigOk) {
          UnzipInfo(c, kUnzipMsgError, "file #%lu:  bad zipfile offset (%s):  %ld\n",
                    static_cast<unsigned long>(e->number), ok ? "local header sig" : "EOF", static_cast<long>(offset));
          worst = std::max(worst, static_cast<int>(kUnzipBadStructure));
          continue;
        }
        worst = std::max(worst, static_cast<int>(kUnzipBadData));
      } else {
        worst = std::max(worst, static_cast<int>(kUnzipBadData));
        continue;
      }
    }
    if (UnzipReadLocalHeader(c) != 0) {
      UnzipInfo(c, kUnzipMsgError, "file #%lu:  bad local header\n", static_cast<unsigned long>(e->number));
      worst = std::max(worst, static_cast<int>(kUnzipEarlyEnd));
      continue;
    }
    std::string localName;
    r = UnzipReadVariableField(c, c->local.nameLength, kFieldLocalName, &localName);
    if (r > kUnzipWarning) {
      UnzipInfo(c, kUnzipMsgError, "%s:  bad filename length (%s)\n", UnzipPrintableName(e->name.c_str()).c_str(),
                "local");
      worst = std::max(worst, r);
      continue;
    }
    std::size_t nul = localName.find('\0');
    if (nul != std::string::npos) localName.resize(nul);
    if (localName != e->rawName) {
      UnzipInfo(c, kUnzipMsgError,
                "%s:  mismatching \"local\" filename (%s),\n         continuing with \"central\" filename version\n",
                UnzipPrintableName(e->name.c_str()).c_str(), UnzipPrintableName(localName.c_str()).c_str());
      worst = std::max(worst, static_cast<int>(kUnzipWarning));
    }
    // The data is decoded as its own header says; the central method only chose it.
    e->method = c->local.method;
    // With a data descriptor the local sizes are not known yet; the central ones count.
    if (!e->dataDescriptor && !(c->local.flags & 8)) {
      e->crc = c->local.crc;
      e->compressedSize = c->local.compressedSize;
      e->uncompressedSize = c->local.uncompressedSize;
    }
    if (e->method == 0) {
      std::uint32_t csize = e->compressedSize - (e->encrypted ? 12u : 0u);
      if (e->encrypted && e->compressedSize < 12) csize = 0;
      if (csize != e->uncompressedSize) {
        UnzipInfo(c, kUnzipMsgError,
                  "%s:  ucsize %lu <> csize %lu for STORED entry\n         continuing with \"compressed\" size value\n",
                  UnzipPrintableName(e->name.c_str()).c_str(), static_cast<unsigned long>(e->uncompressedSize),
                  static_cast<unsigned long>(csize));
        e->uncompressedSize = csize;
        worst = std::max(worst, static_cast<int>(kUnzipWarning));
      }
    }
    if (UnzipReadVariableField(c, c->local.extraLength, kFieldExtra, nullptr) != 0) {
      UnzipInfo(c, kUnzipMsgError, "%s:  bad extra field length (%s)\n", UnzipPrintableName(e->name.c_str()).c_str(),
                "local");
      worst = std::max(worst, static_cast<int>(kUnzipEarlyEnd));
      continue;
    }

    // The entry's data starts here.
    c->compressedLeft = e->compressedSize;
    c->byteNext = c->byteEnd = nullptr;
    c->decrypting = false;
    if (e->encrypted) {
      r = UnzipCheckEncryptionHeader(c, nullptr);
      if (r == 1) {
        if (c->quiet == 0)
          UnzipInfo(c, kUnzipMsgError, "   skipping: %-22s  incorrect password\n",
                    UnzipPrintableName(e->name.c_str()).c_str());
        c->skippedPassword++;
        c->bufferLength = c->bufferPos = 0;
        continue;
      }
      if (r != 0) {
        UnzipInfo(c, kUnzipMsgError, "   skipping: %-22s  unable to get password\n",
                  UnzipPrintableName(e->name.c_str()).c_str());
        worst = std::max(worst, r);
        c->bufferLength = c->bufferPos = 0;
        continue;
      }
    }

    r = UnzipProcessEntry(c);
    // Deciphered bytes were written over the buffer: read it afresh next time.
    c->bufferLength = c->bufferPos = 0;
    c->decrypting = false;
    if (r == kUnzipStopped) {
      *stop = true;
      return kUnzipStopped;
    }
    worst = std::max(worst, r);
    if (c->diskFull || c->fatal) {
      *stop = true;
      break;
    }
  }
  return worst;
}
