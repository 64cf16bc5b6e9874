// Turning names into found files, stored names, file facts, the temporary archive and
// its swap into place, and NT security descriptors.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "zip/UnzipContext.h"
#include "zip/ZipRun.h"

namespace {

constexpr std::uint32_t kHiddenOrSystem = kZipAttrHidden | kZipAttrSystem;
constexpr std::size_t kCopyBuffer = 16384;

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Slashes(std::string s) {
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

// The same file as the archive: the status fields that name a file and its state.
bool SameFile(const ZipFileStat& a, const ZipFileStat& b) {
  return a.mode == b.mode && a.device == b.device && a.inode == b.inode && a.links == b.links && a.uid == b.uid &&
         a.gid == b.gid && a.size == b.size && a.mtime == b.mtime && !a.isDirectory && !b.isDirectory;
}

std::uint32_t ClampTime(std::int64_t t) {
  if (t < 0) return 0;
  if (static_cast<std::uint64_t>(t) > kZipMax32) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(t);
}

bool IsRoot(const std::string& path) {
  std::string p = Slashes(path);
  if (p == "/") return true;
  return p.size() == 3 && IsDriveLetter(p[0]) && p[1] == ':' && p[2] == '/';
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/' || (folder.size() == 2 && folder[1] == ':')) return folder + name;
  return folder + "/" + name;
}

bool Skipped(const ZipRun* run, const ZipDirEntry& d) {
  return !run->systemHidden && (d.attributes & kHiddenOrSystem) != 0;
}

int ExpandComponents(ZipRun* run, const std::string& folder, const std::string& rest) {
  std::size_t slash = rest.find('/');
  std::string component = rest.substr(0, slash);
  std::string remaining = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  std::string listFolder = folder.empty() ? "." : folder;
  if (listFolder.size() == 2 && listFolder[1] == ':') listFolder += ".";
  auto scan = run->fs->Scan(listFolder.c_str());
  if (!scan) return -1;
  // The listing is taken whole first: what is added must not change what is listed.
  std::vector<ZipDirEntry> list;
  ZipDirEntry d;
  while (scan->Next(&d)) list.push_back(d);
  scan.reset();
  bool any = false;
  for (const ZipDirEntry& entry : list) {
    if (Skipped(run, entry)) continue;
    if (ZipMatchWildcard(component.c_str(), entry.name.c_str(), true) != 1) continue;
    std::string child = JoinPath(folder, entry.name);
    int r;
    if (remaining.empty())
      r = ZipCollectPath(run, child);
    else if (!entry.isDirectory)
      continue;
    else if (ZipHasWildcard(remaining.c_str()))
      r = ExpandComponents(run, child, remaining);
    else
      r = ZipCollectPath(run, child + "/" + remaining);
    if (r > 0) return r;
    if (r == 0) any = true;
  }
  return any ? 0 : -1;
}

// The volume label as an entry of its own, like a folder: stored, no data.
int AddVolumeLabel(ZipRun* run, const std::string& name) {
  std::string root = name.size() >= 2 && name[1] == ':' ? name.substr(0, 2) + "/" : std::string();
  if (root.empty() && !run->fs->CurrentFolder(&root)) return kZipOk;
  std::string label;
  if (!run->fs->VolumeLabel(root.c_str(), &label) || label.empty()) return kZipOk;
  if (label.size() > 12) label.resize(12);
  ZipFoundFile f;
  f.name = f.display = label;
  f.dosName = true;
  run->found.push_back(f);
  return kZipOk;
}

}  // namespace

bool ZipHasWildcard(const char* name) {
  for (const char* p = name; *p; p++)
    if (*p == '*' || *p == '?' || *p == '[') return true;
  return false;
}

std::string ZipEightThree(const std::string& component) {
  if (component == "." || component == "..") return component;
  static const char kNotAllowed[] = " \"*+,/:;<=>?[\\]|";
  std::size_t dot = component.rfind('.');
  auto clean = [&](const std::string& part, std::size_t limit) {
    std::string out;
    for (char c : part) {
      unsigned char u = static_cast<unsigned char>(c);
      if (u < 32 || c == '.' || std::strchr(kNotAllowed, c)) continue;
      out += static_cast<char>(u >= 'a' && u <= 'z' ? u - 32 : u);
      if (out.size() == limit) break;
    }
    return out;
  };
  std::string base = clean(component.substr(0, dot), 8);
  if (dot == std::string::npos) return base;
  std::string ext = clean(component.substr(dot + 1), 3);
  return ext.empty() ? base : base + "." + ext;
}

std::string ZipPathToStoredName(ZipRun* run, const std::string& path, bool isDirectory, bool* dosName) {
  std::string n = Slashes(path);
  if (n.size() >= 2 && IsDriveLetter(n[0]) && n[1] == ':') n.erase(0, 2);
  if (n.size() >= 2 && n[0] == '/' && n[1] == '/') {
    // A network path: drop the server and the share.
    std::size_t server = n.find('/', 2);
    std::size_t share = server == std::string::npos ? std::string::npos : n.find('/', server + 1);
    n = share == std::string::npos ? std::string() : n.substr(share + 1);
  }
  for (;;) {
    if (n.compare(0, 2, "./") == 0)
      n.erase(0, 2);
    else if (!n.empty() && n[0] == '/')
      n.erase(0, 1);
    else
      break;
  }
  if (n == ".") n.clear();
  while (!n.empty() && n.back() == '/') n.pop_back();
  if (!run->keepPaths) {
    // A folder's name is its path: with paths junked it has none.
    if (isDirectory) n.clear();
    std::size_t slash = n.rfind('/');
    if (slash != std::string::npos) n.erase(0, slash + 1);
  }
  bool dos = run->dosNames;
  if (!dos && !path.empty() && path != "-") {
    const ZipVolumeInfo volume = run->fs->Volume(path.c_str());
    if (!volume.known) ZipMessage(run, "zip diagnostic: GetVolumeInformation failed\n");
    dos = volume.shortNamesOnly;
  }
  if (run->dosNames) {
    std::string out;
    std::size_t i = 0;
    while (i <= n.size()) {
      std::size_t j = n.find('/', i);
      if (j == std::string::npos) j = n.size();
      if (!out.empty()) out += '/';
      out += ZipEightThree(n.substr(i, j - i));
      i = j + 1;
    }
    n = out;
  }
  if (isDirectory && !n.empty()) n += '/';
  if (dosName) *dosName = dos;
  return n;
}

bool ZipStatFile(ZipRun* run, const std::string& path, ZipFileStat* st) { return run->fs->Stat(path.c_str(), st); }

bool ZipGetFileInfo(ZipRun* run, const std::string& path, ZipFileInfo* info) {
  *info = ZipFileInfo();
  if (path == "-") {
    std::uint32_t now = ClampTime(static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count()));
    info->attributes = kZipAttrArchive;
    info->mode = 0100644;
    info->mtime = info->atime = info->ctime = now;
    return true;
  }
  ZipFileStat st;
  if (!ZipStatFile(run, path, &st)) {
    if (!IsRoot(path)) return false;
    // A drive root that the status call refuses: a writable folder of 1980.
    info->isDirectory = true;
    info->attributes = kZipAttrDirectory;
    info->mode = 0040000 | 0555 | 0200;
    info->mtime = info->atime = info->ctime = static_cast<std::uint32_t>(UnzipDosToUnixTime(kZipDos1980));
    return true;
  }
  info->stat = st;
  info->isDirectory = st.isDirectory;
  info->isCharDevice = st.isCharDevice;
  if (st.attributesKnown) {
    info->attributes = st.attributes & 0x37;
  } else {
    ZipMessage(run, "zip diagnostic: GetFileAttributes failed\n");
    info->attributes = kZipAttrArchive;
  }
  if (st.isDirectory) info->attributes |= kZipAttrDirectory;
  info->mode = st.mode;
  info->size = st.isDirectory ? 0 : st.size;
  info->mtime = ClampTime(st.mtime);
  info->atime = st.atime == 0 ? info->mtime : ClampTime(st.atime);
  info->ctime = st.ctime == 0 ? info->mtime : ClampTime(st.ctime);
  return true;
}

