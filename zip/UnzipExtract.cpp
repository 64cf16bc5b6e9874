// The extractor's entry point, its option translation and its message plumbing.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <new>

#include "zip/UnzipContext.h"

const char kUnzipEngineName[] = "unzip";
const char kUnzipBinaryHint[] =
    "  (the archive may be damaged, or it was copied in text mode instead of binary)\n";

void UnzipInfo(UnzipContext* c, int flags, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(c->messageBuffer, sizeof c->messageBuffer, format, args);
  va_end(args);
  if (n < 0) return;
  std::size_t len = static_cast<std::size_t>(n);
  if (len >= sizeof c->messageBuffer) len = sizeof c->messageBuffer - 1;
  c->output(c, c->messageBuffer, len, flags);
}

void UnzipPrintText(UnzipContext* c, const char* text, std::size_t len) { c->output(c, text, len, 0); }

int UnzipMessageOutput(UnzipContext*, const char* text, std::size_t len, int flags) {
  if (flags & (kUnzipMsgSuppress | kUnzipMsgSuppress2)) return 0;
  std::FILE* f = (flags & kUnzipMsgError) ? stderr : stdout;
  std::fwrite(text, 1, len, f);
  if ((flags & kUnzipMsgLineEnd) && (len == 0 || text[len - 1] != '\n')) std::fputc('\n', f);
  std::fflush(f);
  return 0;
}

int UnzipPrintOutput(UnzipContext* c, const char* text, std::size_t len, int) {
  return c->callbacks->print(text, static_cast<unsigned long>(len));
}

int UnzipHandleMessage(UnzipContext* c, int type, const char* name, std::uint32_t size) {
  if (type == kUnzipMsgSound) {
    if (c->callbacks->sound) c->callbacks->sound();
  } else if (type == kUnzipMsgProgress) {
    if (c->callbacks->progress && c->callbacks->progress(name, size) != 0) return 1;
  }
  return 0;
}

int UnzipNoInput(UnzipContext*, char*, int) { return 0; }

int UnzipWriteStream(UnzipContext* c, ZipFile* stream, const std::uint8_t* data, std::size_t len) {
  if (stream == nullptr) {
    c->output(c, reinterpret_cast<const char*>(data), len, 0);
    return static_cast<int>(len);
  }
  return static_cast<int>(stream->Write(data, len));
}

std::string UnzipFsPath(const UnzipContext* c, const std::string& path) {
  if (c->baseDirectory.empty() || (!path.empty() && c->fs->IsAbsolute(path.c_str()))) return path;
  if (path.empty()) return c->baseDirectory;
  return c->baseDirectory + "/" + path;
}

namespace {

std::vector<std::string> NameList(int count, const char* const* names) {
  std::vector<std::string> out;
  if (names == nullptr) return out;
  for (int i = 0; i < count && names[i] != nullptr; i++) out.emplace_back(names[i]);
  return out;
}

int RunWithNameLists(UnzipContext* c, int includeCount, const char* const* includeNames, int excludeCount,
                     const char* const* excludeNames) {
  c->includes = NameList(includeCount, includeNames);
  c->excludes = NameList(excludeCount, excludeNames);
  c->processAll = c->includes.empty() && c->excludes.empty();
  int result = UnzipRunAllArchives(c);
  // A read failure deep inside a decoder ends the run as the fatal jump did.
  if (c->fatal && result != kUnzipStopped) result = kUnzipBadStructure;
  return result;
}

}  // namespace

int UnzipExtract(int includeCount, const char* const* includeNames, int excludeCount,
                 const char* const* excludeNames, const UnzipOptions* options, UnzipCallbacks* callbacks,
                 ZipFileSystem* fileSystem) {
  if (callbacks == nullptr || callbacks->print == nullptr || callbacks->replace == nullptr || options == nullptr)
    return kUnzipBadStructure;
  try {
    std::unique_ptr<UnzipContext> c(new (std::nothrow) UnzipContext);
    if (!c) return kUnzipNoMemory;
    c->output = UnzipMessageOutput;
    c->passwordFn = UnzipAskPassword;
    c->input = UnzipNoInput;
    c->fs = fileSystem ? fileSystem : &ZipSystemFileSystem();

    // The host's callbacks replace the defaults. A null sound callback is simply not
    // called; the caller's record is left as it is.
    c->output = UnzipPrintOutput;
    c->message = UnzipHandleMessage;
    c->callbacks = callbacks;
    std::setlocale(LC_CTYPE, "");

    if (options->zipFileName == nullptr) return kUnzipNoArchive;

    const UnzipOptions& o = *options;
    c->quiet = o.quietLevel < 0 ? 0 : o.quietLevel;
    c->overwriteMode = o.overwriteAll ? kUnzipOverwriteAlways
                       : o.promptOverwrite ? kUnzipOverwriteAsk
                                           : kUnzipOverwriteNever;
    c->dropPaths = o.pathMode == 0;
    c->allowDotDot = o.pathMode >= 2;
    c->update = o.updateOnly || o.freshenOnly;
    c->freshen = o.freshenOnly != 0;
    c->toConsole = o.toConsole != 0;
    c->testOnly = o.testOnly != 0;
    c->listMode = o.listMode != 0;
    c->commentOnly = o.commentOnly;
    c->blanksToUnderscore = o.blanksToUnderscore != 0;
    c->textConversion = o.textConversion;
    c->ignoreCase = o.ignoreCase != 0;
    c->restoreSecurity = o.restoreSecurity;
    if (o.detailListing) {
      c->detailListing = true;
      c->detailStyle = 10;
      c->quiet = 2;
    }
    c->extractKind = !o.toConsole && !o.testOnly && !o.listMode && !o.commentOnly && !o.detailListing;
    if (c->extractKind && o.extractFolder != nullptr) {
      c->haveExtractFolder = true;
      c->extractFolder = o.extractFolder;
    }
    c->zipFileName = o.zipFileName;

    // Relative names are resolved against the folder that is current now, once.
    std::string cwd;
    if (c->fs->CurrentFolder(&cwd)) c->baseDirectory = cwd;

    return RunWithNameLists(c.get(), includeCount, includeNames, excludeCount, excludeNames);
  } catch (const std::bad_alloc&) {
    return kUnzipNoMemory;
  } catch (...) {
    return kUnzipBadStructure;
  }
}
