// UnzipExtract on any bytes, on the in-memory file system. The input is the archive; its
// last byte also picks the run's mode (extract as the viewer does, test, list, detailed
// listing, console, text conversion, ".." kept, security restored, ask to overwrite), the
// byte before it where the overwrite prompt's answers start.
// Whatever the archive says, nothing may be written outside the extraction folder and
// the result must be one of the engine's codes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "zip/Unzip.h"
#include "tests/support/ZipMemoryFileSystem.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

int passwordCalls = 0;

unsigned printed = 0;

int Print(const char* text, unsigned long length) {
  // Every message must be readable for the length given (the sanitizer checks).
  for (unsigned long i = 0; i < length; i++) printed += static_cast<unsigned char>(text[i]);
  return 0;
}
// The replace prompt's answers go round from a place the input picks, so that a crash
// file replays the same answers.
unsigned replaceTurn = 0;

int Replace(char* buffer) {
  // Alternate between the answers, renaming into the folder now and then.
  switch (replaceTurn++ % 4) {
    case 0:
      return kUnzipReplaceSkip;
    case 1:
      std::snprintf(buffer, kUnzipPathBufferSize, "/out/renamed");
      return kUnzipReplaceRenamed;
    case 2:
      return kUnzipReplaceAll;
    default:
      return kUnzipReplaceNone;
  }
}
int Password(char* buffer, int size, const char*, const char*) {
  if (passwordCalls++ > 1) return kUnzipPasswordNoMore;
  std::snprintf(buffer, static_cast<std::size_t>(size), "pw");
  return 0;
}
void ListEntry(std::uint32_t, std::uint32_t, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, char,
               const char* name, const char* method, std::uint32_t, char) {
  Require(name != nullptr && method != nullptr && std::strlen(method) < 8);
}
int Progress(const char* name, std::uint32_t) {
  Require(name != nullptr);
  return 0;
}

bool Known(int r) {
  static const int codes[] = {0, 1, 2, 3, 4, 5, 6, 9, 11, 50, 51, 76, 79, 80, 81, 82};
  for (int c : codes)
    if (c == r) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const unsigned mode = size > 0 ? data[size - 1] : 0;
  ZipMemoryFileSystem fs(16u << 20);
  fs.volume.persistentAcls = (mode & 0x40) != 0;
  fs.AddFile("/in.zip", std::vector<std::uint8_t>(data, data + size));
  if (mode & 0x80) fs.AddFile("/out/existing", {'x'});

  UnzipOptions o{};
  o.promptOverwrite = 1;
  o.quietLevel = (mode >> 3) & 3;
  o.pathMode = 1;
  o.overwriteAll = (mode & 0x20) ? 0 : 1;
  o.zipFileName = "/in.zip";
  o.extractFolder = "/out";
  switch (mode & 7) {
    case 1: o.testOnly = 1; break;
    case 2: o.listMode = 1; break;
    case 3: o.detailListing = 1; break;
    case 4: o.toConsole = 1; break;
    case 5: o.textConversion = 2; break;
    case 6: o.pathMode = 2; break;
    case 7: o.restoreSecurity = 2; o.pathMode = 0; break;
    default: break;
  }
  UnzipCallbacks cb{};
  cb.print = Print;
  cb.replace = Replace;
  cb.password = Password;
  cb.listEntry = ListEntry;
  cb.progress = Progress;
  passwordCalls = 0;
  replaceTurn = size > 1 ? data[size - 2] : 0;
  int r = UnzipExtract(0, nullptr, 0, nullptr, &o, &cb, &fs);
  Require(Known(r));

  for (const std::string& p : fs.Paths())
    Require(p == "/" || p == "/in.zip" || p == "/out" || p.compare(0, 5, "/out/") == 0);
  const bool writes = (mode & 7) == 0 || (mode & 7) >= 5;
  if (!writes) Require(fs.Find("/out") == nullptr || (mode & 0x80));
  return 0;
}