int ZipAddFoundFile(ZipRun* run, const std::string& path, bool isDirectory) {
  bool dos = false;
  std::string display = ZipPathToStoredName(run, path, isDirectory, &dos);
  if (display.empty()) {
    if (run->keepPaths && run->recurse == 0) return ZipAbort(run, kZipLogicError, "empty name without -j or -r");
    return kZipOk;
  }
  std::string name = display;
  if (dos) run->fs->AnsiToOem(&name[0], name.size());
  if (!ZipPatternsAccept(run, display)) {
    if (run->verbose > 0) ZipMessage(run, "excluding %s\n", display.c_str());
    return kZipOk;
  }
  if (run->archiveExists && !isDirectory) {
    ZipFileStat st;
    if (ZipStatFile(run, path, &st) && SameFile(st, run->archiveStat)) {
      if (run->verbose > 0) ZipMessage(run, "file matches zip file -- skipping\n");
      return kZipOk;
    }
  }
  if (ZipEntry* e = ZipFindEntry(run, name)) {
    if (e->action == kZipEntryChange && e->path != path) {
      ZipPrintWarning(run, "name in zip file repeated: ", name.c_str());
      ZipPrintWarning(run, "  first full name: ", e->path.c_str());
      ZipPrintWarning(run, " second full name: ", path.c_str());
      return ZipAbort(run, kZipBadArguments, "cannot repeat names in zip file");
    }
    e->action = kZipEntryChange;
    e->selected = true;
    e->path = path;
    e->dosName = dos;
    return kZipOk;
  }
  ZipFoundFile f;
  f.path = path;
  f.name = name;
  f.display = display;
  f.dosName = dos;
  run->found.push_back(std::move(f));
  return kZipOk;
}

