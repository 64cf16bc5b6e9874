// Native (POSIX) sinks for the log and the error report: files and standard streams.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "app/Exception.h"
#include "app/Log.h"

namespace logsink {

std::intptr_t FileOpen(const char* name, bool append) {
  int fd = ::open(name, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
  return fd < 0 ? -1 : fd;
}
void FileWrite(std::intptr_t file, const char* text, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(static_cast<int>(file), text, len);
    if (n <= 0) return;
    text += n;
    len -= static_cast<std::size_t>(n);
  }
}
void FileClose(std::intptr_t file) { ::close(static_cast<int>(file)); }
void ConsoleOpen() {
  std::printf("fh is %d\n", 1);
  std::fflush(stdout);
}
void ConsoleWrite(const char* text, std::size_t len) {
  std::fwrite(text, 1, len, stdout);
  std::fflush(stdout);
}

}  // namespace logsink
