// Shared pieces of the dialog tests: a record with every setting changed, and page
// controls held in memory.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "app/KEBOptions.h"
#include "dialogs/OptionPages.h"

namespace dlgtest {

// Every setting away from its default.
inline void ChangeEverySetting(KEBOptions& o) {
  for (int i = 0; i < KEBOptions::kEncodingCount; ++i) o.m_use_encoding[i] = i % 3 == 0;
  o.m_PreferredEncodings.assign(1, 16);
  for (bool KEBOptions::*f :
       {&KEBOptions::m_viewonly, &KEBOptions::m_fullscreen, &KEBOptions::m_SavePos, &KEBOptions::m_SaveSize,
        &KEBOptions::m_GNOME, &KEBOptions::m_directx, &KEBOptions::m_autoDetect, &KEBOptions::m_swapmouse,
        &KEBOptions::m_JapKeyboard, &KEBOptions::m_disableclipboard, &KEBOptions::m_Scaling,
        &KEBOptions::m_AutoScalingEven, &KEBOptions::m_AutoScalingLimit, &KEBOptions::m_noremotecursor,
        &KEBOptions::m_EnableCache, &KEBOptions::m_UseDSMPlugin, &KEBOptions::m_UseProxy,
        &KEBOptions::m_allowMonitorSpanning, &KEBOptions::m_ChangeServerRes, &KEBOptions::m_extendDisplay,
        &KEBOptions::m_showExtend, &KEBOptions::m_use_virt, &KEBOptions::m_useAllMonitors,
        &KEBOptions::m_AutoAcceptIncoming, &KEBOptions::m_GiiEnable, &KEBOptions::m_RequireEncryption,
        &KEBOptions::m_restricted, &KEBOptions::m_ipv6, &KEBOptions::m_nostatus, &KEBOptions::m_HideEOStreamError,
        &KEBOptions::m_nohotkeys, &KEBOptions::m_PreemptiveUpdates})
    o.*f = true;
  for (bool KEBOptions::*f :
       {&KEBOptions::m_showtoolbar, &KEBOptions::m_shared, &KEBOptions::m_emulate3, &KEBOptions::m_AutoScaling,
        &KEBOptions::m_cursorshape, &KEBOptions::m_EnableZstd, &KEBOptions::m_AutoAcceptNoDSM,
        &KEBOptions::m_UseOnlyDefaultConfigFile, &KEBOptions::m_AllowUntrustedServers})
    o.*f = false;
  o.m_Use8Bit = 3;
  o.m_scale_num = 3;
  o.m_scale_den = 2;
  o.m_compresslevel = 2;
  o.m_quality = 4;
  o.m_ServerScale = 2;
  o.m_Reconnect = 7;
  o.m_QuickOption = 4;
  o.m_requestedWidth = 1280;
  o.m_requestedHeight = 720;
  std::strcpy(o.m_DSMPlugin, "crypt.dsm");
  std::strcpy(o.m_folder, "C:\\shots here");
  std::strcpy(o.m_prefix, "pre_");
  std::strcpy(o.m_imageFormat, ".png");
  std::strcpy(o.m_InfoMsg, "hello there");
  o.m_AutoReconnect = 9;
  o.m_FileTransferTimeout = 120;
  o.m_listenPort = 5600;
  o.m_ThrottleMouse = 5;
  o.m_KeepAliveInterval = 11;
  std::strcpy(o.m_proxyhost, "REPEATER");
  o.m_proxyport = 5501;
}

// Controls as a page shows them: check states, texts and enabled flags by id.
class FakeControls : public PageControls {
public:
  bool Checked(int id) override { return checks[id]; }
  void SetChecked(int id, bool on) override { checks[id] = on; }
  bool Number(int id, int* value) override {
    const std::string& t = texts[id];
    if (t.empty() || t.find_first_not_of("-0123456789") != std::string::npos) return false;
    *value = std::stoi(t);
    return true;
  }
  void SetNumber(int id, int value) override { texts[id] = std::to_string(value); }
  std::string Text(int id) override { return texts[id]; }
  void SetText(int id, const char* text) override { texts[id] = text; }
  void Enable(int id, bool on) override {
    if (on)
      disabled.erase(id);
    else
      disabled.insert(id);
  }
  bool Enabled(int id) const { return !disabled.count(id); }

  std::map<int, bool> checks;
  std::map<int, std::string> texts;
  std::set<int> disabled;
};

}  // namespace dlgtest
