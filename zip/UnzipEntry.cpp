// Extracting entries: support check, name mapping, overwrite rules, output and the
// file's metadata.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "zip/UnzipContext.h"
#include "zip/ZipCrc32.h"

namespace {

std::string Printable(const std::string& name) { return UnzipPrintableName(name.c_str()); }

// Pre-extension of a new file is only a hint to the file system; it is given for sizes
// the entry can plausibly have and never left in place (the end is set at the bytes
// written when the file is finished).
constexpr std::uint64_t kMaxPreallocation = 64u << 20;
constexpr std::uint64_t kMaxExpansion = 1032;  // deflate's largest ratio

bool IsSeparator(char ch) { return ch == '/' || ch == '\\'; }

std::string FoldCase(const std::string& s) {
  std::string out = s;
  for (char& ch : out)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return out;
}

// Whether path, built on the extraction root, lies inside it: as the file system resolves
// it (".." components, device names, trailing dots and all), or, where the system cannot
// resolve a path that long, by its components. A folder may be the root itself.
bool UnderRoot(UnzipContext* c, const std::string& path, bool mayBeRoot = false) {
  if (c->hostName) return true;
  std::string full;
  if (c->fs->FullPath(UnzipFsPath(c, path).c_str(), &full)) {
    std::string root = c->rootFull;
    while (root.size() > 1 && IsSeparator(root.back()) && !(root.size() == 3 && root[1] == ':')) root.pop_back();
    while (full.size() > root.size() && IsSeparator(full.back())) full.pop_back();
    if (root.empty() || full.compare(0, root.size(), root) != 0) return false;
    if (full.size() == root.size()) return mayBeRoot;
    return IsSeparator(root.back()) || IsSeparator(full[root.size()]);
  }
  if (path.compare(0, c->root.size(), c->root) != 0) return false;
  int depth = 0;
  std::size_t i = c->root.size();
  while (i <= path.size()) {
    std::size_t j = i;
    while (j < path.size() && !IsSeparator(path[j])) j++;
    std::string comp = path.substr(i, j - i);
    if (comp == "..") {
      if (--depth < 0) return false;
    } else if (!comp.empty() && comp != ".") {
      depth++;
    }
    i = j + 1;
  }
  return depth > 0 || mayBeRoot;
}

// A component made of nothing but dots and blanks: 1 for ".", 2 for "..", else 0.
// Windows drops trailing dots and blanks, so "..." and ". ." are read as the parent.
int DotComponent(const std::string& comp) {
  if (comp.empty()) return 0;
  int dots = 0;
  for (char ch : comp) {
    if (ch == '.')
      dots++;
    else if (ch != ' ')
      return 0;
  }
  return dots >= 2 ? 2 : 1;
}

int Emit(UnzipContext* c, const std::uint8_t* data, std::size_t len) {
  if (len == 0) return 0;
  if (c->toConsole) {
    UnzipWriteStream(c, nullptr, data, len);
    return 0;
  }
  long n = c->outFile ? c->outFile->Write(data, len) : -1;
  if (n > 0) c->bytesWritten += static_cast<std::uint64_t>(n);
  if (n != static_cast<long>(len)) {
    UnzipInfo(c, kUnzipMsgError, "%s:  write error (disk full?).\n", c->fileName.c_str());
    c->diskFull = true;
    return kUnzipDiskFull;
  }
  return 0;
}

int EmitText(UnzipContext* c, std::uint8_t ch) {
  c->textBuffer[c->textFill++] = ch;
  if (c->textFill >= 2 * kUnzipWindowSize) {
    int r = Emit(c, c->textBuffer.get(), c->textFill);
    c->textFill = 0;
    return r;
  }
  return 0;
}

// Line ends: every lone CR, lone LF and CR LF pair becomes CR LF, also across pieces.
int ConvertLineEnds(UnzipContext* c, const std::uint8_t* data, std::size_t len) {
  for (std::size_t i = 0; i < len; i++) {
    std::uint8_t ch = data[i];
    int r = 0;
    if (ch == '\r') {
      if ((r = EmitText(c, '\r')) == 0) r = EmitText(c, '\n');
      c->lastWasCr = true;
    } else if (ch == '\n') {
      if (!c->lastWasCr) {
        if ((r = EmitText(c, '\r')) == 0) r = EmitText(c, '\n');
      }
      c->lastWasCr = false;
    } else {
      r = EmitText(c, ch);
      c->lastWasCr = false;
    }
    if (r != 0) return r;
  }
  return 0;
}

// VMS variable-length records: a little-endian u16 length, the bytes, a pad byte after
// an odd length; each record becomes a line.
int ConvertRecords(UnzipContext* c, const std::uint8_t* data, std::size_t len) {
  for (std::size_t i = 0; i < len; i++) {
    std::uint8_t ch = data[i];
    int r = 0;
    switch (c->recordState) {
      case 0:
        c->recordLeft = ch;
        c->recordState = 1;
        break;
      case 1:
        c->recordLeft |= std::uint32_t(ch) << 8;
        c->recordPad = (c->recordLeft & 1) != 0;
        c->recordState = 2;
        if (c->recordLeft == 0) {
          if ((r = EmitText(c, '\r')) == 0) r = EmitText(c, '\n');
          c->recordState = c->recordPad ? 3 : 0;
        }
        break;
      case 2:
        r = EmitText(c, ch);
        if (r == 0 && --c->recordLeft == 0) {
          if ((r = EmitText(c, '\r')) == 0) r = EmitText(c, '\n');
          c->recordState = c->recordPad ? 3 : 0;
        }
        break;
      default:
        c->recordState = 0;  // the pad byte
        break;
    }
    if (r != 0) return r;
  }
  return 0;
}

}  // namespace

