// The recently used servers of the session dialog's host list, most recent first, and the
// window placement per host. Both live in the options file: section [connection] holds
// "index" (one letter per entry, most recent first) and one key per letter with the host
// text; the placement is kept in a section named by the host text.
#pragma once

#include <memory>
#include <string>

class IniStore;

class MRU {
public:
  // Letters available for entries: "A".."~" without "[" and ";" (they would break the ini
  // syntax) and without lower-case letters (the ini functions take them for upper case).
  static constexpr int kMaxLetters = 35;
  static constexpr int kIndexCapacity = 257;  // the index: up to 256 letters
  static constexpr int kItemCapacity = 256;   // one entry: up to 255 characters

  // keyText names the list (kept for compatibility, not used for storage); maxEntries is
  // stored only: the letters bound the list. The list is in optionsFile.
  MRU(const char* keyText, int maxEntries, const char* optionsFile);
  // The same over an ini store of the caller's.
  MRU(const char* keyText, int maxEntries, std::unique_ptr<IniStore> store);
  ~MRU();
  MRU(const MRU&) = delete;
  MRU& operator=(const MRU&) = delete;

  // Puts text at the front: an entry equal to it (case-sensitive) moves to the front, else
  // a free letter (or the least recently used one) takes it. An empty text is ignored.
  void AddItem(const char* text);
  // The entry at position into out (cap includes the terminator); its length, or 0 when
  // position is past the end.
  int GetItem(int position, char* out, int cap);
  int NumItems() const { return static_cast<int>(m_index.size()); }
  void RemoveItemAt(int position);
  // Removes the first entry, in index order, equal to text.
  void RemoveItem(const char* text);

  // Window position and size of the host's frame window, in the section named by host.
  void SaveWindowPosition(const char* host, int x, int y, int w, int h);
  int ReadWindowX(const char* host) { return ReadPlacement(host, "x"); }
  int ReadWindowY(const char* host) { return ReadPlacement(host, "y"); }
  int ReadWindowW(const char* host) { return ReadPlacement(host, "w"); }
  int ReadWindowH(const char* host) { return ReadPlacement(host, "h"); }

  const std::string& Index() const { return m_index; }

private:
  void ReadIndex();
  void WriteIndex();
  int ReadPlacement(const char* host, const char* key);

  std::unique_ptr<IniStore> m_ini;
  std::string m_index;
  std::string m_keyText;
  int m_maxEntries;
};
