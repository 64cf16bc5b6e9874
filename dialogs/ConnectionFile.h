// Connection files ("*.keb"): one server's address, proxy or repeater, an optional stored
// password and a full set of options. The same format serves as the per-host settings file
// that the session dialog keeps. Section [connection] holds "host", "port", "proxyhost",
// "proxyport" and "password"; section [options] the keys of the options file.
//
// Connection files travel between people: everything read from one is bounded here.
#pragma once

#include <cstdint>
#include <string>

class IniStore;

namespace connfile {

constexpr int kHostCapacity = 250;       // host texts: at most 249 characters
constexpr int kStoredPasswordSize = 8;   // the enciphered password
constexpr int kFileNameCapacity = 260;

struct ConnectionInfo {
  char host[kHostCapacity] = {};
  int port = 0;
  char proxyhost[kHostCapacity] = {};
  int proxyport = 0;
  bool useProxy = false;  // "UseProxy" of section [options]
  bool hasPassword = false;
  std::uint8_t password[kStoredPasswordSize] = {};  // stored (enciphered) form
};

// Reads section [connection] and "UseProxy". False when the file names no usable port:
// none, 0 or below, or above 65535 unless the port is a repeater's ID number (UseProxy).
// A proxy port outside 0..65535 reads as 0.
bool ReadConnection(IniStore& ini, ConnectionInfo* info);

// Writes "host", "port", "proxyhost" and "proxyport" (each text up to its first line break,
// at most 249 characters).
void WriteConnection(IniStore& ini, const char* host, int port, const char* proxyhost, int proxyport);

// "password": the stored password as 16 lower-case hex digits, or an empty value when
// stored is null.
void WritePassword(IniStore& ini, const std::uint8_t* stored);

// The stored password from its hex text: pairs of hex digits, at most eight; a shorter
// text leaves the missing bytes 0. False when the text holds no hex pair at all.
bool ParsePasswordHex(const char* text, std::uint8_t out[kStoredPasswordSize]);

// The default file name "%.15s-%d.keb": the host text cut to 15 characters, "-", and the
// port, a port 5901..5999 as its display number. Characters that a file name cannot hold
// (path separators, ":", wildcards, quotes, control characters) become "_", so that the
// name never leaves the folder it is put in.
std::string DefaultFileName(const char* host, int port);

// The per-host settings file: appData + "\\Quillmar\\" + the default file name. Empty when
// appData is empty or the path would not fit MAX_PATH.
std::string HostSettingsPath(const char* appData, const char* host, int port);

// The host text shown for a connection: the host alone for port 5900, "host:n" with the
// display number for ports 5901..5999, "host::port" otherwise. An IPv6 address is put in
// brackets.
std::string HostText(const char* host, int port);

}  // namespace connfile
