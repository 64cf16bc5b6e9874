#include "dialogs/SessionSettings.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/IniStore.h"
#include "app/KEBOptions.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "resources/StringIds.h"

namespace sessionsettings {

namespace {

const char kOptions[] = "options";
const char kConnection[] = "connection";

// The keys of section [options] that a per-host or connection file carries, in the order
// they are written; what each key holds and how it is written is the options record's.
const char* const kKeys[] = {
    "use_encoding_%d", "preferred_encoding", "viewonly", "showtoolbar", "fullscreen", "SavePos", "SaveSize",
    "GNOME", "directx", "autoDetect", "8bit", "shared", "swapmouse", "emulate3", "JapKeyboard",
    "disableclipboard", "Scaling", "AutoScaling", "AutoScalingEven", "AutoScalingLimit", "scale_num", "scale_den",
    "cursorshape", "noremotecursor", "compresslevel", "quality", "ServerScale", "Reconnect", "EnableCache",
    "EnableZstd", "QuickOption", "UseDSMPlugin", "UseProxy", "allowMonitorSpanning", "ChangeServerRes",
    "extendDisplay", "showExtend", "use_virt", "useAllMonitors", "requestedWidth", "requestedHeight", "DSMPlugin",
    "folder", "prefix", "imageFormat", "InfoMsg", "AutoReconnect", "FileTransferTimeout", "ListenPort",
    "ThrottleMouse", "KeepAliveInterval", "AutoAcceptIncoming", "AutoAcceptNoDSM", "GiiEnable",
    "RequireEncryption", "UseOnlyDefaultConfigFile", "restricted", "ipv6", "AllowUntrustedServers", "nostatus",
    "HideEOStreamError", "nohotkeys", "sponsor", "PreemptiveUpdates",
};

bool SameName(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

bool IsSettingsKey(const char* key) {
  if (!key) return false;
  for (const char* k : kKeys) {
    if (std::strchr(k, '%')) {
      // "use_encoding_0" .. "use_encoding_29"
      for (int i = 0; i < KEBOptions::kEncodingCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, k, i);
        if (SameName(name, key)) return true;
      }
    } else if (SameName(k, key)) {
      return true;
    }
  }
  return false;
}

// The file as the options reader sees it, with only the settings keys of section [options]
// visible: the record's own reader then applies its defaults, clamps and checks to them.
class SettingsView : public IniStore {
public:
  explicit SettingsView(IniStore& ini) : m_ini(ini) {}
  int GetString(const char* section, const char* key, const char* def, char* out, int cap) override {
    if (Visible(section, key)) return m_ini.GetString(section, key, def, out, cap);
    if (!out || cap <= 0) return 0;
    std::snprintf(out, static_cast<std::size_t>(cap), "%s", def ? def : "");
    return static_cast<int>(std::strlen(out));
  }
  int GetInt(const char* section, const char* key, int def) override {
    return Visible(section, key) ? m_ini.GetInt(section, key, def) : def;
  }
  bool WriteString(const char*, const char*, const char*) override { return false; }

private:
  static bool Visible(const char* section, const char* key) {
    return section && SameName(section, kOptions) && IsSettingsKey(key);
  }
  IniStore& m_ini;
};

// A value goes into the file up to its first line break, so that it cannot add lines.
void WriteLine(IniStore& ini, const char* section, const char* key, const char* value) {
  std::string line(value ? value : "");
  line.resize(std::strcspn(line.c_str(), "\r\n"));
  ini.WriteString(section, key, line.c_str());
}

void CopyText(char* dst, std::size_t cap, const char* src) {
  std::snprintf(dst, cap, "%s", src ? src : "");
}

}  // namespace

void ReadSettings(IniStore& ini, KEBOptions& work) {
  SettingsView view(ini);
  work.LoadOptions(view);

  char host[KEBOptions::kHostCapacity];
  ini.GetString(kConnection, "proxyhost", work.m_proxyhost, host, sizeof host);
  CopyText(work.m_proxyhost, sizeof work.m_proxyhost, host);
  const int port = ini.GetInt(kConnection, "proxyport", work.m_proxyport);
  if (port >= 0 && port <= 65535) work.m_proxyport = port;
}

void WriteSettings(IniStore& ini, const KEBOptions& work, const char* host, int port) {
  if (host) {
    WriteLine(ini, kConnection, "host", host);
    ini.WriteInt(kConnection, "port", port);
  }
  WriteLine(ini, kConnection, "proxyhost", work.m_proxyhost);
  ini.WriteInt(kConnection, "proxyport", work.m_proxyport);

  for (const char* k : kKeys) work.SaveOptionKey(ini, k);
}

void ResetToDefaults(KEBOptions& work) {
  const KEBOptions kept = work;
  work.SetDefaults();
  std::memcpy(work.m_folder, kept.m_folder, sizeof work.m_folder);
  // Not settings: the server, the command line and what the application set up.
  work.m_listening = kept.m_listening;
  std::memcpy(work.m_host_options, kept.m_host_options, sizeof work.m_host_options);
  work.m_hostGiven = kept.m_hostGiven;
  work.m_port = kept.m_port;
  std::memcpy(work.m_proxyText, kept.m_proxyText, sizeof work.m_proxyText);
  std::memcpy(work.m_proxyhost, kept.m_proxyhost, sizeof work.m_proxyhost);
  work.m_proxyport = kept.m_proxyport;
  work.m_RepeaterChoice = kept.m_RepeaterChoice;
  std::memcpy(work.m_user, kept.m_user, sizeof work.m_user);
  std::memcpy(work.m_password, kept.m_password, sizeof work.m_password);
  std::memcpy(work.m_configFilename, kept.m_configFilename, sizeof work.m_configFilename);
  work.m_configSpecified = kept.m_configSpecified;
  work.m_logLevel = kept.m_logLevel;
  work.m_logToFile = kept.m_logToFile;
  std::memcpy(work.m_logFilename, kept.m_logFilename, sizeof work.m_logFilename);
  work.m_logToConsole = kept.m_logToConsole;
  work.m_delay = kept.m_delay;
  work.m_x = kept.m_x;
  work.m_y = kept.m_y;
  work.m_w = kept.m_w;
  work.m_h = kept.m_h;
  work.m_NoBorder = kept.m_NoBorder;
  std::memcpy(work.m_ClassName, kept.m_ClassName, sizeof work.m_ClassName);
  std::memcpy(work.m_kbdname, kept.m_kbdname, sizeof work.m_kbdname);
  work.m_kbdSpecified = kept.m_kbdSpecified;
  std::memcpy(work.m_CmdLine, kept.m_CmdLine, sizeof work.m_CmdLine);
  std::memcpy(work.m_optionfile, kept.m_optionfile, sizeof work.m_optionfile);
  work.m_running = kept.m_running;
  work.m_hDialog = kept.m_hDialog;
}

namespace {

// How many tokens after a switch belong to it.
enum class Takes { Nothing, OptionalNumber, One, Encodings, Four };

struct Switch {
  const char* name;
  Takes takes;
  bool applied;  // a setting the dialog applies again
};

const Switch kSwitches[] = {
    {"listen", Takes::OptionalNumber, true},
    {"fttimeout", Takes::OptionalNumber, true},
    {"keepalive", Takes::OptionalNumber, true},
    {"socketkeepalivetimeout", Takes::OptionalNumber, true},
    {"askexit", Takes::Nothing, true},
    {"restricted", Takes::Nothing, true},
    {"ipv6", Takes::Nothing, true},
    {"AllowUntrustedServers", Takes::Nothing, true},
    {"viewonly", Takes::Nothing, true},
    {"nostatus", Takes::Nothing, true},
    {"hideendofstreamerror", Takes::Nothing, true},
    {"nohotkeys", Takes::Nothing, true},
    {"notoolbar", Takes::Nothing, true},
    {"autoscaling", Takes::Nothing, true},
    {"fullscreen", Takes::Nothing, true},
    {"savepos", Takes::Nothing, true},
    {"savesize", Takes::Nothing, true},
    {"gnome", Takes::Nothing, true},
    {"directx", Takes::Nothing, true},
    {"noauto", Takes::Nothing, true},
    {"8bit", Takes::Nothing, true},
    {"256colors", Takes::Nothing, true},
    {"fullcolors", Takes::Nothing, true},
    {"64colors", Takes::Nothing, true},
    {"8colors", Takes::Nothing, true},
    {"8greycolors", Takes::Nothing, true},
    {"4greycolors", Takes::Nothing, true},
    {"2greycolors", Takes::Nothing, true},
    {"shared", Takes::Nothing, true},
    {"swapmouse", Takes::Nothing, true},
    {"emulate3", Takes::Nothing, true},
    {"JapKeyboard", Takes::Nothing, true},
    {"noemulate3", Takes::Nothing, true},
    {"nocursorshape", Takes::Nothing, true},
    {"noremotecursor", Takes::Nothing, true},
    {"scale", Takes::One, true},
    {"disableclipboard", Takes::Nothing, true},
    {"InfoMsg", Takes::One, true},
    {"encoding", Takes::One, true},
    {"encodings", Takes::Encodings, true},
    {"compresslevel", Takes::One, true},
    {"quality", Takes::One, true},
    {"serverscale", Takes::One, true},
    {"quickoption", Takes::One, true},
    {"dsmplugin", Takes::One, true},
    {"reconnectcounter", Takes::One, true},
    {"autoreconnect", Takes::One, true},
    {"disablesponsor", Takes::Nothing, true},
    {"autoacceptincoming", Takes::Nothing, true},
    {"giienable", Takes::Nothing, true},
    {"autoacceptnodsm", Takes::Nothing, true},
    {"requireencryption", Takes::Nothing, true},
    {"preemptiveupdates", Takes::Nothing, true},
    {"enablecache", Takes::Nothing, true},
    {"throttlemouse", Takes::One, true},
    // Read past, not applied again: their arguments must not be taken for switches.
    {"emulate3timeout", Takes::One, false},
    {"emulate3fuzz", Takes::One, false},
    {"delay", Takes::One, false},
    {"loglevel", Takes::One, false},
    {"logfile", Takes::One, false},
    {"config", Takes::One, false},
    {"user", Takes::One, false},
    {"password", Takes::One, false},
    {"proxy", Takes::One, false},
    {"cloud", Takes::One, false},
    {"classname", Takes::One, false},
    {"position", Takes::Four, false},
};

// While switches are applied again: their messages were shown at start-up and a quit
// requested then has happened already, so only the scale check (whose values may come from
// a file just loaded) still reaches the user.
class ReapplyInterface : public UserInterface {
public:
  explicit ReapplyInterface(UserInterface* user) : m_user(user) {}
  void ShowMessage(const char* text, const char* title, MessageIcon icon) override {
    if (text && std::strcmp(text, UiText(IDS_INVALID_SCALE)) == 0) m_user->ShowMessage(text, title, icon);
  }
  void Quit(int) override {}
  void ShowReport(const char* message, int number) override { m_user->ShowReport(message, number); }

private:
  UserInterface* m_user;
};

// A token as the command line would give it back.
std::string Quoted(const std::string& token) {
  if (!token.empty() && token.find(' ') == std::string::npos) return token;
  return "\"" + token + "\"";
}

}  // namespace

void ApplyCommandLineSwitches(KEBOptions& work) {
  std::vector<std::string> tokens = SplitCommandLine(work.m_CmdLine);
  std::string line;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    if (t.size() < 2 || (t[0] != '-' && t[0] != '/')) continue;
    const Switch* sw = nullptr;
    for (const Switch& s : kSwitches)
      if (SameName(t.c_str() + 1, s.name)) sw = &s;
    if (!sw) continue;
    std::size_t take = 0;
    switch (sw->takes) {
      case Takes::Nothing:
        break;
      case Takes::OptionalNumber:
        take = i + 1 < tokens.size() && std::isdigit(static_cast<unsigned char>(tokens[i + 1][0])) ? 1 : 0;
        break;
      case Takes::One:
        take = i + 1 < tokens.size() ? 1 : 0;
        break;
      case Takes::Four:
        take = i + 4 < tokens.size() ? 4 : 0;
        break;
      case Takes::Encodings:
        // The first token always belongs to the switch (a wrong one gets its message).
        while (i + 1 + take < tokens.size() && (take == 0 || EncodingFromName(tokens[i + 1 + take].c_str()) >= 0))
          ++take;
        break;
    }
    if (sw->applied) {
      for (std::size_t k = 0; k <= take; ++k) {
        if (!line.empty()) line += ' ';
        line += Quoted(tokens[i + k]);
      }
    }
    i += take;
  }
  WipeCommandLine(tokens);  // a password given on the command line is among them

