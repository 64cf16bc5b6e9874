#include "display/FrameCommands.h"

#include <cstdio>

namespace framecmd {

namespace {

constexpr std::uint32_t kControlL = 0xFFE3;
constexpr std::uint32_t kAltL = 0xFFE9;
constexpr std::uint32_t kDelete = 0xFFFF;
constexpr std::uint32_t kEscape = 0xFF1B;
constexpr std::uint32_t kSuperL = 0xFFEB;
constexpr std::uint32_t kSuperR = 0xFFEC;
constexpr std::uint32_t kMenu = 0xFF67;

}  // namespace

std::vector<KeyStep> KeyCommandSteps(int command) {
  switch (command) {
    case kCtrlDown: return {{kControlL, true}};
    case kCtrlUp: return {{kControlL, false}};
    case kAltDown: return {{kAltL, true}};
    case kAltUp: return {{kAltL, false}};
    case kCtrlAltDel:
      return {{kControlL, true}, {kAltL, true}, {kDelete, true}, {kDelete, false}, {kAltL, false}, {kControlL, false}};
    case kCtrlEsc: return {{kControlL, true}, {kEscape, true}, {kControlL, false}, {kEscape, false}};
    case kSuperLDown: return {{kSuperL, true}};
    case kSuperRDown: return {{kSuperR, true}};
    case kMenuDown: return {{kMenu, true}};
    case kSuperLUp: return {{kSuperL, false}};
    case kSuperRUp: return {{kSuperR, false}};
    case kMenuUp: return {{kMenu, false}};
    default: return {};
  }
}

std::string FormatConnectionInfo(const ConnectionInfo& i) {
  char proxyPort[16] = "";
  const bool proxy = !i.proxyHost.empty();
  if (proxy) std::snprintf(proxyPort, sizeof proxyPort, "%d", i.proxyPort);
  char text[2048];
  std::snprintf(text, sizeof text,
                "Connected to: %s\n\r\n\rHost: %s  Port: %d\n\r%s %s  %s\n\r\n\rDesktop geometry: %u x %u x %u\n\r"
                "Using depth: %u\n\rLine speed estimate: %u kbit/s\nCurrent protocol version: %d.%d\n\r\n\r"
                "Current keyboard name: %s\n\r\n\rUsing Plugin : %s - %s\n\r\n\r",
                i.desktopName.c_str(), i.host.c_str(), i.port, proxy ? i.proxyHost.c_str() : "", proxy ? "Port" : "",
                proxyPort, i.width, i.height, i.serverDepth, i.sessionDepth, i.kbitsPerSecond, i.majorVersion,
                i.minorVersion, i.keyboardName.c_str(), i.pluginName.c_str(), i.pluginVersion.c_str());
  return text;
}

std::string ReconnectTitle(int attemptsLeft) {
  return "Quillmar Remote - Connection dropped, trying to reconnect (" + std::to_string(attemptsLeft) + ")";
}

}  // namespace framecmd
