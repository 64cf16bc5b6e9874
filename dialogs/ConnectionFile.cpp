#include "dialogs/ConnectionFile.h"

#include <cstdio>
#include <cstring>

#include "app/IniStore.h"

namespace connfile {

namespace {

const char kConnection[] = "connection";
const char kOptions[] = "options";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A text as one ini value: up to its first line break, at most 249 characters.
std::string HostValue(const char* text) {
  if (!text) return std::string();
  std::size_t n = std::strcspn(text, "\r\n");
  if (n > kHostCapacity - 1) n = kHostCapacity - 1;
  return std::string(text, n);
}

}  // namespace

bool ReadConnection(IniStore& ini, ConnectionInfo* info) {
  *info = ConnectionInfo();
  ini.GetString(kConnection, "host", "", info->host, sizeof info->host);
  info->port = ini.GetInt(kConnection, "port", 0);
  ini.GetString(kConnection, "proxyhost", "", info->proxyhost, sizeof info->proxyhost);
  info->proxyport = ini.GetInt(kConnection, "proxyport", 0);
  if (info->proxyport < 0 || info->proxyport > 65535) info->proxyport = 0;
  info->useProxy = ini.GetInt(kOptions, "UseProxy", 0) != 0;

  char hex[32] = "";
  if (ini.GetString(kConnection, "password", "", hex, sizeof hex) > 0)
    info->hasPassword = ParsePasswordHex(hex, info->password);

  // Behind a repeater the "port" of an ID entry is the ID number, not a TCP port.
  if (info->port <= 0) return false;
  if (info->port > 65535 && !info->useProxy) return false;
  return true;
}

void WriteConnection(IniStore& ini, const char* host, int port, const char* proxyhost, int proxyport) {
  ini.WriteString(kConnection, "host", HostValue(host).c_str());
  ini.WriteInt(kConnection, "port", port);
  ini.WriteString(kConnection, "proxyhost", HostValue(proxyhost).c_str());
  ini.WriteInt(kConnection, "proxyport", proxyport);
}

void WritePassword(IniStore& ini, const std::uint8_t* stored) {
  char hex[2 * kStoredPasswordSize + 1] = "";
  if (stored)
    for (int i = 0; i < kStoredPasswordSize; ++i) std::snprintf(hex + 2 * i, 3, "%02x", stored[i]);
  ini.WriteString(kConnection, "password", hex);
}

bool ParsePasswordHex(const char* text, std::uint8_t out[kStoredPasswordSize]) {
  std::memset(out, 0, kStoredPasswordSize);
  if (!text) return false;
  int n = 0;
  for (; n < kStoredPasswordSize; ++n) {
    const int hi = HexDigit(text[2 * n]);
    if (hi < 0) break;
    const int lo = HexDigit(text[2 * n + 1]);
    if (lo < 0) {
      out[n++] = static_cast<std::uint8_t>(hi);  // a last single digit counts as one byte
      break;
    }
    out[n] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return n > 0;
}

std::string DefaultFileName(const char* host, int port) {
  char name[kFileNameCapacity];
  const int shown = (port >= 5901 && port <= 5999) ? port - 5900 : port;
  std::snprintf(name, sizeof name, "%.15s-%d.keb", host ? host : "", shown);
  for (char* p = name; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32 || std::strchr("\\/:*?\"<>|", c)) *p = '_';
  }
  return name;
}

std::string HostSettingsPath(const char* appData, const char* host, int port) {
  if (!appData || !*appData) return std::string();
  std::string path = std::string(appData) + "\\Quillmar\\" + DefaultFileName(host, port);
  if (path.size() >= static_cast<std::size_t>(kFileNameCapacity)) return std::string();
  return path;
}

std::string HostText(const char* host, int port) {
  char text[kHostCapacity + 16];
  if (!host) host = "";
  // An IPv6 address goes in brackets, so that the text reads back as the same host and port.
  std::string bracketed;
  if (std::strchr(host, ':') && host[0] != '[') {
    bracketed = std::string("[") + host + "]";
    host = bracketed.c_str();
  }
  if (port == 5900)
    std::snprintf(text, sizeof text, "%s", host);
  else if (port > 5900 && port < 6000)
    std::snprintf(text, sizeof text, "%s:%d", host, port - 5900);
  else
    std::snprintf(text, sizeof text, "%s::%d", host, port);
  return text;
}

}  // namespace connfile
