// An ini file read and written with plain file I/O, following the rules of the Windows
// profile functions (as Wine implements them): lines split at CR or LF; blanks around
// lines, names and values dropped; "[name]" up to the last "]" starts a section; a line
// without "=" is a key without value; the first matching section and, in it, the first
// matching key win; nothing is a comment by itself (a ";x=1" line is the key ";x").
#pragma once

#include <string>

#include "app/IniStore.h"

class PortableIniFile : public IniStore {
public:
  explicit PortableIniFile(const char* path) : m_path(path ? path : "") {}

  int GetString(const char* section, const char* key, const char* def, char* out, int cap) override;
  int GetInt(const char* section, const char* key, int def) override;
  bool WriteString(const char* section, const char* key, const char* value) override;

private:
  std::string m_path;
};

// The number in text as GetPrivateProfileInt reads it (see IniStore::GetInt).
int IniTextToInt(const char* text);
