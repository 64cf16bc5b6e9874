#include <windows.h>

#include <cstdio>
#include <vector>

#include "app/Version.h"

char* FormatFileVersion(char* buf) {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16) /* RT_VERSION */);
  if (!res) return buf;
  DWORD size = SizeofResource(self, res);
  HGLOBAL loaded = LoadResource(self, res);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data || size == 0) return buf;
  // VerQueryValue wants a block it may write into.
  std::vector<char> block(static_cast<const char*>(data), static_cast<const char*>(data) + size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &len) || !info ||
      len < sizeof(VS_FIXEDFILEINFO))
    return buf;
  std::sprintf(buf, " %d.%d.%d.%d", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
               HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
  return buf;
}
