#include "security/RememberedIdentity.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "app/IniStore.h"

std::string IdentityKey(const char* host, int port) {
  char key[300];
  std::snprintf(key, sizeof key, "%s:%d", host, port);
  return key;
}

bool IsRememberedIdentity(const char* optionsFile, const char* section, const std::string& key, const char* text,
                          std::size_t maxChars) {
  if (!optionsFile || !*optionsFile) return false;
  std::unique_ptr<IniStore> ini = OpenIniFile(optionsFile);
  if (!ini) return false;
  std::vector<char> known(maxChars + 1, '\0');
  ini->GetString(section, key.c_str(), "", known.data(), static_cast<int>(known.size()));
  return known[0] && std::strcmp(known.data(), text) == 0;
}

void RememberIdentity(const char* optionsFile, const char* section, const std::string& key, const char* text) {
  if (!optionsFile || !*optionsFile) return;
  std::unique_ptr<IniStore> ini = OpenIniFile(optionsFile);
  if (ini) ini->WriteString(section, key.c_str(), text);
}
