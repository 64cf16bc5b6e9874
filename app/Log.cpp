#include "app/Log.h"

#include <cstdio>
#include <cstring>

#include "rdr/Sys.h"

Log kebLog;

Log::Log(int mode, int /*level*/, const char* filename, bool append) {
  toDebug_ = (mode & ToDebug) != 0;
  if (mode & ToConsole) SetMode(mode);
  if ((mode & ToFile) && filename) SetFile(filename, append);
}

Log::~Log() { CloseFile(); }

void Log::CloseFile() {
  if (file_ != -1) {
    logsink::FileClose(file_);
    file_ = -1;
  }
}

void Log::SetMode(int mode) {
  toDebug_ = (mode & ToDebug) != 0;
  toFile_ = (mode & ToFile) != 0;
  if (!toFile_) CloseFile();
  if (mode & ToConsole) {
    if (!toConsole_) logsink::ConsoleOpen();
    toConsole_ = true;
  } else {
    toConsole_ = false;
  }
}

int Log::GetMode() const {
  return (toDebug_ ? ToDebug : 0) | (toFile_ ? ToFile : 0) | (toConsole_ ? ToConsole : 0);
}

void Log::SetFile(const char* filename, bool append) {
  CloseFile();
  toFile_ = true;
  file_ = filename ? logsink::FileOpen(filename, append) : -1;
  if (file_ == -1) {
    toFile_ = false;
    toDebug_ = true;
    Print(0, "Error opening log file %s\n", filename ? filename : "");
  }
}

int Log::Format(char* buf, std::size_t size, const char* format, va_list args) {
  if (size == 0) return 0;
  int n = std::vsnprintf(buf, size, format, args);
  // Some C runtimes leave a cut buffer unterminated.
  buf[size - 1] = '\0';
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return n >= static_cast<int>(size) ? static_cast<int>(size) - 1 : n;
}

void Log::Print(int level, const char* format, ...) {
  if (level > level_) return;
  va_list ap;
  va_start(ap, format);
  VPrint(format, ap);
  va_end(ap);
}

void Log::VPrint(const char* format, va_list args) {
  char line[kMaxMessage + 1];
  int len = Format(line, sizeof line, format, args);
  if (toDebug_) rdr::DebugOutput(line);
  if (toConsole_) logsink::ConsoleWrite(line, static_cast<std::size_t>(len));
  if (toFile_ && file_ != -1) logsink::FileWrite(file_, line, static_cast<std::size_t>(len));
}
