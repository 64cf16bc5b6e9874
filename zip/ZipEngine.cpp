// The archiver's command engine: one archive operation from a command line.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "zip/UnzipContext.h"
#include "zip/ZipRun.h"

namespace {

const char* CodeText(int code) {
  switch (code) {
    case kZipUnexpectedEnd: return "Unexpected end of zip file";
    case kZipBadStructure: return "Zip file structure invalid";
    case kZipNoMemory: return "Out of memory";
    case kZipLogicError: return "Internal logic error";
    case kZipTooBig: return "Entry too big to split, read, or write";
    case 7: return "Invalid comment format";
    case kZipInterrupted: return "Interrupted";
    case kZipTempFailure: return "Temporary file failure";
    case kZipReadFailure: return "Input file read failure";
    case kZipNothingToDo: return "Nothing to do!";
    case kZipMissingArchive: return "Missing or empty zip file";
    case kZipWriteFailure: return "Output file write failure";
    case kZipCreateFailure: return "Could not create output file";
    case kZipBadArguments: return "Invalid command arguments";
    case kZipNotFound: return "File not found or no read permission";
    default: return "Unknown error";
  }
}

bool IsIoCode(int code) {
  return code == kZipTempFailure || code == kZipReadFailure || code == kZipWriteFailure || code == kZipCreateFailure ||
         code == kZipNotFound;
}

ZipRun* gRun = nullptr;        // the run in progress
int gSystemError = 0;          // system error behind the next I/O abort

// Reads one line from standard input into line (CR and LF end it); false at the end.
bool ReadLine(std::string* line, std::size_t limit) {
  line->clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(stdin)) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (c == '\r') continue;
    if (line->size() < limit) *line += static_cast<char>(c);
  }
  return any;
}

// Names files: one name a line, empty lines skipped, trailing blanks and dots removed;
// a line of 1024 characters or more ends the list.
void ReadNamesFile(std::FILE* f, std::vector<std::string>* out) {
  std::string line;
  int c;
  bool ended = false;
  auto finish = [&]() {
    if (line.size() >= 1024) ended = true;
    while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
    if (!ended && !line.empty()) out->push_back(line);
    line.clear();
  };
  while (!ended && (c = std::fgetc(f)) != EOF) {
    if (c == '\r' || c == '\n')
      finish();
    else
      line += static_cast<char>(c);
  }
  if (!ended) finish();
}

// A DOS date from "yyyy-mm-dd" or "mmddyyyy"; 0 when invalid.
std::uint32_t ParseDate(const char* text) {
  int y = 0, m = 0, d = 0;
  if (std::sscanf(text, "%4d-%2d-%2d", &y, &m, &d) != 3) {
    if (std::sscanf(text, "%2d%2d%4d", &m, &d, &y) != 3) return 0;
  }
  if (m < 1 || m > 12 || d < 1 || d > 31 || y > 2107) return 0;
  if (y < 1980) return kZipDos1980;
  return (std::uint32_t(y - 1980) << 25) | (std::uint32_t(m) << 21) | (std::uint32_t(d) << 16);
}

int MatchHere(const char* p, const char* s, bool ignoreCase) {
  auto fold = [&](unsigned char c) -> unsigned char {
    return ignoreCase && c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
  };
  for (;;) {
    char c = *p++;
    if (c == '\0') return *s == '\0' ? 1 : 0;
    if (c == '*') {
      while (*p == '*') p++;
      if (*p == '\0') return 1;
      for (;; s++) {
        int r = MatchHere(p, s, ignoreCase);
        if (r != 0) return r;
        if (*s == '\0') return -1;
      }
    }
    if (*s == '\0') return -1;
    if (c == '?') {
      s++;
      continue;
    }
    if (c == '[') {
      const char* q = p;
      bool negate = *q == '!' || *q == '^';
      if (negate) q++;
      bool hit = false;
      bool first = true;
      unsigned char sc = fold(static_cast<unsigned char>(*s));
      while (*q && (*q != ']' || first)) {
        first = false;
        unsigned char lo = static_cast<unsigned char>(*q == '\\' && q[1] ? *++q : *q);
        q++;
        unsigned char hi = lo;
        if (q[0] == '-' && q[1] && q[1] != ']') {
          hi = static_cast<unsigned char>(q[1] == '\\' && q[2] ? q[2] : q[1]);
          q += q[1] == '\\' && q[2] ? 3 : 2;
        }
        if ((sc >= fold(lo) && sc <= fold(hi)) || (sc >= lo && sc <= hi)) hit = true;
      }
      if (*q != ']') return 0;  // an unterminated set matches nothing
      if (hit == negate) return 0;
      p = q + 1;
      s++;
      continue;
    }
    if (c == '\\' && *p) c = *p++;
    if (fold(static_cast<unsigned char>(c)) != fold(static_cast<unsigned char>(*s))) return 0;
    s++;
  }
}

