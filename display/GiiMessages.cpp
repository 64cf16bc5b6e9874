#include "display/GiiMessages.h"

#include <algorithm>
#include <cstring>

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

class Writer {
public:
  explicit Writer(std::uint8_t* p) : p_(p) {}
  void U8(std::uint32_t v) { *p_++ = static_cast<std::uint8_t>(v); }
  void U16(std::uint32_t v) {
    U8(v >> 8);
    U8(v);
  }
  void U32(std::uint32_t v) {
    U16(v >> 16);
    U16(v);
  }
  void S64(std::int64_t v) {
    const std::uint64_t u = static_cast<std::uint64_t>(v);
    U32(static_cast<std::uint32_t>(u >> 32));
    U32(static_cast<std::uint32_t>(u));
  }
  // A text in a field of n bytes, NUL-padded.
  void Text(const char* s, std::size_t n) {
    std::memset(p_, 0, n);
    std::memcpy(p_, s, std::min(std::strlen(s), n - 1));
    p_ += n;
  }
  void Zeros(std::size_t n) {
    std::memset(p_, 0, n);
    p_ += n;
  }
  std::uint8_t* Pos() const { return p_; }

private:
  std::uint8_t* p_;
};

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
  std::array<std::uint8_t, 6> m{};
  Writer w(m.data());
  w.U8(kMessageType);
  w.U8(kBigEndian | kVersion);
  w.U16(2);
  w.U16(static_cast<std::uint32_t>(version));
  return m;
}

std::array<std::uint8_t, kDeviceCreationSize> DeviceCreation(std::uint32_t touchCount) {
  std::array<std::uint8_t, kDeviceCreationSize> m{};
  Writer w(m.data());
  w.U8(kMessageType);
  w.U8(kBigEndian | kDeviceCreation);
  w.U16(kDeviceCreationSize - 4);
  w.Text("ZUDIZ-MT", 32);
  w.U32(0x00000908);  // vendor
  w.U32(0x0000000B);  // product
  w.U32(0x00002000);  // event mask: absolute valuator events
  w.U32(0);           // registers
  w.U32(1);           // valuators
  w.U32(touchCount);  // buttons
  w.U32(0);           // valuator index
  w.Text("ZUDIZ Multitouch Device", 75);
  w.Text("TMD", 5);
  w.Zeros(32);  // range, SI unit, add, multiplier, divisor, shift
  return m;
}

std::vector<std::uint8_t> TouchEvent(std::uint32_t origin, const TouchReport* touches, std::size_t count,
                                     std::uint32_t milliseconds, std::int64_t microseconds) {
  count = std::min(count, kMaxTouchesPerEvent);
  const std::size_t size = count == 0 ? kEmptyTouchEventSize : kTouchHeaderSize + kTouchEntrySize * count;
  std::vector<std::uint8_t> m(size);
  Writer w(m.data());
  const std::uint32_t eventSize = static_cast<std::uint32_t>(size - 4);
  w.U8(kMessageType);
  w.U8(kBigEndian | kEventInjection);
  w.U16(eventSize);
  w.U8(eventSize);
  w.U8(kValuatorAbsolute);
  w.U16(0);
  w.U32(origin);
  if (count == 0) {
    w.U32(1);  // first valuator
    w.U32(4);  // valuator count
    w.U32(kEmptyTouchFlags);
    w.U32(milliseconds);
    w.S64(microseconds);
    return m;
  }
  w.U32(static_cast<std::uint32_t>(count));
  w.U32(static_cast<std::uint32_t>(6 * count));
  for (std::size_t i = 0; i < count; i++) {
    const TouchReport& t = touches[i];
    w.U32(t.flags & ~kTouchHasSize);  // no size follows the position
    w.U32(t.slot);
    w.U16(WireCoordinate(t.x));
    w.U16(WireCoordinate(t.y));
    w.U32(milliseconds);
    w.S64(microseconds);
  }
  return m;
}

}  // namespace gii
