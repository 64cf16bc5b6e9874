// Running the archiver on a file system and reading its archives back independently.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "zip/Unzip.h"
#include "zip/Zip.h"
#include "tests/support/ZipMemoryFileSystem.h"

namespace zipper {

inline std::vector<std::uint8_t> Bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

inline std::vector<std::uint8_t> Random(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return v;
}

inline std::vector<std::uint8_t> Text(std::size_t n) {
  static const char kWords[] = "the quick brown fox jumps over the lazy dog while archivers count bytes\r\n";
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = 7;
  for (std::size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<std::uint8_t>(kWords[(i + (x >> 29)) % (sizeof kWords - 1)]);
  }
  return v;
}

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

struct Entry {
  std::uint16_t madeBy = 0, needed = 0, flags = 0, method = 0;
  std::uint32_t dosTime = 0, crc = 0, csize = 0, usize = 0;
  std::uint16_t internal = 0;
  std::uint32_t external = 0, offset = 0;
  std::string name, comment;
  std::vector<std::uint8_t> centralExtra, localExtra;
  // From the local header.
  std::uint16_t localNeeded = 0, localFlags = 0, localMethod = 0;
  std::uint32_t localTime = 0, localCrc = 0, localCsize = 0, localUsize = 0;
  std::size_t dataOffset = 0;
  bool descriptorFollows = false;  // "PK\7\8" right after the data
};

struct Archive {
  bool ok = false;
  std::string error;
  std::vector<Entry> entries;
  std::string comment;
  std::uint32_t centralOffset = 0, centralSize = 0;
  std::size_t endOffset = 0;

  const Entry* Find(const std::string& name) const {
    for (const auto& e : entries)
      if (e.name == name) return &e;
    return nullptr;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const auto& e : entries) n.push_back(e.name);
    return n;
  }
};

// Reads an archive the plain way: the end record at the very end (after its comment),
// the central directory where it says, each local header where the central one says.
inline Archive Parse(const std::vector<std::uint8_t>& z) {
  Archive a;
  auto fail = [&](const char* why) {
    a.ok = false;
    a.error = why;
    return a;
  };
  if (z.size() < 22) return fail("too short");
  std::size_t end = std::string::npos;
  for (std::size_t i = z.size() - 22 + 1; i-- > 0;) {
    if (std::memcmp(&z[i], "PK\5\6", 4) == 0 && i + 22 + Get16(&z[i + 20]) == z.size()) {
      end = i;
      break;
    }
  }
  if (end == std::string::npos) return fail("no end record");
  a.endOffset = end;
  std::uint16_t count = Get16(&z[end + 10]);
  if (Get16(&z[end + 8]) != count || Get16(&z[end + 4]) != 0 || Get16(&z[end + 6]) != 0) return fail("disks");
  a.centralSize = Get32(&z[end + 12]);
  a.centralOffset = Get32(&z[end + 16]);
  a.comment.assign(reinterpret_cast<const char*>(&z[end + 22]), Get16(&z[end + 20]));
  if (std::size_t(a.centralOffset) + a.centralSize != end) return fail("central directory not before end record");
  std::size_t p = a.centralOffset;
  for (unsigned n = 0; n < count; n++) {
    if (p + 46 > end || std::memcmp(&z[p], "PK\1\2", 4) != 0) return fail("central header");
    Entry e;
    e.madeBy = Get16(&z[p + 4]);
    e.needed = Get16(&z[p + 6]);
    e.flags = Get16(&z[p + 8]);
    e.method = Get16(&z[p + 10]);
    e.dosTime = Get32(&z[p + 12]);
    e.crc = Get32(&z[p + 16]);
    e.csize = Get32(&z[p + 20]);
    e.usize = Get32(&z[p + 24]);
    std::size_t nl = Get16(&z[p + 28]), xl = Get16(&z[p + 30]), cl = Get16(&z[p + 32]);
    if (Get16(&z[p + 34]) != 0) return fail("start disk");
    e.internal = Get16(&z[p + 36]);
    e.external = Get32(&z[p + 38]);
    e.offset = Get32(&z[p + 42]);
    if (p + 46 + nl + xl + cl > end) return fail("central header past directory");
    e.name.assign(reinterpret_cast<const char*>(&z[p + 46]), nl);
    e.centralExtra.assign(&z[p + 46 + nl], &z[p + 46 + nl + xl]);
    e.comment.assign(reinterpret_cast<const char*>(&z[p + 46 + nl + xl]), cl);
    p += 46 + nl + xl + cl;
    std::size_t l = e.offset;
    if (l + 30 > z.size() || std::memcmp(&z[l], "PK\3\4", 4) != 0) return fail("local header");
    e.localNeeded = Get16(&z[l + 4]);
    e.localFlags = Get16(&z[l + 6]);
    e.localMethod = Get16(&z[l + 8]);
    e.localTime = Get32(&z[l + 10]);
    e.localCrc = Get32(&z[l + 14]);
    e.localCsize = Get32(&z[l + 18]);
    e.localUsize = Get32(&z[l + 22]);
    std::size_t lnl = Get16(&z[l + 26]), lxl = Get16(&z[l + 28]);
    if (lnl != nl || std::memcmp(&z[l + 30], e.name.data(), nl) != 0) return fail("local name");
    e.localExtra.assign(&z[l + 30 + nl], &z[l + 30 + nl + lxl]);
    e.dataOffset = l + 30 + nl + lxl;
    std::size_t after = e.dataOffset + e.csize;
    if (after > z.size()) return fail("data past the end");
    e.descriptorFollows = after + 16 <= z.size() && std::memcmp(&z[after], "PK\7\10", 4) == 0;
    a.entries.push_back(e);
  }
  if (p != end) return fail("central directory size");
  a.ok = true;
  return a;
}

