// The process-wide log. Each message has a level and a printf-style format; it is
// written when its level is at most the log's level, unchanged, to every enabled sink.
#pragma once

#include <cstdarg>
#include <cstdint>

#if defined(__GNUC__)
#define KEB_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KEB_PRINTF(fmt, args)
#endif

class Log {
public:
  enum Mode { ToDebug = 1, ToFile = 2, ToConsole = 4 };
  static constexpr int kMaxMessage = 1023;

  // The level argument is not stored: the level stays 0 until SetLevel.
  explicit Log(int mode = ToDebug, int level = 0, const char* filename = nullptr, bool append = false);
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  void SetMode(int mode);
  int GetMode() const;
  void SetLevel(int level) { level_ = level; }
  int GetLevel() const { return level_; }
  void SetFile(const char* filename, bool append);

  void Print(int level, const char* format, ...) KEB_PRINTF(3, 4);
  void VPrint(const char* format, va_list args);

  // Formats like VPrint does: at most kMaxMessage characters, always terminated.
  static int Format(char* buf, std::size_t size, const char* format, va_list args);

private:
  void CloseFile();

  bool toDebug_ = false;
  bool toFile_ = false;
  bool toConsole_ = false;
  int level_ = 0;
  std::intptr_t file_ = -1;
};

// The one log of the process: the debugger sink only until the application configures it.
extern Log kebLog;

// Platform sinks (Win32 in the product, POSIX natively).
namespace logsink {
std::intptr_t FileOpen(const char* name, bool append);  // -1 on failure
void FileWrite(std::intptr_t file, const char* text, std::size_t len);
void FileClose(std::intptr_t file);
void ConsoleOpen();  // once per process
void ConsoleWrite(const char* text, std::size_t len);
}  // namespace logsink
