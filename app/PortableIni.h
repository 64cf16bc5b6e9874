// An ini file read and written with plain file I/O, following the rules of the Windows
// profile functions (as Wine implements them): lines split at CR or LF; blanks around
// lines, names and values dropped; "[name]" up to the last "]" starts a section; a line
// without "=" is a key without value; the first matching section and, in it, the first
// matching key win; nothing is a comment by itself (a ";x=1" line is the key ";x").
#pragma once

#include <memory>
#include <string>

#include "app/IniStore.h"

class PortableIniFile : public IniStore {
public:
  explicit PortableIniFile(const char* path) : m_path(path ? path : "") {}

  int GetString(const char* section, const char* key, const char* def, char* out, int cap) override;
  int GetInt(const char* section, const char* key, int def) override;
  bool WriteString(const char* section, const char* key, const char* value) override;
  bool DeleteKey(const char* section, const char* key) override;

protected:
  // The whole file: false when it cannot be read (or written).
  virtual bool ReadText(std::string* text);
  virtual bool WriteText(const std::string& text);

private:
  struct Parsed;
  // The file as last parsed; parsed again only when its text changed.
  const Parsed* Load();

  std::string m_path;
  std::shared_ptr<Parsed> m_parsed;
};

// The same rules over text held in memory (for tests and fuzzing).
class PortableIniText : public PortableIniFile {
public:
  explicit PortableIniText(std::string text = {}) : PortableIniFile(nullptr), m_text(std::move(text)) {}
  const std::string& Text() const { return m_text; }

protected:
  bool ReadText(std::string* text) override {
    *text = m_text;
    return true;
  }
  bool WriteText(const std::string& text) override {
    m_text = text;
    return true;
  }

private:
  std::string m_text;
};

// The number in text as GetPrivateProfileInt reads it (see IniStore::GetInt).
int IniTextToInt(const char* text);
