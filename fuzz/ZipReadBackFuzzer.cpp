// The archiver reading an existing archive back, on the in-memory file system. The first
// byte chooses how (directory, -A, -qF, -FF, -d, -g); the rest is the archive. One file
// is added (or an entry deleted). Whatever the input, the run must end with a code, and
// an archive it reports as written must have a sound structure for our own extractor.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "zip/Unzip.h"
#include "zip/Zip.h"
#include "tests/support/ZipMemoryFileSystem.h"

namespace {

int Quiet(const char*, unsigned long) { return 0; }
int NoComment(char*) { return 0; }
int Replace(char*) { return kUnzipReplaceAll; }

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::freopen("/dev/null", "w", stdout);
  ZipCallbacks cb{Quiet, NoComment, nullptr, nullptr};
  ZipSetCallbacks(&cb);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  static const std::vector<std::vector<std::string>> kModes = {
      {"-q"}, {"-q", "-A"}, {"-q", "-F"}, {"-q", "-FF"}, {"-q", "-FFF"}, {"-q", "-d"}, {"-q", "-g"}, {"-q", "-J"},
  };
  const auto& mode = kModes[data[0] % kModes.size()];
  ZipMemoryFileSystem fs(8u << 20);
  fs.AddFile("/w/in.zip", std::vector<std::uint8_t>(data + 1, data + size));
  fs.AddFile("/w/new.txt", std::vector<std::uint8_t>(300, 'n'));
  fs.ChangeFolder("/w");
  std::vector<std::string> args = {"kap.exe"};
  args.insert(args.end(), mode.begin(), mode.end());
  args.push_back("in.zip");
  args.push_back(mode.back() == "-d" ? "*a*" : "new.txt");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  int code = ZipExecuteCommandLine(static_cast<int>(args.size()), argv.data(), &fs);
  Require(code >= 0 && code <= 18);
  // No temporary archive is ever left behind.
  for (const std::string& p : fs.Paths()) Require(p.find("/w/zi") != 0);
  if (code != 0) return 0;

  UnzipOptions o{};
  o.testOnly = 1;
  o.quietLevel = 3;
  o.zipFileName = "/w/in.zip";
  UnzipCallbacks ucb{};
  ucb.print = Quiet;
  ucb.replace = Replace;
  int r = UnzipExtract(0, nullptr, 0, nullptr, &o, &ucb, &fs);
  // Entry data may be anything the input held; the directory we wrote may not be.
  Require(r != kUnzipBadStructure && r != kUnzipNoArchive && r != kUnzipEarlyEnd);
  return 0;
}
