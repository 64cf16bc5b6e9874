// Win32 sinks for the log.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "app/Log.h"

namespace logsink {

std::intptr_t FileOpen(const char* name, bool append) {
  HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (append) SetFilePointer(h, 0, nullptr, FILE_END);
  return reinterpret_cast<std::intptr_t>(h);
}

void FileWrite(std::intptr_t file, const char* text, std::size_t len) {
  DWORD written = 0;
  ::WriteFile(reinterpret_cast<HANDLE>(file), text, static_cast<DWORD>(len), &written, nullptr);
}

void FileClose(std::intptr_t file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

void ConsoleOpen() {
  static bool opened = false;
  if (opened) return;
  opened = true;
  AllocConsole();
  std::fclose(stdout);
  std::fclose(stderr);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(out), _O_TEXT);
  if (fd >= 0) {
    _dup2(fd, 1);
    _dup2(fd, 2);
  }
  (void)freopen("CONOUT$", "wt", stdout);
  (void)freopen("CONOUT$", "wt", stderr);
  std::printf("fh is %d\n", fd);
  std::fflush(stdout);
}

void ConsoleWrite(const char* text, std::size_t len) {
  DWORD written = 0;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!WriteConsoleA(out, text, static_cast<DWORD>(len), &written, nullptr)) {
    // Not a console (redirected output): write to the handle as a file.
    ::WriteFile(out, text, static_cast<DWORD>(len), &written, nullptr);
  }
}

}  // namespace logsink
