// What option handling needs from the system layer (Win32 in the product, POSIX natively).
#pragma once

// True when path names an existing file that is not a folder.
bool IsExistingFile(const char* path);
// True when the file can be opened for reading.
bool CanReadFile(const char* path);
// The absolute form of path in out (cap includes the terminator); false when it does not fit.
bool FullPathName(const char* path, char* out, int cap);
// Ends the process at once with this exit code.
[[noreturn]] void EndProcessNow(int code);
