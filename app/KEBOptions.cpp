#include "app/KEBOptions.h"

#include <cstdio>
#include <cstring>

#include "app/IniStore.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "resources/StringIds.h"
#include "security/Secret.h"

bool g_sponsor = false;
bool g_configSpecified = false;

namespace {

const char kSection[] = "options";

// The keys of section [options], in the order they are read and written.
enum class Kind { Encodings, Preferred, Bool, Int, Level, String, Sponsor, ReadOnlyBool };

struct Key {
  const char* name;
  Kind kind;
  bool KEBOptions::*flag;                 // Bool, ReadOnlyBool; Level: its "given" flag
  int KEBOptions::*number;                // Int, Level
  char* (*text)(KEBOptions&);             // String
  int readSize;                           // String: the size handed to the profile function
};

constexpr Key B(const char* n, bool KEBOptions::*f) { return {n, Kind::Bool, f, nullptr, nullptr, 0}; }
constexpr Key I(const char* n, int KEBOptions::*v) { return {n, Kind::Int, nullptr, v, nullptr, 0}; }
constexpr Key L(const char* n, int KEBOptions::*v, bool KEBOptions::*g) { return {n, Kind::Level, g, v, nullptr, 0}; }
constexpr Key S(const char* n, char* (*t)(KEBOptions&), int size) { return {n, Kind::String, nullptr, nullptr, t, size}; }

const Key kKeys[] = {
    {"use_encoding_%d", Kind::Encodings, nullptr, nullptr, nullptr, 0},
    {"preferred_encoding", Kind::Preferred, nullptr, nullptr, nullptr, 0},
    B("restricted", &KEBOptions::m_restricted),
    B("ipv6", &KEBOptions::m_ipv6),
    B("AllowUntrustedServers", &KEBOptions::m_AllowUntrustedServers),
    B("viewonly", &KEBOptions::m_viewonly),
    B("nostatus", &KEBOptions::m_nostatus),
    B("HideEOStreamError", &KEBOptions::m_HideEOStreamError),
    B("nohotkeys", &KEBOptions::m_nohotkeys),
    B("showtoolbar", &KEBOptions::m_showtoolbar),
    B("fullscreen", &KEBOptions::m_fullscreen),
    B("SavePos", &KEBOptions::m_SavePos),
    B("SaveSize", &KEBOptions::m_SaveSize),
    B("GNOME", &KEBOptions::m_GNOME),
    B("directx", &KEBOptions::m_directx),
    B("autoDetect", &KEBOptions::m_autoDetect),
    I("8bit", &KEBOptions::m_Use8Bit),
    B("shared", &KEBOptions::m_shared),
    B("swapmouse", &KEBOptions::m_swapmouse),
    B("belldeiconify", &KEBOptions::m_belldeiconify),
    B("BlockSameMouse", &KEBOptions::m_BlockSameMouse),
    B("emulate3", &KEBOptions::m_emulate3),
    B("JapKeyboard", &KEBOptions::m_JapKeyboard),
    I("emulate3timeout", &KEBOptions::m_emulate3timeout),
    I("emulate3fuzz", &KEBOptions::m_emulate3fuzz),
    B("disableclipboard", &KEBOptions::m_disableclipboard),
    I("localcursor", &KEBOptions::m_localcursor),
    B("Scaling", &KEBOptions::m_Scaling),
    B("AutoScaling", &KEBOptions::m_AutoScaling),
    B("AutoScalingEven", &KEBOptions::m_AutoScalingEven),
    B("AutoScalingLimit", &KEBOptions::m_AutoScalingLimit),
    I("scale_num", &KEBOptions::m_scale_num),
    I("scale_den", &KEBOptions::m_scale_den),
    B("cursorshape", &KEBOptions::m_cursorshape),
    B("noremotecursor", &KEBOptions::m_noremotecursor),
    L("compresslevel", &KEBOptions::m_compresslevel, &KEBOptions::m_compresslevelGiven),
    L("quality", &KEBOptions::m_quality, &KEBOptions::m_qualityGiven),
    I("ServerScale", &KEBOptions::m_ServerScale),
    I("Reconnect", &KEBOptions::m_Reconnect),
    B("EnableCache", &KEBOptions::m_EnableCache),
    B("EnableZstd", &KEBOptions::m_EnableZstd),
    I("QuickOption", &KEBOptions::m_QuickOption),
    B("UseDSMPlugin", &KEBOptions::m_UseDSMPlugin),
    B("UseProxy", &KEBOptions::m_UseProxy),
    B("allowMonitorSpanning", &KEBOptions::m_allowMonitorSpanning),
    B("ChangeServerRes", &KEBOptions::m_ChangeServerRes),
    B("extendDisplay", &KEBOptions::m_extendDisplay),
    B("showExtend", &KEBOptions::m_showExtend),
    B("use_virt", &KEBOptions::m_use_virt),
    B("useAllMonitors", &KEBOptions::m_useAllMonitors),
    I("requestedWidth", &KEBOptions::m_requestedWidth),
    I("requestedHeight", &KEBOptions::m_requestedHeight),
    S("DSMPlugin", [](KEBOptions& o) { return o.m_DSMPlugin; }, sizeof KEBOptions::m_DSMPlugin),
    S("folder", [](KEBOptions& o) { return o.m_folder; }, sizeof KEBOptions::m_folder),
    S("prefix", [](KEBOptions& o) { return o.m_prefix; }, sizeof KEBOptions::m_prefix),
    S("imageFormat", [](KEBOptions& o) { return o.m_imageFormat; }, sizeof KEBOptions::m_imageFormat),
    S("InfoMsg", [](KEBOptions& o) { return o.m_InfoMsg; }, sizeof KEBOptions::m_InfoMsg - 1),
    {"sponsor", Kind::Sponsor, nullptr, nullptr, nullptr, 0},
    I("AutoReconnect", &KEBOptions::m_AutoReconnect),
    B("ExitCheck", &KEBOptions::m_ExitCheck),
    I("FileTransferTimeout", &KEBOptions::m_FileTransferTimeout),
    I("ListenPort", &KEBOptions::m_listenPort),
    I("KeepAliveInterval", &KEBOptions::m_KeepAliveInterval),
    I("ThrottleMouse", &KEBOptions::m_ThrottleMouse),
    {"GiiEnable", Kind::ReadOnlyBool, &KEBOptions::m_GiiEnable, nullptr, nullptr, 0},
    B("AutoAcceptIncoming", &KEBOptions::m_AutoAcceptIncoming),
    B("AutoAcceptNoDSM", &KEBOptions::m_AutoAcceptNoDSM),
    B("RequireEncryption", &KEBOptions::m_RequireEncryption),
    B("UseOnlyDefaultConfigFile", &KEBOptions::m_UseOnlyDefaultConfigFile),
    B("PreemptiveUpdates", &KEBOptions::m_PreemptiveUpdates),
};

// A string value goes into the file up to its first line break, so that no value can
// add lines (keys, sections) of its own.
void WriteString(IniStore& ini, const char* key, const char* value) {
  char line[KEBOptions::kPathCapacity];
  std::size_t n = std::strcspn(value, "\r\n");
  if (n >= sizeof line) n = sizeof line - 1;
  std::memcpy(line, value, n);
  line[n] = '\0';
  ini.WriteString(kSection, key, line);
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

KEBOptions::KEBOptions() { SetDefaults(); }

KEBOptions::~KEBOptions() {
  SecureWipe(m_password, sizeof m_password);
  SecureWipe(m_CmdLine, sizeof m_CmdLine);
}

void KEBOptions::SetDefaults() {
  std::memset(m_use_encoding, 0, sizeof m_use_encoding);
  for (int e : {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 25, 26, 27, 29}) m_use_encoding[e] = true;
  m_PreferredEncodings.assign(1, 10);
  m_restricted = false;
  m_ipv6 = false;
  m_AllowUntrustedServers = true;
  m_viewonly = false;
  m_nostatus = false;
  m_HideEOStreamError = false;
  m_nohotkeys = false;
  m_showtoolbar = true;
  m_fullscreen = false;
  m_SavePos = false;
  m_SaveSize = false;
  m_GNOME = false;
  m_directx = false;
  m_autoDetect = false;
  m_Use8Bit = 0;
  m_shared = true;
  m_swapmouse = false;
  m_belldeiconify = false;
  m_BlockSameMouse = false;
  m_emulate3 = true;
  m_JapKeyboard = false;
  m_emulate3timeout = 100;
  m_emulate3fuzz = 4;
  m_disableclipboard = false;
  m_localcursor = 1;
  m_Scaling = false;
  m_AutoScaling = true;
  m_AutoScalingEven = false;
  m_AutoScalingLimit = false;
  m_scale_num = 100;
  m_scale_den = 100;
  m_cursorshape = true;
  m_noremotecursor = false;
  m_compresslevel = 6;
  m_compresslevelGiven = true;
  m_quality = 8;
  m_qualityGiven = true;
  m_ServerScale = 1;
  m_Reconnect = 3;
  m_EnableCache = false;
  m_EnableZstd = true;
  m_QuickOption = 1;
  m_UseDSMPlugin = false;
  m_UseProxy = false;
  m_allowMonitorSpanning = false;
  m_ChangeServerRes = false;
  m_extendDisplay = false;
  m_showExtend = false;
  m_use_virt = false;
  m_useAllMonitors = false;
  m_requestedWidth = 0;
  m_requestedHeight = 0;
  std::strcpy(m_DSMPlugin, "NoPlugin");
  m_folder[0] = '\0';
  std::strcpy(m_prefix, "brandwyn_");
  std::strcpy(m_imageFormat, ".jpeg");
  m_InfoMsg[0] = '\0';
  m_AutoReconnect = 3;
  m_ExitCheck = false;
  m_FileTransferTimeout = 30;
  m_listenPort = 5500;
  m_KeepAliveInterval = 5;
  m_ThrottleMouse = 0;
  m_GiiEnable = false;
  m_AutoAcceptIncoming = false;
  m_AutoAcceptNoDSM = true;
  m_RequireEncryption = false;
  m_UseOnlyDefaultConfigFile = true;
  m_PreemptiveUpdates = false;

  m_listening = false;
  m_host_options[0] = '\0';
  m_hostGiven = false;
  m_port = -1;
  m_proxyText[0] = '\0';
  m_proxyhost[0] = '\0';
  m_proxyport = -1;
  m_RepeaterChoice = -1;
  m_user[0] = '\0';
  SecureWipe(m_password, sizeof m_password);
  m_configFilename[0] = '\0';
  m_configSpecified = false;
  m_logLevel = 0;
  m_logToFile = false;
  m_logFilename[0] = '\0';
  m_logToConsole = false;
  m_delay = 0;
  m_x = m_y = m_w = m_h = 0;
  m_NoBorder = false;
  m_ClassName[0] = '\0';
  m_kbdname[0] = '\0';
  m_kbdSpecified = false;
  SecureWipe(m_CmdLine, sizeof m_CmdLine);
  m_optionfile[0] = '\0';
  m_running = false;
  m_hDialog = nullptr;
}

void KEBOptions::LoadOptions(const char* filename) {
  if (!filename || !*filename) return;
  std::unique_ptr<IniStore> ini = OpenIniFile(filename);
  LoadOptions(*ini);
}

void KEBOptions::SaveOptions(const char* filename) {
  if (!filename || !*filename) return;
  std::unique_ptr<IniStore> ini = OpenIniFile(filename);
  SaveOptions(*ini);
}

void KEBOptions::LoadOptions(IniStore& ini) {
  char pluginBefore[sizeof m_DSMPlugin];
  char formatBefore[sizeof m_imageFormat];
  std::memcpy(pluginBefore, m_DSMPlugin, sizeof pluginBefore);
  std::memcpy(formatBefore, m_imageFormat, sizeof formatBefore);
  for (const Key& k : kKeys) {
    switch (k.kind) {
      case Kind::Encodings:
        for (int i = 0; i < kEncodingCount; ++i) {
          char key[32];
          std::snprintf(key, sizeof key, k.name, i);
          m_use_encoding[i] = ini.GetInt(kSection, key, m_use_encoding[i] ? 1 : 0) != 0;
        }
        break;
      case Kind::Preferred: {
        int e = ini.GetInt(kSection, k.name, m_PreferredEncodings.empty() ? 16 : m_PreferredEncodings[0]);
        // Only an encoding the viewer has a switch for may head the list it announces.
        if (e < 0 || e >= kEncodingCount) e = 10;
        m_PreferredEncodings.assign(1, e);
        break;
      }
      case Kind::Bool:
      case Kind::ReadOnlyBool:
        this->*k.flag = ini.GetInt(kSection, k.name, this->*k.flag ? 1 : 0) != 0;
        break;
      case Kind::Int:
        this->*k.number = ini.GetInt(kSection, k.name, this->*k.number);
        break;
      case Kind::Level: {
        // Read only when present; presence marks the level as given.
        char text[32];
        if (ini.GetString(kSection, k.name, "", text, sizeof text) > 0) {
          this->*k.number = ini.GetInt(kSection, k.name, this->*k.number);
          this->*k.flag = true;
        }
        break;
      }
      case Kind::String: {
        char* field = k.text(*this);
        char def[kPathCapacity];
        std::snprintf(def, sizeof def, "%s", field);
        ini.GetString(kSection, k.name, def, field, k.readSize);
        break;
      }
      case Kind::Sponsor:
        if (!g_sponsor) g_sponsor = ini.GetInt(kSection, k.name, 0) != 0;
        break;
    }
  }

  if (m_FileTransferTimeout > kMaxFileTransferTimeout) m_FileTransferTimeout = kMaxFileTransferTimeout;
  // Connection files are shared: a plug-in named by one is a library in the program's
  // folder, never a path to a library elsewhere, and snapshots keep an image extension.
  if (std::strcmp(pluginBefore, m_DSMPlugin) != 0 && std::strpbrk(m_DSMPlugin, "\\/:")) {
    std::strcpy(m_DSMPlugin, "NoPlugin");
    m_UseDSMPlugin = false;
  }
  bool imageFormat = false;
  for (const char* f : {".jpeg", ".png", ".gif", ".bmp"}) imageFormat = imageFormat || std::strcmp(m_imageFormat, f) == 0;
  if (!imageFormat) std::memcpy(m_imageFormat, formatBefore, sizeof m_imageFormat);
  SanitiseLoaded();
  if (m_KeepAliveInterval > m_FileTransferTimeout - 1) m_KeepAliveInterval = m_FileTransferTimeout - 1;
}

// Files travel between people: values that would misbehave are brought into range quietly.
void KEBOptions::SanitiseLoaded() {
  if (m_FileTransferTimeout <= 0) m_FileTransferTimeout = 30;
  if (m_Use8Bit < 0 || m_Use8Bit > 6) m_Use8Bit = 0;
  if (m_scale_num <= 0 || m_scale_num > 400 || m_scale_den <= 0 || m_scale_den > 100) {
    m_scale_num = 100;
    m_scale_den = 100;
  }
  if (m_ServerScale < 1 || m_ServerScale > 9) m_ServerScale = 1;
  if (m_AutoReconnect < 0) m_AutoReconnect = 0;
  if (m_listenPort < 1 || m_listenPort > 65535) m_listenPort = 5500;
  m_compresslevel = Clamp(m_compresslevel, 0, 9);
  m_quality = Clamp(m_quality, 0, 9);
}

namespace {

// One key as the options file holds it; a read-only key only when asked for.
void WriteKey(IniStore& ini, const Key& k, const KEBOptions& o, bool readOnlyToo) {
  KEBOptions& self = const_cast<KEBOptions&>(o);  // only to reach the string fields
  switch (k.kind) {
    case Kind::Encodings:
      for (int i = 0; i < KEBOptions::kEncodingCount; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, k.name, i);
        ini.WriteInt(kSection, key, o.m_use_encoding[i] ? 1 : 0);
      }
      break;
    case Kind::Preferred:
      if (!o.m_PreferredEncodings.empty()) ini.WriteInt(kSection, k.name, o.m_PreferredEncodings[0]);
      break;
    case Kind::ReadOnlyBool:
      if (!readOnlyToo) break;
      [[fallthrough]];
    case Kind::Bool:
      ini.WriteInt(kSection, k.name, o.*k.flag ? 1 : 0);
      break;
    case Kind::Int:
      ini.WriteInt(kSection, k.name, o.*k.number);
      break;
    case Kind::Level:
      // Absent from the file means "not given".
      if (o.*k.flag) ini.WriteInt(kSection, k.name, o.*k.number);
      break;
    case Kind::String:
      WriteString(ini, k.name, k.text(self));
      break;
    case Kind::Sponsor:
      ini.WriteInt(kSection, k.name, g_sponsor ? 1 : 0);
      break;
  }
}

}  // namespace

void KEBOptions::SaveOptions(IniStore& ini) const {
  for (const Key& k : kKeys) WriteKey(ini, k, *this, false);
}

bool KEBOptions::SaveOptionKey(IniStore& ini, const char* name) const {
  for (const Key& k : kKeys) {
    if (std::strcmp(k.name, name) != 0) continue;
    WriteKey(ini, k, *this, true);
    return true;
  }
  return false;
}

void KEBOptions::FixScaling() {
  if (m_scale_num < 1 || m_scale_den < 1 || m_scale_num > 400 || m_scale_den > 100) {
    UI().ShowMessage(UiText(IDS_INVALID_SCALE), UiText(IDS_ARGUMENT_ERROR), MessageIcon::Warning);
    m_Scaling = false;
    m_scale_num = 1;
    m_scale_den = 1;
  } else {
    int a = m_scale_num, b = m_scale_den;
    while (b != 0) {
      int t = a % b;
      a = b;
      b = t;
    }
    m_scale_num /= a;
    m_scale_den /= a;
  }
  if (m_ServerScale < 1 || m_ServerScale > 9) m_ServerScale = 1;
}
