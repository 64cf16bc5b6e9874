// The one record of user settings: built-in defaults, the options file "options.keb"
// (section [options]), the command line on top. The application object embeds exactly one;
// every connection, the session dialog and connection files read and write it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class IniStore;

// Process-wide flags that live outside the record.
extern bool g_sponsor;           // "sponsor": read from a file only while it is 0
extern bool g_configSpecified;   // a configuration file was named on the command line

class KEBOptions {
public:
  static constexpr int kEncodingCount = 30;    // use_encoding_0 .. use_encoding_29
  static constexpr int kHostCapacity = 250;    // host and proxy fields: at most 249 characters
  static constexpr int kPathCapacity = 260;
  static constexpr int kBasePort = 5900;
  static constexpr int kMaxFileTransferTimeout = 600;
  static constexpr int kCmdLineCapacity = 8192;

  // Built-in defaults only.
  KEBOptions();
  // The password given to the program goes with the options.
  ~KEBOptions();
  KEBOptions(const KEBOptions&) = default;
  KEBOptions& operator=(const KEBOptions&) = default;
  void SetDefaults();
  // (Win32 shell) The snapshot folder, the options-file location and loading that file:
  // the application calls it right after construction, before SetFromCommandLine.
  void Initialise();

  // Reads every key of section [options] of the file; an absent key keeps the field's value.
  // Values from a file are untrusted and are brought into range quietly.
  void LoadOptions(const char* filename);
  void LoadOptions(IniStore& ini);
  // Writes every key (not GiiEnable; preferred_encoding only when the list is not empty;
  // compresslevel/quality only while given).
  void SaveOptions(const char* filename);
  void SaveOptions(IniStore& ini) const;
  // Writes the one key of section [options] named (as the table names it; "use_encoding_%d"
  // writes every encoding's key) as SaveOptions does, and a key that the options file only
  // reads (GiiEnable) as well. False for a name that is no key.
  bool SaveOptionKey(IniStore& ini, const char* name) const;

  const char* GetOptionsFile() const { return m_optionfile; }

  // Applies the command line; callable again (after a connection file is loaded).
  void SetFromCommandLine(const char* cmdline);
  // Resolves the proxy/repeater text into m_proxyhost/m_proxyport.
  void ParseProxyAddress();
  static void ShowUsage(const char* info);
  void FixScaling();

  // The all-in-one options dialog (Win32 shell only). parent is an HWND.
  int DoDialog(bool running, void* parent = nullptr);

  // ---- options-file keys (field = m_ + key where the key is an identifier) ----
  bool m_use_encoding[kEncodingCount];
  std::vector<int> m_PreferredEncodings;   // "preferred_encoding": the file holds the first entry
  bool m_restricted;
  bool m_ipv6;
  bool m_AllowUntrustedServers;
  bool m_viewonly;
  bool m_nostatus;
  bool m_HideEOStreamError;
  bool m_nohotkeys;
  bool m_showtoolbar;
  bool m_fullscreen;
  bool m_SavePos;
  bool m_SaveSize;
  bool m_GNOME;
  bool m_directx;
  bool m_autoDetect;
  int m_Use8Bit;                 // "8bit": colour mode 0..6 (see ColourMode)
  bool m_shared;
  bool m_swapmouse;
  bool m_belldeiconify;
  bool m_BlockSameMouse;
  bool m_emulate3;
  bool m_JapKeyboard;
  int m_emulate3timeout;         // ms
  int m_emulate3fuzz;            // pixels
  bool m_disableclipboard;
  int m_localcursor;             // 0 none, 1 dot, 2 normal arrow
  bool m_Scaling;
  bool m_AutoScaling;
  bool m_AutoScalingEven;
  bool m_AutoScalingLimit;
  int m_scale_num;
  int m_scale_den;
  bool m_cursorshape;
  bool m_noremotecursor;
  int m_compresslevel;
  bool m_compresslevelGiven;
  int m_quality;
  bool m_qualityGiven;
  int m_ServerScale;             // 1..9
  int m_Reconnect;               // reconnect attempts
  bool m_EnableCache;
  bool m_EnableZstd;
  int m_QuickOption;
  bool m_UseDSMPlugin;
  bool m_UseProxy;
  bool m_allowMonitorSpanning;
  bool m_ChangeServerRes;
  bool m_extendDisplay;
  bool m_showExtend;
  bool m_use_virt;
  bool m_useAllMonitors;
  int m_requestedWidth;
  int m_requestedHeight;
  char m_DSMPlugin[kPathCapacity];
  char m_folder[kPathCapacity];  // snapshot folder
  char m_prefix[56];             // snapshot file-name prefix
  char m_imageFormat[56];        // snapshot file extension
  char m_InfoMsg[255];           // at most 254 characters
  int m_AutoReconnect;           // seconds before a reconnect; 0 disables reconnecting
  bool m_ExitCheck;              // "askexit"
  int m_FileTransferTimeout;     // seconds, 1..600
  int m_listenPort;              // "ListenPort"
  int m_KeepAliveInterval;       // seconds, below FileTransferTimeout
  int m_ThrottleMouse;
  bool m_GiiEnable;              // read from the file, never written
  bool m_AutoAcceptIncoming;
  bool m_AutoAcceptNoDSM;
  bool m_RequireEncryption;
  bool m_UseOnlyDefaultConfigFile;
  bool m_PreemptiveUpdates;

