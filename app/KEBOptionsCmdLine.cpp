// The command line: switches over the options file, the server argument, repeaters,
// encoding names and the usage box.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/KEBOptions.h"
#include "app/OptionsSys.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "resources/StringIds.h"
#include "security/Secret.h"

namespace {

ExitProcessHook exitHook = nullptr;

bool SameText(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

// Copies at most cap - 1 characters and terminates.
void CopyText(char* dst, std::size_t cap, const char* src) {
  std::size_t n = std::strlen(src);
  if (n >= cap) n = cap - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// A number as "%d" reads it (leading blanks, a sign, digits; what follows is ignored),
// but a value that does not fit an int is no number.
bool ReadNumber(const char* text, int* value) {
  const char* s = text;
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  bool minus = false;
  if (*s == '+' || *s == '-') minus = *s++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  long long v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
    v = v * 10 + (*s - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (minus) v = -v;
  if (v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

bool BeginsWithDigit(const std::string& t) { return !t.empty() && std::isdigit(static_cast<unsigned char>(t[0])); }

// Blanks outside double quotes separate tokens (two blanks give an empty token between
// them). An opening quote starts the token at the next character, a closing quote ends it.
// Where the token that starts at p ends (the next blank outside quotes, or the end).
const char* TokenEnd(const char* p, bool quoted) {
  for (; *p; ++p) {
    if (*p == '"')
      quoted = !quoted;
    else if (*p == ' ' && !quoted)
      break;
  }
  return p;
}

std::vector<std::string> Tokenise(const char* line) {
  // Each token gets the room of its whole span before it is filled, and the list the room
  // of all tokens: nothing grows, so no smaller copy of a token is let go unwiped.
  std::size_t count = 1;
  for (const char* p = line; *(p = TokenEnd(p, false)); ++p) count++;
  std::vector<std::string> tokens;
  tokens.reserve(count);
  tokens.emplace_back();
  tokens.back().reserve(static_cast<std::size_t>(TokenEnd(line, false) - line));
  bool quoted = false;
  bool ended = false;  // a closing quote ended the current token
  for (const char* p = line; *p; ++p) {
    if (*p == '"') {
      if (!quoted) tokens.back().clear();
      ended = quoted;
      quoted = !quoted;
    } else if (*p == ' ' && !quoted) {
      tokens.emplace_back();
      tokens.back().reserve(static_cast<std::size_t>(TokenEnd(p + 1, false) - (p + 1)));
      ended = false;
    } else if (!ended) {
      tokens.back() += *p;
    }
  }
  return tokens;
}

// Removes the tokens first..last (as Tokenise splits the line) with one blank beside them,
// in place; the bytes the line no longer uses are wiped.
void EraseTokens(char* line, std::size_t first, std::size_t last) {
  const std::size_t n = std::strlen(line);
  std::size_t token = 0, begin = 0, end = n;
  bool found = first == 0, quoted = false;
  for (std::size_t k = 0; k < n; ++k) {
    if (line[k] == '"') {
      quoted = !quoted;
    } else if (line[k] == ' ' && !quoted) {
      ++token;
      if (token == first) {
        begin = k;  // the blank before the first
        found = true;
      }
      if (token == last + 1) {
        end = first == 0 ? k + 1 : k;  // the blank after the last, when none is before
        break;
      }
    }
  }
  if (!found) return;  // a line cut short before them
  std::memmove(line + begin, line + end, n - end + 1);
  SecureWipe(line + n - (end - begin) + 1, end - begin);
}

void ArgumentError(const char* text) { UI().ShowMessage(text, UiText(IDS_ARGUMENT_ERROR), MessageIcon::Error); }

struct FlagSwitch {
  const char* name;
  bool KEBOptions::*field;
  bool value;
};

// Switches without argument that set one option (no name appears twice, so the order in
// which they are tested does not matter).
const FlagSwitch kFlagSwitches[] = {
    {"askexit", &KEBOptions::m_ExitCheck, true},
    {"restricted", &KEBOptions::m_restricted, true},
    {"ipv6", &KEBOptions::m_ipv6, true},
    {"AllowUntrustedServers", &KEBOptions::m_AllowUntrustedServers, true},
    {"viewonly", &KEBOptions::m_viewonly, true},
    {"nostatus", &KEBOptions::m_nostatus, true},
    {"nohotkeys", &KEBOptions::m_nohotkeys, true},
    {"fullscreen", &KEBOptions::m_fullscreen, true},
    {"savepos", &KEBOptions::m_SavePos, true},
    {"savesize", &KEBOptions::m_SaveSize, true},
    {"gnome", &KEBOptions::m_GNOME, true},
    {"directx", &KEBOptions::m_directx, true},
    {"shared", &KEBOptions::m_shared, true},
    {"swapmouse", &KEBOptions::m_swapmouse, true},
    {"belldeiconify", &KEBOptions::m_belldeiconify, true},
    {"emulate3", &KEBOptions::m_emulate3, true},
    {"JapKeyboard", &KEBOptions::m_JapKeyboard, true},
    {"disableclipboard", &KEBOptions::m_disableclipboard, true},
    {"hideendofstreamerror", &KEBOptions::m_HideEOStreamError, true},
    {"notoolbar", &KEBOptions::m_showtoolbar, false},
    {"autoscaling", &KEBOptions::m_AutoScaling, true},
    {"noemulate3", &KEBOptions::m_emulate3, false},
    {"nocursorshape", &KEBOptions::m_cursorshape, false},
    {"console", &KEBOptions::m_logToConsole, true},
    {"noborder", &KEBOptions::m_NoBorder, true},
    {"autoacceptincoming", &KEBOptions::m_AutoAcceptIncoming, true},
    {"giienable", &KEBOptions::m_GiiEnable, true},
    {"autoacceptnodsm", &KEBOptions::m_AutoAcceptNoDSM, true},
    {"requireencryption", &KEBOptions::m_RequireEncryption, true},
    {"preemptiveupdates", &KEBOptions::m_PreemptiveUpdates, true},
    {"enablecache", &KEBOptions::m_EnableCache, true},
};

struct ValueSwitch {
  const char* name;
  int KEBOptions::*field;
  int value;
};

const ValueSwitch kValueSwitches[] = {
    {"8bit", &KEBOptions::m_Use8Bit, 1},        {"256colors", &KEBOptions::m_Use8Bit, 1},
    {"fullcolors", &KEBOptions::m_Use8Bit, 0},  {"64colors", &KEBOptions::m_Use8Bit, 2},
    {"8colors", &KEBOptions::m_Use8Bit, 3},     {"8greycolors", &KEBOptions::m_Use8Bit, 4},
    {"4greycolors", &KEBOptions::m_Use8Bit, 5}, {"2greycolors", &KEBOptions::m_Use8Bit, 6},
    {"nocursor", &KEBOptions::m_localcursor, 0}, {"dotcursor", &KEBOptions::m_localcursor, 1},
    {"normalcursor", &KEBOptions::m_localcursor, 2},
};

// Switches followed by a number, with their two messages (missing, not a number or out of range).
struct NumberSwitch {
  const char* name;
  int KEBOptions::*field;
  int missingId, invalidId;
  int lo, hi;
  bool KEBOptions::*given;  // set as well, or null
};

const NumberSwitch kNumberSwitches[] = {
    {"emulate3timeout", &KEBOptions::m_emulate3timeout, IDS_NO_TIMEOUT, IDS_INVALID_TIMEOUT, INT_MIN, INT_MAX, nullptr},
    {"emulate3fuzz", &KEBOptions::m_emulate3fuzz, IDS_NO_FUZZ, IDS_INVALID_FUZZ, INT_MIN, INT_MAX, nullptr},
    {"delay", &KEBOptions::m_delay, IDS_NO_DELAY, IDS_INVALID_DELAY, INT_MIN, INT_MAX, nullptr},
    {"loglevel", &KEBOptions::m_logLevel, IDS_NO_LOGLEVEL, IDS_INVALID_LOGLEVEL, INT_MIN, INT_MAX, nullptr},
    // A level outside 0..9 would announce another pseudo-encoding to the server.
    {"compresslevel", &KEBOptions::m_compresslevel, IDS_NO_COMPRESSION, IDS_INVALID_COMPRESSION, 0, 9,
     &KEBOptions::m_compresslevelGiven},
    {"quality", &KEBOptions::m_quality, IDS_NO_QUALITY, IDS_INVALID_QUALITY, 0, 9, &KEBOptions::m_qualityGiven},
    {"throttlemouse", &KEBOptions::m_ThrottleMouse, IDS_NO_QUALITY, IDS_INVALID_QUALITY, INT_MIN, INT_MAX, nullptr},
};

// Switches followed by a text, copied into a field (cut to fit).
struct TextSwitch {
  const char* name;
  char* (*field)(KEBOptions&);
  std::size_t size;
  int missingId;        // or 0 for missingText
  const char* missingText;
};

const TextSwitch kTextSwitches[] = {
    {"InfoMsg", [](KEBOptions& o) { return o.m_InfoMsg; }, sizeof KEBOptions::m_InfoMsg, 0, "No InfoMsg"},
    {"user", [](KEBOptions& o) { return o.m_user; }, sizeof KEBOptions::m_user, IDS_NO_PASSWORD, nullptr},
    {"password", [](KEBOptions& o) { return o.m_password; }, sizeof KEBOptions::m_password, IDS_NO_PASSWORD, nullptr},
    {"classname", [](KEBOptions& o) { return o.m_ClassName; }, sizeof KEBOptions::m_ClassName, 0, "No classname"},
};

struct EncodingName {
  const char* name;
  int number;
};
const EncodingName kEncodingNames[] = {
    {"raw", 0},    {"rre", 2},    {"corre", 4},   {"hextile", 5}, {"zlib", 6},  {"zlibhex", 8}, {"tight", 7},
    {"opalo", 9},  {"opalo2", 10}, {"zrle", 16},  {"zywrle", 17}, {"xz", 18},   {"xzyw", 19},
};

const char kUsage[] =
    "KEBviewer [/8bit] [/swapmouse] [/shared]\r\n"
    "  [/belldeiconify] [/listen [portnum]]\r\n"
    "  [/fullscreen] [/viewonly] [/notoolbar]\r\n"
    "  [/scale a/b] [/config configfile]\r\n"
    "  server:display [/emulate3] [/quickoption n]\r\n"
    "  [/serverscale n] [/askexit] [/user msuser]\r\n"
    "  [/password clearpassword] [/nostatus]\r\n"
    "  [/dsmplugin pluginfilename.dsm] [/autoscaling]\r\n"
    "  [/autoreconnect delayInSeconds]\r\n"
    "  [/reconnectcounter number_reconnect_attempt]\r\n"
    "  [/nohotkeys] [/proxy proxyhost [portnum]]\r\n"
    "  [/256colors] [/64colors] [/8colors]\r\n"
    "  [/8greycolors] [/4greycolors] [/2greycolors]\r\n"
    "  [/encoding xz | xzyw | zrle | zywrle | tight |\r\n"
    "    zlib | zlibhex | opalo | opalo2 | corre | rre | raw]\r\n"
    "  [/encodings xz zrle ...]  (in order of priority)\r\n"
    "  [/autoacceptincoming] [/autoacceptnodsm]\r\n"
    "  [/disablesponsor] [/InfoMsg \"Your message\"]\r\n"
    "  [/requireencryption] [/enablecache]\r\n"
    "  [/throttlemouse n] [/socketkeepalivetimeout n]\r\n"
    "  [/gnome] [/hideendofstreamerror]\r\n"
    "For full details see documentation.";

// Reads the port part of a server argument: a number as "%d" reads it, not negative.
bool ReadPortNumber(const char* text, int* n) { return ReadNumber(text, n) && *n >= 0; }

}  // namespace

ExitProcessHook SetExitProcessHook(ExitProcessHook hook) {
  ExitProcessHook old = exitHook;
  exitHook = hook;
  return old;
}

std::vector<std::string> SplitCommandLine(const char* line) { return Tokenise(line ? line : ""); }

void WipeCommandLine(std::string& text) {
  // The whole room: bytes a token held before an opening quote cleared it lie past its end.
  text.resize(text.capacity());
  if (!text.empty()) SecureWipe(&text[0], text.size());
  text.clear();
}

void WipeCommandLine(std::vector<std::string>& tokens) {
  for (std::string& t : tokens) WipeCommandLine(t);
  tokens.clear();
}

int EncodingFromName(const char* name) {
  if (!name) return -1;
  for (const auto& e : kEncodingNames)
    if (SameText(name, e.name)) return e.number;
  return -1;
}

bool ParseDisplay(const char* display, char* host, int hostCapacity, int* port) {
  if (!display || !host || hostCapacity <= 0 || !port) return false;
  const std::size_t len = std::strlen(display);
  if (len > static_cast<std::size_t>(hostCapacity)) return false;

  const char* hostStart = display;
  std::size_t hostLen;
  const char* rest;
  if (display[0] == '[') {
    const char* close = std::strchr(display, ']');
    if (!close) return false;
    hostStart = display + 1;
    hostLen = static_cast<std::size_t>(close - hostStart);
    rest = close + 1;
  } else {
    const char* colon = std::strchr(display, ':');
    hostLen = colon ? static_cast<std::size_t>(colon - display) : len;
    rest = display + hostLen;
  }
  // The host field keeps its terminator.
  if (hostLen >= static_cast<std::size_t>(hostCapacity)) return false;

  int p;
  int n;
  if (*rest == '\0') {
    p = KEBOptions::kBasePort;
  } else if (rest[0] == ':' && rest[1] == ':') {
    if (!ReadPortNumber(rest + 2, &n)) return false;
    p = n;
  } else if (rest[0] == ':') {
    if (!ReadPortNumber(rest + 1, &n)) return false;
    p = n < 100 ? KEBOptions::kBasePort + n : n;
  } else {
    return false;
  }
  if (p < 1 || p > 65535) return false;

  std::memcpy(host, hostStart, hostLen);
  host[hostLen] = '\0';
  *port = p;
  return true;
}

void KEBOptions::ShowUsage(const char* info) {
  std::string text = info ? info : "";
  text += "\r\nUsage includes:\r\n";
  text += kUsage;
  UI().ShowMessage(text.c_str(), UiText(IDS_INFO_TITLE), MessageIcon::Information);
}

void KEBOptions::ParseProxyAddress() {
  if (!m_proxyText[0] || !m_host_options[0]) return;
  char text[kHostCapacity];
  CopyText(text, sizeof text, m_proxyText);

  std::string chosen = text;
  if (std::strncmp(m_host_options, "ID", 2) == 0 && std::strchr(text, ';') && m_RepeaterChoice >= 0) {
    std::vector<std::string> repeaters(1);
    for (const char* p = text; *p; ++p) {
      if (*p == ';')
        repeaters.emplace_back();
      else
        repeaters.back() += *p;
    }
    chosen = repeaters[static_cast<std::size_t>(m_RepeaterChoice) % repeaters.size()];
  }

  char host[kHostCapacity];
  int port;
  if (!ParseDisplay(chosen.c_str(), host, sizeof host, &port)) {
    ShowUsage(UiText(IDS_INVALID_SERVER));
    UI().Quit(1);
    return;
  }
  CopyText(m_proxyhost, sizeof m_proxyhost, host);
  m_proxyport = port;
}

void KEBOptions::LoadNamedFile(const char* name) {
  char full[kPathCapacity];
  if (!FullPathName(name, full, sizeof full) || !CanReadFile(full)) {
    ArgumentError(UiText(IDS_CANT_OPEN_CONFIG));
    UI().Quit(1);
    return;
  }
  CopyText(m_configFilename, sizeof m_configFilename, full);
  LoadOptions(full);
  m_configSpecified = true;
}

void KEBOptions::SetFromCommandLine(const char* cmdline) {
  // A private copy: the line may be the record's own kept command line.
  std::string line = cmdline ? cmdline : "";
  CopyText(m_CmdLine, sizeof m_CmdLine, line.c_str());
  g_configSpecified = false;
  if (line.empty()) return;

  std::vector<std::string> tokens = Tokenise(line.c_str());
  const std::size_t count = tokens.size();
  std::size_t i = 0;
  // Where a password was given: the kept line keeps everything but it (it is never applied
  // again), and the copies made here are wiped, on every way out.
  std::vector<std::size_t> passwordAt;
  struct Cleanup {
    KEBOptions& o;
    std::string& line;
    std::vector<std::string>& tokens;
    std::vector<std::size_t>& passwordAt;
    ~Cleanup() {
      for (auto at = passwordAt.rbegin(); at != passwordAt.rend(); ++at) EraseTokens(o.m_CmdLine, *at, *at + 1);
      WipeCommandLine(tokens);
      WipeCommandLine(line);
    }
  } cleanup{*this, line, tokens, passwordAt};

  auto hasArg = [&] { return i + 1 < count; };
  // Takes the next token as a number. A missing token shows missing and consumes nothing;
  // a token that is not a number (or lies outside lo..hi) shows invalid and keeps value.
  auto takeNumber = [&](const char* missing, const char* invalid, int* value, int lo = INT_MIN,
                        int hi = INT_MAX) -> bool {
    if (!hasArg()) {
      ArgumentError(missing);
      return false;
    }
    int v;
    if (!ReadNumber(tokens[++i].c_str(), &v) || v < lo || v > hi) {
      ArgumentError(invalid);
      return false;
    }
    *value = v;
    return true;
  };
  // A numeric switch whose only message is "missing" (it then also ends the start-up
  // when quit is set): a token that is not a number gets the same message.
  auto takeNumberOrQuit = [&](const char* message, bool quit, int* value) {
    int v;
    if (hasArg() && ReadNumber(tokens[i + 1].c_str(), &v)) {
      ++i;
      *value = v;
      return;
    }
    if (hasArg()) ++i;
    ArgumentError(message);
    if (quit) UI().Quit(1);
  };

  for (i = 0; i < count; ++i) {
    const std::string& token = tokens[i];
    const bool isSwitch = !token.empty() && (token[0] == '-' || token[0] == '/');
    const char* name = isSwitch ? token.c_str() + 1 : "";
    auto is = [&](const char* n) { return isSwitch && SameText(name, n); };

    if (is("help") || is("?") || is("h")) {
      m_nostatus = true;
      ShowUsage("");
      if (exitHook)
        exitHook(1);
      else
        EndProcessNow(1);
      return;
    }
    if (is("listen")) {
      m_listening = true;
      if (hasArg() && BeginsWithDigit(tokens[i + 1])) {
        int port;
        ++i;
        if (ReadNumber(tokens[i].c_str(), &port) && port >= 1 && port <= 65535)
          m_listenPort = port;
        else
          ArgumentError(UiText(IDS_INVALID_LISTEN_PORT));
      }
      continue;
    }
    if (is("fttimeout")) {
      int v;
      if (hasArg() && BeginsWithDigit(tokens[i + 1]) && ReadNumber(tokens[++i].c_str(), &v)) {
        if (v > kMaxFileTransferTimeout) v = kMaxFileTransferTimeout;
        if (v < 1) v = 1;  // no time-out at all would leave a dead transfer waiting for ever
        m_FileTransferTimeout = v;
      }
      continue;
    }
    if (is("keepalive")) {
      int v;
      if (hasArg() && BeginsWithDigit(tokens[i + 1]) && ReadNumber(tokens[++i].c_str(), &v)) m_KeepAliveInterval = v;
      continue;
    }
    if (is("socketkeepalivetimeout")) {
      if (hasArg() && BeginsWithDigit(tokens[i + 1])) ++i;
      continue;
    }
    auto setFrom = [&](const auto& table) {
      for (const auto& sw : table) {
        if (is(sw.name)) {
          this->*sw.field = sw.value;
          return true;
        }
      }
      return false;
    };
    if (setFrom(kFlagSwitches) || setFrom(kValueSwitches)) continue;
    const NumberSwitch* number = nullptr;
    for (const auto& n : kNumberSwitches)
      if (is(n.name)) number = &n;
    if (number) {
      if (takeNumber(UiText(number->missingId), UiText(number->invalidId), &(this->*number->field), number->lo,
                     number->hi) &&
          number->given)
        this->*number->given = true;
      continue;
    }
    const TextSwitch* text = nullptr;
    for (const auto& t : kTextSwitches)
      if (is(t.name)) text = &t;
    if (text) {
      if (hasArg()) {
        if (text->field(*this) == m_password) passwordAt.push_back(i);
        CopyText(text->field(*this), text->size, tokens[++i].c_str());
      } else {
        ArgumentError(text->missingId ? UiText(text->missingId) : text->missingText);
      }
      continue;
    }
    if (is("noauto")) {
      m_autoDetect = false;
      m_QuickOption = 0;
      continue;
    }
    if (is("noremotecursor")) {
      m_cursorshape = true;
      m_noremotecursor = true;
      continue;
    }
    if (is("scale")) {
      if (!hasArg()) {
        ArgumentError(UiText(IDS_NO_SCALE));
        continue;
      }
      const char* arg = tokens[++i].c_str();
      int num, den = 1;
      if (!ReadNumber(arg, &num)) {
        ArgumentError(UiText(IDS_INVALID_SCALING));
        continue;
      }
      const char* slash = std::strchr(arg, '/');
      // "%d/%d": the denominator counts only right after the numerator's digits.
      const char* afterNum = arg;
      while (std::isspace(static_cast<unsigned char>(*afterNum))) ++afterNum;
      if (*afterNum == '+' || *afterNum == '-') ++afterNum;
      while (std::isdigit(static_cast<unsigned char>(*afterNum))) ++afterNum;
      if (slash == afterNum && !ReadNumber(slash + 1, &den)) den = 1;
      m_scale_num = num;
      m_scale_den = den;
      continue;
    }
    if (is("logfile")) {
      if (!hasArg()) {
        ArgumentError(UiText(IDS_NO_LOGFILE));
        continue;
      }
      const std::string& file = tokens[++i];
      if (file.empty() || file.size() >= sizeof m_logFilename) {
        ArgumentError(UiText(IDS_INVALID_LOGFILE));
        continue;
      }
      CopyText(m_logFilename, sizeof m_logFilename, file.c_str());
      m_logToFile = true;
      continue;
    }
    if (is("config")) {
      if (!hasArg()) {
        ArgumentError(UiText(IDS_NO_CONFIG));
        continue;
      }
      g_configSpecified = true;
      LoadNamedFile(tokens[++i].c_str());
      continue;
    }
    if (is("register")) {
      UI().Quit(0);
      continue;
    }
    if (is("encoding")) {
      if (!hasArg()) {
        ArgumentError(UiText(IDS_NO_ENCODING));
        continue;
      }
      int e = EncodingFromName(tokens[++i].c_str());
      if (e < 0) {
        ArgumentError(UiText(IDS_INVALID_ENCODING));
        continue;
      }
      m_PreferredEncodings.assign(1, e);
      m_use_encoding[e] = true;
      continue;
    }
    if (is("encodings")) {
      if (!hasArg()) {
        ArgumentError(UiText(IDS_NO_ENCODING));
        continue;
      }
      if (EncodingFromName(tokens[i + 1].c_str()) < 0) {
        ++i;
        ArgumentError(UiText(IDS_INVALID_ENCODING));
        continue;
      }
      m_PreferredEncodings.clear();
      while (hasArg()) {
        int e = EncodingFromName(tokens[i + 1].c_str());
        if (e < 0) break;
        ++i;
        m_use_encoding[e] = true;
        bool listed = false;
        for (int p : m_PreferredEncodings) listed = listed || p == e;
        if (!listed) m_PreferredEncodings.push_back(e);
      }
      continue;
    }
    if (is("serverscale")) {
      takeNumberOrQuit(UiText(IDS_NO_SERVERSCALE), false, &m_ServerScale);
      if (m_ServerScale < 1 || m_ServerScale > 9) m_ServerScale = 1;
      continue;
    }
    if (is("quickoption")) {
      takeNumberOrQuit(UiText(IDS_NO_QUICKOPTION), false, &m_QuickOption);
      continue;
    }
    if (is("dsmplugin")) {
      if (!hasArg()) {
        ArgumentError(UiText(IDS_NO_DSMPLUGIN));
        continue;
      }
      m_UseDSMPlugin = true;
      CopyText(m_DSMPlugin, sizeof m_DSMPlugin, tokens[++i].c_str());
      continue;
    }
    if (is("proxy")) {
      if (!hasArg()) {
        ArgumentError(UiText(IDS_NO_DSMPLUGIN));
        continue;
      }
      m_UseProxy = true;
      CopyText(m_proxyText, sizeof m_proxyText, tokens[++i].c_str());
      CopyText(m_proxyhost, sizeof m_proxyhost, m_proxyText);
      ParseProxyAddress();
      continue;
    }
    if (is("cloud")) {
      if (!hasArg())
        ArgumentError("no cloud server defined");
      else
        ++i;
      continue;
    }
    if (is("reconnectcounter")) {
      takeNumberOrQuit("You must specify a reconnect counter number", true, &m_Reconnect);
      continue;
    }
    if (is("position")) {
      int pos[4];
      bool ok = i + 4 < count;
      for (int k = 0; ok && k < 4; ++k) ok = ReadNumber(tokens[i + 1 + k].c_str(), &pos[k]);
      if (!ok) {
        if (i + 4 < count) i += 4;
        ArgumentError("You must specify x y w y");
        UI().Quit(1);
        continue;
      }
      i += 4;
      m_x = pos[0];
      m_y = pos[1];
      m_w = pos[2];
      m_h = pos[3];
      continue;
    }
    if (is("autoreconnect")) {
      takeNumberOrQuit("You must specify an autoreconnect delay (default is 10s)", true, &m_AutoReconnect);
      if (m_AutoReconnect < 0) m_AutoReconnect = 0;  // a negative delay would wait for ever
      continue;
    }
    if (is("disablesponsor")) {
      g_sponsor = true;
      continue;
    }

    // Not a switch: a connection or configuration file first, else the server.
    if (i == 0 && IsExistingFile(token.c_str())) {
      g_configSpecified = true;
      LoadNamedFile(token.c_str());
      continue;
    }
    if (token.empty()) continue;  // a stray blank names no server
    char host[kHostCapacity];
    int port;
    if (!ParseDisplay(token.c_str(), host, sizeof host, &port)) {
      ShowUsage(UiText(IDS_INVALID_SERVER));
      UI().Quit(1);
      continue;
    }
    for (char* p = host; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    CopyText(m_host_options, sizeof m_host_options, host);
    m_port = port;
    m_hostGiven = true;
    ParseProxyAddress();
  }

  // The keep-alive must stay below the transfer time-out whatever order the switches came in.
  if (m_KeepAliveInterval > m_FileTransferTimeout - 1) m_KeepAliveInterval = m_FileTransferTimeout - 1;
  FixScaling();
}
