// Win32 file queries for option handling.
#include <windows.h>

#include "app/OptionsSys.h"

bool IsExistingFile(const char* path) {
  if (!path || !*path) return false;
  DWORD attr = GetFileAttributesA(path);
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool CanReadFile(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool FullPathName(const char* path, char* out, int cap) {
  if (!path || !out || cap <= 0) return false;
  DWORD n = GetFullPathNameA(path, static_cast<DWORD>(cap), out, nullptr);
  return n > 0 && n < static_cast<DWORD>(cap);
}

void EndProcessNow(int code) { ExitProcess(static_cast<UINT>(code)); }
