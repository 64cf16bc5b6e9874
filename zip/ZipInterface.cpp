// The archiver's interface: callbacks and options installed once, then runs that turn the
// options into a command line for the engine.
#include <cstdio>
#include <cstring>
#include <new>

#include "zip/ZipRun.h"

namespace {

ZipCallbacks gCallbacks = {};
ZipOptions gOptions = {};
char gDateText[50];
char gRootDir[4098];
char gTempDir[4098];

const char* CopyText(const char* text, char* buffer, std::size_t size) {
  if (text == nullptr) return nullptr;
  std::size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return buffer;
}

bool Set(const char* text) { return text != nullptr && text[0] != '\0'; }

}  // namespace

const ZipCallbacks& ZipInstalledCallbacks() { return gCallbacks; }

bool ZipSetCallbacks(const ZipCallbacks* callbacks) {
  if (callbacks == nullptr) return false;
  gCallbacks = *callbacks;
  return gCallbacks.print != nullptr && gCallbacks.comment != nullptr;
}

int ZipSetOptions(const ZipOptions* options) {
  if (options == nullptr) return 1;
  gOptions = *options;
  gOptions.dateText = CopyText(options->dateText, gDateText, sizeof gDateText);
  gOptions.rootDir = CopyText(options->rootDir, gRootDir, sizeof gRootDir);
  gOptions.tempDir = CopyText(options->tempDir, gTempDir, sizeof gTempDir);
  return 1;
}

std::vector<std::string> ZipBuildArguments(const ZipOptions& o, const ZipCommandBlock& command) {
  std::vector<std::string> args;
  args.push_back("kap.exe");
  if (o.level != '\0') args.push_back(std::string("-") + o.level);
  // One argument per set option, always in this order.
  const struct {
    std::int32_t set;
    const char* text;
  } flags[] = {
      {o.adjustOffsets, "-A"}, {o.deleteEntries, "-d"}, {o.omitDirEntries, "-D"}, {o.freshenOnly, "-f"},
      {o.repair == 1, "-F"},   {o.repair != 0 && o.repair != 1, "-FF"},         {o.grow, "-g"},
      {o.junkPaths, "-j"},     {o.encrypt, "-e"},        {o.junkSfxPrefix, "-J"}, {o.forceDosNames, "-k"},
      {o.lfToCrlf, "-l"},      {o.crlfToLf, "-ll"},      {o.moveFiles, "-m"},     {o.latestTime, "-o"},
      {o.askComment, "-z"},    {o.quiet, "-q"},          {o.includeSystemHidden, "-S"},
  };
  for (const auto& f : flags)
    if (f.set) args.push_back(f.text);
  if (o.beforeDate && Set(o.dateText)) {
    args.push_back("-tt");
    args.push_back(o.dateText);
  }
  if (o.sinceDate && Set(o.dateText)) {
    args.push_back("-t");
    args.push_back(o.dateText);
  }
  const struct {
    std::int32_t set;
    const char* text;
  } more[] = {{o.updateOnly, "-u"}, {o.verbose, "-v"}, {o.addVolumeLabel, "-$"}, {o.usePrivileges, "-!"},
              {o.omitExtraFields, "-X"}};
  for (const auto& f : more)
    if (f.set) args.push_back(f.text);
  if (Set(o.tempDir) && o.useTempDir) {
    args.push_back("-b");
    args.push_back(o.tempDir);
  }
  if (o.recurse == 1) args.push_back("-r");
  if (o.recurse == 2) args.push_back("-R");
  args.push_back(command.zipName ? command.zipName : "");
  // Names below the root folder are passed relative to it: the run works there.
  std::string root = Set(o.rootDir) ? std::string(o.rootDir) + "\\" : std::string();
  for (int i = 0; i < command.argc && command.names; i++) {
    const char* name = command.names[i];
    if (name == nullptr) break;
    if (!root.empty() && std::strncmp(name, root.c_str(), root.size()) == 0)
      args.push_back(name + root.size());
    else
      args.push_back(name);
  }
  return args;
}

int ZipRunCommand(ZipCommandBlock command, ZipFileSystem* fileSystem) {
  ZipFileSystem* fs = fileSystem ? fileSystem : &ZipSystemFileSystem();
  std::vector<std::string> args;
  std::vector<const char*> argv;
  try {
    args = ZipBuildArguments(gOptions, command);
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
  } catch (const std::bad_alloc&) {
    std::printf("Unable to allocate memory in zip dll\n");
    return kZipNoMemory;
  }
  std::string saved;
  const bool useRoot = Set(gOptions.rootDir);
  if (useRoot) {
    // The run works in the root folder; the caller's folder must come back afterwards,
    // so a current folder that cannot be told in full stops the run before it moves.
    if (!fs->CurrentFolder(&saved)) {
      std::fprintf(stderr, "\nzip error: %s (%s)\n", "Invalid command arguments", "current folder cannot be kept");
      return kZipBadArguments;
    }
    if (!fs->ChangeFolder(gOptions.rootDir)) {
      std::fprintf(stderr, "\nzip error: %s (%s)\n", "File not found or no read permission", gOptions.rootDir);
      return kZipNotFound;
    }
  }
  int code = ZipExecuteCommandLine(static_cast<int>(argv.size() - 1), argv.data(), fs);
  if (useRoot) fs->ChangeFolder(saved.c_str());
  return code;
}