std::size_t CountComponents(const std::string& s) {
  return static_cast<std::size_t>(std::count(s.begin(), s.end(), '/')) + 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Messages

void ZipMessage(ZipRun* run, const char* format, ...) {
  if (!run->noisy) return;
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stdout, format, ap);
  va_end(ap);
  std::fflush(stdout);
}

void ZipErrorText(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
  std::fflush(stderr);
}

void ZipPrintWarning(ZipRun* run, const char* text, const char* detail) {
  if (run->noisy) ZipErrorText("\tzip warning: %s%s\n", text, detail);
}

void ZipHostPrint(const char* format, ...) {
  const ZipCallbacks& cb = ZipInstalledCallbacks();
  if (!cb.print) return;
  std::vector<char> buf(16384);
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buf.data(), buf.size(), format, ap);
  va_end(ap);
  if (n < 0) return;
  cb.print(buf.data(), static_cast<unsigned long>(std::min<std::size_t>(static_cast<std::size_t>(n), buf.size() - 1)));
}

int ZipAbort(ZipRun* run, int code, const char* detail) {
  if (run->aborted) return code;
  run->aborted = true;
  // The system's own words come first, where the system gave a reason.
  if (IsIoCode(code) && gSystemError != 0) ZipErrorText("zip I/O error: %s\n", run->fs->ErrorText(gSystemError).c_str());
  gSystemError = 0;
  ZipErrorText("\nzip error: %s (%s)\n", CodeText(code), detail);
  return code;
}

int ZipAbortIo(ZipRun* run, int code, const char* detail, int systemError) {
  gSystemError = systemError;
  return ZipAbort(run, code, detail);
}

// ---------------------------------------------------------------------------------------
// Matching

int ZipMatchWildcard(const char* pattern, const char* name, bool ignoreCase) {
  // A pattern with a dot matches a name without one as if the name ended in a dot, so
  // that "*.*" takes every file.
  if (std::strchr(pattern, '.') && !std::strchr(name, '.')) {
    std::string dotted = std::string(name) + ".";
    return MatchHere(pattern, dotted.c_str(), ignoreCase);
  }
  return MatchHere(pattern, name, ignoreCase);
}

bool ZipPatternsAccept(ZipRun* run, const std::string& name) {
  bool haveInclude = false, included = false, haveRecursive = false, recursiveHit = false;
  std::string bare = name;
  while (!bare.empty() && bare.back() == '/') bare.pop_back();
  for (const ZipPattern& p : run->patterns) {
    switch (p.kind) {
      case ZipPatternKind::kInclude:
        haveInclude = true;
        if (ZipMatchWildcard(p.text.c_str(), name.c_str(), true) == 1) included = true;
        break;
      case ZipPatternKind::kExclude:
        if (ZipMatchWildcard(p.text.c_str(), name.c_str(), true) == 1) return false;
        break;
      case ZipPatternKind::kRecursive: {
        haveRecursive = true;
        // The name's last n components against a pattern of n components.
        std::size_t n = CountComponents(p.text);
        std::size_t have = CountComponents(bare);
        std::string tail = bare;
        for (std::size_t skip = have > n ? have - n : 0; skip > 0; skip--) tail.erase(0, tail.find('/') + 1);
        if (ZipMatchWildcard(p.text.c_str(), tail.c_str(), true) == 1) recursiveHit = true;
        break;
      }
    }
  }
  if (haveInclude && !included) return false;
  if (haveRecursive && !recursiveHit) return false;
  return true;
}

// ---------------------------------------------------------------------------------------
// Arguments

