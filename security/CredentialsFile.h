// The credentials file "credentials.ini": the recent hosts of the session dialog
// (section "recent", keys "host0", "host1", ..., most recent first) and remembered
// passwords (section "credentials": the host's key holds the caller's flag, non-zero
// when a password is remembered; "<host>_pass" the password, masked, as upper-case hex).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The path buffer's size, terminator included.
constexpr std::size_t kCredentialsPathSize = 260;
// Recent hosts written back at most; host texts are at most 255 characters.
constexpr int kMaxSavedRecentHosts = 20;
constexpr std::size_t kMaxCredentialsHostLength = 255;
// Bytes of a remembered password read back at most.
constexpr std::size_t kMaxRememberedPasswordBytes = 256;

// "<appData>\Quillmar\raroze-zez32\credentials.ini", or "credentials.ini" (the current
// folder) when appData is null or empty; cut to fit out.
void FormatCredentialsFilePath(const char* appData, char out[kCredentialsPathSize]);
// The platform's credentials-file path (the user's application-data folder; both
// folders created when missing).
void GetCredentialsFilePath(char out[kCredentialsPathSize]);
// The process-wide path, built on first use.
const char* CredentialsFilePath();

// Hosts of the "recent" section in order, until an empty value or maximum.
void LoadRecentHosts(const char* file, std::vector<std::string>* hosts, int maximum);

// False for an empty host, or when the host's flag is 0 or missing. Otherwise *flag gets
// the number and, with a buffer, the remembered password is put in it (the decoded bytes
// when 0 < n < size, else an empty text); true.
bool LoadCredentials(const char* file, const char* host, int* flag, char* password, std::size_t size);

// Writes the host's flag and, for a non-empty password, the masked password; then puts
// the host first in the recent list, which keeps at most 20 hosts. Nothing for an empty
// host.
void SaveCredentials(const char* file, const char* host, int flag, const char* password);
