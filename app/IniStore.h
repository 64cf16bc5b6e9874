// Access to one ini file ("options.keb", connection files): the rules of the Windows
// profile functions. On Windows the profile API itself; elsewhere PortableIniFile, which
// follows the same rules so that option logic behaves alike on both.
#pragma once

#include <memory>

class IniStore {
public:
  virtual ~IniStore() = default;

  // Copies the value of key in section (or def when the key is absent or has no "="),
  // at most cap - 1 characters, into out and returns its length. Sections and keys
  // compare without regard to case; one pair of matching quotes around a value is dropped.
  virtual int GetString(const char* section, const char* key, const char* def, char* out, int cap) = 0;
  // The value read as a number (leading blanks, a sign, "0x"/"0o"/"0b", digits up to the
  // first other character, wrapping at 32 bits); def when the key is absent or empty.
  virtual int GetInt(const char* section, const char* key, int def) = 0;
  // Sets key=value in section, creating the file and section when missing.
  virtual bool WriteString(const char* section, const char* key, const char* value) = 0;
  // Removes key from section (its first occurrence); nothing when it is absent. The
  // default leaves the key with an empty value.
  virtual bool DeleteKey(const char* section, const char* key);

  bool WriteInt(const char* section, const char* key, int value);
};

// The platform's ini file at path.
std::unique_ptr<IniStore> OpenIniFile(const char* path);
