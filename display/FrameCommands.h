// The command numbers of the frame window, shared by its system menu, the accelerator
// table, the keyboard hook, the toolbar and the full-screen title bar; the keysyms the key
// commands send; and the texts the frame window shows. Platform-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace framecmd {

enum Command : int {
  kCtrlDown = 104,
  kCtrlUp = 105,
  kAltDown = 107,
  kAltUp = 108,
  kCtrlAltDel = 110,
  kAbout = 111,
  kFullScreen = 113,
  kRefresh = 114,
  kAutoScale = 115,
  kViewOnly = 116,
  kConnectionInfo = 103,
  kSaveConnection = 141,
  kCtrlEsc = 143,
  kClipboardSync = 201,
  kClipboardText = 202,
  kClipboardRtf = 203,
  kClipboardHtml = 204,
  kClipboardSendAll = 205,
  kClipboardRequestAll = 206,
  kClipboardImage = 208,
  kSuperLDown = 605,
  kSuperRDown = 606,
  kMenuDown = 607,
  kSuperLUp = 608,
  kSuperRUp = 609,
  kMenuUp = 610,
  kConnectionOptions = 1007,
  kCloseDaemon = 50001,
  kNewConnection = 50006,
  kFileTransfer = 50100,
  kHalfSize = 50101,
  kFuzzyScreen = 50102,
  kFullColours = 50104,
  k256Colours = 50105,
  kShowToolbar = 50106,
  kNormalScreen = 50107,
  kRemoteInputOff = 50108,
  kRemoteInputOn = 50109,
  kSnapshot = 50110,
  kSelectDesktop = 50111,
  kChat = 50112,
};

// Messages of the full-screen title bar to the frame window.
enum TitleBarMessage : unsigned {
  kTitleBarClose = 2024,
  kTitleBarMinimise = 2025,
  kTitleBarRestore = 2026,
  kTitleBarFitScreen = 2027,
  kTitleBarOneToOne = 2028,
  kTitleBarSnapshot = 2029,
  kTitleBarSwitchMonitor = 2030,
  kTitleBarChat = 2031,
  kTitleBarFileTransfer = 2032,
};

struct KeyStep {
  std::uint32_t keysym;
  bool down;
  bool operator==(const KeyStep& o) const { return keysym == o.keysym && down == o.down; }
};

// The KeyEvents of a key command (104-110, 143, 605-610), in order; empty for any other
// command.
std::vector<KeyStep> KeyCommandSteps(int command);

// What the connection information box tells.
struct ConnectionInfo {
  std::string desktopName;
  std::string host;
  int port = 0;
  std::string proxyHost;  // the repeater or proxy, when one is used
  int proxyPort = 0;
  unsigned width = 0, height = 0, serverDepth = 0, sessionDepth = 0;
  unsigned kbitsPerSecond = 0;
  int majorVersion = 0, minorVersion = 0;
  std::string keyboardName;
  std::string pluginName, pluginVersion;  // empty without a plug-in
};
// The text of the connection information box (at most 2047 characters).
std::string FormatConnectionInfo(const ConnectionInfo& info);

// The frame's caption while it waits to reconnect, with the attempts left.
std::string ReconnectTitle(int attemptsLeft);

}  // namespace framecmd
