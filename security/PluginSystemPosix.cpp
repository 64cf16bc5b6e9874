// Plug-in libraries through the POSIX loader (native builds).
#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>

#include "security/DSMPlugin.h"

namespace {

namespace fs = std::filesystem;

class PosixPluginSystem : public PluginLibrarySystem {
public:
  void* Load(const std::string& nameOrPath) override { return dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL); }
  void* Resolve(void* library, const char* name) override { return dlsym(library, name); }
  void Free(void* library) override { dlclose(library); }
  std::string ProgramFolder() override {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string() + "/";
  }
  std::string TempFolder() override {
    std::error_code ec;
    fs::path t = fs::temp_directory_path(ec);
    return ec ? std::string() : t.string() + "/";
  }
  bool CopyFileTo(const std::string& from, const std::string& to) override {
    std::error_code ec;
    return fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec) && !ec;
  }
  void RemoveFile(const std::string& path) override {
    std::error_code ec;
    fs::remove(path, ec);
  }
  std::vector<std::string> FilesEndingIn(const std::string& folder, const char* suffix) override {
    std::vector<std::string> names;
    std::error_code ec;
    const std::size_t n = std::strlen(suffix);
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      const std::string name = e.path().filename().string();
      if (!e.is_regular_file(ec) || name.size() < n) continue;
      bool match = true;
      for (std::size_t i = 0; i < n && match; i++)
        match = std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) ==
                std::tolower(static_cast<unsigned char>(suffix[i]));
      if (match) names.push_back(name);
    }
    return names;
  }
};

}  // namespace

PluginLibrarySystem& DefaultPluginLibrarySystem() {
  static PosixPluginSystem sys;
  return sys;
}