std::int64_t UnzipDosToUnixTime(std::uint32_t dosDateTime) {
  std::tm tm{};
  tm.tm_year = static_cast<int>((dosDateTime >> 25) & 0x7F) + 80;
  tm.tm_mon = static_cast<int>((dosDateTime >> 21) & 0x0F) - 1;
  tm.tm_mday = static_cast<int>((dosDateTime >> 16) & 0x1F);
  tm.tm_hour = static_cast<int>((dosDateTime >> 11) & 0x1F);
  tm.tm_min = static_cast<int>((dosDateTime >> 5) & 0x3F);
  tm.tm_sec = static_cast<int>((dosDateTime & 0x1F) * 2);
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  return t == static_cast<std::time_t>(-1) ? 0 : static_cast<std::int64_t>(t);
}

std::uint32_t UnzipTakeDosAttributes(const UnzipEntry& e) {
  std::uint32_t a = e.externalAttributes & 0xFF;
  if (!(a & kZipAttrDirectory)) a |= kZipAttrArchive;
  return a;
}

std::string UnzipShortenToEightThree(const std::string& component) {
  std::string s = component;
  std::size_t lastDot = s.rfind('.');
  for (std::size_t i = 0; i < s.size(); i++) {
    char ch = s[i];
    if (ch == '+' || ch == ',' || ch == ';' || ch == '=' || ch == '[' || ch == ']' || (ch == '.' && i != lastDot))
      s[i] = '_';
  }
  if (lastDot == std::string::npos) return s.substr(0, 8);
  return s.substr(0, std::min<std::size_t>(lastDot, 8)) + "." + s.substr(lastDot + 1, 3);
}

void UnzipExamineVolume(UnzipContext* c, const std::string& path) {
  std::string p = UnzipFsPath(c, path);
  if (p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1])) {
    c->volumeKey = "//";
    c->volume = ZipVolumeInfo();  // network paths are not examined
    return;
  }
  std::string key = p.substr(0, 2);
  if (key == c->volumeKey) return;
  c->volumeKey = key;
  c->volume = c->fs->Volume(p.c_str());
}

int UnzipStatFile(UnzipContext* c, const std::string& path, ZipFileStat* st) {
  return c->fs->Stat(UnzipFsPath(c, path).c_str(), st) ? 0 : -1;
}

bool UnzipCheckEntrySupported(UnzipContext* c, UnzipEntry* e) {
  e->convertLineEnds = c->textConversion == 2 || (c->textConversion == 1 && e->text);
  const unsigned limit = e->versionNeededHost == 2 ? 42 : 21;
  if (e->versionNeeded > limit) {
    if (c->quiet == 0)
      UnzipInfo(c, kUnzipMsgError, "   skipping: %-22s  need %s compat. v%u.%u (can do v%u.%u)\n",
                Printable(e->name).c_str(), e->versionNeededHost == 2 ? "VMS" : "PK", e->versionNeeded / 10u,
                e->versionNeeded % 10u, limit / 10, limit % 10);
    return false;
  }
  if (e->versionNeededHost == 2 && !c->testOnly && c->overwriteMode != kUnzipOverwriteAlways) {
    UnzipInfo(c, 0, "\n%s:  stored in VMS format.  Extract anyway? (y/n) ", Printable(e->name).c_str());
    char answer[9] = {};
    c->input(c, answer, 8);
    if (answer[0] != 'y' && answer[0] != 'Y') return false;
  }
  switch (e->method) {
    case 0:
    case 1:
    case 6:
    case 8:
    case 9:
      return true;
    default:
      break;
  }
  if (c->quiet == 0) {
    const char* named = nullptr;
    if (e->method >= 2 && e->method <= 5)
      named = "reduce";
    else if (e->method == 7)
      named = "tokenize";
    else if (e->method == 10)
      named = "DCL implode";
    if (named)
      UnzipInfo(c, kUnzipMsgError, "   skipping: %-22s  `%s' method not supported\n", Printable(e->name).c_str(), named);
    else
      UnzipInfo(c, kUnzipMsgError, "   skipping: %-22s  unsupported compression method %u\n",
                Printable(e->name).c_str(), e->method);
  }
  return false;
}

