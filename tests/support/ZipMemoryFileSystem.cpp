#include "tests/support/ZipMemoryFileSystem.h"

#include <cerrno>
#include <cstring>

class ZipMemoryFileSystem::File : public ZipFile {
public:
  File(ZipMemoryFileSystem* fs, std::shared_ptr<Node> node, bool writable)
      : fs_(fs), node_(std::move(node)), writable_(writable) {}

  long Read(void* buf, std::size_t len) override {
    const auto& d = node_->data;
    if (pos_ >= d.size()) return 0;
    std::size_t n = std::min<std::size_t>(len, d.size() - pos_);
    if (n > 0x7FFFFFFF) n = 0x7FFFFFFF;
    std::memcpy(buf, d.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  long Write(const void* buf, std::size_t len) override {
    if (!writable_) return -1;
    auto& d = node_->data;
    std::uint64_t end = pos_ + len;
    std::uint64_t grow = end > d.size() ? end - d.size() : 0;
    if (grow > fs_->capacity_ - fs_->used_) {
      // The medium is full: write what fits.
      std::uint64_t room = fs_->capacity_ - fs_->used_;
      if (pos_ > d.size() + room) return 0;
      len = static_cast<std::size_t>(d.size() + room - pos_);
      end = pos_ + len;
      grow = end > d.size() ? end - d.size() : 0;
    }
    if (grow > 0) {
      d.resize(static_cast<std::size_t>(end));
      fs_->used_ += grow;
    }
    if (len > 0) std::memcpy(d.data() + pos_, buf, len);
    pos_ += len;
    return static_cast<long>(len);
  }
  bool Seek(std::int64_t offset, int origin) override {
    std::int64_t base = origin == 0 ? 0 : origin == 1 ? std::int64_t(pos_) : std::int64_t(node_->data.size());
    if (base + offset < 0) return false;
    pos_ = static_cast<std::uint64_t>(base + offset);
    return true;
  }
  std::int64_t Tell() override { return static_cast<std::int64_t>(pos_); }
  bool SetSize(std::uint64_t size) override {
    if (!writable_) return false;
    auto& d = node_->data;
    if (size > d.size()) {
      if (size - d.size() > fs_->capacity_ - fs_->used_) return false;
      fs_->used_ += size - d.size();
    } else {
      fs_->used_ -= d.size() - size;
    }
    d.resize(static_cast<std::size_t>(size));
    return true;
  }
  bool Close() override { return true; }

private:
  ZipMemoryFileSystem* fs_;
  std::shared_ptr<Node> node_;
  bool writable_;
  std::uint64_t pos_ = 0;
};

namespace {

class MemoryScan : public ZipDirScan {
public:
  explicit MemoryScan(std::vector<ZipDirEntry> entries) : entries_(std::move(entries)) {}
  bool Next(ZipDirEntry* entry) override {
    if (next_ >= entries_.size()) return false;
    *entry = entries_[next_++];
    return true;
  }

private:
  std::vector<ZipDirEntry> entries_;
  std::size_t next_ = 0;
};

std::string ParentOf(const std::string& normalized) {
  std::size_t slash = normalized.rfind('/');
  return slash == 0 ? "/" : normalized.substr(0, slash);
}

}  // namespace

ZipMemoryFileSystem::ZipMemoryFileSystem(std::uint64_t capacity) : capacity_(capacity) {
  auto root = std::make_shared<Node>();
  root->isDirectory = true;
  root->attributes = kZipAttrDirectory;
  nodes_["/"] = root;
}

std::string ZipMemoryFileSystem::Normalize(const std::string& path) const {
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  if (p.empty() || p[0] != '/') p = cwd_ + "/" + p;
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i < p.size()) {
    std::size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string comp = p.substr(i, j - i);
    // Windows ignores trailing dots and blanks of a component; one made of nothing else
    // is taken as ".." when it holds two dots or more (the stricter reading).
    if (comp != "." && comp != "..") {
      std::size_t n = comp.size();
      while (n > 0 && (comp[n - 1] == '.' || comp[n - 1] == ' ')) n--;
      if (n == 0 && !comp.empty()) {
        std::size_t dots = 0;
        for (char c : comp) dots += c == '.';
        comp = dots >= 2 ? ".." : ".";
      } else {
        comp.resize(n);
      }
    }
    if (comp.empty() || comp == ".") {
    } else if (comp == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(comp);
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& c : parts) out += "/" + c;
  return out.empty() ? "/" : out;
}

std::shared_ptr<ZipMemoryFileSystem::Node> ZipMemoryFileSystem::Lookup(const std::string& n) const {
  auto it = nodes_.find(n);
  return it == nodes_.end() ? nullptr : it->second;
}

bool ZipMemoryFileSystem::ParentIsDirectory(const std::string& n) const {
  auto parent = Lookup(ParentOf(n));
  return parent && parent->isDirectory;
}

void ZipMemoryFileSystem::AddFile(const std::string& path, const std::vector<std::uint8_t>& data,
                                  std::uint32_t attributes, std::int64_t mtime) {
  std::string n = Normalize(path);
  // Make the folders on the way.
  for (std::size_t s = n.find('/', 1); s != std::string::npos; s = n.find('/', s + 1))
    AddDirectory(n.substr(0, s));
  auto node = std::make_shared<Node>();
  node->data = data;
  node->attributes = attributes;
  node->mtime = node->atime = node->ctime = mtime;
  used_ += data.size();
  nodes_[n] = node;
}

void ZipMemoryFileSystem::AddDirectory(const std::string& path) {
  std::string n = Normalize(path);
  if (Lookup(n)) return;
  for (std::size_t s = n.find('/', 1); s != std::string::npos; s = n.find('/', s + 1)) {
    std::string part = n.substr(0, s);
    if (!Lookup(part)) AddDirectory(part);
  }
  auto node = std::make_shared<Node>();
  node->isDirectory = true;
  node->attributes = kZipAttrDirectory;
  nodes_[n] = node;
}

const ZipMemoryFileSystem::Node* ZipMemoryFileSystem::Find(const std::string& path) const {
  return Lookup(Normalize(path)).get();
}

std::vector<std::string> ZipMemoryFileSystem::Paths() const {
  std::vector<std::string> out;
  for (const auto& kv : nodes_) out.push_back(kv.first);
  return out;
}

std::unique_ptr<ZipFile> ZipMemoryFileSystem::Open(const char* path, OpenMode mode, int* error) {
  std::string n = Normalize(path);
  auto node = Lookup(n);
  int err = 0;
  if (mode == OpenMode::kCreate) {
    if (node && (node->isDirectory || (node->attributes & kZipAttrReadOnly))) {
      err = EACCES;
    } else if (!node && !ParentIsDirectory(n)) {
      err = ENOENT;
    } else {
      if (!node) {
        node = std::make_shared<Node>();
        nodes_[n] = node;
      }
      used_ -= node->data.size();
      node->data.clear();
      return std::make_unique<File>(this, node, true);
    }
  } else if (!node) {
    err = ENOENT;
  } else if (node->isDirectory || (mode == OpenMode::kUpdate && (node->attributes & kZipAttrReadOnly))) {
    err = EACCES;
  } else {
    return std::make_unique<File>(this, node, mode == OpenMode::kUpdate);
  }
  if (error) *error = err;
  return nullptr;
}

bool ZipMemoryFileSystem::Stat(const char* path, ZipFileStat* st) {
  const char* base = std::strrchr(path, '/');
  base = base ? base + 1 : path;
  if (IsWindowsDeviceName(base)) {
    *st = ZipFileStat();
    st->isCharDevice = true;
    st->mode = 0020666;
    return true;
  }
  auto node = Lookup(Normalize(path));
  if (!node) return false;
  *st = ZipFileStat();
  st->isDirectory = node->isDirectory;
  st->size = node->data.size();
  st->mtime = node->mtime;
  st->atime = node->atime;
  st->ctime = node->ctime;
  st->attributes = node->attributes;
  for (const std::string& p : attributesUnknown)
    if (Normalize(p) == Normalize(path)) st->attributesKnown = false;
  st->mode = node->isDirectory ? 0040755 : (node->attributes & kZipAttrReadOnly) ? 0100444 : 0100644;
  st->links = 1;
  st->inode = reinterpret_cast<std::uintptr_t>(node.get());  // one identity per file
  return true;
}

bool ZipMemoryFileSystem::Remove(const char* path) {
  std::string n = Normalize(path);
  auto node = Lookup(n);
  if (!node || node->isDirectory || (node->attributes & kZipAttrReadOnly)) return false;
  used_ -= node->data.size();
  nodes_.erase(n);
  return true;
}

std::string ZipMemoryFileSystem::VolumeOf(const std::string& n) const {
  std::string best = "/";
  for (const std::string& v : separateVolumes) {
    std::string root = Normalize(v);
    if ((n == root || n.compare(0, root.size() + 1, root + "/") == 0) && root.size() > best.size()) best = root;
  }
  return best;
}

bool ZipMemoryFileSystem::Rename(const char* from, const char* to) {
  std::string a = Normalize(from), b = Normalize(to);
  auto node = Lookup(a);
  if (!node || node->isDirectory || Lookup(b) || !ParentIsDirectory(b) || VolumeOf(a) != VolumeOf(b)) return false;
  nodes_.erase(a);
  nodes_[b] = node;
  return true;
}

bool ZipMemoryFileSystem::ReplaceFile(const char* from, const char* to) {
  std::string a = Normalize(from), b = Normalize(to);
  auto node = Lookup(a), target = Lookup(b);
  if (!node || node->isDirectory || !ParentIsDirectory(b) || VolumeOf(a) != VolumeOf(b) || a == b) return false;
  if (target) {
    if (target->isDirectory || (target->attributes & kZipAttrReadOnly)) return false;
    used_ -= target->data.size();
  }
  nodes_.erase(a);
  nodes_[b] = node;
  return true;
}

bool ZipMemoryFileSystem::VolumeLabel(const char*, std::string* label) {
  *label = volumeLabel;
  return !volumeLabel.empty();
}

bool ZipMemoryFileSystem::MakeFolder(const char* path) {
  std::string n = Normalize(path);
  if (n == "/" || Lookup(n) || !ParentIsDirectory(n)) return false;
  auto node = std::make_shared<Node>();
  node->isDirectory = true;
  node->attributes = kZipAttrDirectory;
  nodes_[n] = node;
  return true;
}

bool ZipMemoryFileSystem::RemoveFolder(const char* path) {
  std::string n = Normalize(path);
  auto node = Lookup(n);
  if (n == "/" || !node || !node->isDirectory) return false;
  auto it = nodes_.upper_bound(n);
  if (it != nodes_.end() && it->first.compare(0, n.size() + 1, n + "/") == 0) return false;
  nodes_.erase(n);
  return true;
}

bool ZipMemoryFileSystem::SetAttributes(const char* path, std::uint32_t attributes) {
  auto node = Lookup(Normalize(path));
  if (!node) return false;
  node->attributes = (attributes & 0x27u) | (node->isDirectory ? std::uint32_t(kZipAttrDirectory) : 0u);
  return true;
}

int ZipMemoryFileSystem::SetTimes(const char* path, const ZipFileTimes& times, bool isDirectory,
                                  int* systemError) {
  auto node = Lookup(Normalize(path));
  if (!node || node->isDirectory != isDirectory) {
    if (systemError) *systemError = ENOENT;
    return 1;
  }
  if (times.present & ZipFileTimes::kModification) node->mtime = times.modification;
  if (times.present & ZipFileTimes::kAccess) node->atime = times.access;
  if (times.present & ZipFileTimes::kCreation) node->ctime = times.creation;
  return 0;
}

std::unique_ptr<ZipDirScan> ZipMemoryFileSystem::Scan(const char* folder) {
  std::string n = Normalize(folder);
  auto node = Lookup(n);
  if (!node || !node->isDirectory) return nullptr;
  std::string prefix = n == "/" ? "/" : n + "/";
  std::vector<ZipDirEntry> entries;
  for (auto it = nodes_.upper_bound(n); it != nodes_.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    std::string rest = it->first.substr(prefix.size());
    if (rest.empty() || rest.find('/') != std::string::npos) continue;
    ZipDirEntry e;
    e.name = rest;
    e.attributes = it->second->attributes;
    e.isDirectory = it->second->isDirectory;
    e.size = it->second->data.size();
    e.mtime = it->second->mtime;
    entries.push_back(e);
  }
  return std::make_unique<MemoryScan>(std::move(entries));
}

bool ZipMemoryFileSystem::CurrentFolder(std::string* out) {
  *out = cwd_;
  return true;
}

bool ZipMemoryFileSystem::ChangeFolder(const char* path) {
  std::string n = Normalize(path);
  auto node = Lookup(n);
  if (!node || !node->isDirectory) return false;
  cwd_ = n;
  return true;
}

bool ZipMemoryFileSystem::FullPath(const char* path, std::string* out) {
  *out = Normalize(path);
  return true;
}

bool ZipMemoryFileSystem::IsAbsolute(const char* path) { return path[0] == '/' || path[0] == '\\'; }

bool ZipMemoryFileSystem::ReadSecurity(const char* path, bool, bool, std::vector<std::uint8_t>* descriptor) {
  auto node = Lookup(Normalize(path));
  if (!node || !volume.persistentAcls || node->security.empty()) return false;
  *descriptor = node->security;
  return true;
}

ZipSecurityResult ZipMemoryFileSystem::ApplySecurity(const char* path, bool isDirectory,
                                                     const std::uint8_t* descriptor, std::size_t len,
                                                     int) {
  if (!volume.persistentAcls) return ZipSecurityResult::kNotApplied;
  auto node = Lookup(Normalize(path));
  if (!node || node->isDirectory != isDirectory) return ZipSecurityResult::kFailed;
  node->security.assign(descriptor, descriptor + len);
  return ZipSecurityResult::kApplied;
}
