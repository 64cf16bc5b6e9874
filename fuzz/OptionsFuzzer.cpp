// The options loader and the command-line parser on any bytes. The input is an options
// file, a NUL byte, and a command line. After loading, every value that the rest of the
// program relies on must be in range; saving and loading again must give the same record;
// parsing must keep every text field terminated and every port valid.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/KEBOptions.h"
#include "app/PortableIni.h"
#include "app/UiText.h"
#include "app/UserInterface.h"

namespace {

class QuietUI : public UserInterface {
public:
  void ShowMessage(const char*, const char*, MessageIcon) override {}
  void Quit(int) override {}
};

void NoExit(int) {}

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

template <std::size_t N>
void RequireTerminated(const char (&field)[N]) {
  Require(std::memchr(field, '\0', N) != nullptr);
}

void CheckTexts(const KEBOptions& o) {
  RequireTerminated(o.m_DSMPlugin);
  RequireTerminated(o.m_folder);
  RequireTerminated(o.m_prefix);
  RequireTerminated(o.m_imageFormat);
  RequireTerminated(o.m_InfoMsg);
  RequireTerminated(o.m_host_options);
  RequireTerminated(o.m_proxyText);
  RequireTerminated(o.m_proxyhost);
  RequireTerminated(o.m_user);
  RequireTerminated(o.m_password);
  RequireTerminated(o.m_configFilename);
  RequireTerminated(o.m_logFilename);
  RequireTerminated(o.m_ClassName);
  RequireTerminated(o.m_CmdLine);
}

void CheckLoaded(const KEBOptions& o) {
  CheckTexts(o);
  Require(o.m_FileTransferTimeout >= 1 && o.m_FileTransferTimeout <= KEBOptions::kMaxFileTransferTimeout);
  Require(o.m_KeepAliveInterval < o.m_FileTransferTimeout);
  Require(o.m_Use8Bit >= 0 && o.m_Use8Bit <= 6);
  Require(o.m_scale_num >= 1 && o.m_scale_num <= 400 && o.m_scale_den >= 1 && o.m_scale_den <= 100);
  Require(o.m_ServerScale >= 1 && o.m_ServerScale <= 9);
  Require(o.m_AutoReconnect >= 0);
  Require(o.m_listenPort >= 1 && o.m_listenPort <= 65535);
  Require(o.m_compresslevel >= 0 && o.m_compresslevel <= 9);
  Require(o.m_quality >= 0 && o.m_quality <= 9);
  Require(o.m_PreferredEncodings.size() == 1);
  Require(o.m_PreferredEncodings[0] >= 0 && o.m_PreferredEncodings[0] < KEBOptions::kEncodingCount);
}

// The numbers and flags of two records (texts may lose a pair of quotes on a round trip,
// as they do with the profile functions).
bool SameValues(const KEBOptions& a, const KEBOptions& b) {
  return std::memcmp(a.m_use_encoding, b.m_use_encoding, sizeof a.m_use_encoding) == 0 &&
         a.m_PreferredEncodings == b.m_PreferredEncodings && a.m_Use8Bit == b.m_Use8Bit &&
         a.m_viewonly == b.m_viewonly && a.m_shared == b.m_shared && a.m_emulate3timeout == b.m_emulate3timeout &&
         a.m_localcursor == b.m_localcursor && a.m_scale_num == b.m_scale_num && a.m_scale_den == b.m_scale_den &&
         a.m_compresslevel == b.m_compresslevel && a.m_compresslevelGiven == b.m_compresslevelGiven &&
         a.m_quality == b.m_quality && a.m_qualityGiven == b.m_qualityGiven && a.m_ServerScale == b.m_ServerScale &&
         a.m_Reconnect == b.m_Reconnect && a.m_QuickOption == b.m_QuickOption &&
         a.m_AutoReconnect == b.m_AutoReconnect && a.m_FileTransferTimeout == b.m_FileTransferTimeout &&
         a.m_listenPort == b.m_listenPort && a.m_KeepAliveInterval == b.m_KeepAliveInterval &&
         a.m_ThrottleMouse == b.m_ThrottleMouse && a.m_requestedWidth == b.m_requestedWidth &&
         a.m_PreemptiveUpdates == b.m_PreemptiveUpdates && a.m_UseOnlyDefaultConfigFile == b.m_UseOnlyDefaultConfigFile;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static QuietUI ui;
  static bool once = [] {
    SetUserInterface(&ui);
    SetExitProcessHook(NoExit);
    LoadBuiltinUiTexts();
    return true;
  }();
  (void)once;

  const std::uint8_t* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t fileSize = nul ? static_cast<std::size_t>(nul - data) : size;
  std::string cmdline = nul ? std::string(reinterpret_cast<const char*>(nul + 1), size - fileSize - 1) : "";
  cmdline = cmdline.c_str();  // up to a second NUL

  g_sponsor = false;
  KEBOptions o;
  PortableIniText input(std::string(reinterpret_cast<const char*>(data), fileSize));
  o.LoadOptions(input);
  CheckLoaded(o);

  PortableIniText saved;
  o.SaveOptions(saved);
  KEBOptions again;
  again.LoadOptions(saved);
  Require(SameValues(o, again));

  o.SetFromCommandLine(cmdline.c_str());
  CheckTexts(o);
  Require(o.m_KeepAliveInterval < o.m_FileTransferTimeout || cmdline.empty());
  Require(o.m_ServerScale >= 1 && o.m_ServerScale <= 9);
  Require(o.m_compresslevel >= 0 && o.m_compresslevel <= 9 && o.m_quality >= 0 && o.m_quality <= 9);
  Require(o.m_listenPort >= 1 && o.m_listenPort <= 65535);
  if (o.m_hostGiven) Require(o.m_port >= 1 && o.m_port <= 65535);
  if (o.m_proxyport != -1) Require(o.m_proxyport >= 1 && o.m_proxyport <= 65535);
  for (int e : o.m_PreferredEncodings) Require(e >= 0 && e < KEBOptions::kEncodingCount);
  // Applying the same line again gives the same record.
  KEBOptions twice = o;
  twice.SetFromCommandLine(cmdline.c_str());
  Require(SameValues(o, twice));
  return 0;
}