  if (line.empty()) {
    if (work.m_scale_num != 1 || work.m_scale_den != 1) work.FixScaling();
    return;
  }
  // The parser keeps the line it applies and clears the process-wide "configuration
  // named" flag: both stay as the start-up left them.
  std::string kept(work.m_CmdLine);
  const bool configSpecified = g_configSpecified;
  ReapplyInterface quiet(&UI());
  UserInterface* user = SetUserInterface(&quiet);
  work.SetFromCommandLine(line.c_str());
  SetUserInterface(user);
  std::snprintf(work.m_CmdLine, sizeof work.m_CmdLine, "%s", kept.c_str());
  g_configSpecified = configSpecified;
  WipeCommandLine(kept);
  WipeCommandLine(line);
}

bool ReadServerFields(const ServerFields& fields, ServerAddress* out) {
  *out = ServerAddress();
  char host[KEBOptions::kHostCapacity];
  int port = 0;
  const std::string& text = fields.hostText;
  const bool idEntry = text.compare(0, 2, "ID") == 0;
  if (!ParseDisplay(text.c_str(), host, sizeof host, &port)) {
    // Behind a repeater "ID:1234567" names a server by its ID number, which may be larger
    // than any port.
    long long id = 0;
    const std::size_t colon = text.find(':');
    if (!fields.useRepeater || !idEntry || colon == std::string::npos || colon >= sizeof host) return false;
    std::size_t p = colon + 1;
    if (p < text.size() && text[p] == ':') ++p;
    if (p >= text.size()) return false;
    for (; p < text.size(); ++p) {
      if (!std::isdigit(static_cast<unsigned char>(text[p]))) return false;
      id = id * 10 + (text[p] - '0');
      if (id > INT_MAX) return false;
    }
    std::memcpy(host, text.data(), colon);
    host[colon] = '\0';
    port = static_cast<int>(id);
  }
  for (char* c = host; *c; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  out->host = host;
  out->port = port;
  out->useProxy = fields.useRepeater;

  if (!fields.repeaterText.empty()) {
    std::string chosen = fields.repeaterText;
    if (idEntry && chosen.find(';') != std::string::npos) {
      std::vector<std::string> repeaters(1);
      for (char c : chosen) {
        if (c == ';')
          repeaters.emplace_back();
        else
          repeaters.back() += c;
      }
      chosen = repeaters[static_cast<std::size_t>(port) % repeaters.size()];
    }
    char proxy[KEBOptions::kHostCapacity];
    int proxyPort = 0;
    if (ParseDisplay(chosen.c_str(), proxy, sizeof proxy, &proxyPort)) {
      out->proxyhost = proxy;
      out->proxyport = proxyPort;
    } else if (fields.useRepeater) {
      return false;
    }
  }
  return true;
}

}  // namespace sessionsettings