namespace {

int BadArgument(ZipRun* run, const char* text) { return ZipAbort(run, kZipBadArguments, text); }

int SetAction(ZipRun* run, ZipAction action, bool* actionSet) {
  if (*actionSet && run->action != action) return BadArgument(run, "specify just one action");
  run->action = action;
  *actionSet = true;
  return kZipOk;
}

// The switches and names of the command line, applied to the run.
int ParseArguments(ZipRun* run, int argc, const char* const* argv) {
  bool actionSet = false, haveZip = false, havePasswordArg = false, haveSince = false, haveBefore = false;
  int patternMode = 0;  // 'i' or 'x' while patterns follow
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (arg == nullptr) break;
    if (arg[0] == '-' && arg[1] != '\0') {
      patternMode = 0;
      bool restTaken = false;  // a value or a names file ends the letters of this argument
      for (const char* p = arg + 1; *p && !restTaken; p++) {
        char c = *p;
        auto value = [&](const char** out) {
          if (i + 1 >= argc || argv[i + 1] == nullptr) return false;
          *out = argv[++i];
          return true;
        };
        if (c >= '0' && c <= '9') {
          run->level = c - '0';
          run->storeAll = c == '0';
          continue;
        }
        switch (c) {
          case 'A': run->adjustOffsets = true; break;
          case 'b': {
            if (haveZip) return BadArgument(run, "use -b before zip file name");
            const char* v;
            if (!value(&v)) return BadArgument(run, "missing argument for -b or -P");
            run->tempDir = v;
            run->haveTempDir = true;
            restTaken = true;
            break;
          }
          case 'c': run->entryComments = true; break;
          case 'd': {
            int r = SetAction(run, ZipAction::kDelete, &actionSet);
            if (r) return r;
            break;
          }
          case 'D': run->dirEntries = false; break;
          case 'e': run->encrypt = true; break;
          case 'f': {
            int r = SetAction(run, ZipAction::kFreshen, &actionSet);
            if (r) return r;
            break;
          }
          case 'F':
            run->repair++;
            break;
          case 'g': run->grow = true; break;
          case 'i':
          case 'x': {
            if (!haveZip) return BadArgument(run, "use -x or -i after name of zipfile");
            if (p[1] == '@') {
              run->patternArgs.push_back({c == 'i' ? 'I' : 'X', p + 2});
              restTaken = true;
            } else {
              patternMode = c;
            }
            break;
          }
          case 'j': run->keepPaths = false; break;
          case 'J': run->junkPrefix = true; break;
          case 'k': run->dosNames = true; break;
          case 'l':
            if (p[1] == 'l') {
              run->lineEnds = 2;
              p++;
            } else {
              run->lineEnds = 1;
            }
            break;
          case 'm':
            if (p[1] == 'm') return BadArgument(run, "mm not supported");
            run->move = true;
            break;
          case 'M':
            if (p[1] == 'M') {
              run->mustMatch = 2;
              p++;
            } else {
              return BadArgument(run, "-M not supported, use -MM for Must Match");
            }
            break;
          case 'n': {
            const char* v;
            if (!value(&v)) return BadArgument(run, "missing suffix list");
            run->suffixes = v;
            restTaken = true;
            break;
          }
          case 'o': run->latestTime = true; break;
          case 'p': break;
          case 'P': {
            if (haveZip) return BadArgument(run, "use -P before zip file name");
            if (havePasswordArg) return BadArgument(run, "can only have one -P");
            const char* v;
            if (!value(&v)) return BadArgument(run, "missing argument for -b or -P");
            havePasswordArg = true;
            run->password.assign(v, std::min(std::strlen(v), kZipMaxPassword));
            run->havePassword = true;
            restTaken = true;
            break;
          }
          case 'q':
            run->noisy = false;
            if (run->verbose > 0) run->verbose--;
            break;
          case 'r':
          case 'R': {
            int kind = c == 'r' ? 1 : 2;
            if (run->recurse != 0 && run->recurse != kind) return BadArgument(run, "do not specify both -r and -R");
            run->recurse = kind;
            break;
          }
          case 'S': run->systemHidden = true; break;
          case 't': {
            bool before = p[1] == 't';
            if (before) p++;
            if (before ? haveBefore : haveSince)
              return BadArgument(run, before ? "can only have one -tt" : "can only have one -t");
            const char* v;
            if (!value(&v)) return BadArgument(run, before ? "invalid date entered for -tt option"
                                                            : "invalid date entered for -t option");
            std::uint32_t date = ParseDate(v);
            if (date == 0)
              return BadArgument(run, before ? "invalid date entered for -tt option" : "invalid date entered for -t option");
            (before ? run->before : run->since) = date;
            (before ? haveBefore : haveSince) = true;
            (before ? run->haveBefore : run->haveSince) = true;
            restTaken = true;
            break;
          }
          case 'T': run->testFlag = true; break;
          case 'u': {
            int r = SetAction(run, ZipAction::kUpdate, &actionSet);
            if (r) return r;
            break;
          }
          case 'v':
            run->verbose++;
            run->noisy = true;
            break;
          case 'X': run->extraFields = false; break;
          case 'z': run->archiveComment = true; break;
          case '$': run->volumeLabel = true; break;
          case '!': run->privileges = true; break;
          case '@': run->namesFromStdin = true; break;
          default: {
            char text[32];
            std::snprintf(text, sizeof text, "no such option: %c", c);
            return BadArgument(run, text);
          }
        }
      }
      continue;
    }
    if (!haveZip) {
      run->zipName = arg;
      haveZip = true;
    } else if (patternMode != 0) {
      run->patternArgs.push_back({static_cast<char>(patternMode), arg});
    } else {
      run->names.push_back(arg);
    }
  }
  if (!haveZip) return BadArgument(run, "no zip file name");
  return kZipOk;
}

}  // namespace

