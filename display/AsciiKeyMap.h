// The plain translator of the "JapKeyboard" option: a key gives the keysyms of a fixed
// table or the characters ToAscii gives under the current key state. On a Japanese layout
// the yen key gives the yen sign and the backslash key the backslash, although both type
// the same character code.
#pragma once

#include <cstdint>

#include "display/KeyboardLayout.h"

class AsciiKeyMap {
public:
  static constexpr int kMaxKeysyms = 4;

  // Modifiers to release around the keysyms and press again afterwards.
  enum Lift : int { kLiftLeftCtrl = 1, kLiftRightCtrl = 2, kLiftLeftAlt = 4, kLiftRightAlt = 8 };

  explicit AsciiKeyMap(KeyboardLayout& layout) : m_layout(layout) {}

  // Up to kMaxKeysyms keysyms in keysyms[], ended by keysyms::kNone; *lift is the set of
  // modifiers (Lift bits) to release around them.
  void TranslateKey(unsigned virtKey, bool extended, std::uint32_t keysyms[kMaxKeysyms + 1], int* lift);

  // ToAscii under the given key state; on a Japanese layout with Shift up, the yen key gives
  // the yen sign and the backslash key the backslash.
  int KeyToChars(unsigned virtKey, const std::uint8_t state[256], std::uint16_t chars[2]);

  // Whether the layout types a backslash with both the yen key and the backslash key, and
  // '|' and '_' with them shifted, as Japanese keyboards do.
  bool IsJapaneseLayout();

private:
  KeyboardLayout& m_layout;
};