int ZipCollectPath(ZipRun* run, const std::string& path) {
  ZipFileStat st;
  if (!ZipStatFile(run, path, &st)) {
    if (!IsRoot(path)) return -1;
    st.isDirectory = true;
  }
  if (!st.isDirectory) return ZipAddFoundFile(run, path, false);

  const bool dot = path == "." || path == "/." || path == "./";
  std::string folder = dot ? (path == "/." ? "/" : "") : path;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  if (!dot && run->dirEntries) {
    int r = ZipAddFoundFile(run, folder, true);
    if (r != kZipOk) return r;
  }
  if (run->recurse == 0) return kZipOk;
  auto scan = run->fs->Scan(dot && path != "/." ? "." : path.c_str());
  if (!scan) return kZipOk;
  std::vector<ZipDirEntry> list;
  ZipDirEntry d;
  while (scan->Next(&d)) list.push_back(d);
  scan.reset();
  for (const ZipDirEntry& entry : list) {
    if (Skipped(run, entry)) continue;
    std::string child = folder + entry.name;
    int r = ZipCollectPath(run, child);
    if (r == -1)
      ZipPrintWarning(run, "name not matched: ", child.c_str());
    else if (r != kZipOk)
      return r;
  }
  return kZipOk;
}

int ZipExpandNameArgument(ZipRun* run, const std::string& name) {
  if (run->volumeLabel && !run->volumeLabelDone) {
    run->volumeLabelDone = true;
    int r = AddVolumeLabel(run, name);
    if (r != kZipOk) return r;
    if (name.size() == 2 && IsDriveLetter(name[0]) && name[1] == ':') return kZipOk;
  }
  if (name == "-") {
    ZipFoundFile f;
    f.path = f.name = f.display = "-";
    run->found.push_back(f);
    return kZipOk;
  }
  std::string p = Slashes(name);
  if (std::count(p.begin(), p.end(), ':') > 1) return -1;
  if (p.size() == 2 && IsDriveLetter(p[0]) && p[1] == ':') p += '.';
  if (!ZipHasWildcard(p.c_str())) return ZipCollectPath(run, p);
  std::size_t wild = p.find_first_of("*?[");
  std::size_t slash = p.rfind('/', wild);
  if (slash == std::string::npos) {
    std::size_t colon = p.size() >= 2 && p[1] == ':' && wild >= 2 ? 2 : 0;
    return ExpandComponents(run, p.substr(0, colon), p.substr(colon));
  }
  return ExpandComponents(run, slash == 0 ? "/" : p.substr(0, slash), p.substr(slash + 1));
}

