// The Win32 file system under the ZIP engine (A functions throughout).
#include <windows.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "zip/ZipFileSystem.h"

namespace {

constexpr std::uint64_t kEpochDifference = 116444736000000000ull;  // 1601 to 1970 in 100 ns
constexpr std::int64_t k1980 = 315532800;                           // 1980-01-01 00:00 UTC

std::int64_t FileTimeToUnix(const FILETIME& ft) {
  std::uint64_t v = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  if (v < kEpochDifference) return 0;
  return static_cast<std::int64_t>((v - kEpochDifference) / 10000000ull);
}

// FAT keeps the local wall-clock time; Windows shows it as UTC through the zone's bias in
// force now. Through the local time again it is the wall-clock time the volume holds, which
// the zone's rules for that date turn into the moment it stands for (summer and winter
// times alike). Times before 1970 give 0.
std::int64_t LocalFileTimeToUnix(const FILETIME& ft) {
  FILETIME local;
  SYSTEMTIME s;
  if (!FileTimeToLocalFileTime(&ft, &local) || !FileTimeToSystemTime(&local, &s)) return FileTimeToUnix(ft);
  std::tm tm = {};
  tm.tm_year = s.wYear - 1900;
  tm.tm_mon = s.wMonth - 1;
  tm.tm_mday = s.wDay;
  tm.tm_hour = s.wHour;
  tm.tm_min = s.wMinute;
  tm.tm_sec = s.wSecond;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  return t < 0 ? 0 : static_cast<std::int64_t>(t);
}

FILETIME UnixToFileTime(std::int64_t t) {
  std::uint64_t v = static_cast<std::uint64_t>(t < 0 ? 0 : t) * 10000000ull + kEpochDifference;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

bool HasExecutableExtension(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (!dot || std::strpbrk(dot, "/\\")) return false;
  return _stricmp(dot, ".exe") == 0 || _stricmp(dot, ".com") == 0 || _stricmp(dot, ".bat") == 0 ||
         _stricmp(dot, ".cmd") == 0;
}

class Win32File : public ZipFile {
public:
  explicit Win32File(HANDLE h) : h_(h) {}
  ~Win32File() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  long Read(void* buf, std::size_t len) override {
    DWORD n = 0;
    if (len > 0x40000000) len = 0x40000000;
    if (!ReadFile(h_, buf, static_cast<DWORD>(len), &n, nullptr)) return -1;
    return static_cast<long>(n);
  }
  long Write(const void* buf, std::size_t len) override {
    const char* p = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < len) {
      DWORD chunk = static_cast<DWORD>(len - done > 0x40000000 ? 0x40000000 : len - done);
      DWORD n = 0;
      if (!WriteFile(h_, p + done, chunk, &n, nullptr) || n == 0) break;
      done += n;
    }
    return static_cast<long>(done);
  }
  bool Seek(std::int64_t offset, int origin) override {
    LARGE_INTEGER li;
    li.QuadPart = offset;
    DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    return SetFilePointerEx(h_, li, nullptr, method) != 0;
  }
  std::int64_t Tell() override {
    LARGE_INTEGER zero, pos;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(h_, zero, &pos, FILE_CURRENT)) return -1;
    return pos.QuadPart;
  }
  bool SetSize(std::uint64_t size) override {
    std::int64_t pos = Tell();
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(size);
    bool ok = SetFilePointerEx(h_, li, nullptr, FILE_BEGIN) && SetEndOfFile(h_);
    if (pos >= 0) Seek(pos, 0);
    return ok;
  }
  bool Close() override {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h) != 0;
  }

private:
  HANDLE h_;
};

class Win32Scan : public ZipDirScan {
public:
  Win32Scan(HANDLE h, const WIN32_FIND_DATAA& first) : h_(h), data_(first) {}
  ~Win32Scan() override { FindClose(h_); }
  bool Next(ZipDirEntry* entry) override {
    for (;;) {
      if (!pending_ && !FindNextFileA(h_, &data_)) return false;
      pending_ = false;
      if (std::strcmp(data_.cFileName, ".") == 0 || std::strcmp(data_.cFileName, "..") == 0) continue;
      entry->name = data_.cFileName;
      entry->attributes = data_.dwFileAttributes & 0xFF;
      entry->isDirectory = (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry->size = (std::uint64_t(data_.nFileSizeHigh) << 32) | data_.nFileSizeLow;
      entry->mtime = FileTimeToUnix(data_.ftLastWriteTime);
      return true;
    }
  }

private:
  HANDLE h_;
  WIN32_FIND_DATAA data_;
  bool pending_ = true;
};

bool EnablePrivilege(const char* name) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

class Win32FileSystem : public ZipFileSystem {
public:
  std::unique_ptr<ZipFile> Open(const char* path, OpenMode mode, int* error) override {
    DWORD access = mode == OpenMode::kRead ? GENERIC_READ : mode == OpenMode::kCreate ? GENERIC_WRITE : GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = mode == OpenMode::kCreate ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | (mode == OpenMode::kRead ? FILE_SHARE_WRITE : 0), nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (error) *error = static_cast<int>(GetLastError());
      return nullptr;
    }
    return std::make_unique<Win32File>(h);
  }