// Finds an extra-field record; its data, or null.
inline const std::uint8_t* FindExtra(const std::vector<std::uint8_t>& extra, std::uint16_t tag, std::size_t* size) {
  std::size_t i = 0;
  while (i + 4 <= extra.size()) {
    std::size_t n = Get16(&extra[i + 2]);
    if (i + 4 + n > extra.size()) return nullptr;
    if (Get16(&extra[i]) == tag) {
      *size = n;
      return &extra[i + 4];
    }
    i += 4 + n;
  }
  return nullptr;
}

struct Result {
  int code = -99;
  std::string out, err;
};

// The archiver's command line on fs ("kap.exe" first), with its output captured.
inline Result RunZip(ZipFileSystem* fs, std::vector<std::string> args) {
  args.insert(args.begin(), "kap.exe");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  Result r;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r.code = ZipExecuteCommandLine(static_cast<int>(args.size()), argv.data(), fs);
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

// What the host callbacks saw; installed by Callbacks::Install().
struct Callbacks {
  std::string printed;
  std::vector<std::string> passwordPrompts;
  std::vector<std::pair<int, std::string>> passwordAnswers;  // (result, text) in turn
  std::vector<std::pair<std::string, unsigned long>> serviced;
  int serviceAnswerAt = -1;  // the call (0-based) that answers nonzero
  std::string comment = "";
  bool setComment = false;

  ~Callbacks() {
    if (Current() == this) Current() = nullptr;
  }
  static Callbacks*& Current() {
    static Callbacks* c = nullptr;
    return c;
  }
  static int Print(const char* text, unsigned long n) {
    if (Current()) Current()->printed.append(text, n);
    return 0;
  }
  static int Comment(char* buffer) {
    if (Current() && Current()->setComment) std::snprintf(buffer, kZipCommentBufferSize, "%s", Current()->comment.c_str());
    return 1;
  }
  static int Password(char* buffer, int size, const char* prompt, const char*) {
    Callbacks* c = Current();
    if (!c) return 1;
    std::size_t i = c->passwordPrompts.size();
    c->passwordPrompts.push_back(prompt);
    if (i >= c->passwordAnswers.size()) return 1;
    std::snprintf(buffer, static_cast<std::size_t>(size), "%s", c->passwordAnswers[i].second.c_str());
    return c->passwordAnswers[i].first;
  }
  static int Service(const char* name, unsigned long size) {
    Callbacks* c = Current();
    if (!c) return 0;
    c->serviced.push_back({name, size});
    return static_cast<int>(c->serviced.size()) - 1 == c->serviceAnswerAt ? 1 : 0;
  }
  void Install() {
    Current() = this;
    ZipCallbacks cb{Print, Comment, Password, Service};
    ZipSetCallbacks(&cb);
  }
};

inline int UnzipPrint(const char*, unsigned long) { return 0; }
inline int UnzipReplace(char*) { return kUnzipReplaceAll; }
inline const char*& UnzipPasswordText() {
  static const char* p = nullptr;
  return p;
}
inline int UnzipPassword(char* buffer, int size, const char*, const char*) {
  if (!UnzipPasswordText()) return kUnzipPasswordNoMore;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", UnzipPasswordText());
  return 0;
}

// Our own extractor, as the viewer calls it: archive into folder, both on fs.
inline int Extract(ZipFileSystem* fs, const std::string& archive, const std::string& folder,
                   const char* password = nullptr, int restoreSecurity = 0, int testOnly = 0) {
  UnzipOptions o{};
  o.promptOverwrite = 1;
  o.quietLevel = 2;
  o.pathMode = 1;
  o.overwriteAll = 1;
  o.testOnly = testOnly;
  o.restoreSecurity = restoreSecurity;
  o.zipFileName = archive.c_str();
  o.extractFolder = folder.c_str();
  UnzipCallbacks cb{};
  cb.print = UnzipPrint;
  cb.replace = UnzipReplace;
  cb.password = UnzipPassword;
  UnzipPasswordText() = password;
  int r = UnzipExtract(0, nullptr, 0, nullptr, &o, &cb, fs);
  UnzipPasswordText() = nullptr;
  return r;
}

// Every file below folder: path relative to it -> contents ("/" ending: a folder).
inline std::map<std::string, std::vector<std::uint8_t>> Tree(const ZipMemoryFileSystem& fs, const std::string& folder) {
  std::map<std::string, std::vector<std::uint8_t>> out;
  std::string prefix = fs.Normalize(folder) + "/";
  for (const std::string& p : fs.Paths()) {
    if (p.compare(0, prefix.size(), prefix) != 0) continue;
    const auto* node = fs.Find(p);
    std::string rel = p.substr(prefix.size());
    if (node->isDirectory)
      out[rel + "/"] = {};
    else
      out[rel] = node->data;
  }
  return out;
}

}  // namespace zipper
