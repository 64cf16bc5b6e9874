// A command-line front end to the archiver for the peer tests, on the process's own file
// system. Exits with the run's result code.
//
//   keb_zip [switches] archive [names...]      the command engine, as a command line
//   keb_zip --folder FOLDER ARCHIVE [LEVEL]    the viewer's folder call through
//                                              ZipSetCallbacks, ZipSetOptions and ZipRunCommand
//   keb_zip --args FOLDER ARCHIVE              prints the argument vector of the folder call
//
// The password callback answers with the environment's KEB_ZIP_PASSWORD; the comment
// callback writes KEB_ZIP_COMMENT; print goes to standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zip/Zip.h"

namespace {

int Print(const char* text, unsigned long length) {
  std::fwrite(text, 1, length, stdout);
  return 0;
}
int Comment(char* buffer) {
  if (const char* c = std::getenv("KEB_ZIP_COMMENT")) std::snprintf(buffer, kZipCommentBufferSize, "%s", c);
  return 0;
}
int Password(char* buffer, int size, const char* prompt, const char*) {
  const char* p = std::getenv("KEB_ZIP_PASSWORD");
  if (p == nullptr) return -1;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", p);
  return 0;
}

// The options the viewer's folder transfer sets.
ZipOptions FolderOptions(const char* folder, char level) {
  ZipOptions o{};
  o.includeSystemHidden = 1;
  o.quiet = 1;
  o.recurse = 1;
  o.level = level;
  o.rootDir = folder;
  o.tempDir = "";
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  ZipCallbacks cb{Print, Comment, Password, nullptr};
  if (!ZipSetCallbacks(&cb)) return 100;
  if (argc >= 4 && (std::strcmp(argv[1], "--folder") == 0 || std::strcmp(argv[1], "--args") == 0)) {
    char level = argc >= 5 ? argv[4][0] : '1';
    ZipOptions o = FolderOptions(argv[2], level);
    std::string pattern = std::string(argv[2]) + "\\*.*";
    const char* names[] = {pattern.c_str()};
    ZipCommandBlock command{1, argv[3], names};
    if (argv[1][2] == 'a') {
      for (const std::string& a : ZipBuildArguments(o, command)) std::printf("%s\n", a.c_str());
      return 0;
    }
    ZipSetOptions(&o);
    return ZipRunCommand(command);
  }
  std::vector<const char*> args(argv, argv + argc);
  args.push_back(nullptr);
  return ZipExecuteCommandLine(argc, args.data());
}