  bool Stat(const char* path, ZipFileStat* st) override {
    *st = ZipFileStat();
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &d)) {
      // Devices (CON, NUL, ...) are known to the runtime's file status only; their
      // attributes come from the plain call, when it answers.
      struct _stati64 rt;
      if (_stati64(path, &rt) != 0) return false;
      st->isCharDevice = (rt.st_mode & _S_IFMT) == _S_IFCHR;
      st->isDirectory = (rt.st_mode & _S_IFMT) == _S_IFDIR;
      const DWORD attributes = GetFileAttributesA(path);
      st->attributesKnown = attributes != INVALID_FILE_ATTRIBUTES;
      if (st->attributesKnown) st->attributes = attributes & 0xFF;
      st->mode = rt.st_mode;
      return true;
    }
    st->isDirectory = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st->isExecutable = !st->isDirectory && HasExecutableExtension(path);
    st->size = (std::uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    auto toUnix = Volume(path).localTimes ? LocalFileTimeToUnix : FileTimeToUnix;
    st->mtime = toUnix(d.ftLastWriteTime);
    st->atime = toUnix(d.ftLastAccessTime);
    st->ctime = toUnix(d.ftCreationTime);
    st->attributes = d.dwFileAttributes & 0xFF;
    st->mode = (st->isDirectory ? _S_IFDIR | 0111 : _S_IFREG) | 0444 |
               ((d.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0 : 0222) | (st->isExecutable ? 0111 : 0);
    st->links = 1;
    // Volume serial and file index identify a file (the archiver compares the files it
    // reads with its own archive); folders, asked about on every path, skip the open.
    if (st->isDirectory) return true;
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info;
      if (GetFileInformationByHandle(h, &info)) {
        st->device = info.dwVolumeSerialNumber;
        st->inode = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        st->links = info.nNumberOfLinks;
      }
      CloseHandle(h);
    }
    return true;
  }

  bool Remove(const char* path) override { return DeleteFileA(path) != 0; }
  bool Rename(const char* from, const char* to) override { return MoveFileA(from, to) != 0; }
  // Without MOVEFILE_COPY_ALLOWED: across volumes this fails rather than copying
  // after the old file is gone.
  bool ReplaceFile(const char* from, const char* to) override {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  bool MakeFolder(const char* path) override { return ::CreateDirectoryA(path, nullptr) != 0; }
  bool RemoveFolder(const char* path) override { return ::RemoveDirectoryA(path) != 0; }

  bool SetAttributes(const char* path, std::uint32_t attributes) override {
    DWORD a = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    return SetFileAttributesA(path, a ? a : FILE_ATTRIBUTE_NORMAL) != 0;
  }

  int SetTimes(const char* path, const ZipFileTimes& times, bool isDirectory, int* systemError) override {
    HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           isDirectory ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (systemError) *systemError = static_cast<int>(GetLastError());
      return 1;
    }
    const bool local = Volume(path).localTimes;
    ZipFileTimes unixOnly = times;
    unixOnly.fromDos = false;  // the creation time never comes from the DOS field
    FILETIME m = Convert(times.modification, times, local);
    FILETIME a = Convert(times.access, times, local);
    FILETIME c = Convert(times.creation, unixOnly, local);
    BOOL ok = SetFileTime(h, (times.present & ZipFileTimes::kCreation) ? &c : nullptr,
                          (times.present & ZipFileTimes::kAccess) ? &a : nullptr,
                          (times.present & ZipFileTimes::kModification) ? &m : nullptr);
    if (!ok && systemError) *systemError = static_cast<int>(GetLastError());
    CloseHandle(h);
    return ok ? 0 : 2;
  }

  std::unique_ptr<ZipDirScan> Scan(const char* folder) override {
    std::string pattern = folder;
    if (!pattern.empty() && pattern.back() != '/' && pattern.back() != '\\' && pattern.back() != ':') pattern += '/';
    pattern += "*";
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32Scan>(h, data);
  }

  bool CurrentFolder(std::string* out) override {
    char buf[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    if (n == 0 || n >= sizeof buf) return false;
    *out = buf;
    return true;
  }
  bool ChangeFolder(const char* path) override { return ::SetCurrentDirectoryA(path) != 0; }

  bool FullPath(const char* path, std::string* out) override {
    char buf[4096];
    DWORD n = GetFullPathNameA(path, sizeof buf, buf, nullptr);
    if (n == 0 || n >= sizeof buf) return false;
    *out = buf;
    return true;
  }
  bool IsAbsolute(const char* path) override {
    if (path[0] == '/' || path[0] == '\\') return true;
    return ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
  }

  ZipVolumeInfo Volume(const char* path) override {
    ZipVolumeInfo v;
    std::string root;
    if (!VolumeRoot(path, &root)) {
      v.known = false;
      return v;
    }
    std::lock_guard<std::mutex> lock(volumeLock_);
    if (root == cachedRoot_) return cachedVolume_;
    DWORD maxComponent = 255, flags = 0;
    char fsName[MAX_PATH + 1] = {};
    v.known = GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, &maxComponent, &flags, fsName, sizeof fsName) != 0;
    if (v.known) {
      v.shortNamesOnly = maxComponent < 13;
      v.localTimes = _strnicmp(fsName, "FAT", 3) == 0 || _strnicmp(fsName, "VFAT", 4) == 0 ||
                     _strnicmp(fsName, "HPFS", 4) == 0;
      v.persistentAcls = (flags & FS_PERSISTENT_ACLS) != 0;
    }
    v.remote = GetDriveTypeA(root.c_str()) == DRIVE_REMOTE;
    cachedRoot_ = root;
    cachedVolume_ = v;
    return v;
  }

  bool IsDeviceName(const char* component) override { return IsWindowsDeviceName(component); }

  bool VolumeLabel(const char* path, std::string* label) override {
    std::string root;
    char name[MAX_PATH + 1] = {};
    if (!VolumeRoot(path, &root) || !GetVolumeInformationA(root.c_str(), name, sizeof name, nullptr, nullptr, nullptr, nullptr, 0))
      return false;
    *label = name;
    return !label->empty();
  }

  bool ReadSecurity(const char* path, bool isDirectory, bool usePrivileges,
                    std::vector<std::uint8_t>* descriptor) override {
    if (!Volume(path).persistentAcls) return false;
    // The privileges are asked for once per process, also without -!: the backup privilege
    // opens files for their descriptors that plain access would refuse.
    bool backup = false, privileged = false;
    {
      std::lock_guard<std::mutex> lock(privilegeLock_);
      if (!backupTried_) {
        backupTried_ = true;
        backupGranted_ = EnablePrivilege("SeBackupPrivilege");
        if (!backupGranted_) securityGranted_ = EnablePrivilege("SeSecurityPrivilege");
      }
      backup = backupGranted_;
      privileged = usePrivileges && (backupGranted_ || securityGranted_);
    }
    DWORD access = READ_CONTROL | (privileged ? ACCESS_SYSTEM_SECURITY : 0);
    SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                (privileged ? SACL_SECURITY_INFORMATION : 0);
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           (isDirectory || backup) ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    descriptor->assign(1024, 0);
    DWORD needed = 0;
    BOOL ok = GetKernelObjectSecurity(h, info, descriptor->data(), static_cast<DWORD>(descriptor->size()), &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > 0) {
      descriptor->assign(needed, 0);
      ok = GetKernelObjectSecurity(h, info, descriptor->data(), needed, &needed);
    }
    CloseHandle(h);
    if (!ok) return false;
    descriptor->resize(GetSecurityDescriptorLength(descriptor->data()));
    return true;
  }

  ZipSecurityResult ApplySecurity(const char* path, bool isDirectory, const std::uint8_t* descriptor, std::size_t len,
                                  int level) override {
    ZipVolumeInfo v = Volume(path);
    if (!v.persistentAcls) return ZipSecurityResult::kNotApplied;
    std::vector<std::uint8_t> sdCopy(descriptor, descriptor + len);
    PSECURITY_DESCRIPTOR sd = sdCopy.data();
    if (!IsValidSecurityDescriptor(sd)) return ZipSecurityResult::kFailed;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(sd, &control, &revision)) return ZipSecurityResult::kFailed;

    bool restore = false, security = false;
    if (level >= 2) {
      std::lock_guard<std::mutex> lock(privilegeLock_);
      if (!restoreTried_) {
        restoreTried_ = true;
        restoreGranted_ = EnablePrivilege("SeRestorePrivilege");
        securityGranted_ = EnablePrivilege("SeSecurityPrivilege") || securityGranted_;
      }
      restore = restoreGranted_;
      security = restoreGranted_ || securityGranted_;
    }
    bool ownerOk = level >= 2 && restore;
    bool saclOk = (control & SE_SACL_PRESENT) && security;
    if (v.remote && level >= 2) {
      // On a network volume, what can be written back is found by trying.
      ownerOk = ownerOk && Probe(path, WRITE_OWNER);
      saclOk = saclOk && Probe(path, ACCESS_SYSTEM_SECURITY);
    }
    SECURITY_INFORMATION info = 0;
    DWORD access = 0;
    if (control & SE_DACL_PRESENT) {
      info |= DACL_SECURITY_INFORMATION;
      access |= WRITE_DAC;
    }
    if (ownerOk) {
      info |= OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
      access |= WRITE_OWNER;
    }
    if (saclOk) {
      info |= SACL_SECURITY_INFORMATION;
      access |= ACCESS_SYSTEM_SECURITY;
    }
    if (info == 0) return ZipSecurityResult::kNotApplied;
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           (isDirectory || ownerOk) ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ZipSecurityResult::kFailed;
    BOOL ok = SetKernelObjectSecurity(h, info, sd);
    CloseHandle(h);
    return ok ? ZipSecurityResult::kApplied : ZipSecurityResult::kFailed;
  }

  void OemToAnsi(char* text, std::size_t len) override {
    DWORD n = static_cast<DWORD>(strnlen(text, len));
    if (n > 0) OemToCharBuffA(text, text, n);
  }
  void AnsiToOem(char* text, std::size_t len) override {
    DWORD n = static_cast<DWORD>(strnlen(text, len));
    if (n > 0) CharToOemBuffA(text, text, n);
  }
  void UseSystemTimeZone() override {
    _putenv("TZ=");
    _tzset();
  }
  int DateOrder() override {
    char buf[4] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_IDATE, buf, sizeof buf) == 0) return 0;
    return buf[0] == '1' ? 1 : buf[0] == '2' ? 2 : 0;
  }
  std::string ErrorText(int error) override {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) n--;
    if (n == 0) return "error " + std::to_string(error);
    return std::string(buf, n);
  }

