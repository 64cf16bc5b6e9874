// The 12-byte rectangle header of a FramebufferUpdate and the encoding numbers.
#pragma once

#include <cstdint>

#include "rdr/InStream.h"

struct RectHeader {
  static constexpr int kWireSize = 12;

  std::uint16_t x = 0;
  std::uint16_t y = 0;
  std::uint16_t w = 0;
  std::uint16_t h = 0;
  std::int32_t encoding = 0;

  static RectHeader Read(rdr::InStream& in) {
    RectHeader r;
    r.x = in.ReadU16();
    r.y = in.ReadU16();
    r.w = in.ReadU16();
    r.h = in.ReadU16();
    r.encoding = in.ReadS32();
    return r;
  }
};

// Encoding numbers (signed 32-bit on the wire).
namespace rfbenc {
constexpr std::int32_t kRaw = 0;
constexpr std::int32_t kCopyRect = 1;
constexpr std::int32_t kRRE = 2;
constexpr std::int32_t kCoRRE = 4;
constexpr std::int32_t kHextile = 5;
constexpr std::int32_t kZlib = 6;
constexpr std::int32_t kTight = 7;
constexpr std::int32_t kZlibHex = 8;
constexpr std::int32_t kOpalo = 9;
constexpr std::int32_t kOpalo2 = 10;
constexpr std::int32_t kZRLE = 16;
constexpr std::int32_t kZYWRLE = 17;
constexpr std::int32_t kXZ = 18;
constexpr std::int32_t kXZYW = 19;
constexpr std::int32_t kZSTD = 25;
constexpr std::int32_t kTightZstd = 26;
constexpr std::int32_t kZstdHex = 27;
constexpr std::int32_t kZSTDRLE = 28;
constexpr std::int32_t kZSTDYWRLE = 29;

// Pseudo-encodings the FramebufferUpdate reader handles itself.
constexpr std::int32_t kXCursor = static_cast<std::int32_t>(0xFFFFFF10);
constexpr std::int32_t kRichCursor = static_cast<std::int32_t>(0xFFFFFF11);
constexpr std::int32_t kPointerPos = static_cast<std::int32_t>(0xFFFFFF18);
constexpr std::int32_t kLastRect = static_cast<std::int32_t>(0xFFFFFF20);
constexpr std::int32_t kNewFBSize = static_cast<std::int32_t>(0xFFFFFF21);
constexpr std::int32_t kExtendedDesktopSize = static_cast<std::int32_t>(0xFFFFFECC);
constexpr std::int32_t kDesktopRect = static_cast<std::int32_t>(0xFFFFFECD);

// Cache and rectangle-list encodings.
constexpr std::int32_t kCache = static_cast<std::int32_t>(0xFFFF0000);
constexpr std::int32_t kCacheZipList = static_cast<std::int32_t>(0xFFFF0007);
constexpr std::int32_t kZlibRectList = static_cast<std::int32_t>(0xFFFF0008);
constexpr std::int32_t kLzoRectList = static_cast<std::int32_t>(0xFFFF0009);
constexpr std::int32_t kZstdRectList = static_cast<std::int32_t>(0xFFFF000A);
}  // namespace rfbenc
