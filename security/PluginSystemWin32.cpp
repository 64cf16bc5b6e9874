// Plug-in libraries through the Windows loader.
#include <windows.h>

#include <cctype>
#include <cstring>

#include "security/DSMPlugin.h"

namespace {

std::string FolderOf(const char* path) {
  std::string p = path;
  const std::size_t slash = p.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (std::size_t i = 0; i < n; i++)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != std::tolower(static_cast<unsigned char>(suffix[i])))
      return false;
  return true;
}

class Win32PluginSystem : public PluginLibrarySystem {
public:
  void* Load(const std::string& nameOrPath) override { return LoadLibraryA(nameOrPath.c_str()); }
  void* Resolve(void* library, const char* name) override {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
  }
  void Free(void* library) override { FreeLibrary(static_cast<HMODULE>(library)); }
  std::string ProgramFolder() override {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    return FolderOf(path);
  }
  std::string TempFolder() override {
    char path[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n > MAX_PATH) return std::string();
    std::string t(path, n);
    if (t.back() != '\\' && t.back() != '/') t += '\\';
    return t;
  }
  bool CopyFileTo(const std::string& from, const std::string& to) override {
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
  }
  void RemoveFile(const std::string& path) override { DeleteFileA(path.c_str()); }
  std::vector<std::string> FilesEndingIn(const std::string& folder, const char* suffix) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "*" + suffix).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      // The pattern also finds longer extensions that begin with the suffix ("*.dsm" finds "x.dsmx").
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EndsWithNoCase(fd.cFileName, suffix))
        names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
  }
};

}  // namespace

PluginLibrarySystem& DefaultPluginLibrarySystem() {
  static Win32PluginSystem sys;
  return sys;
}