int UnzipBuildOutputPath(UnzipContext* c, const char* text, int operation) {
  switch (operation) {
    case kPathSetRoot: {
      c->root.clear();
      c->rootFull.clear();
      if (text == nullptr) return 0;
      std::string r = text;
      while (r.size() > 1 && IsSeparator(r.back())) r.pop_back();
      if (r.size() == 2 && r[1] == ':') r += '.';
      if (!r.empty()) {
        ZipFileStat st;
        if (UnzipStatFile(c, r, &st) != 0 || !st.isDirectory) {
          if (c->freshen) return MapCode(kMapSkipQuietly, 0);
          if (!c->fs->MakeFolder(UnzipFsPath(c, r).c_str())) {
            UnzipInfo(c, kUnzipMsgError, "checkdir:  cannot create extraction directory: %s\n", r.c_str());
            return MapCode(kMapError, kUnzipBadData);
          }
        }
        c->root = IsSeparator(r.back()) ? r : r + "/";
      }
      if (!c->fs->FullPath(UnzipFsPath(c, c->root.empty() ? std::string() : c->root).c_str(), &c->rootFull))
        c->rootFull.clear();
      return 0;
    }
    case kPathStart:
      if (c->rootFull.empty()) c->fs->FullPath(UnzipFsPath(c, std::string()).c_str(), &c->rootFull);
      c->buildPath = c->root;
      UnzipExamineVolume(c, c->root.empty() ? std::string(".") : c->root);
      c->folderCreated = false;
      c->pathCut = false;
      return 0;
    case kPathAddFolder: {
      UnzipExamineVolume(c, c->buildPath.empty() ? std::string(".") : c->buildPath);
      std::string comp = c->volume.shortNamesOnly ? UnzipShortenToEightThree(text) : std::string(text);
      std::string candidate = c->buildPath + comp;
      if (candidate.size() > kUnzipMaxFolderPath) {
        UnzipInfo(c, kUnzipMsgError, "checkdir error:  path too long: %s\n", candidate.c_str());
        return MapCode(kMapTooLong, kUnzipBadData);
      }
      if (!UnderRoot(c, candidate, true)) return MapCode(kMapOutside, kUnzipWarning);
      ZipFileStat st;
      if (UnzipStatFile(c, candidate, &st) != 0) {
        if (c->freshen) return MapCode(kMapSkipQuietly, 0);
        if (!c->fs->MakeFolder(UnzipFsPath(c, candidate).c_str())) {
          UnzipInfo(c, kUnzipMsgError, "checkdir error:  cannot create %s\n                 unable to process %s.\n",
                    candidate.c_str(), Printable(c->entry ? c->entry->name : candidate).c_str());
          return MapCode(kMapError, kUnzipBadData);
        }
        c->folderCreated = true;
      } else if (!st.isDirectory) {
        UnzipInfo(c, kUnzipMsgError,
                  "checkdir error:  %s exists but is not directory\n                 unable to process %s.\n",
                  candidate.c_str(), Printable(c->entry ? c->entry->name : candidate).c_str());
        return MapCode(kMapError, kUnzipBadData);
      }
      c->buildPath = candidate + "/";
      return 0;
    }
    case kPathAddName: {
      UnzipExamineVolume(c, c->buildPath.empty() ? std::string(".") : c->buildPath);
      std::string name = c->volume.shortNamesOnly ? UnzipShortenToEightThree(text) : std::string(text);
      std::string candidate = c->buildPath + name;
      if (candidate.size() >= kUnzipMaxPath) {
        std::string cut = candidate.substr(0, kUnzipMaxPath - 1);
        UnzipInfo(c, kUnzipMsgError, "checkdir warning:  path too long; truncating\n                   %s\n"
                  "                -> %s\n", candidate.c_str(), cut.c_str());
        c->buildPath = cut;
        c->pathCut = true;
        return MapCode(kMapWarning, kUnzipWarning);
      }
      c->buildPath = candidate;
      return 0;
    }
    case kPathCopyOut:
      c->fileName = c->buildPath;
      return 0;
    case kPathReleaseRoot:
      c->root.clear();
      c->rootFull.clear();
      return 0;
  }
  return 0;
}

