// The bytes of the gii extension (RFB message 253) as this viewer uses it: the server's
// version range and device-creation reply, and the viewer's version answer, device
// creation and multitouch events. Everything the viewer sends is big-endian and says so
// (bit 7 of the sub-type byte); the server's values are in the byte order its own bit 7
// tells.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace gii {

constexpr std::uint8_t kMessageType = 253;
constexpr std::uint8_t kBigEndian = 0x80;
constexpr std::uint8_t kSubTypeMask = 0x7F;
enum SubType : std::uint8_t { kEventInjection = 0, kVersion = 1, kDeviceCreation = 2 };

// The fixed part behind the sub-type byte of sub-types 1 and 2 (the length field is
// read but not trusted: both have a body of this size).
constexpr std::size_t kServerBodySize = 6;

struct VersionRange {
  std::uint16_t length = 0, maximum = 0, minimum = 0;
};
VersionRange ParseVersionRange(const std::uint8_t body[kServerBodySize], bool bigEndian);

struct DeviceCreationReply {
  std::uint16_t length = 0;
  std::uint32_t origin = 0;
};
DeviceCreationReply ParseDeviceCreationReply(const std::uint8_t body[kServerBodySize], bool bigEndian);

// Whether the viewer answers a version range at all, and with which version (1 when it
// lies in the range, else -1).
bool AnswersVersionRange(const VersionRange& r);
int ChosenVersion(const VersionRange& r);

// [253, 0x81, 0, 2, version u16].
std::array<std::uint8_t, 6> VersionAnswer(int version);

// The multitouch device: one absolute valuator, one "button" per touch.
constexpr std::size_t kDeviceCreationSize = 176;
std::array<std::uint8_t, kDeviceCreationSize> DeviceCreation(std::uint32_t touchCount);

// Touch events (event type 12, absolute valuators).
constexpr std::uint8_t kValuatorAbsolute = 12;
constexpr std::size_t kEmptyTouchEventSize = 36;
constexpr std::size_t kTouchHeaderSize = 20;
constexpr std::size_t kTouchEntrySize = 24;
// The event-size byte counts 16 header bytes and 24 per touch: at most 9 touches fit.
constexpr std::size_t kMaxTouchesPerEvent = (255 - 16) / kTouchEntrySize;

// Per-touch flags word.
constexpr std::uint32_t kTouchFlagsBase = 0x01800011;  // time stamps, position, valid
constexpr std::uint32_t kTouchPressed = 0x80000000;    // down or moving
constexpr std::uint32_t kTouchPrimary = 0x20000000;
constexpr std::uint32_t kTouchHasSize = 0x10000000;
constexpr std::uint32_t kEmptyTouchFlags = 0x0180001F;

struct TouchReport {
  std::uint32_t flags = kTouchFlagsBase;
  std::uint32_t slot = 0;
  int x = 0, y = 0;  // framebuffer pixels; sent as u16, clamped
};

// One touch event: the empty 36-byte form for no touch, else a 20-byte header and 24 bytes
// per touch (at most kMaxTouchesPerEvent are taken; the size flag is never sent, so the
// length fields always count every byte).
std::vector<std::uint8_t> TouchEvent(std::uint32_t origin, const TouchReport* touches, std::size_t count,
                                     std::uint32_t milliseconds, std::int64_t microseconds);

}  // namespace gii