// The -i and -x patterns (also from names files) and, with -R, the names themselves.
int ZipBuildPatternList(ZipRun* run) {
  auto add = [&](ZipPatternKind kind, const std::string& text) {
    std::string t = text;
    std::replace(t.begin(), t.end(), '\\', '/');
    run->patterns.push_back({kind, t});
  };
  for (const auto& a : run->patternArgs) {
    if (a.first == 'i' || a.first == 'x') {
      add(a.first == 'i' ? ZipPatternKind::kInclude : ZipPatternKind::kExclude, a.second);
      continue;
    }
    std::FILE* f = std::fopen(a.second.c_str(), "rb");
    if (!f) return ZipAbortIo(run, kZipNotFound, a.second.c_str(), 0);
    std::vector<std::string> lines;
    ReadNamesFile(f, &lines);
    std::fclose(f);
    for (const auto& line : lines) add(a.first == 'I' ? ZipPatternKind::kInclude : ZipPatternKind::kExclude, line);
  }
  if (run->recurse == 2)
    for (const auto& s : run->names) add(ZipPatternKind::kRecursive, s);
  return kZipOk;
}

namespace {

bool HasData(const ZipEntry& e) { return !e.name.empty() && e.name.back() != '/'; }

int CallService(ZipRun* run, const std::string& name, unsigned long size) {
  const ZipCallbacks& cb = ZipInstalledCallbacks();
  if (cb.service && cb.service(name.c_str(), size) != 0)
    return ZipAbort(run, kZipInterrupted, "User terminated operation");
  return kZipOk;
}

int AskPassword(ZipRun* run) {
  const ZipCallbacks& cb = ZipInstalledCallbacks();
  if (!cb.password) return BadArgument(run, "no password");
  char first[kZipPasswordBufferSize] = {}, second[kZipPasswordBufferSize] = {};
  int r = cb.password(first, kZipPasswordBufferSize, "Enter password: ", run->zipName.c_str());
  if (r < 0) return BadArgument(run, "no password");
  if (r != 0) return r;
  first[kZipPasswordBufferSize - 1] = '\0';
  r = cb.password(second, kZipPasswordBufferSize, "Verify password: ", run->zipName.c_str());
  second[kZipPasswordBufferSize - 1] = '\0';
  if (r != 0 && r != -1) {
    if (r < 0) return BadArgument(run, "no password");
    return r;
  }
  if (r == 0 && std::strcmp(first, second) != 0) return BadArgument(run, "password verification failed");
  if (first[0] == '\0') return BadArgument(run, "zero length password not allowed");
  run->password = first;
  run->havePassword = true;
  return kZipOk;
}

bool FileDosTime(ZipRun* run, const std::string& path, std::uint32_t* dos, std::uint32_t* mtime) {
  ZipFileInfo info;
  if (path.empty() || !ZipGetFileInfo(run, path, &info)) return false;
  *dos = ZipUnixToDosTime(info.mtime);
  *mtime = info.mtime;
  return true;
}

bool OutsideDates(const ZipRun* run, std::uint32_t dos) {
  return (run->haveSince && dos < run->since) || (run->haveBefore && dos >= run->before);
}

void DateDiagnostic(ZipRun* run, const std::string& display, const char* why) {
  if (run->verbose > 0) ZipMessage(run, "zip diagnostic: %s %s\n", display.c_str(), why);
}

// Date limits, and the update and freshen rule: only what is newer than its entry. With
// -v every entry or file left out says why, whatever the action.
void FilterByDate(ZipRun* run) {
  static const char kUpToDate[] = "up to date", kMissingOrEarly[] = "missing or early";
  const bool updating = run->action == ZipAction::kUpdate || run->action == ZipAction::kFreshen;
  for (auto& e : run->entries) {
    if (e->action != kZipEntryChange) continue;
    if (run->action == ZipAction::kDelete) {
      if (OutsideDates(run, e->dosTime)) {
        DateDiagnostic(run, e->display, kMissingOrEarly);
        e->action = kZipEntryCopy;
      }
      continue;
    }
    std::uint32_t dos = 0, mtime = 0;
    bool exists = FileDosTime(run, e->path, &dos, &mtime);
    bool keep = exists && !OutsideDates(run, dos);
    if (keep && updating) {
      std::uint32_t entryTime;
      bool newer = ZipEntryModificationTime(*e, &entryTime) ? mtime > entryTime : dos > e->dosTime;
      if (!newer) {
        DateDiagnostic(run, e->display, kUpToDate);
        keep = false;
      }
    } else if (!keep) {
      DateDiagnostic(run, e->display, kMissingOrEarly);
    }
    if (!keep) e->action = kZipEntryCopy;
  }
  if (run->action == ZipAction::kFreshen) run->found.clear();
  if (run->haveSince || run->haveBefore) {
    std::vector<ZipFoundFile> kept;
    for (auto& f : run->found) {
      std::uint32_t dos = 0, mtime = 0;
      if (f.path == "-" || (FileDosTime(run, f.path, &dos, &mtime) && !OutsideDates(run, dos)))
        kept.push_back(std::move(f));
      else
        DateDiagnostic(run, f.display, kMissingOrEarly);
    }
    run->found.swap(kept);
  }
}

int CheckRepeatedNames(ZipRun* run) {
  std::vector<const ZipFoundFile*> sorted;
  for (const auto& f : run->found) sorted.push_back(&f);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ZipFoundFile* a, const ZipFoundFile* b) { return ZipCompareNames(a->name, b->name) < 0; });
  for (std::size_t i = 1; i < sorted.size(); i++) {
    if (ZipCompareNames(sorted[i - 1]->name, sorted[i]->name) != 0) continue;
    ZipPrintWarning(run, "name in zip file repeated: ", sorted[i]->name.c_str());
    ZipPrintWarning(run, "  first full name: ", sorted[i - 1]->path.c_str());
    ZipPrintWarning(run, " second full name: ", sorted[i]->path.c_str());
    return ZipAbort(run, kZipBadArguments, "cannot repeat names in zip file");
  }
  return kZipOk;
}

