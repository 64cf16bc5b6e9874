#include "rdr/ByteOrder.h"
#include "session/ClientMessages.h"

namespace clientmsg {

namespace {

// A coordinate on the wire: 16 bits, negative values as 0, larger values cut to 65535.
std::uint16_t Coord(int v) { return static_cast<std::uint16_t>(v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : v); }

}  // namespace

std::array<std::uint8_t, 10> FramebufferUpdateRequest(bool incremental, int x, int y, int w, int h) {
  std::array<std::uint8_t, 10> m{};
  m[0] = kFramebufferUpdateRequest;
  m[1] = incremental ? 1 : 0;
  rdr::StoreU16BE(&m[2], Coord(x));
  rdr::StoreU16BE(&m[4], Coord(y));
  rdr::StoreU16BE(&m[6], Coord(w));
  rdr::StoreU16BE(&m[8], Coord(h));
  return m;
}

std::array<std::uint8_t, 8> KeyEvent(bool down, std::uint32_t key) {
  std::array<std::uint8_t, 8> m{};
  m[0] = kKeyEvent;
  m[1] = down ? 1 : 0;
  rdr::StoreU32BE(&m[4], key);
  return m;
}

std::array<std::uint8_t, 6> PointerEvent(std::uint8_t buttonMask, int x, int y) {
  std::array<std::uint8_t, 6> m{};
  m[0] = kPointerEvent;
  m[1] = buttonMask;
  rdr::StoreU16BE(&m[2], Coord(x));
  rdr::StoreU16BE(&m[4], Coord(y));
  return m;
}

std::array<std::uint8_t, 4> ServerScale(std::uint8_t scale) { return {kServerScale, scale, 0, 0}; }

std::array<std::uint8_t, 4> ServerInput(bool disable) {
  return {kServerInput, static_cast<std::uint8_t>(disable ? 1 : 0), 0, 0};
}

std::array<std::uint8_t, 6> DesktopSelection(int x, int y) {
  std::array<std::uint8_t, 6> m{};
  m[0] = kDesktopSelection;
  rdr::StoreU16BE(&m[2], Coord(x));
  rdr::StoreU16BE(&m[4], Coord(y));
  return m;
}

std::array<std::uint8_t, 1> KeepAlive() { return {kKeepAlive}; }

std::array<std::uint8_t, 4> CopyDataValue(std::uint8_t value) { return {kCopyDataValue, value, 0, 0}; }

std::vector<std::uint8_t> MonitorInfo(std::uint16_t a, std::uint16_t b, const std::vector<MonitorEntry>& monitors,
                                      std::uint32_t mode) {
  std::size_t n = monitors.size() > 255 ? 255 : monitors.size();
  std::vector<std::uint8_t> m(8 + 16 * n);
  m[0] = kMonitorInfo;
  rdr::StoreU16BE(&m[2], a);
  rdr::StoreU16BE(&m[4], b);
  m[6] = static_cast<std::uint8_t>(n);
  for (std::size_t i = 0; i < n; i++) {
    std::uint8_t* e = &m[8 + 16 * i];
    rdr::StoreU32BE(e, 1);
    rdr::StoreU16BE(e + 4, Coord(monitors[i].x));
    rdr::StoreU16BE(e + 6, Coord(monitors[i].y));
    rdr::StoreU16BE(e + 8, Coord(monitors[i].width));
    rdr::StoreU16BE(e + 10, Coord(monitors[i].height));
    rdr::StoreU32BE(e + 12, mode);
  }
  return m;
}

}  // namespace clientmsg
