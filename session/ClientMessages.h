// The bytes of the fixed-size client messages (all multi-byte fields big-endian).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace clientmsg {

enum Type : std::uint8_t {
  kSetPixelFormat = 0,
  kSetEncodings = 2,
  kFramebufferUpdateRequest = 3,
  kKeyEvent = 4,
  kPointerEvent = 5,
  kServerScale = 8,
  kServerInput = 9,
  kDesktopSelection = 10,
  kKeepAlive = 13,
  kPluginStreaming = 80,
  kMonitorInfo = 251,
  kCopyDataValue = 254,
};

std::array<std::uint8_t, 10> FramebufferUpdateRequest(bool incremental, int x, int y, int w, int h);
std::array<std::uint8_t, 8> KeyEvent(bool down, std::uint32_t key);
// Negative coordinates are sent as 0.
std::array<std::uint8_t, 6> PointerEvent(std::uint8_t buttonMask, int x, int y);
std::array<std::uint8_t, 4> ServerScale(std::uint8_t scale);
// [9, 1 to switch the server's input and monitor off or 0 to switch them on, 0, 0].
std::array<std::uint8_t, 4> ServerInput(bool disable);
std::array<std::uint8_t, 6> DesktopSelection(int x, int y);
std::array<std::uint8_t, 1> KeepAlive();
std::array<std::uint8_t, 4> CopyDataValue(std::uint8_t value);

struct MonitorEntry {
  int x, y, width, height;
};
// Header [251, 0, a u16, b u16, count u8, 0] and count entries of 16 bytes
// [u32 1, x u16, y u16, width u16, height u16, mode u32]. At most 255 entries.
std::vector<std::uint8_t> MonitorInfo(std::uint16_t a, std::uint16_t b, const std::vector<MonitorEntry>& monitors,
                                      std::uint32_t mode);

}  // namespace clientmsg
