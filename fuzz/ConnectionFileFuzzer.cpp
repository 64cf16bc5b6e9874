// Connection files and the options file's recent-host list on any bytes. The input is an
// ini text, a NUL byte, and a list of recent-host operations. Whatever a file holds: the
// server read from it is usable or refused, the settings read are in range and name a
// plug-in only by its file name, written settings read back the same, the default file
// name stays in its folder, and the recent-host list keeps one usable letter per entry.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "app/KEBOptions.h"
#include "app/PortableIni.h"
#include "app/UserInterface.h"
#include "dialogs/ConnectionFile.h"
#include "dialogs/MRU.h"
#include "dialogs/SessionSettings.h"

namespace {

class QuietUI : public UserInterface {
public:
  void ShowMessage(const char*, const char*, MessageIcon) override {}
  void Quit(int) override {}
};

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

template <std::size_t N>
void RequireTerminated(const char (&field)[N]) {
  Require(std::memchr(field, '\0', N) != nullptr);
}

void CheckConnection(IniStore& ini) {
  connfile::ConnectionInfo info;
  const bool usable = connfile::ReadConnection(ini, &info);
  RequireTerminated(info.host);
  RequireTerminated(info.proxyhost);
  Require(info.proxyport >= 0 && info.proxyport <= 65535);
  if (usable) Require(info.port > 0 && (info.port <= 65535 || info.useProxy));
  const std::string name = connfile::DefaultFileName(info.host, info.port);
  Require(name.find_first_of("\\/:*?\"<>|") == std::string::npos);
  for (char c : name) Require(static_cast<unsigned char>(c) >= 32);
}

// The lines of a written file without its text values.
std::string NumbersOf(const std::string& text) {
  static const char* const kTexts[] = {"host=", "proxyhost=", "DSMPlugin=", "folder=", "prefix=", "imageFormat=",
                                       "InfoMsg="};
  std::string kept;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    bool isText = false;
    for (const char* k : kTexts) isText = isText || line.compare(0, std::strlen(k), k) == 0;
    if (!isText) kept += line + "\n";
    at = end + 1;
  }
  return kept;
}

void CheckSettings(IniStore& ini) {
  KEBOptions o;
  sessionsettings::ReadSettings(ini, o);
  RequireTerminated(o.m_DSMPlugin);
  RequireTerminated(o.m_folder);
  RequireTerminated(o.m_prefix);
  RequireTerminated(o.m_imageFormat);
  RequireTerminated(o.m_InfoMsg);
  RequireTerminated(o.m_proxyhost);
  Require(std::strcmp(o.m_DSMPlugin, "NoPlugin") == 0 || !std::strpbrk(o.m_DSMPlugin, "\\/:"));
  bool image = false;
  for (const char* f : {".jpeg", ".png", ".gif", ".bmp"}) image = image || std::strcmp(o.m_imageFormat, f) == 0;
  Require(image);
  Require(o.m_FileTransferTimeout >= 1 && o.m_FileTransferTimeout <= KEBOptions::kMaxFileTransferTimeout);
  Require(o.m_Use8Bit >= 0 && o.m_Use8Bit <= 6);
  Require(o.m_compresslevel >= 0 && o.m_compresslevel <= 9 && o.m_quality >= 0 && o.m_quality <= 9);
  Require(o.m_listenPort >= 1 && o.m_listenPort <= 65535);

  // Written and read again into a fresh record: the same numbers and flags (texts may lose
  // a pair of quotes on the way, as they do with the profile functions).
  PortableIniText out;
  sessionsettings::WriteSettings(out, o, o.m_host_options, 5900);
  KEBOptions again;
  sessionsettings::ReadSettings(out, again);
  PortableIniText out2;
  sessionsettings::WriteSettings(out2, again, again.m_host_options, 5900);
  Require(NumbersOf(out.Text()) == NumbersOf(out2.Text()));
}

void CheckRecentHosts(const std::string& file, const std::uint8_t* ops, std::size_t n) {
  MRU mru("Software\\WEM\\KEBviewer\\MRU", 98, std::make_unique<PortableIniText>(file));
  for (std::size_t i = 0; i + 1 < n && i < 400; i += 2) {
    const std::string host = "h" + std::to_string(ops[i + 1] % 50) + (ops[i + 1] & 0x80 ? "\r\n[x]" : "");
    switch (ops[i] % 4) {
      case 0: mru.AddItem(host.c_str()); break;
      case 1: mru.RemoveItemAt(ops[i + 1] % 40); break;
      case 2: mru.RemoveItem(host.c_str()); break;
      case 3: mru.SaveWindowPosition(host.c_str(), ops[i + 1], -ops[i + 1], 1, 2); break;
    }
    const std::string& index = mru.Index();
    Require(index.size() <= MRU::kMaxLetters);
    for (std::size_t a = 0; a < index.size(); ++a) {
      const char c = index[a];
      Require(c >= 'A' && c <= '~' && c != '[' && c != ';' && !(c >= 'a' && c <= 'z'));
      Require(index.find(c, a + 1) == std::string::npos);
    }
    char item[MRU::kItemCapacity];
    for (int k = 0; k < mru.NumItems(); ++k) {
      mru.GetItem(k, item, sizeof item);
      RequireTerminated(item);
      Require(!std::strpbrk(item, "\r\n"));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static QuietUI ui;
  SetUserInterface(&ui);
  const std::uint8_t* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t fileSize = nul ? static_cast<std::size_t>(nul - data) : size;
  const std::string file(reinterpret_cast<const char*>(data), fileSize);
  const std::uint8_t* ops = nul ? nul + 1 : data + size;
  const std::size_t opsSize = static_cast<std::size_t>(data + size - ops);

  PortableIniText ini(file);
  CheckConnection(ini);
  CheckSettings(ini);
  CheckRecentHosts(file, ops, opsSize);
  return 0;
}
