// A file system held in memory, with Windows' rules where they matter to the ZIP engine:
// '\\' separates components, trailing dots and blanks of a component are ignored, the
// reserved device names are devices, read-only files can be neither opened for writing
// nor deleted, and the medium has a fixed capacity (writes beyond it come up short).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zip/ZipFileSystem.h"

class ZipMemoryFileSystem : public ZipFileSystem {
public:
  struct Node {
    bool isDirectory = false;
    std::vector<std::uint8_t> data;
    std::uint32_t attributes = kZipAttrArchive;
    std::int64_t mtime = 0, atime = 0, ctime = 0;
    std::vector<std::uint8_t> security;
  };

  explicit ZipMemoryFileSystem(std::uint64_t capacity = 64u << 20);

  // Setting up and inspecting the contents. Paths are normalised like every other path.
  void AddFile(const std::string& path, const std::vector<std::uint8_t>& data,
               std::uint32_t attributes = kZipAttrArchive, std::int64_t mtime = 0);
  void AddDirectory(const std::string& path);
  const Node* Find(const std::string& path) const;
  // Every path held, sorted; folders too.
  std::vector<std::string> Paths() const;
  std::uint64_t BytesUsed() const { return used_; }
  // Resolves like FullPath; also used by the tests to name paths.
  std::string Normalize(const std::string& path) const;

  ZipVolumeInfo volume;  // what Volume() reports for every path
  // Files whose status Stat gives without their attributes (as Windows may for a file it
  // can tell the status of but not the attributes).
  std::vector<std::string> attributesUnknown;
  std::string volumeLabel;  // what VolumeLabel() reports; none when empty
  // Folders that are volumes of their own: files cannot be moved into or out of them.
  std::vector<std::string> separateVolumes;

  std::unique_ptr<ZipFile> Open(const char* path, OpenMode mode, int* error) override;
  bool Stat(const char* path, ZipFileStat* st) override;
  bool Remove(const char* path) override;
  bool Rename(const char* from, const char* to) override;
  bool ReplaceFile(const char* from, const char* to) override;
  bool VolumeLabel(const char* path, std::string* label) override;
  bool MakeFolder(const char* path) override;
  bool RemoveFolder(const char* path) override;
  bool SetAttributes(const char* path, std::uint32_t attributes) override;
  int SetTimes(const char* path, const ZipFileTimes& times, bool isDirectory,
               int* systemError) override;
  std::unique_ptr<ZipDirScan> Scan(const char* folder) override;
  bool CurrentFolder(std::string* out) override;
  bool ChangeFolder(const char* path) override;
  bool FullPath(const char* path, std::string* out) override;
  bool IsAbsolute(const char* path) override;
  ZipVolumeInfo Volume(const char* path) override { return volume; }
  bool IsDeviceName(const char* component) override { return IsWindowsDeviceName(component); }
  bool ReadSecurity(const char* path, bool isDirectory, bool usePrivileges,
                    std::vector<std::uint8_t>* descriptor) override;
  ZipSecurityResult ApplySecurity(const char* path, bool isDirectory,
                                  const std::uint8_t* descriptor, std::size_t len,
                                  int level) override;

private:
  class File;
  std::shared_ptr<Node> Lookup(const std::string& normalized) const;
  bool ParentIsDirectory(const std::string& normalized) const;
  std::string VolumeOf(const std::string& normalized) const;

  std::map<std::string, std::shared_ptr<Node>> nodes_;
  std::string cwd_ = "/";
  std::uint64_t capacity_;
  std::uint64_t used_ = 0;
};
