#include "app/PortableIni.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

bool IniStore::WriteInt(const char* section, const char* key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return WriteString(section, key, text);
}

bool IniStore::DeleteKey(const char* section, const char* key) { return WriteString(section, key, ""); }

namespace {

struct Key {
  std::string name;
  bool hasValue = false;
  std::string value;
};

struct Section {
  std::string name;
  std::vector<Key> keys;
};

// Blanks as the profile functions see them (the DOS end-of-file mark counts as one).
bool IsBlank(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1a;
}

// Names and values end at a NUL byte, as strings do for the profile functions.
std::string Piece(const char* b, const char* e) {
  const void* nul = std::memchr(b, '\0', static_cast<std::size_t>(e - b));
  if (nul) e = static_cast<const char*>(nul);
  return std::string(b, e);
}

std::string Trim(const char* s) {
  const char* b = s;
  while (*b && IsBlank(static_cast<unsigned char>(*b))) ++b;
  const char* e = b + std::strlen(b);
  while (e > b && IsBlank(static_cast<unsigned char>(e[-1]))) --e;
  return std::string(b, e);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::vector<Section> Parse(const std::string& text) {
  std::vector<Section> sections(1);  // keys before the first header: a section without name
  const char* p = text.data();
  const char* end = p + text.size();
  if (end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  while (p < end) {
    const char* b = p;
    while (p < end && *p != '\n' && *p != '\r') ++p;
    const char* e = p;
    while (p < end && (*p == '\n' || *p == '\r')) ++p;
    while (b < e && IsBlank(static_cast<unsigned char>(*b))) ++b;
    while (e > b && IsBlank(static_cast<unsigned char>(e[-1]))) --e;
    if (b >= e) continue;
    if (*b == '[') {
      const char* close = e - 1;
      while (close > b && *close != ']') --close;
      if (close > b) {
        const char* nb = b + 1;
        const char* ne = close;
        while (nb < ne && IsBlank(static_cast<unsigned char>(*nb))) ++nb;
        while (ne > nb && IsBlank(static_cast<unsigned char>(ne[-1]))) --ne;
        sections.push_back(Section{Piece(nb, ne), {}});
        continue;
      }
    }
    Key key;
    const char* eq = b;
    while (eq < e && *eq != '=') ++eq;
    if (eq < e) {
      const char* ne = eq;
      while (ne > b && IsBlank(static_cast<unsigned char>(ne[-1]))) --ne;
      const char* vb = eq + 1;
      while (vb < e && IsBlank(static_cast<unsigned char>(*vb))) ++vb;
      key.name = Piece(b, ne);
      key.hasValue = true;
      key.value = Piece(vb, e);
    } else {
      key.name = Piece(b, e);
    }
    sections.back().keys.push_back(std::move(key));
  }
  return sections;
}

Section* FindSection(std::vector<Section>& sections, const std::string& name) {
  for (auto& s : sections)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

Key* FindKey(Section& s, const std::string& name) {
  for (auto& k : s.keys)
    if (SameName(k.name, name)) return &k;
  return nullptr;
}

// Copies value into out (cap includes the terminator), dropping one pair of matching quotes
// the way the profile functions do, including their behaviour when out is too small.
int CopyEntry(const char* value, char* out, int cap) {
  if (!out || cap <= 0) return 0;
  char quote = '\0';
  std::size_t len = std::strlen(value);
  if ((value[0] == '\'' || value[0] == '"') && len > 1 && value[len - 1] == value[0]) {
    quote = *value++;
    --len;
  }
  std::size_t n = len < static_cast<std::size_t>(cap - 1) ? len : static_cast<std::size_t>(cap - 1);
  std::memcpy(out, value, n);
  out[n] = '\0';
  if (quote && static_cast<std::size_t>(cap) >= len && n > 0) out[--n] = '\0';
  return static_cast<int>(n);
}

// The text of sections as the profile functions write it. *faithful is cleared when
// reading that text back would not give the same sections.
std::string Serialise(const std::vector<Section>& sections, bool* faithful) {
  std::string outText;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& sec = sections[i];
    if (!sec.name.empty())
      outText += "[" + sec.name + "]\r\n";
    else if (i > 0)
      *faithful = false;  // a nameless section merges into the one before
    for (const auto& kk : sec.keys) {
      outText += kk.name;
      if (kk.hasValue) outText += "=" + kk.value;
      outText += "\r\n";
    }
  }
  return outText;
}

}  // namespace

int IniTextToInt(const char* text) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  while (*s && *s <= ' ') ++s;
  bool minus = false;
  if (*s == '+') {
    ++s;
  } else if (*s == '-') {
    minus = true;
    ++s;
  }
  unsigned base = 10;
  if (s[0] == '0' && s[1] == 'x') {
    base = 16;
    s += 2;
  } else if (s[0] == '0' && s[1] == 'o') {
    base = 8;
    s += 2;
  } else if (s[0] == '0' && s[1] == 'b') {
    base = 2;
    s += 2;
  }
  std::uint32_t total = 0;
  for (;; ++s) {
    unsigned digit;
    if (*s >= '0' && *s <= '9')
      digit = *s - '0';
    else if (*s >= 'A' && *s <= 'Z')
      digit = *s - 'A' + 10;
    else if (*s >= 'a' && *s <= 'z')
      digit = *s - 'a' + 10;
    else
      break;
    if (digit >= base) break;
    total = total * base + digit;
  }
  if (minus) total = 0u - total;
  return static_cast<int>(total);
}

struct PortableIniFile::Parsed {
  std::string text;
  std::vector<Section> sections;
};

const PortableIniFile::Parsed* PortableIniFile::Load() {
  std::string text;
  if (!ReadText(&text)) return nullptr;
  if (!m_parsed || m_parsed->text != text) {
    std::vector<Section> sections = Parse(text);
    m_parsed = std::make_shared<Parsed>(Parsed{std::move(text), std::move(sections)});
  }
  return m_parsed.get();
}

int PortableIniFile::GetString(const char* section, const char* key, const char* def, char* out, int cap) {
  // A default loses its trailing blanks (all but a first character).
  std::string defText = def ? def : "";
  while (defText.size() > 1 && defText.back() == ' ') defText.pop_back();

  const std::string wantKey = Trim(key ? key : "");
  const Parsed* file = wantKey.empty() ? nullptr : Load();
  if (file) {
    const std::string wantSection = Trim(section ? section : "");
    for (const Section& s : file->sections) {
      if (!SameName(s.name, wantSection)) continue;
      // Only the first section of that name counts.
      for (const Key& k : s.keys) {
        if (!SameName(k.name, wantKey)) continue;
        if (k.hasValue) return CopyEntry(k.value.c_str(), out, cap);
        break;
      }
      break;
    }
  }
  return CopyEntry(defText.c_str(), out, cap);
}

int PortableIniFile::GetInt(const char* section, const char* key, int def) {
  char buf[30];
  if (GetString(section, key, "", buf, sizeof buf) == 0) return def;
  return IniTextToInt(buf);
}

bool PortableIniFile::WriteString(const char* section, const char* key, const char* value) {
  if (!section || !key) return false;
  // The cached sections are changed in place (the cache is rebuilt below or on the next read).
  std::vector<Section> sections = Load() ? std::move(m_parsed->sections) : std::vector<Section>(1);
  m_parsed.reset();

  const std::string secName = Trim(section);
  const std::string keyName = Trim(key);
  Section* s = FindSection(sections, secName);
  if (!s) {
    sections.push_back(Section{secName, {}});
    s = &sections.back();
  }
  Key* k = FindKey(*s, keyName);
  if (!k) {
    s->keys.push_back(Key{keyName, false, {}});
    k = &s->keys.back();
  }
  k->hasValue = true;
  k->value = Trim(value ? value : "");

  bool faithful = true;  // reading outText back gives these sections
  std::string outText = Serialise(sections, &faithful);
  const std::string written = secName + keyName + k->value;
  if (written.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
      keyName.find('=') != std::string::npos || (!keyName.empty() && keyName[0] == '['))
    faithful = false;
  const bool ok = WriteText(outText);
  if (faithful)
    m_parsed = std::make_shared<Parsed>(Parsed{std::move(outText), std::move(sections)});
  return ok;
}

bool PortableIniFile::ReadText(std::string* text) {
  std::FILE* f = std::fopen(m_path.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  std::fclose(f);
  return true;
}

bool PortableIniFile::WriteText(const std::string& text) {
  std::FILE* f = std::fopen(m_path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

bool PortableIniFile::DeleteKey(const char* section, const char* key) {
  if (!section || !key) return false;
  const Parsed* file = Load();
  if (!file) return true;  // no file: nothing to remove
  std::vector<Section> sections = file->sections;
  Section* s = FindSection(sections, Trim(section));
  if (!s) return true;
  const std::string keyName = Trim(key);
  for (auto k = s->keys.begin(); k != s->keys.end(); ++k) {
    if (SameName(k->name, keyName)) {
      s->keys.erase(k);
      m_parsed.reset();
      bool faithful = true;
      return WriteText(Serialise(sections, &faithful));
    }
  }
  return true;
}