int ZipCollectNamedPath(ZipRun* run, const std::string& name) {
  std::string p = Slashes(name);
  if (p.size() >= 2 && IsDriveLetter(p[0]) && p[1] == ':') p.erase(0, 2);
  while (p.compare(0, 2, "./") == 0 || (!p.empty() && p[0] == '/')) p.erase(0, p[0] == '/' ? 1 : 2);
  const bool wild = ZipHasWildcard(p.c_str());
  std::string folder = p.empty() || p.back() == '/' ? p : p + "/";
  bool any = false;
  for (auto& e : run->entries) {
    bool match;
    if (wild)
      match = ZipMatchWildcard(p.c_str(), e->name.c_str(), true) == 1;
    else
      match = ZipCompareNames(e->name, p) == 0 || ZipCompareNames(e->name, folder) == 0 ||
              (run->recurse != 0 && e->name.size() > folder.size() &&
               ZipCompareNames(e->name.substr(0, folder.size()), folder) == 0);
    if (!match) continue;
    any = true;
    bool accepted = ZipPatternsAccept(run, e->name);
    if (run->verbose > 0) ZipMessage(run, "zip diagnostic: %scluding %s\n", accepted ? "in" : "ex", e->display.c_str());
    if (!accepted) continue;
    e->action = kZipEntryChange;
    e->selected = true;
    if (e->path.empty()) e->path = e->name;
  }
  return any ? kZipOk : -1;
}

namespace {

// A new file "ziXXXXXX" in folder (the current folder when empty), made unique.
bool MakeUniqueFile(ZipFileSystem* fs, const std::string& folder, std::string* path, std::unique_ptr<ZipFile>* file,
                    int* error) {
  static const char kChars[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  static std::uint64_t counter = 0;
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\' && prefix.back() != ':') prefix += '/';
  std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) +
                       0x9E3779B97F4A7C15ull * ++counter;
  for (int attempt = 0; attempt < 1000; attempt++) {
    std::string name = prefix + "zi";
    for (int i = 0; i < 6; i++) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      name += kChars[(seed >> 33) % 36];
    }
    ZipFileStat st;
    if (fs->Stat(name.c_str(), &st)) continue;
    *file = fs->Open(name.c_str(), ZipFileSystem::OpenMode::kCreate, error);
    if (!*file) return false;
    *path = name;
    return true;
  }
  return false;
}

}  // namespace

int ZipCreateTempFile(ZipRun* run, const std::string& folder, std::string* path, std::unique_ptr<ZipFile>* file) {
  int error = 0;
  if (MakeUniqueFile(run->fs, folder, path, file, &error)) return kZipOk;
  std::string shown = folder.empty() ? std::string("ziXXXXXX") : folder + "/ziXXXXXX";
  return ZipAbortIo(run, kZipTempFailure, shown.c_str(), error);
}

