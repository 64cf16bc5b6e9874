#include "filetransfer/FolderZip.h"

#include <cstring>
#include <new>

namespace {

// Nothing of the engine's text is shown; the result code alone tells the outcome.
int QuietPrint(const char*, unsigned long length) { return static_cast<int>(length); }
int EmptyComment(char* buffer) {
  buffer[0] = '\0';
  return 1;
}
// The archiver never encrypts here, and the extractor overwrites anyway.
int ZipPasswordYes(char*, int, const char*, const char*) { return 1; }
int UnzipPasswordYes(char*, int, const char*, const char*) { return 1; }
int ReplaceYes(char*) { return 1; }
void ListNothing(std::uint32_t, std::uint32_t, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, char,
                 const char*, const char*, std::uint32_t, char) {}

}  // namespace

CZipUnZip32::CZipUnZip32(ZipFileSystem* fs) : m_fs(fs) {
  std::memset(&m_options, 0, sizeof m_options);
  m_options.includeSystemHidden = 1;
  m_options.quiet = 1;
  m_options.recurse = 1;
  m_options.level = '1';
}

CZipUnZip32::~CZipUnZip32() { FreeCommandBlock(); }

void CZipUnZip32::FreeCommandBlock() {
  delete m_callbacks;
  m_callbacks = nullptr;
  m_name.clear();
}

bool CZipUnZip32::ZipFolder(const std::string& rootFolder, const std::string& pattern, const std::string& archivePath,
                            int level) {
  FreeCommandBlock();
  m_callbacks = new (std::nothrow) ZipCallbacks();
  if (!m_callbacks) return false;
  m_callbacks->print = QuietPrint;
  m_callbacks->comment = EmptyComment;
  m_callbacks->password = ZipPasswordYes;
  m_callbacks->service = nullptr;
  bool ok = false;
  if (ZipSetCallbacks(m_callbacks)) {
    m_name = pattern;
    const char* names[1] = {m_name.c_str()};
    ZipCommandBlock command;
    command.argc = 1;
    command.zipName = archivePath.c_str();
    command.names = names;
    m_options.rootDir = rootFolder.c_str();
    m_options.tempDir = "";
    m_options.useTempDir = 0;
    m_options.level = static_cast<char>('0' + (level < 0 ? 0 : level > 9 ? 9 : level));
    ZipSetOptions(&m_options);
    ok = ZipRunCommand(command, m_fs) == kZipOk;
    m_options.rootDir = nullptr;
    m_options.tempDir = nullptr;
  }
  FreeCommandBlock();
  return ok;
}

bool CZipUnZip32::UnzipToFolder(const std::string& targetFolder, const std::string& archivePath) {
  UnzipOptions options;
  std::memset(&options, 0, sizeof options);
  options.promptOverwrite = 1;
  options.quietLevel = 2;
  options.pathMode = 1;
  options.overwriteAll = 1;
  options.zipFileName = archivePath.c_str();
  options.extractFolder = targetFolder.c_str();
  UnzipCallbacks callbacks;
  std::memset(&callbacks, 0, sizeof callbacks);
  callbacks.print = QuietPrint;
  callbacks.sound = nullptr;
  callbacks.replace = ReplaceYes;
  callbacks.password = UnzipPasswordYes;
  callbacks.listEntry = ListNothing;
  callbacks.progress = nullptr;
  // Warnings only (a prefix before the archive, an entry skipped to stay inside the folder)
  // still unpack everything else.
  return UnzipSucceeded(UnzipExtract(0, nullptr, 0, nullptr, &options, &callbacks, m_fs));
}
