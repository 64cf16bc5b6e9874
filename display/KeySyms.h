// X keysym tables of the keyboard translation: the special keys by Windows virtual key,
// the dead keys by spacing character, the table of the plain (ASCII) translator, and the
// X keysym-to-UCS correspondence from which the Unicode-to-keysym maps are built.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keysyms {

constexpr std::uint32_t kNone = 0xFFFFFF;  // "no keysym"
constexpr std::uint32_t kUnicodeBase = 0x01000000;

// Keysyms the translation code names itself.
enum : std::uint32_t {
  kControlL = 0xFFE3,
  kControlR = 0xFFE4,
  kAltL = 0xFFE9,
  kAltR = 0xFFEA,
  kDeadGrave = 0xFE50,
  kDeadAcute = 0xFE51,
  kDeadCircumflex = 0xFE52,
  kDeadTilde = 0xFE53,
  kDeadDiaeresis = 0xFE57,
  kYen = 0x00A5,
  kBackslash = 0x005C,
};

// A key without a character: virtual key and extended flag (bit 24 of the key data).
struct SpecialKey {
  std::uint32_t keysym;
  std::uint8_t virtKey;
  std::uint8_t extended;
};
extern const SpecialKey keyMap[];
extern const std::size_t keyMapSize;  // 97

struct DeadKey {
  std::uint32_t keysym;
  std::uint16_t spacing;  // the character ToUnicode reports for the dead key
};
extern const DeadKey deadKeyMap[];
extern const std::size_t deadKeyMapSize;  // 9

// Pseudo virtual key of the keypad Enter (Enter with the extended flag) in the plain
// translator's table.
constexpr std::uint32_t kVirtKeyKeypadEnter = 0x1234;

struct AsciiKey {
  std::uint32_t virtKey;
  std::uint32_t keysym;
};
extern const AsciiKey asciiKeyMap[];
extern const std::size_t asciiKeyMapSize;  // 84

// The X keysym-to-UCS correspondence: the keysyms below 0x01000000 that stand for exactly
// one Unicode character, and the Unicode keysyms of the scripts that have no others
// (Armenian, Georgian, Latin Extended Additional). Each run maps count consecutive
// keysyms to count consecutive characters; runs are in keysym order.
struct KeysymRun {
  std::uint32_t keysym;
  std::uint16_t ucs;
  std::uint16_t count;
};
extern const KeysymRun keysymToUcs[];
extern const std::size_t keysymToUcsSize;

}  // namespace keysyms
