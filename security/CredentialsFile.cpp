#include "security/CredentialsFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/IniStore.h"
#include "security/Secret.h"
#include "security/StoredPassword.h"

namespace {

constexpr char kRecent[] = "recent";
constexpr char kCredentials[] = "credentials";
// Entries of the recent list read before the host is put first.
constexpr int kRecentHostsRead = 50;
// Characters of a masked password read back (two per byte).
constexpr int kPassValueSize = 512;

// Byte i of a remembered password is XOR-ed with byte i mod 16 of this mask.
constexpr unsigned char kCredentialsMask[16] = {0xA7, 0x1F, 0x62, 0xD0, 0x4B, 0x95, 0x3E, 0xC8,
                                                0x70, 0x2D, 0xB6, 0xE4, 0x19, 0x8F, 0x53, 0xCA};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PassKey(const char* host) { return std::string(host) + "_pass"; }

std::string RecentKey(int i) { return "host" + std::to_string(i); }

}  // namespace

void FormatCredentialsFilePath(const char* appData, char out[kCredentialsPathSize]) {
  if (appData && *appData)
    std::snprintf(out, kCredentialsPathSize, "%s\\Quillmar\\raroze-zez32\\credentials.ini", appData);
  else
    std::snprintf(out, kCredentialsPathSize, "credentials.ini");
}

const char* CredentialsFilePath() {
  static const struct Path {
    char text[kCredentialsPathSize];
    Path() { GetCredentialsFilePath(text); }
  } path;
  return path.text;
}

void LoadRecentHosts(const char* file, std::vector<std::string>* hosts, int maximum) {
  hosts->clear();
  std::unique_ptr<IniStore> ini = OpenIniFile(file);
  if (!ini) return;
  for (int i = 0; i < maximum; i++) {
    char host[kMaxCredentialsHostLength + 1];
    if (ini->GetString(kRecent, RecentKey(i).c_str(), "", host, sizeof host) <= 0 || !host[0]) break;
    hosts->push_back(host);
  }
}

bool LoadCredentials(const char* file, const char* host, int* flag, char* password, std::size_t size) {
  if (!host || !*host) return false;
  std::unique_ptr<IniStore> ini = OpenIniFile(file);
  if (!ini) return false;
  int value = ini->GetInt(kCredentials, host, 0);
  if (value == 0) return false;
  if (flag) *flag = value;
  if (!password || size == 0) return true;

  char hex[kPassValueSize];
  ini->GetString(kCredentials, PassKey(host).c_str(), "", hex, sizeof hex);
  unsigned char bytes[kMaxRememberedPasswordBytes];
  std::size_t n = 0;
  for (const char* p = hex; n < sizeof bytes; p += 2) {
    int hi = HexDigit(p[0]);
    int lo = hi < 0 ? -1 : HexDigit(p[1]);
    if (lo < 0) break;
    bytes[n] = static_cast<unsigned char>((hi * 16 + lo) ^ kCredentialsMask[n % 16]);
    n++;
  }
  password[0] = '\0';
  if (n > 0 && n < size) {
    std::memcpy(password, bytes, n);
    password[n] = '\0';
  }
  SecureWipe(hex, sizeof hex);
  SecureWipe(bytes, sizeof bytes);
  return true;
}

void SaveCredentials(const char* file, const char* host, int flag, const char* password) {
  if (!host || !*host) return;
  std::unique_ptr<IniStore> ini = OpenIniFile(file);
  if (!ini) return;
  ini->WriteInt(kCredentials, host, flag);
  if (password && *password) {
    // The longest password held in memory; its hex text reads back whole.
    std::size_t n = 0;
    while (n < kMaxPasswordLength && password[n]) n++;
    char hex[2 * kMaxPasswordLength + 1];
    for (std::size_t i = 0; i < n; i++)
      std::snprintf(hex + 2 * i, 3, "%02X",
                    static_cast<unsigned>(static_cast<unsigned char>(password[i]) ^ kCredentialsMask[i % 16]));
    hex[2 * n] = '\0';
    ini->WriteString(kCredentials, PassKey(host).c_str(), hex);
    SecureWipe(hex, sizeof hex);
  }

  // The recent list: this host first, then the others in their order, without repeats of it.
  std::vector<std::string> hosts;
  LoadRecentHosts(file, &hosts, kRecentHostsRead);
  const int read = static_cast<int>(hosts.size());
  std::string first(host, std::min(std::strlen(host), kMaxCredentialsHostLength));
  hosts.erase(std::remove(hosts.begin(), hosts.end(), first), hosts.end());
  hosts.insert(hosts.begin(), first);
  if (hosts.size() > static_cast<std::size_t>(kMaxSavedRecentHosts)) hosts.resize(kMaxSavedRecentHosts);
  // Every key that was read goes, so that entries past the twentieth do not come back.
  for (int i = 0; i < std::max(read, kMaxSavedRecentHosts); i++) ini->DeleteKey(kRecent, RecentKey(i).c_str());
  for (std::size_t i = 0; i < hosts.size(); i++)
    ini->WriteString(kRecent, RecentKey(static_cast<int>(i)).c_str(), hosts[i].c_str());
}
