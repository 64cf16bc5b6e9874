// Native file queries for option handling.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/OptionsSys.h"

bool IsExistingFile(const char* path) {
  struct stat st;
  return path && ::stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

bool CanReadFile(const char* path) {
  std::FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) return false;
  std::fclose(f);
  return true;
}

bool FullPathName(const char* path, char* out, int cap) {
  if (!path || !out || cap <= 0) return false;
  std::string full;
  if (path[0] == '/') {
    full = path;
  } else {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return false;
    full = std::string(cwd) + "/" + path;
  }
  if (full.size() >= static_cast<std::size_t>(cap)) return false;
  std::memcpy(out, full.c_str(), full.size() + 1);
  return true;
}

void EndProcessNow(int code) { std::_Exit(code); }