int AskComments(ZipRun* run, const std::vector<ZipEntry*>& changed) {
  for (ZipEntry* e : changed) {
    std::printf("Enter comment for %s:\n", e->display.c_str());
    std::fflush(stdout);
    std::string line;
    if (ReadLine(&line, 256)) e->comment = line;
  }
  if (run->archiveComment) {
    const ZipCallbacks& cb = ZipInstalledCallbacks();
    if (cb.comment) {
      std::vector<char> buf(kZipCommentBufferSize, '\0');
      std::memcpy(buf.data(), run->comment.data(), std::min<std::size_t>(run->comment.size(), kZipCommentBufferSize - 1));
      cb.comment(buf.data());
      buf[kZipCommentBufferSize - 1] = '\0';
      run->comment.assign(buf.data(), std::min<std::size_t>(std::strlen(buf.data()), kZipCommentBufferSize - 1));
    }
  }
  return kZipOk;
}

void SetLatestTime(ZipRun* run, const std::vector<ZipEntry*>& list) {
  if (list.empty()) {
    ZipPrintWarning(run, "zip file is empty, can't make it as old as latest entry", "");
    return;
  }
  std::uint32_t latest = 0;
  bool any = false;
  for (const ZipEntry* e : list) {
    if (!HasData(*e)) continue;
    if (!any || e->dosTime > latest) latest = e->dosTime;
    any = true;
  }
  if (!any) {
    ZipPrintWarning(run, "zip file has only directories, can't make it as old as latest entry", "");
    return;
  }
  ZipFileTimes t;
  t.present = ZipFileTimes::kModification | ZipFileTimes::kAccess;
  t.modification = t.access = UnzipDosToUnixTime(latest);
  t.fromDos = true;
  t.dosDateTime = latest;
  run->fs->SetTimes(run->zipName.c_str(), t, false, nullptr);
}