int UnzipStoredNameToPath(UnzipContext* c, bool hostName) {
  std::string name;
  if (hostName) {
    name = c->fileName;
    for (char& ch : name)
      if (ch == '\\') ch = '/';
    UnzipBuildOutputPath(c, nullptr, kPathStart);
    // A leading '/' or drive letter chosen by the host is its root.
    std::size_t rootLen = 0;
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
      rootLen = name.size() >= 3 && name[2] == '/' ? 3 : 2;
    else if (!name.empty() && name[0] == '/')
      rootLen = 1;
    if (rootLen > 0) {
      c->buildPath = name.substr(0, rootLen);
      name.erase(0, rootLen);
    }
  } else {
    name = c->mapName;
    UnzipBuildOutputPath(c, nullptr, kPathStart);
  }
  const bool folderEntry = !name.empty() && name.back() == '/';
  // Dropping folders applies to the archive's names; a name the host chose is kept whole.
  if (c->dropPaths && !hostName) {
    if (folderEntry) return MapCode(kMapSkipQuietly, 0);
    std::size_t slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
  }

  int code = 0;
  bool dotDot = false;
  std::string comp;
  std::size_t semicolon = std::string::npos;
  std::mbstate_t state{};
  for (std::size_t i = 0; i < name.size(); i++) {
    char ch = name[i];
    if (ch == '/') {
      int kind = DotComponent(comp);
      if (kind == 1) {
      } else if (kind == 2) {
        if (c->allowDotDot) {
          int r = UnzipBuildOutputPath(c, "..", kPathAddFolder);
          if (MapClass(r) >= kMapSkipQuietly) return r;
        } else {
          dotDot = true;
        }
      } else if (!comp.empty()) {
        if (c->fs->IsDeviceName(comp.c_str())) comp.insert(0, "_");
        int r = UnzipBuildOutputPath(c, comp.c_str(), kPathAddFolder);
        if (MapClass(r) >= kMapSkipQuietly) return r;
      }
      comp.clear();
      semicolon = std::string::npos;
      continue;
    }
    unsigned char u = static_cast<unsigned char>(ch);
    if (u >= 0x80) {
      // A multibyte character is copied whole, trail bytes included.
      std::size_t len = std::mbrlen(&name[i], name.size() - i, &state);
      if (len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0) {
        state = std::mbstate_t{};
        len = 1;
      }
      comp.append(name, i, len);
      i += len - 1;
      continue;
    }
    switch (ch) {
      case ' ':
        comp += (c->blanksToUnderscore || c->volume.shortNamesOnly) ? '_' : ' ';
        break;
      case '"':
      case '*':
      case ':':
      case '<':
      case '>':
      case '?':
      case '\\':
      case '|':
        comp += '_';
        break;
      case ';':
        semicolon = comp.size();
        comp += ';';
        break;
      default:
        if (u >= 0x20) comp += ch;  // control characters are dropped
        break;
    }
  }
  if (dotDot && c->quiet == 0) {
    UnzipInfo(c, kUnzipMsgError, "warning:  skipped \"../\" path component(s) in %s\n", Printable(c->entry->name).c_str());
    code = std::max(code, static_cast<int>(kUnzipWarning));
  }

  if (folderEntry) {
    c->fileName = c->buildPath;
    if (c->folderCreated) {
      if (c->quiet == 0) UnzipInfo(c, 0, "   creating: %-22s\n", Printable(c->fileName).c_str());
      std::uint32_t attrs = c->entry->externalAttributes & 0xFF;
      if (attrs & 0x6F) {
        if (!c->fs->SetAttributes(UnzipFsPath(c, c->fileName).c_str(), attrs & 0x7F)) {
          UnzipInfo(c, kUnzipMsgError, "\nwarning (%d): could not set file attributes for %s\n", 0,
                    c->fileName.c_str());
          code = std::max(code, static_cast<int>(kUnzipWarning));
        }
      }
      return MapCode(kMapFolderCreated, code);
    }
    if (c->overwriteMode == kUnzipOverwriteAlways && c->buildPath != c->root) {
      std::uint32_t attrs = c->entry->externalAttributes & 0xFF;
      if (attrs & 0x6F) c->fs->SetAttributes(UnzipFsPath(c, c->fileName).c_str(), attrs & 0x7F);
    }
    return MapCode(kMapSkipQuietly, code);
  }

  // A VMS-style version suffix (";" and digits only) is cut from file names.
  if (semicolon != std::string::npos) {
    bool digits = true;
    for (std::size_t k = semicolon + 1; k < comp.size(); k++)
      digits = digits && std::isdigit(static_cast<unsigned char>(comp[k]));
    if (digits) comp.resize(semicolon);
  }
  if (DotComponent(comp) != 0) comp.clear();
  if (!comp.empty() && c->fs->IsDeviceName(comp.c_str())) comp.insert(0, "_");
  if (comp.empty()) {
    UnzipInfo(c, kUnzipMsgError, "mapname:  conversion of %s failed\n", Printable(c->entry->name).c_str());
    return MapCode(kMapError, kUnzipBadData);
  }
  int cls = kMapFine;
  int r = UnzipBuildOutputPath(c, comp.c_str(), kPathAddName);
  if (MapClass(r) == kMapWarning) {
    cls = kMapWarning;
    code = std::max(code, static_cast<int>(kUnzipWarning));
  }
  UnzipBuildOutputPath(c, nullptr, kPathCopyOut);
  if (!UnderRoot(c, c->fileName)) return MapCode(kMapOutside, kUnzipWarning);
  return MapCode(cls, code);
}

