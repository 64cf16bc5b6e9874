// The options and connection files through the Windows profile functions.
#include <windows.h>

#include <string>

#include "app/IniStore.h"

namespace {

class Win32IniFile : public IniStore {
public:
  explicit Win32IniFile(const char* path) : m_path(path ? path : "") {}

  int GetString(const char* section, const char* key, const char* def, char* out, int cap) override {
    if (!out || cap <= 0) return 0;
    return static_cast<int>(GetPrivateProfileStringA(section, key, def ? def : "", out, static_cast<DWORD>(cap),
                                                     m_path.c_str()));
  }
  int GetInt(const char* section, const char* key, int def) override {
    return static_cast<int>(GetPrivateProfileIntA(section, key, def, m_path.c_str()));
  }
  bool WriteString(const char* section, const char* key, const char* value) override {
    return WritePrivateProfileStringA(section, key, value ? value : "", m_path.c_str()) != FALSE;
  }
  bool DeleteKey(const char* section, const char* key) override {
    if (!section || !key) return false;
    return WritePrivateProfileStringA(section, key, nullptr, m_path.c_str()) != FALSE;
  }

private:
  std::string m_path;
};

}  // namespace

std::unique_ptr<IniStore> OpenIniFile(const char* path) { return std::make_unique<Win32IniFile>(path); }
