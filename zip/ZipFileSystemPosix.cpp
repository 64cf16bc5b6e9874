// The POSIX file system under the ZIP engine, for native builds and tests.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <vector>

#include "zip/ZipFileSystem.h"

namespace {

class PosixFile : public ZipFile {
public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  long Read(void* buf, std::size_t len) override {
    for (;;) {
      ssize_t n = ::read(fd_, buf, len > 0x40000000 ? 0x40000000 : len);
      if (n < 0 && errno == EINTR) continue;
      return n < 0 ? -1 : static_cast<long>(n);
    }
  }
  long Write(const void* buf, std::size_t len) override {
    const char* p = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < len) {
      ssize_t n = ::write(fd_, p + done, len - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
  }
  bool Seek(std::int64_t offset, int origin) override {
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_, static_cast<off_t>(offset), whence) != static_cast<off_t>(-1);
  }
  std::int64_t Tell() override { return ::lseek(fd_, 0, SEEK_CUR); }
  bool SetSize(std::uint64_t size) override { return ::ftruncate(fd_, static_cast<off_t>(size)) == 0; }
  bool Close() override {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

private:
  int fd_;
};

class PosixScan : public ZipDirScan {
public:
  PosixScan(DIR* dir, std::string folder) : dir_(dir), folder_(std::move(folder)) {}
  ~PosixScan() override { ::closedir(dir_); }
  bool Next(ZipDirEntry* entry) override {
    while (struct dirent* d = ::readdir(dir_)) {
      std::string name = d->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      std::string full = folder_ + "/" + name;
      entry->name = name;
      entry->isDirectory = false;
      entry->attributes = kZipAttrArchive;
      entry->size = 0;
      entry->mtime = 0;
      if (::stat(full.c_str(), &st) == 0) {
        entry->isDirectory = S_ISDIR(st.st_mode);
        entry->attributes = entry->isDirectory ? kZipAttrDirectory : kZipAttrArchive;
        if (!(st.st_mode & S_IWUSR)) entry->attributes |= kZipAttrReadOnly;
        entry->size = static_cast<std::uint64_t>(st.st_size);
        entry->mtime = st.st_mtime;
      }
      return true;
    }
    return false;
  }

private:
  DIR* dir_;
  std::string folder_;
};

class PosixFileSystem : public ZipFileSystem {
public:
  std::unique_ptr<ZipFile> Open(const char* path, OpenMode mode, int* error) override {
    int flags = mode == OpenMode::kRead ? O_RDONLY : mode == OpenMode::kCreate ? O_WRONLY | O_CREAT | O_TRUNC : O_RDWR;
    int fd = ::open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (error) *error = errno;
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  bool Stat(const char* path, ZipFileStat* out) override {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    *out = ZipFileStat();
    out->isDirectory = S_ISDIR(st.st_mode);
    out->isCharDevice = S_ISCHR(st.st_mode);
    out->isExecutable = S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
    out->size = static_cast<std::uint64_t>(st.st_size);
    out->mtime = st.st_mtime;
    out->atime = st.st_atime;
    out->ctime = st.st_ctime;
    out->attributes = out->isDirectory ? kZipAttrDirectory : kZipAttrArchive;
    if (!(st.st_mode & S_IWUSR)) out->attributes |= kZipAttrReadOnly;
    out->mode = st.st_mode;
    out->device = st.st_dev;
    out->inode = st.st_ino;
    out->links = static_cast<std::uint32_t>(st.st_nlink);
    out->uid = st.st_uid;
    out->gid = st.st_gid;
    return true;
  }

  bool Remove(const char* path) override { return ::unlink(path) == 0; }
  bool Rename(const char* from, const char* to) override { return ::rename(from, to) == 0; }
  bool ReplaceFile(const char* from, const char* to) override { return ::rename(from, to) == 0; }
  bool MakeFolder(const char* path) override { return ::mkdir(path, 0777) == 0; }
  bool RemoveFolder(const char* path) override { return ::rmdir(path) == 0; }

  // Only the read-only bit has a POSIX meaning; folders keep their write permission so
  // that their contents can still be made.
  bool SetAttributes(const char* path, std::uint32_t attributes) override {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) return true;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kZipAttrReadOnly)
      mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
      mode |= S_IWUSR;
    return ::chmod(path, mode) == 0;
  }

  int SetTimes(const char* path, const ZipFileTimes& times, bool, int* systemError) override {
    struct timespec ts[2];
    ts[0].tv_nsec = ts[1].tv_nsec = UTIME_OMIT;
    if (times.present & ZipFileTimes::kAccess) {
      ts[0].tv_sec = static_cast<time_t>(times.access);
      ts[0].tv_nsec = 0;
    }
    if (times.present & ZipFileTimes::kModification) {
      ts[1].tv_sec = static_cast<time_t>(times.modification);
      ts[1].tv_nsec = 0;
    }
    if (::utimensat(AT_FDCWD, path, ts, 0) != 0) {
      if (systemError) *systemError = errno;
      return errno == ENOENT ? 1 : 2;
    }
    return 0;
  }

  std::unique_ptr<ZipDirScan> Scan(const char* folder) override {
    DIR* d = ::opendir(folder);
    if (!d) return nullptr;
    return std::make_unique<PosixScan>(d, folder);
  }

  bool CurrentFolder(std::string* out) override {
    std::vector<char> buf(PATH_MAX + 1);
    if (!::getcwd(buf.data(), buf.size())) return false;
    *out = buf.data();
    return true;
  }
  bool ChangeFolder(const char* path) override { return ::chdir(path) == 0; }

  bool FullPath(const char* path, std::string* out) override {
    std::string p = path;
    if (p.empty() || p[0] != '/') {
      std::string cwd;
      if (!CurrentFolder(&cwd)) return false;
      p = cwd + "/" + p;
    }
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= p.size()) {
      std::size_t j = p.find('/', i);
      if (j == std::string::npos) j = p.size();
      std::string comp = p.substr(i, j - i);
      if (comp == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!comp.empty() && comp != ".") {
        parts.push_back(comp);
      }
      i = j + 1;
    }
    out->clear();
    for (const auto& c : parts) *out += "/" + c;
    if (out->empty()) *out = "/";
    return true;
  }
  bool IsAbsolute(const char* path) override { return path[0] == '/'; }

  ZipVolumeInfo Volume(const char*) override { return ZipVolumeInfo(); }
  bool IsDeviceName(const char*) override { return false; }

  bool ReadSecurity(const char*, bool, bool, std::vector<std::uint8_t>*) override { return false; }
  ZipSecurityResult ApplySecurity(const char*, bool, const std::uint8_t*, std::size_t, int) override {
    return ZipSecurityResult::kNotApplied;
  }

  // The environment's TZ is how a POSIX system names its zone; changing the environment
  // here would race with other threads' getenv.
  void UseSystemTimeZone() override { ::tzset(); }
};

}  // namespace

ZipFileSystem& ZipSystemFileSystem() {
  static PosixFileSystem fs;
  return fs;
}