int UnzipMapEntryName(UnzipContext* c) {
  UnzipEntry* e = c->entry;
  if (e->volumeLabel) {
    if (c->quiet == 0) UnzipInfo(c, 0, "   skipping: %-22s  %svolume label\n", Printable(e->name).c_str(), "");
    return MapCode(kMapVolumeLabel, 0);
  }
  int code = 0;
  std::string name = e->name;
  if (e->hostSystem == 0 && name.find('/') == std::string::npos && name.find('\\') != std::string::npos) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (!c->backslashWarned) {
      UnzipInfo(c, kUnzipMsgError, "warning:  %s appears to use backslashes as path separators\n",
                Printable(e->name).c_str());
      c->backslashWarned = true;
      code = kUnzipWarning;
    }
  }
  if (!name.empty() && name[0] == '/') {
    name.erase(0, name.find_first_not_of('/'));
    if (name.find_first_not_of('/') == std::string::npos && !name.empty()) name.clear();
    UnzipInfo(c, kUnzipMsgError, "warning:  stripped absolute path spec from %s\n", Printable(e->name).c_str());
    code = kUnzipWarning;
  }
  c->mapName = name;
  int r = UnzipStoredNameToPath(c, false);
  return MapCode(MapClass(r), std::max(code, r & 0xFF));
}

int UnzipTargetAtLeastAsNew(UnzipContext* c, const std::string& path) {
  ZipFileStat st;
  if (UnzipStatFile(c, path, &st) != 0) return -1;
  std::int64_t target = (st.mtime + 1) & ~std::int64_t(1);  // rounded up to an even second
  UnzipExtraTimes t;
  UnzipExtraIds ids;
  std::int64_t entryTime;
  if (UnzipParseExtraTimes(c->extraField.data(), c->extraField.size(), false, c->entry->dosDateTime, &t, &ids) &
      kTimeMod)
    entryTime = t.modification;
  else
    entryTime = UnzipDosToUnixTime(c->entry->dosDateTime);
  return target >= entryTime ? 1 : 0;
}

int UnzipCreateTargetFile(UnzipContext* c) {
  const std::string path = UnzipFsPath(c, c->fileName);
  ZipFileStat st;
  if (c->fs->Stat(path.c_str(), &st) && !st.isDirectory) {
    if (st.attributes & kZipAttrReadOnly) c->fs->SetAttributes(path.c_str(), st.attributes & ~std::uint32_t(kZipAttrReadOnly));
    if (!c->fs->Remove(path.c_str())) {
      UnzipInfo(c, kUnzipMsgError, "error:  cannot delete old %s\n", c->fileName.c_str());
      return 1;
    }
  }
  c->outFile = c->fs->Open(path.c_str(), ZipFileSystem::OpenMode::kCreate, nullptr);
  if (!c->outFile) {
    UnzipInfo(c, kUnzipMsgError, "error:  cannot create %s\n", c->fileName.c_str());
    return 1;
  }
  const UnzipEntry* e = c->entry;
  std::uint64_t csize = std::min<std::uint64_t>(e->compressedSize, static_cast<std::uint64_t>(c->archiveSize));
  std::uint64_t plausible = e->method == 0 ? csize : csize * kMaxExpansion + 65536;
  std::uint64_t claim = e->uncompressedSize;
  if (claim > 0 && claim <= plausible && claim <= kMaxPreallocation && !e->convertLineEnds) {
    if (c->outFile->SetSize(claim)) c->outFile->Seek(0, 0);
  }
  return 0;
}

int UnzipFlushOutput(UnzipContext* c, const std::uint8_t* data, std::size_t len, bool final) {
  if (len > 0) c->crc = ZipUpdateCrc32(c->crc, data, len);
  c->bytesOut += len;
  c->message(c, kUnzipMsgData, nullptr, 0);
  if (c->testOnly) return 0;
  if (c->diskFull) return kUnzipDiskFull;
  int r = 0;
  if (!c->entry->convertLineEnds) {
    r = Emit(c, data, len);
  } else {
    r = c->recordFormat ? ConvertRecords(c, data, len) : ConvertLineEnds(c, data, len);
    if (r == 0 && final && c->textFill > 0) {
      r = Emit(c, c->textBuffer.get(), c->textFill);
      c->textFill = 0;
    }
  }
  return r;
}

