#include "dialogs/MRU.h"

#include <climits>
#include <cstring>
#include <string>

#include "app/IniStore.h"

namespace {

const char kSection[] = "connection";
const char kIndexKey[] = "index";

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A letter an entry may have: "A".."~" without "[", ";" and lower-case letters.
bool UsableLetter(char c) { return c >= 'A' && c <= '~' && c != '[' && c != ';' && !(c >= 'a' && c <= 'z'); }

// What the ini file can hold of a text as one value or section name: up to the first line
// break, without the blanks the profile functions drop at either end, at most cap - 1
// characters.
std::string StorableText(const char* text, std::size_t cap) {
  if (!text) return std::string();
  std::size_t n = std::strcspn(text, "\r\n");
  std::size_t b = 0;
  while (b < n && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (n > b && (text[n - 1] == ' ' || text[n - 1] == '\t')) --n;
  if (n - b >= cap) n = b + cap - 1;
  return std::string(text + b, n - b);
}

std::string LetterKey(char letter) { return std::string(1, letter); }

// A decimal number as atoi reads it, kept within int.
int ReadDecimal(const char* s) {
  while (*s == ' ' || *s == '\t') ++s;
  bool minus = false;
  if (*s == '+' || *s == '-') minus = *s++ == '-';
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (minus) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}

}  // namespace

MRU::MRU(const char* keyText, int maxEntries, const char* optionsFile)
    : MRU(keyText, maxEntries, OpenIniFile(optionsFile ? optionsFile : "")) {}

MRU::MRU(const char* keyText, int maxEntries, std::unique_ptr<IniStore> store)
    : m_ini(std::move(store)), m_keyText(keyText ? keyText : ""), m_maxEntries(maxEntries) {
  ReadIndex();
  // Makes the section exist.
  if (m_index.empty()) WriteIndex();
}

MRU::~MRU() = default;

void MRU::ReadIndex() {
  char text[kIndexCapacity] = "";
  m_ini->GetString(kSection, kIndexKey, "", text, sizeof text);
  // The file may have been edited or come from elsewhere: only usable letters, each once
  // (by its upper-case form), so that no two positions share one entry.
  m_index.clear();
  for (const char* p = text; *p; ++p) {
    const char c = *p;
    if (UsableLetter(c) && m_index.find(Upper(c)) == std::string::npos) m_index += c;
  }
}

void MRU::WriteIndex() {
  if (m_index.size() > kIndexCapacity - 1) m_index.resize(kIndexCapacity - 1);
  m_ini->WriteString(kSection, kIndexKey, m_index.c_str());
}

int MRU::GetItem(int position, char* out, int cap) {
  if (!out || cap <= 0) return 0;
  out[0] = '\0';
  if (position < 0 || position >= NumItems()) return 0;
  return m_ini->GetString(kSection, LetterKey(m_index[static_cast<std::size_t>(position)]).c_str(), "", out, cap);
}

void MRU::AddItem(const char* text) {
  const std::string item = StorableText(text, kItemCapacity);
  if (item.empty()) return;

  char entry[kItemCapacity];
  for (std::size_t i = 0; i < m_index.size(); ++i) {
    if (GetItem(static_cast<int>(i), entry, sizeof entry) > 0 && item == entry) {
      const char letter = m_index[i];
      m_index.erase(i, 1);
      m_index.insert(m_index.begin(), letter);
      WriteIndex();
      return;
    }
  }

  char letter = 'A';
  while (letter <= '~' &&
         (m_index.find(Upper(letter)) != std::string::npos || letter == '[' || letter == ';'))
    ++letter;
  if (letter > '~') {
    // Every letter is taken: the least recently used entry gives up its letter.
    letter = m_index.back();
    m_index.pop_back();
  }
  m_ini->WriteString(kSection, LetterKey(letter).c_str(), item.c_str());
  m_index.insert(m_index.begin(), letter);
  WriteIndex();
}

void MRU::RemoveItemAt(int position) {
  if (position < 0 || position >= NumItems()) return;
  const char letter = m_index[static_cast<std::size_t>(position)];
  m_ini->DeleteKey(kSection, LetterKey(letter).c_str());
  m_index.erase(static_cast<std::size_t>(position), 1);
  WriteIndex();
}

void MRU::RemoveItem(const char* text) {
  if (!text) return;
  char entry[kItemCapacity];
  for (int i = 0; i < NumItems(); ++i) {
    GetItem(i, entry, sizeof entry);
    if (std::strcmp(entry, text) == 0) {
      RemoveItemAt(i);
      return;
    }
  }
}

void MRU::SaveWindowPosition(const char* host, int x, int y, int w, int h) {
  const std::string section = StorableText(host, kItemCapacity);
  if (section.empty()) return;
  m_ini->WriteInt(section.c_str(), "x", x);
  m_ini->WriteInt(section.c_str(), "y", y);
  m_ini->WriteInt(section.c_str(), "w", w);
  m_ini->WriteInt(section.c_str(), "h", h);
}

int MRU::ReadPlacement(const char* host, const char* key) {
  const std::string section = StorableText(host, kItemCapacity);
  if (section.empty()) return 0;
  char text[32] = "";
  m_ini->GetString(section.c_str(), key, "", text, sizeof text);
  return ReadDecimal(text);
}
