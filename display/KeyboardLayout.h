// What the keyboard translation asks of the local system: the keyboard state and the
// active keyboard layout (the Win32 ToUnicode, ToAscii and VkKeyScanW calls), and one
// injected key. The Win32 shell answers with the real calls; tests answer from tables.
// Also the receiver of the translated keysyms.
#pragma once

#include <cstdint>

// Virtual keys and key-data bits the translation needs (the Win32 values).
namespace vkey {
enum : unsigned {
  kCancel = 3,
  kReturn = 13,
  kShift = 16,
  kControl = 17,
  kMenu = 18,
  kCapital = 20,
  kSpace = 32,
  kLWin = 91,
  kRWin = 92,
  kLShift = 160,
  kRShift = 161,
  kLControl = 162,
  kRControl = 163,
  kLMenu = 164,
  kRMenu = 165,
  kOem5 = 220,    // the yen key of Japanese keyboards
  kOem102 = 226,  // the backslash key of Japanese keyboards
};
}  // namespace vkey

namespace keydata {
constexpr std::uint32_t kExtended = 1u << 24;
constexpr std::uint32_t kPrevious = 1u << 30;  // the key was down before (auto-repeat)
constexpr std::uint32_t kUp = 1u << 31;        // the key is being released
}  // namespace keydata

class KeyboardLayout {
public:
  virtual ~KeyboardLayout() = default;

  // The thread's 256-byte key state (bit 7: down, bit 0: toggled), as GetKeyboardState.
  virtual void GetKeyboardState(std::uint8_t state[256]) = 0;
  // As ToUnicode: the number of UTF-16 units written (at most bufLen), negative for a
  // dead key (buf[0] then holds its spacing character), 0 for none. Like the system call
  // it updates the layout's own dead-key state.
  virtual int ToUnicode(unsigned virtKey, unsigned scanCode, const std::uint8_t state[256], char16_t* buf,
                        int bufLen, unsigned flags) = 0;
  // As ToAscii: characters of the ANSI code page in chars[0..1]; the same results.
  virtual int ToAscii(unsigned virtKey, unsigned scanCode, const std::uint8_t state[256], std::uint16_t chars[2],
                      unsigned flags) = 0;
  // As VkKeyScanW: virtual key in the low byte, modifiers (1 Shift, 2 Control, 4 Alt) in
  // the high byte; -1 when no key of the layout gives the character.
  virtual short VkKeyScan(char16_t ch) = 0;

  // Injects a press and release of the Space key into the local input, so that the system
  // drops its own dead-key state.
  virtual void InjectSpace() = 0;
  // Whether the key message being handled is one that InjectSpace produced.
  virtual bool IsInjectedSpace() = 0;
};

// Receives the translated keys: one RFB KeyEvent each.
class KeyEventSink {
public:
  virtual ~KeyEventSink() = default;
  virtual void SendKeyEvent(std::uint32_t keysym, bool down) = 0;
};