void UnzipFinishTargetFile(UnzipContext* c) {
  if (!c->outFile) return;
  // The end of the file is where its data ends, whatever size was reserved.
  c->outFile->SetSize(c->bytesWritten);
  if (!c->outFile->Close() && !c->diskFull) {
    UnzipInfo(c, kUnzipMsgError, "%s:  write error (disk full?).\n", c->fileName.c_str());
    c->diskFull = true;
  }
  c->outFile.reset();
  if (c->toConsole) return;

  const std::string path = UnzipFsPath(c, c->fileName);
  const UnzipEntry* e = c->entry;
  ZipFileTimes times = UnzipEntryTimesAsFileTimes(c, c->extraField.data(), c->extraField.size());
  int err = 0;
  int r = c->fs->SetTimes(path.c_str(), times, false, &err);
  if (r == 1)
    UnzipInfo(c, kUnzipMsgError, "\nCreateFile() error %d when trying set file time\n", err);
  else if (r == 2)
    UnzipInfo(c, kUnzipMsgError, "\nSetFileTime failed: %d\n", err);

  std::uint32_t attrs = UnzipTakeDosAttributes(*e);
  if ((attrs & 0x5F) && !c->fs->SetAttributes(path.c_str(), attrs & 0x7F))
    UnzipInfo(c, kUnzipMsgError, "\nwarning (%d): could not set file attributes\n", 0);

  if (c->restoreSecurity > 0) {
    const std::uint8_t* block = nullptr;
    std::size_t size = 0;
    if (UnzipLocateSecurityRecord(c->extraField.data(), c->extraField.size(), &block, &size)) {
      long applied = 0;
      UnzipApplySecurityExtra(c, c->fileName, false, block, size, &applied);
    }
  }
}

ZipFileTimes UnzipEntryTimesAsFileTimes(UnzipContext* c, const std::uint8_t* extra, std::size_t len) {
  ZipFileTimes t;
  UnzipExtraTimes x;
  UnzipExtraIds ids;
  const std::uint32_t dos = c->entry->dosDateTime;
  int found = UnzipParseExtraTimes(extra, len, false, dos, &x, &ids);
  if (found & (kTimeMod | kTimeAccess | kTimeCreation)) {
    if (found & kTimeMod) {
      t.present |= ZipFileTimes::kModification;
      t.modification = x.modification;
    } else {
      t.present |= ZipFileTimes::kModification;
      t.modification = UnzipDosToUnixTime(dos);
    }
    if (found & kTimeAccess) {
      t.present |= ZipFileTimes::kAccess;
      t.access = x.access;
    }
    if (found & kTimeCreation) {
      t.present |= ZipFileTimes::kCreation;
      t.creation = x.creation;
    }
  } else {
    t.present = ZipFileTimes::kModification | ZipFileTimes::kAccess;
    t.modification = t.access = UnzipDosToUnixTime(dos);
    t.fromDos = true;
    t.dosDateTime = dos;
  }
  return t;
}

void UnzipRecordDirectory(UnzipContext* c, const std::string& path) {
  UnzipDeferredFolder f;
  f.path = path;
  while (f.path.size() > 1 && IsSeparator(f.path.back())) f.path.pop_back();
  const std::uint8_t* block = nullptr;
  std::size_t size = 0;
  if (UnzipLocateSecurityRecord(c->extraField.data(), c->extraField.size(), &block, &size))
    f.security.assign(block, block + size);
  f.attributes = c->entry->externalAttributes & 0xFF;
  f.times = UnzipEntryTimesAsFileTimes(c, c->extraField.data(), c->extraField.size());
  try {
    c->deferredFolders.push_back(std::move(f));
  } catch (const std::bad_alloc&) {
    UnzipInfo(c, kUnzipMsgError, "warning:  cannot alloc memory for dir times/permissions/UID/GID\n");
  }
}

int UnzipRestoreDirectoryInfo(UnzipContext* c) {
  // Deeper folders first: setting a child's times touches its parent's.
  std::sort(c->deferredFolders.begin(), c->deferredFolders.end(),
            [](const UnzipDeferredFolder& a, const UnzipDeferredFolder& b) { return a.path > b.path; });
  int failed = 0;
  for (const UnzipDeferredFolder& f : c->deferredFolders) {
    bool ok = true;
    if (c->restoreSecurity > 0 && !f.security.empty()) {
      if (c->quiet == 0) UnzipInfo(c, 0, " set attrib: %-22s  ", Printable(f.path).c_str());
      long applied = 0;
      if (UnzipApplySecurityExtra(c, f.path, true, f.security.data(), f.security.size(), &applied) > kUnzipWarning)
        ok = false;
      if (c->quiet == 0) UnzipInfo(c, 0, "\n");
    }
    int err = 0;
    int r = c->fs->SetTimes(UnzipFsPath(c, f.path).c_str(), f.times, true, &err);
    if (r == 1) {
      UnzipInfo(c, kUnzipMsgError, "warning: CreateFile() error %d (set file times for %s)\n", err, f.path.c_str());
      ok = false;
    } else if (r == 2) {
      UnzipInfo(c, kUnzipMsgError, "warning:  SetFileTime() for %s error %d\n", f.path.c_str(), err);
      ok = false;
    }
    if (!ok) {
      UnzipInfo(c, kUnzipMsgError, "warning:  set times/attribs failed for %s\n", f.path.c_str());
      failed++;
    }
  }
  c->deferredFolders.clear();
  return failed;
}