// -m: the files that went into the archive, then their folders, deepest first.
int DeleteMovedFiles(ZipRun* run, const std::vector<ZipEntry*>& added) {
  std::vector<std::string> folders;
  bool failed = false;
  for (const ZipEntry* e : added) {
    if (e->path.empty() || e->path == "-") continue;
    if (!HasData(*e)) {
      folders.push_back(e->path);
      continue;
    }
    if (!run->fs->Remove(e->path.c_str())) {
      ZipPrintWarning(run, "error deleting ", e->path.c_str());
      failed = true;
    }
  }
  std::sort(folders.begin(), folders.end());
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    std::string f = *it;
    while (f.size() > 1 && f.back() == '/') f.pop_back();
    ZipMessage(run, "deleting directory %s (if empty)\n", f.c_str());
    run->fs->RemoveFolder(f.c_str());
  }
  return failed ? ZipAbort(run, kZipNotFound, "was deleting moved files and directories") : kZipOk;
}

int RunCommandLine(ZipRun* run, int argc, const char* const* argv) {
  run->fs->UseSystemTimeZone();
  int r = ParseArguments(run, argc, argv);
  if (r) return r;
  if (run->namesFromStdin) ReadNamesFile(stdin, &run->names);
  r = ZipBuildPatternList(run);
  if (r) return r;

  // The archive's name.
  std::replace(run->zipName.begin(), run->zipName.end(), '\\', '/');
  if (!run->adjustOffsets && run->zipName != "-") {
    std::size_t slash = run->zipName.rfind('/');
    std::string last = slash == std::string::npos ? run->zipName : run->zipName.substr(slash + 1);
    if (last.find('.') == std::string::npos) run->zipName += ".zip";
  }
  if (run->zipName == "-") return BadArgument(run, "can't write a zip file to standard output here");

  // Checks.
  if (run->level == 9 || run->suffixes == ":" || run->suffixes == ";") run->suffixes.clear();
  if (run->action == ZipAction::kDelete &&
      (run->storeAll || run->move || run->recurse || run->encrypt || run->entryComments || run->archiveComment)) {
    ZipPrintWarning(run, "invalid option(s) used with -d; ignored.", "");
    run->storeAll = run->move = run->encrypt = run->entryComments = run->archiveComment = false;
    run->recurse = 0;
    if (run->level == 0) run->level = 6;
  }
  if (run->repair > 0 && run->adjustOffsets) {
    ZipPrintWarning(run, "can't use -F with -A, -F ignored", "");
    run->repair = 0;
  }
  if (run->names.empty() && run->action == ZipAction::kAdd && run->recurse != 2 && !run->patternArgs.empty())
    return BadArgument(run, "nothing to select from");

  r = ZipReadArchive(run);
  if (r) return r;
  if (run->action != ZipAction::kAdd && run->entries.empty())
    ZipPrintWarning(run, run->zipName.c_str(), " not found or empty");

  // Names.
  if (run->recurse == 2 && (run->action == ZipAction::kAdd || run->action == ZipAction::kUpdate)) {
    r = ZipCollectPath(run, ".");
    if (r > 0) return r;
  } else {
    for (const std::string& name : run->names) {
      if (run->action == ZipAction::kAdd || run->action == ZipAction::kUpdate)
        r = ZipExpandNameArgument(run, name);
      else
        r = ZipCollectNamedPath(run, name);
      if (r > 0) return r;
      if (r == -1) {
        if (run->mustMatch == 2) return ZipAbortIo(run, kZipNotFound, name.c_str(), 0);
        ZipPrintWarning(run, "name not matched: ", name.c_str());
      }
    }
    if (run->names.empty() && (run->action == ZipAction::kUpdate || run->action == ZipAction::kFreshen)) {
      for (auto& e : run->entries) {
        e->action = kZipEntryChange;
        e->selected = true;
        if (e->path.empty()) e->path = e->name;
      }
    }
  }
  r = CheckRepeatedNames(run);
  if (r) return r;
  FilterByDate(run);

  // Nothing to do?
  bool anyChange = !run->found.empty();
  for (auto& e : run->entries) anyChange = anyChange || e->action == kZipEntryChange;
  const bool rewrite = run->latestTime || run->repair > 0 || run->adjustOffsets || run->junkPrefix;
  if (!anyChange) {
    if (!run->entries.empty() && (rewrite || run->entryComments || run->archiveComment)) {
      // The archive is rewritten all the same.
    } else if (run->testFlag && (!run->entries.empty() || run->preamble > 0)) {
      return kZipOk;
    } else if (run->action == ZipAction::kAdd || run->action == ZipAction::kDelete) {
      return ZipAbort(run, run->entries.empty() && rewrite ? kZipMissingArchive : kZipNothingToDo, run->zipName.c_str());
    } else {
      return kZipNothingToDo;
    }
  }

  // Password, and whether the archive can be written.
  if (run->encrypt && !run->havePassword) {
    r = AskPassword(run);
    if (r) return r;
  }
  {
    int error = 0;
    if (run->archiveExists) {
      auto probe = run->fs->Open(run->zipName.c_str(), ZipFileSystem::OpenMode::kUpdate, &error);
      if (!probe) return ZipAbortIo(run, kZipCreateFailure, run->zipName.c_str(), error);
      run->archiveAttributes = run->archiveStat.attributes;
      run->haveArchiveAttributes = true;
    } else {
      auto probe = run->fs->Open(run->zipName.c_str(), ZipFileSystem::OpenMode::kCreate, &error);
      if (!probe) return ZipAbortIo(run, kZipCreateFailure, run->zipName.c_str(), error);
      probe.reset();
      run->fs->Remove(run->zipName.c_str());
    }
  }

  // The output: the archive itself with -g, else a temporary file.
  bool anyReplaced = false;
  for (auto& e : run->entries) anyReplaced = anyReplaced || e->action == kZipEntryChange;
  if (run->grow && run->archiveExists && run->in && !anyReplaced && run->action != ZipAction::kDelete && !rewrite &&
      !run->entryComments && !run->archiveComment) {
    int error = 0;
    auto file = run->fs->Open(run->zipName.c_str(), ZipFileSystem::OpenMode::kUpdate, &error);
    if (!file) return ZipAbortIo(run, kZipCreateFailure, run->zipName.c_str(), error);
    run->out.Attach(std::move(file), 0);
    run->inPlace = true;
    if (!run->out.SeekTo(run->oldCentralOffset)) return ZipAbort(run, kZipWriteFailure, run->zipName.c_str());
  } else {
    std::unique_ptr<ZipFile> file;
    r = ZipCreateTempFile(run, run->haveTempDir ? run->tempDir : std::string(), &run->tempPath, &file);
    if (r) return r;
    run->out.Attach(std::move(file), 0);
    if (run->preamble > 0 && !run->junkPrefix && run->in) {
      r = ZipCopyBytes(run, 0, run->preamble);
      if (r) return ZipAbort(run, r, "was copying the data in front of the archive");
    }
  }

  // Old entries in their order, then the new files.
  std::vector<ZipEntry*> kept, changed;
  for (auto& owned : run->entries) {
    ZipEntry* e = owned.get();
    if (run->inPlace) {
      kept.push_back(e);
      continue;
    }
    if (e->action == kZipEntryChange) {
      if (run->action == ZipAction::kDelete) {
        ZipMessage(run, "deleting: %s\n", e->display.c_str());
        r = CallService(run, e->name, 0);
        if (r) return r;
        continue;
      }
      ZipMessage(run, run->action == ZipAction::kFreshen ? "freshening: %s" : "updating: %s", e->display.c_str());
      r = ZipCompressEntry(run, e);
      if (r == kZipOk) {
        changed.push_back(e);
        kept.push_back(e);
        r = CallService(run, e->name, e->uncompressedSize);
        if (r) return r;
        continue;
      }
      if (r != kZipNotFound && r != -1) return r;
      ZipMessage(run, "\n");
      if (r == -1)
        ZipPrintWarning(run, "file and directory with the same name: ", e->path.c_str());
      else
        ZipPrintWarning(run, "could not open for reading: ", e->path.c_str());
      ZipPrintWarning(run, "will just copy entry over: ", e->display.c_str());
      run->openFailures = run->openFailures || r == kZipNotFound;
    }
    r = ZipCopyEntry(run, e);
    if (r) return ZipAbort(run, r, ("was copying " + e->display).c_str());
    kept.push_back(e);
  }
  for (const ZipFoundFile& f : run->found) {
    auto owned = std::make_unique<ZipEntry>();
    ZipEntry* e = owned.get();
    e->name = f.name;
    e->display = f.display;
    e->path = f.path;
    e->dosName = f.dosName;
    ZipMessage(run, "  adding: %s", e->display.c_str());
    r = ZipCompressEntry(run, e);
    if (r == kZipNotFound || r == -1) {
      ZipMessage(run, "\n");
      if (r == -1) {
        ZipPrintWarning(run, "file and directory with the same name: ", f.path.c_str());
      } else {
        ZipPrintWarning(run, "could not open for reading: ", f.path.c_str());
        run->openFailures = true;
      }
      continue;
    }
    if (r) return r;
    run->entries.push_back(std::move(owned));
    kept.push_back(e);
    changed.push_back(e);
    r = CallService(run, e->name, e->uncompressedSize);
    if (r) return r;
  }
  if (run->entryComments || run->archiveComment) {
    r = AskComments(run, run->entryComments ? changed : std::vector<ZipEntry*>());
    if (r) return r;
  }

  if (kept.empty()) ZipPrintWarning(run, "zip file empty", "");
  r = ZipWriteCentralDirectory(run, kept);
  if (r) return r;
  if (run->verbose > 0 && run->noisy)
    ZipMessage(run, "total bytes=%lu, compressed=%lu -> %d%% savings\n", static_cast<unsigned long>(run->totalIn),
               static_cast<unsigned long>(run->totalOut), ZipPercent(run->totalIn, run->totalOut));
  if (!run->out.Close()) return ZipAbort(run, kZipWriteFailure, "was closing the zip file");
  run->in.reset();
  if (!run->inPlace) {
    r = ZipSwapInNewArchive(run, run->tempPath, run->zipName);
    if (r) {
      ZipPrintWarning(run, "new zip file left as: ", run->tempPath.c_str());
      run->tempPath.clear();  // kept for the user
      return ZipAbort(run, r, "was replacing the original zip file");
    }
    run->tempPath.clear();
    if (run->haveArchiveAttributes) run->fs->SetAttributes(run->zipName.c_str(), run->archiveAttributes);
  }

  if (run->latestTime) SetLatestTime(run, kept);
  if (run->move) {
    r = DeleteMovedFiles(run, changed);
    if (r) return r;
  }
  return run->openFailures ? kZipNotFound : kZipOk;
}

