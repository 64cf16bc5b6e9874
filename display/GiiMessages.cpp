#include "display/GiiMessages.h"

#include <algorithm>
#include <cstring>

#include "rdr/MemOutStream.h"

namespace gii {

namespace {

std::uint16_t U16(const std::uint8_t* p, bool bigEndian) {
  return bigEndian ? static_cast<std::uint16_t>((p[0] << 8) | p[1]) : static_cast<std::uint16_t>((p[1] << 8) | p[0]);
}

std::uint32_t U32(const std::uint8_t* p, bool bigEndian) {
  if (bigEndian)
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
  return (std::uint32_t(p[3]) << 24) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) | p[0];
}

// A text in a field of n bytes, NUL-padded (always terminated).
void WriteText(rdr::MemOutStream& out, const char* s, std::size_t n) {
  const std::size_t len = std::min(std::strlen(s), n - 1);
  out.WriteBytes(s, len);
  out.Pad(n - len);
}

void WriteS64(rdr::MemOutStream& out, std::int64_t v) {
  const std::uint64_t u = static_cast<std::uint64_t>(v);
  out.WriteU32(static_cast<std::uint32_t>(u >> 32));
  out.WriteU32(static_cast<std::uint32_t>(u));
}

template <std::size_t N>
std::array<std::uint8_t, N> ToArray(rdr::MemOutStream& out) {
  std::array<std::uint8_t, N> m{};
  std::memcpy(m.data(), out.Data(), std::min(N, out.Length()));
  return m;
}

std::uint16_t WireCoordinate(int v) { return static_cast<std::uint16_t>(std::clamp(v, 0, 0xFFFF)); }

}  // namespace

VersionRange ParseVersionRange(const std::uint8_t body[kServerBodySize], bool bigEndian) {
  VersionRange r;
  r.length = U16(body, bigEndian);
  r.maximum = U16(body + 2, bigEndian);
  r.minimum = U16(body + 4, bigEndian);
  return r;
}

DeviceCreationReply ParseDeviceCreationReply(const std::uint8_t body[kServerBodySize], bool bigEndian) {
  DeviceCreationReply r;
  r.length = U16(body, bigEndian);
  r.origin = U32(body + 2, bigEndian);
  return r;
}

bool AnswersVersionRange(const VersionRange& r) { return r.minimum < 2 && r.maximum != 0; }

int ChosenVersion(const VersionRange& r) { return (r.minimum <= 1 && r.maximum >= 1) ? 1 : -1; }

std::array<std::uint8_t, 6> VersionAnswer(int version) {
  rdr::MemOutStream out(6);
  out.WriteU8(kMessageType);
  out.WriteU8(kBigEndian | kVersion);
  out.WriteU16(2);
  out.WriteU16(static_cast<std::uint16_t>(version));
  return ToArray<6>(out);
}

std::array<std::uint8_t, kDeviceCreationSize> DeviceCreation(std::uint32_t touchCount) {
  rdr::MemOutStream out(kDeviceCreationSize);
  out.WriteU8(kMessageType);
  out.WriteU8(kBigEndian | kDeviceCreation);
  out.WriteU16(kDeviceCreationSize - 4);
  WriteText(out, "ZUDIZ-MT", 32);
  out.WriteU32(0x00000908);  // vendor
  out.WriteU32(0x0000000B);  // product
  out.WriteU32(0x00002000);  // event mask: absolute valuator events
  out.WriteU32(0);           // registers
  out.WriteU32(1);           // valuators
  out.WriteU32(touchCount);  // buttons
  out.WriteU32(0);           // valuator index
  WriteText(out, "ZUDIZ Multitouch Device", 75);
  WriteText(out, "TMD", 5);
  out.Pad(32);  // range, SI unit, add, multiplier, divisor, shift
  return ToArray<kDeviceCreationSize>(out);
}

std::vector<std::uint8_t> TouchEvent(std::uint32_t origin, const TouchReport* touches, std::size_t count,
                                     std::uint32_t milliseconds, std::int64_t microseconds) {
  count = std::min(count, kMaxTouchesPerEvent);
  const std::size_t size = count == 0 ? kEmptyTouchEventSize : kTouchHeaderSize + kTouchEntrySize * count;
  const std::uint32_t eventSize = static_cast<std::uint32_t>(size - 4);
  rdr::MemOutStream out(size);
  out.WriteU8(kMessageType);
  out.WriteU8(kBigEndian | kEventInjection);
  out.WriteU16(static_cast<std::uint16_t>(eventSize));
  out.WriteU8(static_cast<std::uint8_t>(eventSize));
  out.WriteU8(kValuatorAbsolute);
  out.WriteU16(0);
  out.WriteU32(origin);
  if (count == 0) {
    out.WriteU32(1);  // first valuator
    out.WriteU32(4);  // valuator count
    out.WriteU32(kEmptyTouchFlags);
    out.WriteU32(milliseconds);
    WriteS64(out, microseconds);
  } else {
    out.WriteU32(static_cast<std::uint32_t>(count));
    out.WriteU32(static_cast<std::uint32_t>(6 * count));
    for (std::size_t i = 0; i < count; i++) {
      const TouchReport& t = touches[i];
      out.WriteU32(t.flags & ~kTouchHasSize);  // no size follows the position
      out.WriteU32(t.slot);
      out.WriteU16(WireCoordinate(t.x));
      out.WriteU16(WireCoordinate(t.y));
      out.WriteU32(milliseconds);
      WriteS64(out, microseconds);
    }
  }
  return std::vector<std::uint8_t>(out.Data(), out.Data() + out.Length());
}

}  // namespace gii