int UnzipExtractEntry(UnzipContext* c) {
  UnzipEntry* e = c->entry;
  c->crc = 0;
  c->bytesOut = c->bytesWritten = 0;
  c->lastWasCr = false;
  c->textFill = 0;
  c->recordFormat = 0;
  c->recordState = 0;
  const std::string shown = c->extractKind ? c->fileName : Printable(e->name);

  if (e->convertLineEnds && !c->textBuffer) {
    c->textBuffer.reset(new (std::nothrow) std::uint8_t[2 * kUnzipWindowSize + 2]);
    if (!c->textBuffer) e->convertLineEnds = false;
  }
  if (e->convertLineEnds && e->hostSystem == 2)
    c->recordFormat = UnzipCheckPkwareExtraField(c, c->extraField.data(), c->extraField.size());
  if (c->recordFormat != 2 && c->recordFormat != 3) c->recordFormat = 0;

  // The local header may name a method that the central one did not.
  if (e->method != 0 && e->method != 1 && e->method != 6 && e->method != 8 && e->method != 9) {
    UnzipInfo(c, kUnzipMsgError, "%s:  unknown compression method\n", shown.c_str());
    return kUnzipWarning;
  }
  if (c->testOnly) {
    if (c->quiet == 0) UnzipInfo(c, 0, "%8sing: %-22s  %s%s", "test", shown.c_str(), "", "");
  } else if (!c->toConsole) {
    if (UnzipCreateTargetFile(c) != 0) return kUnzipDiskFull;
  }

  const char* verb = nullptr;
  const char* progress = nullptr;
  switch (e->method) {
    case 0: progress = "extract"; break;
    case 1: progress = "unshrink"; verb = "unshrink"; break;
    case 6: progress = "explod"; verb = "explode"; break;
    case 8:
    case 9: progress = "inflat"; verb = "inflate"; break;
  }
  if (progress && !c->testOnly && !c->toConsole && c->quiet == 0) {
    const char* tag = "";
    if (c->textConversion == 1)
      tag = e->uncompressedSize == 0 ? "[empty] " : e->convertLineEnds ? "[text]  " : "[binary]";
    UnzipInfo(c, 0, "%8sing: %-22s  %s%s", progress, shown.c_str(), tag, "");
  }

  int code = 0;
  int r = 0;
  switch (e->method) {
    case 0: {
      const std::uint8_t* p = nullptr;
      long n;
      while (r == 0 && (n = UnzipNextEntryChunk(c, &p)) > 0) r = UnzipFlushOutput(c, p, static_cast<std::size_t>(n), false);
      if (r == 0) r = UnzipFlushOutput(c, nullptr, 0, true);
      break;
    }
    case 1:
      r = UnzipExpandShrunk(c);
      break;
    case 6:
      r = UnzipExpandImploded(c);
      break;
    case 8:
    case 9:
      r = UnzipInflateEntry(c, e->method == 9);
      break;
  }
  if (r == kUnzipStopped) {
    if (!c->testOnly && !c->toConsole) UnzipFinishTargetFile(c);
    return kUnzipStopped;
  }
  bool decodeFailed = false;
  if (r != 0 && r < kUnzipDiskFull && !(e->method == 6 && r == 5)) {
    decodeFailed = true;
    const char* what = r == 3 ? "not enough memory to " : "invalid compressed data to ";
    if (c->quiet == 0)
      UnzipInfo(c, kUnzipMsgError, "\n  error:  %s%s\n", what, verb ? verb : "extract");
    else
      UnzipInfo(c, kUnzipMsgError, "  error:  %s%s %s\n", what, verb ? verb : "extract", shown.c_str());
    code = std::max(code, r == 3 ? static_cast<int>(kUnzipNoMemoryDecoding) : static_cast<int>(kUnzipBadData));
  } else if (e->method == 6 && r == 5) {
    code = std::max(code, c->implodeShort ? static_cast<int>(kUnzipBadData) : static_cast<int>(kUnzipWarning));
    UnzipInfo(c, kUnzipMsgError, "%s  %s:  %ld bytes required to uncompress to %lu bytes;\n    %s      supposed to require %lu bytes%s%s%s\n",
              c->implodeShort ? "error" : "warning", shown.c_str(), static_cast<long>(c->implodeUsed),
              static_cast<unsigned long>(e->uncompressedSize), c->implodeShort ? "  " : "", 
              static_cast<unsigned long>(e->compressedSize - (e->encrypted ? 12u : 0u)), "", "", "");
  }

  if (!c->testOnly && !c->toConsole) UnzipFinishTargetFile(c);

  if (c->diskFull || r == kUnzipDiskFull) {
    UnzipInfo(c, kUnzipMsgError, "warning:  %s is probably truncated\n", shown.c_str());
    return kUnzipDiskFull;
  }
  if (c->fatal) return kUnzipBadStructure;
  if (decodeFailed) return code;

  if (c->crc != e->crc) {
    if (c->quiet != 0) UnzipInfo(c, kUnzipMsgError, "%-22s ", shown.c_str());
    UnzipInfo(c, kUnzipMsgError, " bad CRC %08lx  (should be %08lx)\n", static_cast<unsigned long>(c->crc),
              static_cast<unsigned long>(e->crc));
    if (e->encrypted) UnzipInfo(c, kUnzipMsgError, "    (may instead be incorrect password)\n");
    return std::max(code, static_cast<int>(kUnzipBadData));
  }
  if (c->testOnly) {
    int v = UnzipVerifyExtraBlocks(c, c->extraField.data(), c->extraField.size());
    if (v == 0 && c->quiet == 0) UnzipInfo(c, 0, " OK\n");
    code = std::max(code, v);
  } else if (c->quiet == 0 && !c->toConsole) {
    UnzipInfo(c, 0, "\n");
  }
  return code;
}