// After an abort: an archive changed in place gets its old directory back; a temporary
// file is removed.
void CleanUp(ZipRun* run) {
  if (run->inPlace && run->out.IsOpen()) {
    ZipErrorText("attempting to restore %s to its previous state\n", run->zipName.c_str());
    run->out.SeekTo(run->oldCentralOffset);
    run->out.Write(run->oldCentral.data(), run->oldCentral.size());
    run->out.Flush();
    if (ZipFile* f = run->out.file()) f->SetSize(run->oldCentralOffset + run->oldCentral.size());
    run->out.Close();
    return;
  }
  run->out.Discard();
  if (!run->tempPath.empty()) run->fs->Remove(run->tempPath.c_str());
}

}  // namespace

int ZipExecuteCommandLine(int argc, const char* const* argv, ZipFileSystem* fileSystem) {
  int code;
  ZipRun* run = nullptr;
  try {
    auto owned = std::make_unique<ZipRun>();
    run = owned.get();
    run->fs = fileSystem ? fileSystem : &ZipSystemFileSystem();
    gRun = run;
    try {
      code = RunCommandLine(run, argc, argv);
    } catch (const std::bad_alloc&) {
      code = ZipAbort(run, kZipNoMemory, "was running");
    }
    if (run->aborted) CleanUp(run);
    gRun = nullptr;
  } catch (const std::bad_alloc&) {
    gRun = nullptr;
    ZipErrorText("\nzip error: %s (%s)\n", CodeText(kZipNoMemory), "allocating the run");
    return kZipNoMemory;
  }
  return code;
}
