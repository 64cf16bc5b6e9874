// A command-line front end to UnzipExtract for the peer tests: runs one job on the
// process's own file system, prints every message to standard output, and exits with
// the result code.
//
//   keb_unzip [options] archive [names...] [-x names...]
//   -t test  -l list  -v detailed listing  -p to console  -z comment only
//   -j drop folders  -: keep ".."  -n never overwrite  -i ask (answers from -R)
//   -R code  answer of the replace callback (default 103)
//   -q level  -a / -aa text conversion  -C ignore case  -s blanks to '_'
//   -u update  -f freshen  -S level restore security  -d folder  -P password
//   -W  stop after the first entry (progress callback)
#include <cstdio>
#include <cstdlib>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#include <cstring>
#include <string>
#include <vector>

#include "zip/Unzip.h"

namespace {

const char* gPassword = nullptr;
int gReplaceAnswer = kUnzipReplaceAll;
bool gStopAfterFirst = false;

int Print(const char* text, unsigned long length) {
  std::fwrite(text, 1, length, stdout);
  return 0;
}
int Replace(char* buffer) {
  std::printf("[replace %s]\n", buffer);
  return gReplaceAnswer;
}
int Password(char* buffer, int size, const char* prompt, const char* name) {
  std::printf("[%s%s]\n", prompt, name);
  // Like a password given on a command line: the same answer to every question.
  if (gPassword == nullptr) return kUnzipPasswordNoMore;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", gPassword);
  return 0;
}
void ListEntry(std::uint32_t ucsize, std::uint32_t csize, unsigned ratio, unsigned d1, unsigned d2, unsigned d3,
               unsigned hour, unsigned minute, char caseSign, const char* name, const char* method, std::uint32_t crc,
               char enc) {
  std::printf("%u\t%u\t%u%%\t%02u-%02u-%02u %02u:%02u\t%c%s\t%s\t%08x\t%c\n", ucsize, csize, ratio, d1, d2, d3, hour,
              minute, caseSign, name, method, crc, enc);
}
int Progress(const char*, std::uint32_t) { return gStopAfterFirst ? 1 : 0; }

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // messages and data exactly as given
#endif
  UnzipOptions o{};
  o.promptOverwrite = 1;
  o.overwriteAll = 1;
  o.pathMode = 1;
  std::vector<const char*> include, exclude;
  bool inExclude = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "-t") o.testOnly = 1;
    else if (a == "-l") o.listMode = 1;
    else if (a == "-v") o.detailListing = 1;
    else if (a == "-p") o.toConsole = 1;
    else if (a == "-z") o.commentOnly = 1;
    else if (a == "-j") o.pathMode = 0;
    else if (a == "-:") o.pathMode = 2;
    else if (a == "-n") o.overwriteAll = o.promptOverwrite = 0;
    else if (a == "-i") o.overwriteAll = 0;
    else if (a == "-R") gReplaceAnswer = std::atoi(value());
    else if (a == "-q") o.quietLevel = std::atoi(value());
    else if (a == "-a") o.textConversion = 1;
    else if (a == "-aa") o.textConversion = 2;
    else if (a == "-C") o.ignoreCase = 1;
    else if (a == "-s") o.blanksToUnderscore = 1;
    else if (a == "-u") o.updateOnly = 1;
    else if (a == "-f") o.freshenOnly = 1;
    else if (a == "-S") o.restoreSecurity = std::atoi(value());
    else if (a == "-d") o.extractFolder = value();
    else if (a == "-P") gPassword = value();
    else if (a == "-W") gStopAfterFirst = true;
    else if (a == "-x") inExclude = true;
    else if (o.zipFileName == nullptr) o.zipFileName = argv[i];
    else (inExclude ? exclude : include).push_back(argv[i]);
  }
  UnzipCallbacks cb{};
  cb.print = Print;
  cb.replace = Replace;
  cb.password = Password;
  cb.listEntry = ListEntry;
  cb.progress = Progress;
  int r = UnzipExtract(static_cast<int>(include.size()), include.data(), static_cast<int>(exclude.size()),
                       exclude.data(), &o, &cb);
  if (o.listMode)
    std::printf("totals\t%u\t%u\t%u%%\t%u\tcomment %u\n", cb.totalUncompressed, cb.totalCompressed, cb.ratioPercent,
                cb.entryCount, cb.commentLength);
  std::fflush(stdout);
  return r;
}