int UnzipProcessEntry(UnzipContext* c) {
  UnzipEntry* e = c->entry;
  int code = 0;
  bool cut = false;
  if (c->extractKind) {
    c->hostName = false;
    int r = UnzipMapEntryName(c);
    int cls = MapClass(r);
    code = r & 0xFF;
    if (cls == kMapFolderCreated) {
      UnzipRecordDirectory(c, c->fileName);
      c->filesProcessed++;
      return code;
    }
    if (cls == kMapVolumeLabel) return code;
    if (cls == kMapOutside) {
      UnzipInfo(c, kUnzipMsgError, "warning:  skipping %s: it would be written outside the extraction folder\n",
                Printable(e->name).c_str());
      return std::max(code, static_cast<int>(kUnzipWarning));
    }
    if (cls >= kMapSkipQuietly) {
      if (cls == kMapError || cls == kMapTooLong || cls == kMapNoMemory) code = std::max(code, static_cast<int>(kUnzipBadData));
      return code;
    }

    // Overwrite decision; the host may supply another name, which is checked afresh.
    for (;;) {
      cut = e->nameCut || c->pathCut;
      const std::string key = FoldCase(c->fileName);
      if ((cut && c->pathsWritten.count(key)) || c->cutPathsWritten.count(key)) {
        UnzipInfo(c, kUnzipMsgError, "warning:  skipping %s: its cut name would replace another entry's %s\n",
                  Printable(e->name).c_str(), c->fileName.c_str());
        return std::max(code, static_cast<int>(kUnzipWarning));
      }
      int age = UnzipTargetAtLeastAsNew(c, c->fileName);
      bool ask = false;
      bool skip = false;
      if (age < 0) {
        if (c->freshen) return code;
      } else if (age == 1) {
        if (c->overwriteMode == kUnzipOverwriteNever || (c->update && !c->hostName))
          skip = true;
        else if (c->overwriteMode == kUnzipOverwriteAsk)
          ask = true;
      } else {
        if (c->overwriteMode == kUnzipOverwriteNever)
          skip = true;
        else if (c->overwriteMode == kUnzipOverwriteAsk)
          ask = true;
      }
      if (ask) {
        char buffer[kUnzipPathBufferSize];
        std::memset(buffer, 0, sizeof buffer);
        std::strncpy(buffer, c->fileName.c_str(), sizeof buffer - 1);
        int answer = c->callbacks->replace ? c->callbacks->replace(buffer) : kUnzipReplaceNone;
        buffer[sizeof buffer - 1] = '\0';
        if (answer == kUnzipReplaceSkip) {
          skip = true;
        } else if (answer == kUnzipReplaceAll) {
          c->overwriteMode = kUnzipOverwriteAlways;
        } else if (answer == kUnzipReplaceNone) {
          c->overwriteMode = kUnzipOverwriteNever;
          skip = true;
        } else if (answer == kUnzipReplaceRenamed) {
          c->fileName = buffer;
          c->hostName = true;
          int m = UnzipStoredNameToPath(c, true);
          int mc = MapClass(m);
          code = std::max(code, m & 0xFF);
          if (mc >= kMapSkipQuietly) {
            if (mc == kMapError || mc == kMapTooLong || mc == kMapNoMemory) code = std::max(code, static_cast<int>(kUnzipBadData));
            return code;
          }
          continue;
        }
      }
      if (skip) {
        UnzipInfo(c, 0, age == 1 && c->update ? "Target file newer.\nSkipping %s\n" : "Target file exists.\nSkipping %s\n",
                  c->fileName.c_str());
        return code;
      }
      break;
    }
  }

  c->message(c, kUnzipMsgSound, nullptr, 0);
  int r = UnzipExtractEntry(c);
  c->filesProcessed++;
  if (r == kUnzipStopped) return kUnzipStopped;
  if (c->extractKind && r != kUnzipDiskFull) {
    const std::string key = FoldCase(c->fileName);
    c->pathsWritten.insert(key);
    if (cut) c->cutPathsWritten.insert(key);
  }
  code = std::max(code, r);
  if (c->message(c, kUnzipMsgProgress, e->name.c_str(), e->uncompressedSize) != 0) return kUnzipStopped;
  return code;
}
