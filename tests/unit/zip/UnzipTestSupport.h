// Runs UnzipExtract with recording callbacks, on the in-memory file system or another.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/unit/zip/ZipBuilder.h"
#include "zip/Unzip.h"
#include "tests/support/ZipMemoryFileSystem.h"

namespace ziptest {

struct Listed {
  std::uint32_t ucsize, csize;
  unsigned ratio, d1, d2, d3, hour, minute;
  std::string name, method;
  std::uint32_t crc;
  char encrypted;
};

// What one run saw through its callbacks.
struct Recorder {
  std::string output;
  int soundCalls = 0;
  std::vector<std::string> replaceAsked;
  std::vector<int> replaceAnswers;  // used in turn; then 103
  std::string renameTo;             // written into the buffer with answer 105
  std::vector<std::string> passwordPrompts;
  std::vector<std::string> passwords;  // handed out in turn; then passwordEnd is returned
  int passwordEnd = kUnzipPasswordNoMore;
  std::vector<Listed> listed;
  std::vector<std::pair<std::string, std::uint32_t>> progress;
  std::function<int()> onProgress;  // its answer is returned (0 goes on)

  static Recorder*& Current() {
    static Recorder* current = nullptr;
    return current;
  }
};

inline int RecPrint(const char* text, unsigned long len) {
  Recorder::Current()->output.append(text, len);
  return 0;
}
inline void RecSound() { Recorder::Current()->soundCalls++; }
inline int RecReplace(char* buffer) {
  Recorder* r = Recorder::Current();
  r->replaceAsked.push_back(buffer);
  std::size_t i = r->replaceAsked.size() - 1;
  int answer = i < r->replaceAnswers.size() ? r->replaceAnswers[i] : kUnzipReplaceAll;
  if (answer == kUnzipReplaceRenamed) std::snprintf(buffer, kUnzipPathBufferSize, "%s", r->renameTo.c_str());
  return answer;
}
inline int RecPassword(char* buffer, int size, const char* prompt, const char* name) {
  Recorder* r = Recorder::Current();
  r->passwordPrompts.push_back(std::string(prompt) + name);
  std::size_t i = r->passwordPrompts.size() - 1;
  if (i >= r->passwords.size()) return r->passwordEnd;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", r->passwords[i].c_str());
  return 0;
}
inline void RecList(std::uint32_t ucsize, std::uint32_t csize, unsigned ratio, unsigned d1, unsigned d2, unsigned d3,
                    unsigned hour, unsigned minute, char, const char* name, const char* method, std::uint32_t crc,
                    char enc) {
  Recorder::Current()->listed.push_back({ucsize, csize, ratio, d1, d2, d3, hour, minute, name, method, crc, enc});
}
inline int RecProgress(const char* name, std::uint32_t size) {
  Recorder* r = Recorder::Current();
  r->progress.emplace_back(name, size);
  return r->onProgress ? r->onProgress() : 0;
}

// The options the viewer's folder transfer uses.
inline UnzipOptions ViewerOptions(const char* archive, const char* folder) {
  UnzipOptions o{};
  o.promptOverwrite = 1;
  o.quietLevel = 2;
  o.pathMode = 1;
  o.overwriteAll = 1;
  o.zipFileName = archive;
  o.extractFolder = folder;
  return o;
}

inline UnzipCallbacks RecordingCallbacks() {
  UnzipCallbacks cb{};
  cb.print = RecPrint;
  cb.sound = RecSound;
  cb.replace = RecReplace;
  cb.password = RecPassword;
  cb.listEntry = RecList;
  cb.progress = RecProgress;
  return cb;
}

// One run on an in-memory file system holding the archive as /in.zip.
struct MemoryRun {
  ZipMemoryFileSystem fs;
  Recorder rec;
  UnzipCallbacks cb = RecordingCallbacks();
  UnzipOptions options = ViewerOptions("/in.zip", "/out");
  std::vector<std::string> include, exclude;
  int result = -1;

  MemoryRun() = default;
  explicit MemoryRun(const Bytes& archive) { fs.AddFile("/in.zip", archive); }

  int Run() {
    Recorder::Current() = &rec;
    std::vector<const char*> inc, exc;
    for (const auto& s : include) inc.push_back(s.c_str());
    for (const auto& s : exclude) exc.push_back(s.c_str());
    result = UnzipExtract(static_cast<int>(inc.size()), inc.data(), static_cast<int>(exc.size()), exc.data(), &options,
                          &cb, &fs);
    Recorder::Current() = nullptr;
    return result;
  }
  std::string Text(const std::string& path) const {
    const ZipMemoryFileSystem::Node* n = fs.Find(path);
    return n ? std::string(n->data.begin(), n->data.end()) : std::string("<missing>");
  }
  bool Has(const std::string& path) const { return fs.Find(path) != nullptr; }
  // Every path outside /out (the archive and the root aside).
  std::vector<std::string> Outside() const {
    std::vector<std::string> out;
    for (const auto& p : fs.Paths())
      if (p != "/" && p != "/in.zip" && p != "/out" && p.compare(0, 5, "/out/") != 0) out.push_back(p);
    return out;
  }
};

inline Entry File(const std::string& name, const std::string& data, int method = 8) {
  Entry e;
  e.name = name;
  e.data = ToBytes(data);
  e.method = method;
  return e;
}

inline Entry Folder(const std::string& name) {
  Entry e;
  e.name = name;
  e.external = 0x10;
  return e;
}

}  // namespace ziptest