private:
  static bool VolumeRoot(const char* path, std::string* root) {
    char full[4096];
    DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return false;
    std::string p = full;
    if (p.size() >= 2 && (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/')) {
      // \\server\share\ is the root of a network path.
      std::size_t server = p.find_first_of("\\/", 2);
      if (server == std::string::npos) return false;
      std::size_t share = p.find_first_of("\\/", server + 1);
      *root = (share == std::string::npos ? p : p.substr(0, share)) + "\\";
      return true;
    }
    if (p.size() >= 2 && p[1] == ':') {
      *root = p.substr(0, 2) + "\\";
      return true;
    }
    return false;
  }

  static bool Probe(const char* path, DWORD access) {
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
  }

  // Times on volumes that keep local time are converted through the local zone; those
  // before 1980 cannot be stored there and become 1980-01-01 00:00.
  static FILETIME Convert(std::int64_t t, const ZipFileTimes& times, bool local) {
    if (!local) return UnixToFileTime(t);
    FILETIME lft, ft;
    if (times.fromDos) {
      if (DosDateTimeToFileTime(static_cast<WORD>(times.dosDateTime >> 16), static_cast<WORD>(times.dosDateTime), &lft) &&
          LocalFileTimeToFileTime(&lft, &ft))
        return ft;
    }
    std::time_t tt = static_cast<std::time_t>(t < k1980 ? k1980 : t);
    std::tm* tm = std::localtime(&tt);
    if (t >= k1980 && tm != nullptr) {
      SYSTEMTIME s = {};
      s.wYear = static_cast<WORD>(tm->tm_year + 1900);
      s.wMonth = static_cast<WORD>(tm->tm_mon + 1);
      s.wDay = static_cast<WORD>(tm->tm_mday);
      s.wHour = static_cast<WORD>(tm->tm_hour);
      s.wMinute = static_cast<WORD>(tm->tm_min);
      s.wSecond = static_cast<WORD>(tm->tm_sec);
      if (SystemTimeToFileTime(&s, &lft) && LocalFileTimeToFileTime(&lft, &ft)) return ft;
    }
    // Before 1980, or not convertible: 1980-01-01 00:00 local, or now for later times.
    if (t < 315619201) {
      SYSTEMTIME s = {};
      s.wYear = 1980;
      s.wMonth = 1;
      s.wDay = 1;
      if (SystemTimeToFileTime(&s, &lft) && LocalFileTimeToFileTime(&lft, &ft)) return ft;
      return UnixToFileTime(k1980);
    }
    GetSystemTimeAsFileTime(&ft);
    return ft;
  }

  std::mutex volumeLock_;
  std::string cachedRoot_;
  ZipVolumeInfo cachedVolume_;
  std::mutex privilegeLock_;
  bool backupTried_ = false, backupGranted_ = false;
  bool restoreTried_ = false, restoreGranted_ = false;
  bool securityGranted_ = false;
};

}  // namespace

ZipFileSystem& ZipSystemFileSystem() {
  static Win32FileSystem fs;
  return fs;
}
