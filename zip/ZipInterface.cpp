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

namespace {

// One argument of the command line, with the label that names it when it cannot be made.
struct PlannedArgument {
  const char* label;
  std::string text;
};

std::vector<PlannedArgument> PlanArguments(const ZipOptions& o, const ZipCommandBlock& command) {
  std::vector<PlannedArgument> plan;
  plan.push_back({"", "kap.exe"});
  if (o.level != '\0') plan.push_back({"Compression", std::string("-") + o.level});
  // One argument per set option, always in this order.
  const struct {
    bool set;
    const char* label;
    const char* text;
  } flags[] = {
      {o.adjustOffsets != 0, "Offsets", "-A"},
      {o.deleteEntries != 0, "Delete", "-d"},
      {o.omitDirEntries != 0, "No Dir Entries", "-D"},
      {o.freshenOnly != 0, "Freshen", "-f"},
      {o.repair == 1, "Repair", "-F"},
      {o.repair != 0 && o.repair != 1, "Repair", "-FF"},
      {o.grow != 0, "Appending", "-g"},
      {o.junkPaths != 0, "Junk Dir Names", "-j"},
      {o.encrypt != 0, "Encrypt", "-e"},
      {o.junkSfxPrefix != 0, "Junk SFX", "-J"},
      {o.forceDosNames != 0, "Force DOS", "-k"},
      {o.lfToCrlf != 0, "LF-CRLF", "-l"},
      {o.crlfToLf != 0, "CRLF-LF", "-ll"},
      {o.moveFiles != 0, "Move", "-m"},
      {o.latestTime != 0, "Time", "-o"},
      {o.askComment != 0, "Comment", "-z"},
      {o.quiet != 0, "Quiet", "-q"},
      {o.includeSystemHidden != 0, "System", "-S"},
  };
  for (const auto& f : flags)
    if (f.set) plan.push_back({f.label, f.text});
  if (o.beforeDate && Set(o.dateText)) {
    plan.push_back({"Date", "-tt"});
    plan.push_back({"Date", o.dateText});
  }
  if (o.sinceDate && Set(o.dateText)) {
    plan.push_back({"Date", "-t"});
    plan.push_back({"Date", o.dateText});
  }
  const struct {
    bool set;
    const char* label;
    const char* text;
  } more[] = {{o.updateOnly != 0, "Update", "-u"},
              {o.verbose != 0, "Verbose", "-v"},
              {o.addVolumeLabel != 0, "Volume", "-$"},
              {o.usePrivileges != 0, "Privileges", "-!"},
              {o.omitExtraFields != 0, "Extra", "-X"}};
  for (const auto& f : more)
    if (f.set) plan.push_back({f.label, f.text});
  if (Set(o.tempDir) && o.useTempDir) {
    plan.push_back({"Temp dir switch command", "-b"});
    plan.push_back({"Temporary directory", o.tempDir});
  }
  if (o.recurse == 1) plan.push_back({"Recurse -r", "-r"});
  if (o.recurse == 2) plan.push_back({"Recurse -R", "-R"});
  plan.push_back({"Zip file name", command.zipName ? command.zipName : ""});
  // Names below the root folder are passed relative to it: the run works there.
  std::string root = Set(o.rootDir) ? std::string(o.rootDir) + "\\" : std::string();
  for (int i = 0; i < command.argc && command.names; i++) {
    const char* name = command.names[i];
    if (name == nullptr) break;
    if (!root.empty() && std::strncmp(name, root.c_str(), root.size()) == 0) name += root.size();
    plan.push_back({"Making argv", name});
  }
  return plan;
}

}  // namespace

std::vector<std::string> ZipBuildArguments(const ZipOptions& options, const ZipCommandBlock& command) {
  std::vector<std::string> args;
  for (PlannedArgument& a : PlanArguments(options, command)) args.push_back(std::move(a.text));
  return args;
}

int ZipRunCommand(ZipCommandBlock command, ZipFileSystem* fileSystem) {
  ZipFileSystem* fs = fileSystem ? fileSystem : &ZipSystemFileSystem();
  std::vector<PlannedArgument> plan;
  std::vector<std::string> args;
  std::vector<const char*> argv;
  try {
    plan = PlanArguments(gOptions, command);
    args.reserve(plan.size());
    argv.reserve(plan.size() + 1);
    args.push_back(plan[0].text);
  } catch (const std::bad_alloc&) {
    std::printf("Unable to allocate memory in zip dll\n");
    return kZipNoMemory;
  }
  for (std::size_t i = 1; i < plan.size(); i++) {
    try {
      args.push_back(plan[i].text);
    } catch (const std::bad_alloc&) {
      std::printf("Unable to allocate memory in zip library at %s\n", plan[i].label);
      return kZipNoMemory;
    }
  }
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
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
