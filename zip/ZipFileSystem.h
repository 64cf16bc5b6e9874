// The file system under the ZIP engine (archiver and extractor). The engine is
// platform-free; the product runs it on the Win32 implementation (A functions), native
// tests on the POSIX one, and the fuzzers and some tests on one in memory (a test
// library of its own, not part of the product).
//
// Paths are byte strings in the host's ANSI code page; '/' separates components on every
// implementation ('\\' too on Windows and in memory). Times are seconds since 1970 (UTC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// DOS attribute bits, as kept in the low byte of a ZIP entry's external attributes.
enum : std::uint32_t {
  kZipAttrReadOnly = 0x01,
  kZipAttrHidden = 0x02,
  kZipAttrSystem = 0x04,
  kZipAttrVolumeLabel = 0x08,
  kZipAttrDirectory = 0x10,
  kZipAttrArchive = 0x20,
};

struct ZipFileStat {
  bool isDirectory = false;
  bool isCharDevice = false;
  bool isExecutable = false;  // as the runtime reports it (.exe, .com, .bat, .cmd on Windows)
  std::uint64_t size = 0;
  std::int64_t mtime = 0, atime = 0, ctime = 0;
  std::uint32_t attributes = 0;  // DOS attributes
  bool attributesKnown = true;   // false: the system gave the status but not the attributes
  std::uint32_t mode = 0;        // the runtime's st_mode (type and permission bits)
  std::uint64_t device = 0, inode = 0;
  std::uint32_t links = 0, uid = 0, gid = 0;
};

// Times to give a file. A time taken from a DOS date and time carries it too: volumes
// that keep local times (FAT) store it without a round trip through UTC.
struct ZipFileTimes {
  enum : int { kModification = 1, kAccess = 2, kCreation = 4 };
  int present = 0;
  std::int64_t modification = 0, access = 0, creation = 0;
  bool fromDos = false;
  std::uint32_t dosDateTime = 0;  // date in the high half, time in the low half
};

struct ZipVolumeInfo {
  bool known = true;            // false: the volume could not be asked (the rest is a guess)
  bool shortNamesOnly = false;  // the longest component it takes is under 13 characters
  bool localTimes = false;      // FAT, VFAT, HPFS: file times are local times
  bool persistentAcls = false;  // keeps NT security descriptors
  bool remote = false;
};

class ZipFile {
public:
  virtual ~ZipFile() = default;
  // Bytes read (0 at the end), or -1 on an error.
  virtual long Read(void* buf, std::size_t len) = 0;
  // Bytes written; fewer than len (or -1) when the medium is full or failing.
  virtual long Write(const void* buf, std::size_t len) = 0;
  // origin: 0 start, 1 current position, 2 end.
  virtual bool Seek(std::int64_t offset, int origin) = 0;
  virtual std::int64_t Tell() = 0;
  // Moves the end of the file to size (shortening or extending); the position stays.
  virtual bool SetSize(std::uint64_t size) = 0;
  // True when everything written reached the file.
  virtual bool Close() = 0;
};

struct ZipDirEntry {
  std::string name;  // without the folder
  std::uint32_t attributes = 0;
  bool isDirectory = false;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
};

// One listing of a folder; "." and ".." are not returned.
class ZipDirScan {
public:
  virtual ~ZipDirScan() = default;
  virtual bool Next(ZipDirEntry* entry) = 0;
};

enum class ZipSecurityResult { kNotApplied, kApplied, kFailed };

class ZipFileSystem {
public:
  enum class OpenMode {
    kRead,    // existing file, read only
    kCreate,  // write only; created, or emptied when it exists
    kUpdate,  // existing file, read and write
  };

  virtual ~ZipFileSystem() = default;

  // error (optional) receives the system's error number on failure.
  virtual std::unique_ptr<ZipFile> Open(const char* path, OpenMode mode, int* error) = 0;
  virtual bool Stat(const char* path, ZipFileStat* st) = 0;
  virtual bool Remove(const char* path) = 0;
  virtual bool Rename(const char* from, const char* to) = 0;
  // Moves the file from onto to in one step, replacing a file to; false (both left as
  // they were) when that cannot be done, among others across volumes.
  virtual bool ReplaceFile(const char* from, const char* to) = 0;
  virtual bool MakeFolder(const char* path) = 0;
  virtual bool RemoveFolder(const char* path) = 0;
  virtual bool SetAttributes(const char* path, std::uint32_t attributes) = 0;
  // 0 done; 1 the file could not be opened; 2 the times could not be set. systemError
  // receives the system's error number.
  virtual int SetTimes(const char* path, const ZipFileTimes& times, bool isDirectory,
                       int* systemError) = 0;
  // Null when the folder cannot be listed.
  virtual std::unique_ptr<ZipDirScan> Scan(const char* folder) = 0;

  virtual bool CurrentFolder(std::string* out) = 0;
  virtual bool ChangeFolder(const char* path) = 0;
  // The absolute, normalised form of path ("." and ".." resolved, the host's own
  // separators), as the system itself would resolve it when opening the file.
  virtual bool FullPath(const char* path, std::string* out) = 0;
  virtual bool IsAbsolute(const char* path) = 0;
  // Facts about the volume that holds path.
  virtual ZipVolumeInfo Volume(const char* path) = 0;
  // The label of the volume that holds path; false when it has none.
  virtual bool VolumeLabel(const char* path, std::string* label) { return false; }
  // True when a path component of this name opens a device instead of a file.
  virtual bool IsDeviceName(const char* component) = 0;

  // NT security descriptors (self-relative form). ReadSecurity gives false where the
  // volume keeps none. level: 1 the DACL; 2 also owner, group and SACL where the
  // privileges allow.
  virtual bool ReadSecurity(const char* path, bool isDirectory, bool usePrivileges,
                            std::vector<std::uint8_t>* descriptor) = 0;
  virtual ZipSecurityResult ApplySecurity(const char* path, bool isDirectory,
                                          const std::uint8_t* descriptor, std::size_t len,
                                          int level) = 0;

  // The host's text conventions. The defaults convert between code pages 437 and 1252.
  virtual void OemToAnsi(char* text, std::size_t len);
  virtual void AnsiToOem(char* text, std::size_t len);
  // Makes local-time conversions use the system's time zone.
  virtual void UseSystemTimeZone() {}
  // Order of day, month and year in the user's dates: 0 month-day-year, 1 day-month-year,
  // 2 year-month-day.
  virtual int DateOrder() { return 0; }
  virtual std::string ErrorText(int error);

  // The reserved device names of Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with a
  // superscript 1, 2 or 3 as the number, CONIN$, CONOUT$), also with an extension or
  // trailing dots and blanks.
  static bool IsWindowsDeviceName(const char* component);
};

// The process's own file system (Win32 in the product, POSIX natively).
ZipFileSystem& ZipSystemFileSystem();
