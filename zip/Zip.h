// The ZIP archiver, driven in-process: install the callbacks, install the options, run
// one archive operation. It throws nothing: the outcome is a result code, progress and
// warnings go to the process's standard output and error streams, and the only text for
// the host goes to the print callback.
//
// Not reentrant: the callbacks, the options and the run state are process-wide, and a
// run with a root folder changes the process's current folder while it lasts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ZipFileSystem;

// Result codes of a run.
enum : int {
  kZipOk = 0,
  kZipUnexpectedEnd = 2,    // "Unexpected end of zip file"
  kZipBadStructure = 3,     // "Zip file structure invalid"
  kZipNoMemory = 4,         // "Out of memory"
  kZipLogicError = 5,       // "Internal logic error"
  kZipTooBig = 6,           // "Entry too big to split, read, or write"
  kZipInterrupted = 9,      // "Interrupted" (also: the service callback stopped the run)
  kZipTempFailure = 10,     // "Temporary file failure"
  kZipReadFailure = 11,     // "Input file read failure"
  kZipNothingToDo = 12,     // "Nothing to do!"
  kZipMissingArchive = 13,  // "Missing or empty zip file"
  kZipWriteFailure = 14,    // "Output file write failure"
  kZipCreateFailure = 15,   // "Could not create output file"
  kZipBadArguments = 16,    // "Invalid command arguments"
  kZipNotFound = 18,        // "File not found or no read permission"
};

// Size of the buffer handed to the comment callback, and of the password buffer.
constexpr int kZipCommentBufferSize = 65535;
constexpr int kZipPasswordBufferSize = 81;

struct ZipCallbacks {
  // The archiver's messages for the host (the security-descriptor note).
  int (*print)(const char* text, unsigned long length);
  // A zeroed buffer of kZipCommentBufferSize bytes holding the current archive comment;
  // the text left in it becomes the archive comment (-z).
  int (*comment)(char* buffer);
  // 0: a password was entered. Negative: invalid arguments; any other value is the
  // run's code. On the second ("Verify password: ") call, -1 accepts the first entry.
  int (*password)(char* buffer, int size, const char* prompt, const char* archiveName);
  // After each added entry (stored name, uncompressed size) and each deletion (name, 0);
  // nonzero stops the run with kZipInterrupted. May be null.
  int (*service)(const char* name, unsigned long size);
};

// Every field but the three texts and the two reserved ones is one switch of the command
// engine (see ZipRunCommand).
struct ZipOptions {
  const char* dateText;  // -t / -tt: "yyyy-mm-dd" or "mmddyyyy"
  const char* rootDir;   // folder the run works in
  const char* tempDir;   // -b: folder for the temporary archive
  std::int32_t useTempDir;
  std::int32_t reserved1;
  std::int32_t encrypt;              // -e
  std::int32_t includeSystemHidden;  // -S
  std::int32_t addVolumeLabel;       // -$
  std::int32_t omitExtraFields;      // -X
  std::int32_t omitDirEntries;       // -D
  std::int32_t beforeDate;           // -tt
  std::int32_t sinceDate;            // -t
  std::int32_t verbose;              // -v
  std::int32_t quiet;                // -q
  std::int32_t crlfToLf;             // -ll
  std::int32_t lfToCrlf;             // -l
  std::int32_t junkPaths;            // -j
  std::int32_t grow;                 // -g
  std::int32_t forceDosNames;        // -k
  std::int32_t moveFiles;            // -m
  std::int32_t deleteEntries;        // -d
  std::int32_t updateOnly;           // -u
  std::int32_t freshenOnly;          // -f
  std::int32_t junkSfxPrefix;        // -J
  std::int32_t latestTime;           // -o
  std::int32_t askComment;           // -z
  std::int32_t adjustOffsets;        // -A
  std::int32_t usePrivileges;        // -!
  std::int32_t reserved2;
  std::int32_t recurse;  // 1 -r, 2 -R, anything else none
  std::int32_t repair;   // 1 -F, any other nonzero value -FF
  char level;            // '0' to '9'
};

struct ZipCommandBlock {
  int argc;                  // number of names
  const char* zipName;       // the archive's path
  const char* const* names;  // argc names
};

// Copies the callbacks; true only when print and comment are both set.
bool ZipSetCallbacks(const ZipCallbacks* callbacks);
// Copies the options and their texts (cut to 49, 4097 and 4097 characters); returns 1.
int ZipSetOptions(const ZipOptions* options);
// Builds the command line from the options and runs it. fileSystem null: the process's
// own file system.
int ZipRunCommand(ZipCommandBlock command, ZipFileSystem* fileSystem = nullptr);

// The command engine itself: one run from a command line ("kap.exe", switches, the
// archive, names).
int ZipExecuteCommandLine(int argc, const char* const* argv, ZipFileSystem* fileSystem = nullptr);

// The argument vector ZipRunCommand hands to the command engine: "kap.exe", the level,
// one argument per set option in a fixed order, the archive, then the names, each
// without the root folder and a backslash where it begins with them.
std::vector<std::string> ZipBuildArguments(const ZipOptions& options, const ZipCommandBlock& command);
