// kebclip.exe: reads or sets the Windows clipboard of the Wine session it runs in, for the
// clipboard tests. One JSON line on stdout; exit 0 ok, 1 usage, 3 failed.
//
//   kebclip get                   {"text": hex, "unicode": hex, "rtf": hex, "html": hex, "dib": hex,
//                                 "owner": n}
//                                 (the formats present: CF_TEXT, CF_UNICODETEXT, "Rich Text
//                                 Format", "HTML Format", CF_DIB, each its global block whole)
//   kebclip set NAME=HEX ...      empties the clipboard and sets those formats (same names)
//   kebclip text-digest           {"size": n, "length": n, "crc32": n}: CF_TEXT's global block
//                                 size, its text's length (to the first zero) and the text's
//                                 CRC-32, for texts too large to travel as hex
//   kebclip viewer                {"viewer": n}: the newest window of the clipboard-viewer chain
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Format {
  const char* name;
  UINT id;
};

std::vector<Format> Formats() {
  return {{"text", CF_TEXT},
          {"unicode", CF_UNICODETEXT},
          {"rtf", RegisterClipboardFormatA("Rich Text Format")},
          {"html", RegisterClipboardFormatA("HTML Format")},
          {"dib", CF_DIB}};
}

bool Open() {
  // Another process (the viewer, Wine's clipboard manager) may hold it for a moment.
  for (int i = 0; i < 50; i++) {
    if (OpenClipboard(nullptr)) return true;
    Sleep(20);
  }
  return false;
}

std::string Hex(const unsigned char* p, SIZE_T n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (SIZE_T i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

bool Unhex(const char* s, std::vector<unsigned char>& out) {
  const std::size_t n = std::strlen(s);
  if (n % 2) return false;
  auto v = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  for (std::size_t i = 0; i < n; i += 2) {
    const int hi = v(s[i]), lo = v(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return true;
}

int Get() {
  if (!Open()) {
    std::printf("{\"error\": \"OpenClipboard failed\"}\n");
    return 3;
  }
  std::string json = "{";
  for (const Format& f : Formats()) {
    HANDLE h = GetClipboardData(f.id);
    if (!h) continue;
    const auto* p = static_cast<const unsigned char*>(GlobalLock(h));
    if (!p) continue;
    json += "\"" + std::string(f.name) + "\": \"" + Hex(p, GlobalSize(h)) + "\", ";
    GlobalUnlock(h);
  }
  json += "\"owner\": " + std::to_string(reinterpret_cast<UINT_PTR>(GetClipboardOwner())) + "}";
  CloseClipboard();
  std::printf("%s\n", json.c_str());
  return 0;
}

int Set(int argc, char** argv) {
  const std::vector<Format> formats = Formats();
  struct Item {
    UINT id;
    std::vector<unsigned char> bytes;
  };
  std::vector<Item> items;
  for (int i = 2; i < argc; i++) {
    const char* eq = std::strchr(argv[i], '=');
    if (!eq) return 1;
    const std::string name(argv[i], static_cast<std::size_t>(eq - argv[i]));
    Item item{0, {}};
    for (const Format& f : formats)
      if (name == f.name) item.id = f.id;
    if (!item.id || !Unhex(eq + 1, item.bytes)) return 1;
    items.push_back(item);
  }
  if (!Open()) {
    std::printf("{\"error\": \"OpenClipboard failed\"}\n");
    return 3;
  }
  bool ok = EmptyClipboard() != FALSE;
  for (const Item& item : items) {
    HGLOBAL g = GlobalAlloc(GMEM_MOVEABLE, item.bytes.size() ? item.bytes.size() : 1);
    if (!g) {
      ok = false;
      continue;
    }
    if (void* p = GlobalLock(g)) {
      if (!item.bytes.empty()) std::memcpy(p, item.bytes.data(), item.bytes.size());
      GlobalUnlock(g);
    }
    if (!SetClipboardData(item.id, g)) {
      GlobalFree(g);
      ok = false;
    }
  }
  CloseClipboard();
  std::printf(ok ? "{\"set\": %d}\n" : "{\"error\": \"SetClipboardData failed\", \"set\": %d}\n",
              static_cast<int>(items.size()));
  return ok ? 0 : 3;
}

int TextDigest() {
  if (!Open()) {
    std::printf("{\"error\": \"OpenClipboard failed\"}\n");
    return 3;
  }
  HANDLE h = GetClipboardData(CF_TEXT);
  const auto* p = h ? static_cast<const char*>(GlobalLock(h)) : nullptr;
  if (!p) {
    CloseClipboard();
    std::printf("{\"error\": \"no CF_TEXT\"}\n");
    return 3;
  }
  const SIZE_T size = GlobalSize(h);
  const SIZE_T length = strnlen(p, size);
  uLong crc = crc32(0, Z_NULL, 0);
  for (SIZE_T done = 0; done < length;) {
    const uInt n = static_cast<uInt>(length - done > (1u << 30) ? (1u << 30) : length - done);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(p + done), n);
    done += n;
  }
  GlobalUnlock(h);
  CloseClipboard();
  std::printf("{\"size\": %llu, \"length\": %llu, \"crc32\": %lu}\n", static_cast<unsigned long long>(size),
              static_cast<unsigned long long>(length), static_cast<unsigned long>(crc));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "get") == 0) return Get();
  if (argc >= 2 && std::strcmp(argv[1], "set") == 0) return Set(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "text-digest") == 0) return TextDigest();
  if (argc >= 2 && std::strcmp(argv[1], "viewer") == 0) {
    std::printf("{\"viewer\": %llu}\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(GetClipboardViewer())));
    return 0;
  }
  std::fprintf(stderr, "usage: kebclip get | kebclip set NAME=HEX ... | kebclip text-digest | kebclip viewer\n");
  return 1;
}