namespace {

// Copies from into to (created or emptied) through a 16 KiB buffer. A failure removes
// what was written.
int CopyFile(ZipRun* run, const std::string& from, const std::string& to, std::unique_ptr<ZipFile> target) {
  auto source = run->fs->Open(from.c_str(), ZipFileSystem::OpenMode::kRead, nullptr);
  if (!source) {
    ZipErrorText(" replace: can't open %s\n", from.c_str());
    target.reset();
    run->fs->Remove(to.c_str());
    return kZipTempFailure;
  }
  std::vector<std::uint8_t> buf(kCopyBuffer);
  int code = kZipOk;
  for (;;) {
    long n = source->Read(buf.data(), buf.size());
    if (n == 0) break;
    if (n < 0) {
      code = kZipReadFailure;
      break;
    }
    if (target->Write(buf.data(), static_cast<std::size_t>(n)) != n) {
      ZipErrorText(" fcopy: write error\n");
      code = kZipWriteFailure;
      break;
    }
  }
  if (!target->Close() && code == kZipOk) {
    ZipErrorText(" fcopy: write error\n");
    code = kZipWriteFailure;
  }
  target.reset();
  if (code != kZipOk) run->fs->Remove(to.c_str());
  return code;
}

}  // namespace

int ZipSwapInNewArchive(ZipRun* run, const std::string& temp, const std::string& archive) {
  ZipFileSystem* fs = run->fs;
  ZipFileStat st;
  if (fs->Stat(archive.c_str(), &st) && st.links > 1) {
    // Other names share the archive's data: write it in place so that they see the new
    // archive too.
    auto target = fs->Open(archive.c_str(), ZipFileSystem::OpenMode::kCreate, nullptr);
    if (!target) return kZipCreateFailure;
    int r = CopyFile(run, temp, archive, std::move(target));
    if (r == kZipOk) fs->Remove(temp.c_str());
    return r;
  }
  // One move: the old archive stays until the new one takes its place.
  if (fs->ReplaceFile(temp.c_str(), archive.c_str())) return kZipOk;

  // Another volume: copy next to the archive first, then move that into place.
  std::string folder = Slashes(archive);
  std::size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  if (folder.empty() && archive.size() >= 2 && archive[1] == ':') folder = archive.substr(0, 2);
  std::string copy;
  std::unique_ptr<ZipFile> target;
  int error = 0;
  MakeUniqueFile(fs, folder, &copy, &target, &error);
  if (!target) return kZipCreateFailure;
  int r = CopyFile(run, temp, copy, std::move(target));
  if (r != kZipOk) return r;
  if (!fs->ReplaceFile(copy.c_str(), archive.c_str())) {
    fs->Remove(copy.c_str());
    return kZipCreateFailure;
  }
  fs->Remove(temp.c_str());
  return kZipOk;
}

bool ZipReadSecurityExtra(ZipRun* run, const std::string& path, bool isDirectory, std::vector<std::uint8_t>* local,
                          std::vector<std::uint8_t>* central) {
  std::vector<std::uint8_t> descriptor;
  if (!run->fs->ReadSecurity(path.c_str(), isDirectory, run->privileges, &descriptor) || descriptor.empty())
    return false;
  // Room for the worst case: stored blocks of the whole descriptor.
  std::vector<std::uint8_t> block(descriptor.size() + descriptor.size() / 8 + 64);
  std::size_t written = 0;
  int level = run->storeAll || run->level == 0 ? 1 : run->level;
  if (ZipDeflateToBuffer(&run->deflater, level, descriptor.data(), descriptor.size(), block.data(), block.size(),
                         &written) != nullptr)
    return false;
  // The extra field must fit its 16-bit length next to the time stamp.
  if (4 + 5 + written + 17 > 65535) return false;
  std::uint8_t head[9];
  ZipPut16(head, 0x4453);
  ZipPut16(head + 2, static_cast<unsigned>(5 + written));
  ZipPut32(head + 4, static_cast<std::uint32_t>(descriptor.size()));
  head[8] = 0;
  local->insert(local->end(), head, head + 9);
  local->insert(local->end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(written));
  std::uint8_t c[8];
  ZipPut16(c, 0x4453);
  ZipPut16(c + 2, 4);
  ZipPut32(c + 4, static_cast<std::uint32_t>(descriptor.size()));
  central->insert(central->end(), c, c + 8);
  if (run->noisy) ZipHostPrint(" (%ld bytes security)", static_cast<long>(descriptor.size()));
  return true;
}
