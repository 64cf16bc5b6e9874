#include "display/AsciiKeyMap.h"

#include "display/KeySyms.h"

namespace {

constexpr std::uint8_t kDown = 0x80;
constexpr int kVkScanShift = 0x100;  // Shift in the high byte of a VkKeyScan result

bool Printable(std::uint16_t c) { return (c >= 0x20 && c <= 0x7E) || c >= 0xA0; }

}  // namespace

// VkKeyScan leaves the layout's dead-key state alone, unlike typing test keys with
// ToAscii would.
bool AsciiKeyMap::IsJapaneseLayout() {
  return m_layout.VkKeyScan(u'_') == kVkScanShift + vkey::kOem102 &&
         m_layout.VkKeyScan(u'|') == kVkScanShift + vkey::kOem5;
}

int AsciiKeyMap::KeyToChars(unsigned virtKey, const std::uint8_t state[256], std::uint16_t chars[2]) {
  chars[0] = chars[1] = 0;
  if ((virtKey == vkey::kOem5 || virtKey == vkey::kOem102) && !(state[vkey::kShift] & kDown) && IsJapaneseLayout()) {
    chars[0] = virtKey == vkey::kOem5 ? keysyms::kYen : keysyms::kBackslash;
    return 1;
  }
  int n = m_layout.ToAscii(virtKey, 0, state, chars, 0);
  return n > 2 ? 2 : n;
}

void AsciiKeyMap::TranslateKey(unsigned virtKey, bool extended, std::uint32_t keysyms[kMaxKeysyms + 1], int* lift) {
  *lift = 0;
  keysyms[0] = keysyms::kNone;
  if (extended) {
    if (virtKey == vkey::kReturn) virtKey = keysyms::kVirtKeyKeypadEnter;
    else if (virtKey == vkey::kControl) virtKey = vkey::kRControl;
    else if (virtKey == vkey::kMenu) virtKey = vkey::kRMenu;
  }
  for (std::size_t i = 0; i < keysyms::asciiKeyMapSize; ++i) {
    if (keysyms::asciiKeyMap[i].virtKey == virtKey) {
      keysyms[0] = keysyms::asciiKeyMap[i].keysym;
      keysyms[1] = keysyms::kNone;
      return;
    }
  }
  if (virtKey > 0xFF) return;

  std::uint8_t state[256];
  m_layout.GetKeyboardState(state);
  std::uint16_t chars[2];
  int n = KeyToChars(virtKey, state, chars);
  if ((state[vkey::kControl] & kDown) && (state[vkey::kMenu] & kDown) && n > 0 && Printable(chars[0]) &&
      (n < 2 || Printable(chars[1]))) {
    // A character typed with AltGr: sent without the modifiers that are held.
    *lift = ((state[vkey::kLControl] & kDown) ? kLiftLeftCtrl : 0) | ((state[vkey::kLMenu] & kDown) ? kLiftLeftAlt : 0) |
            ((state[vkey::kRMenu] & kDown) ? kLiftRightAlt : 0);
    if (*lift == 0) *lift = kLiftLeftCtrl | kLiftLeftAlt | kLiftRightAlt;
    for (int i = 0; i < n; ++i) keysyms[i] = chars[i];
    keysyms[n] = keysyms::kNone;
    return;
  }

  state[vkey::kControl] = state[vkey::kLControl] = state[vkey::kRControl] = 0;
  n = KeyToChars(virtKey, state, chars);
  int count = 0;
  if (n == 2 && chars[0] == 0xB4 && chars[1] == 0xF9) {
    keysyms[count++] = keysyms::kDeadAcute;
  } else if (n == 2 && chars[0] == 0x60 && chars[1] == 0xB5) {
    keysyms[count++] = keysyms::kDeadGrave;
  } else if (n > 0) {
    for (int i = 0; i < n; ++i) keysyms[count++] = chars[i];
  } else if (n < 0) {
    switch (chars[0]) {
      case '\'': keysyms[count++] = keysyms::kDeadAcute; break;
      case '^': keysyms[count++] = keysyms::kDeadCircumflex; break;
      case '`': keysyms[count++] = keysyms::kDeadGrave; break;
      case '~': keysyms[count++] = keysyms::kDeadTilde; break;
      case 0xA8: keysyms[count++] = keysyms::kDeadDiaeresis; break;
      default: break;
    }
  }
  keysyms[count] = keysyms::kNone;
}