  // ---- not in the options file ----
  bool m_listening;
  char m_host_options[kHostCapacity];  // server host, upper case
  bool m_hostGiven;
  int m_port;
  char m_proxyText[kHostCapacity];     // proxy or repeater address(es) as given ("a:1;b:2")
  char m_proxyhost[kHostCapacity];     // the chosen proxy/repeater host
  int m_proxyport;                     // -1 until known
  int m_RepeaterChoice;                // index into several repeaters; negative: none chosen
  char m_user[256];
  char m_password[256];
  char m_configFilename[kPathCapacity];
  bool m_configSpecified;              // a configuration file was loaded
  int m_logLevel;
  bool m_logToFile;
  char m_logFilename[kPathCapacity];
  bool m_logToConsole;
  int m_delay;
  int m_x, m_y, m_w, m_h;              // "position"
  bool m_NoBorder;
  char m_ClassName[255];               // frame-window class; empty = built-in class
  char m_kbdname[9];                   // keyboard layout identifier (8 hex digits)
  bool m_kbdSpecified;
  char m_CmdLine[kCmdLineCapacity];    // the command line as given, for re-application
  char m_optionfile[kPathCapacity];    // path of the options file
  bool m_running;                      // DoDialog's flag
  void* m_hDialog;                     // the open options dialog (HWND), or null

private:
  void SanitiseLoaded();
  void LoadNamedFile(const char* name);
};

// The tokens of a command line: blanks outside double quotes separate them, the quotes
// group words and are not part of a token. Each token is stored once at its final size,
// so that making them leaves no copy of one (a password) behind.
std::vector<std::string> SplitCommandLine(const char* line);
// Wipes a copy of a command line, or its tokens, once used: a password may be among them.
void WipeCommandLine(std::string& text);
void WipeCommandLine(std::vector<std::string>& tokens);

// Encoding name to RFB encoding number ("raw", "zrle", ...), without regard to case; -1 if unknown.
int EncodingFromName(const char* name);

// Splits a server argument into host and port (host:display, host::port, [ipv6]:display).
// hostCapacity counts the terminator; the host is at most hostCapacity - 1 characters.
bool ParseDisplay(const char* display, char* host, int hostCapacity, int* port);

// Ending the process at once ("-help"). The Win32 shell calls ExitProcess; the default
// calls std::exit. Returns the previous hook.
using ExitProcessHook = void (*)(int code);
ExitProcessHook SetExitProcessHook(ExitProcessHook hook);
