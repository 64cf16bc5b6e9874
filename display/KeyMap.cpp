#include "display/KeyMap.h"

#include <algorithm>
#include <cstring>

#include "app/Log.h"
#include "display/KeySyms.h"

namespace {

constexpr int kExtendedSlot = 256;
constexpr std::uint8_t kDown = 0x80;
constexpr int kModShift = 1, kModControl = 2, kModAlt = 4;
// A layout whose Space key is itself a dead key would keep answering "dead key".
constexpr int kMaxFlushRounds = 8;

// The modifier entries of the key state that dead-key restoring saves and puts back.
constexpr unsigned kModifierKeys[] = {vkey::kShift,    vkey::kControl,  vkey::kMenu,     vkey::kLShift, vkey::kRShift,
                                      vkey::kLControl, vkey::kRControl, vkey::kLMenu, vkey::kRMenu};

// The modifiers lifted around a character typed with Ctrl and Alt down, in the order they
// are released; they are pressed again in the reverse order.
struct Lifted {
  int slot;
  const char* name;
};
constexpr Lifted kLifted[] = {
    {vkey::kControl, "Left Ctrl "}, {vkey::kMenu, "Left Alt "}, {kExtendedSlot + vkey::kMenu, "Right Alt "}};
constexpr int kLiftedCount = 3;

const char* ExtendedText(int slot) { return slot >= kExtendedSlot ? "extended " : ""; }

// A character for "%c" in the log: printable ASCII as it is, anything else as '?'.
int Shown(unsigned ch) { return (ch >= 0x20 && ch < 0x7F) ? static_cast<int>(ch) : '?'; }

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

bool KeyMap::s_deadKeyPendingInSystem = false;

const KeyMap::Block KeyMap::kBlocks[] = {
    {0x0100, 0x024F, &KeyMap::ucsLatinExtABMap, "ucsLatinExtABMap"},
    {0x0370, 0x03FF, &KeyMap::ucsGreek_CopticMap, "ucsGreek_CopticMap"},
    {0x0400, 0x04FF, &KeyMap::ucsCyrillicMap, "ucsCyrillicMap"},
    {0x0530, 0x058F, &KeyMap::ucsArmenianMap, "ucsArmenianMap"},
    {0x0590, 0x05FF, &KeyMap::ucsHebrewMap, "ucsHebrewMap"},
    {0x0600, 0x06FF, &KeyMap::ucsArabicMap, "ucsArabicMap"},
    {0x0E00, 0x0E7F, &KeyMap::ucsThaiMap, "ucsThaiMap"},
    {0x10A0, 0x10FF, &KeyMap::ucsGeorgianMap, "ucsGeorgianMap"},
    {0x1100, 0x11FF, &KeyMap::ucsHangulJamoMap, "ucsHangulJamoMap"},
    {0x1E00, 0x1EFF, &KeyMap::ucsLatinExtAddMap, "ucsLatinExtAddMap"},
    {0x2000, 0x206F, &KeyMap::ucsGenPuncMap, "ucsGenPuncMap"},
    {0x20A0, 0x20CF, &KeyMap::ucsCurrSymMap, "ucsCurrSymMap"},
    {0x3000, 0x303F, &KeyMap::ucsCJKSym_PuncMap, "ucsCJKSym_PuncMap"},
    {0x30A0, 0x30FF, &KeyMap::ucsKatakanaMap, "ucsKatakanaMap"},
};

// Presses again, on every way out of PCtoX, the modifiers that were released so that a
// character typed with Ctrl and Alt down reaches the server without them.
class KeyMap::ModifierRepress {
public:
  ModifierRepress(KeyMap& keyMap, KeyEventSink& sink) : m_keyMap(keyMap), m_sink(sink) {}
  ModifierRepress(const ModifierRepress&) = delete;
  ModifierRepress& operator=(const ModifierRepress&) = delete;
  ~ModifierRepress() {
    // Leaving by an exception: a second failure here must not end the process.
    try {
      Run();
    } catch (...) {
    }
  }

  void Lift(int index) { m_lifted[index] = true; }

  void Run() {
    for (int i = kLiftedCount - 1; i >= 0; --i) {
      if (!m_lifted[i]) continue;
      m_lifted[i] = false;
      const int slot = kLifted[i].slot;
      const std::uint32_t keysym = m_keyMap.m_heldKeysyms[slot];
      if (keysym == keysyms::kNone) continue;
      kebLog.Print(5, "Fake press %s(%sVirtKey 0x%02x)\n", kLifted[i].name, ExtendedText(slot), slot & 0xFF);
      m_sink.SendKeyEvent(keysym, true);
    }
  }

private:
  KeyMap& m_keyMap;
  KeyEventSink& m_sink;
  bool m_lifted[kLiftedCount] = {};
};

KeyMap::KeyMap(KeyboardLayout& layout) : m_layout(layout) {
  std::fill(std::begin(m_heldKeysyms), std::end(m_heldKeysyms), keysyms::kNone);
  BuildMaps();
}

// Inverts the keysym-to-UCS correspondence block by block; where two keysyms give the
// same character the first one is kept.
void KeyMap::BuildMaps() {
  for (std::size_t r = 0; r < keysyms::keysymToUcsSize; ++r) {
    const keysyms::KeysymRun& run = keysyms::keysymToUcs[r];
    for (unsigned i = 0; i < run.count; ++i) {
      const std::uint16_t ucs = static_cast<std::uint16_t>(run.ucs + i);
      UcsMap KeyMap::*target = &KeyMap::ucsGeneralMap;
      for (const Block& block : kBlocks) {
        if (ucs >= block.first && ucs <= block.last) {
          target = block.map;
          break;
        }
      }
      (this->*target).emplace(ucs, run.keysym + i);
    }
  }
}

void KeyMap::SetSendDeadKeys(bool on) {
  m_sendDeadKeys = on;
  if (on) m_storedDeadChar = 0;
}

std::uint32_t KeyMap::HeldKeysym(unsigned virtKey, bool extended) const {
  if (virtKey > 0xFF) return keysyms::kNone;
  return m_heldKeysyms[(extended ? kExtendedSlot : 0) + virtKey];
}

std::uint32_t KeyMap::UnicodeToKeysym(std::uint16_t ucs) const {
  if ((ucs >= 0x20 && ucs <= 0x7E) || (ucs >= 0xA0 && ucs <= 0xFF)) {
    kebLog.Print(8, "  0x%04x (Latin-1 '%c'): ", ucs, Shown(ucs));
    return ucs;
  }
  if (ucs < 0xFF) {
    kebLog.Print(8, "  0x%04x (Non printable Latin-1): ", ucs);
    return keysyms::kNone;
  }
  if (ucs >= 0xD800 && ucs <= 0xDFFF) {
    // Half of a character outside the BMP; a whole pair is mapped by the caller.
    kebLog.Print(8, "  0x%04x (Lone surrogate): ", ucs);
    return keysyms::kNone;
  }
  if (m_unicodeKeysyms) return keysyms::kUnicodeBase | ucs;

  for (const Block& block : kBlocks) {
    if (ucs < block.first || ucs > block.last) continue;
    const UcsMap& map = this->*block.map;
    auto it = map.find(ucs);
    if (it != map.end()) return it->second;
    kebLog.Print(8, "  The character is missing in %s\n", block.name);
    return keysyms::kNone;
  }
  auto it = ucsGeneralMap.find(ucs);
  if (it != ucsGeneralMap.end()) return it->second;
  kebLog.Print(8, "  0x%04x (Not supported yet)\n", ucs);
  return keysyms::kNone;
}

void KeyMap::PCtoX(unsigned virtKey, std::uint32_t keyData, KeyEventSink& sink) {
  // The Windows keys reach the server through the keyboard hook's commands.
  if (virtKey == vkey::kLWin || virtKey == vkey::kRWin) return;

  const bool extended = (keyData & keydata::kExtended) != 0;
  const bool up = (keyData & keydata::kUp) != 0;
  kebLog.Print(8, "\nPCtoX: %svirtKey 0x%02x%s%s, keyData 0x%08x\n", extended ? "extended " : "", virtKey,
               (keyData & keydata::kPrevious) ? " repeated" : "", up ? " up" : " down", keyData);
  if (virtKey > 0xFF) {
    kebLog.Print(0, "Virtual key 0x%x out of range: ignored\n", virtKey);
    return;
  }
  // The Space that clears the system's dead-key state is local only.
  if (virtKey == vkey::kSpace && m_layout.IsInjectedSpace()) {
    kebLog.Print(8, "Space injected to clear the dead-key state: not sent\n");
    return;
  }
  const int slot = (extended ? kExtendedSlot : 0) + static_cast<int>(virtKey);

  if (up) {
    kebLog.Print(8, "Release the associated KeySym when this VirtKey was pressed\n");
    m_slotChars[slot] = 0;
    if (m_heldKeysyms[slot] != keysyms::kNone) {
      kebLog.Print(4, "Send KeySym 0x%08x (release)\n", m_heldKeysyms[slot]);
      ReleaseSlot(slot, sink);
    } else {
      kebLog.Print(4, "No associated KeySym\n");
    }
    m_layout.GetKeyboardState(m_keyState);
    const bool ctrlAlt = (m_keyState[vkey::kControl] & kDown) && (m_keyState[vkey::kMenu] & kDown);
    if (!ctrlAlt && m_storedDeadChar != 0 && s_deadKeyPendingInSystem) {
      s_deadKeyPendingInSystem = false;
      m_layout.InjectSpace();
    }
    return;
  }

  const keysyms::SpecialKey* special = nullptr;
  bool matched = false;
  for (std::size_t i = 0; i < keysyms::keyMapSize; ++i) {
    const keysyms::SpecialKey& row = keysyms::keyMap[i];
    if (row.virtKey != virtKey) continue;
    special = &row;
    if ((row.extended != 0) == extended) {
      matched = true;
      break;
    }
  }
  if (special) {
    kebLog.Print(8, "-> keyMap gives (from %s extended flag) KeySym %u (0x%08x)\n", matched ? "matched" : "opposite",
                 special->keysym, special->keysym);
    PressKeysym(slot, special->keysym, sink);
    return;
  }

  kebLog.Print(8, "-> not in special keyMap\n");
  m_layout.GetKeyboardState(m_keyState);
  ModifierRepress repress(*this, sink);
  const bool ctrlAlt = (m_keyState[vkey::kControl] & kDown) && (m_keyState[vkey::kMenu] & kDown);
  if (ctrlAlt) {
    // AltGr (or Ctrl+Alt): the server gets the character the layout gives, without the
    // modifiers that produced it.
    kebLog.Print(8, "Ctrl-Alt pressed:\n");
    for (int i = 0; i < kLiftedCount; ++i) {
      const int liftSlot = kLifted[i].slot;
      const std::uint32_t keysym = m_heldKeysyms[liftSlot];
      if (keysym == keysyms::kNone) continue;
      kebLog.Print(5, "  Fake release %s(%sVirtKey 0x%02x): ", kLifted[i].name, ExtendedText(liftSlot), liftSlot & 0xFF);
      kebLog.Print(4, "Send KeySym 0x%08x (release)\n", keysym);
      repress.Lift(i);
      sink.SendKeyEvent(keysym, false);
    }
  } else {
    // Ctrl+letter is sent as Control and the letter, not as a control character.
    kebLog.Print(8, "Ctrl-Alt not pressed, fake release any Ctrl key\n");
    m_keyState[vkey::kControl] = m_keyState[vkey::kLControl] = m_keyState[vkey::kRControl] = 0;
  }

  if (m_storedDeadChar != 0) RestoreStoredDeadKey();

  int n = m_layout.ToUnicode(virtKey, 0, m_keyState, m_buffer, kCharBuffer, 0);
  if (n == 0 && ctrlAlt) {
    // No AltGr character on this key: a Ctrl+Alt shortcut. The key's own character goes
    // with the modifiers down, as Ctrl+letter does.
    kebLog.Print(8, "No character with Ctrl-Alt: sent as a shortcut\n");
    repress.Run();
    m_keyState[vkey::kControl] = m_keyState[vkey::kLControl] = m_keyState[vkey::kRControl] = 0;
    m_keyState[vkey::kMenu] = m_keyState[vkey::kLMenu] = m_keyState[vkey::kRMenu] = 0;
    n = m_layout.ToUnicode(virtKey, 0, m_keyState, m_buffer, kCharBuffer, 0);
  }
  if (n > kCharBuffer) n = kCharBuffer;
  // Two equal characters: the dead key met itself, pending from the message loop's own
  // translation of this key.
  if (n < 0 || (n == 2 && m_buffer[0] == m_buffer[1])) {
    const std::uint16_t deadChar = m_buffer[0];
    kebLog.Print(8, "ToUnicode returns dead key: 0x%02x (%c) ", deadChar, Shown(deadChar));
    if (m_sendDeadKeys) {
      const keysyms::DeadKey* dead = nullptr;
      for (std::size_t i = 0; i < keysyms::deadKeyMapSize && !dead; ++i)
        if (keysyms::deadKeyMap[i].spacing == deadChar) dead = &keysyms::deadKeyMap[i];
      if (dead) {
        kebLog.Print(8, "-> deadKeyMap gives KeySym %u (0x%08x)\n", dead->keysym, dead->keysym);
        PressKeysym(slot, dead->keysym, sink);
      } else {
        kebLog.Print(8, "-> not in deadKeyMap\n");
      }
    } else {
      m_storedDeadChar = deadChar;
      m_storedDeadVirtKey = virtKey;
      m_storedDeadModifiers = ModifierState();
      s_deadKeyPendingInSystem = true;
      kebLog.Print(8, "-> Store the dead key state, wait for next key-stroke\n");
    }
    FlushDeadKey();
  } else if (n > 0) {
    kebLog.Print(8, "ToUnicode returns %d character(s):\n", n);
    SendCharacters(slot, n, sink);
  } else {
    kebLog.Print(8, "No character is generated by this key event\n");
  }
  repress.Run();
}

void KeyMap::SendCharacters(int slot, int count, KeyEventSink& sink) {
  for (int i = 0; i < count; ++i) {
    const char16_t unit = m_buffer[i];
    std::uint32_t keysym;
    if (IsHighSurrogate(unit) && i + 1 < count && IsLowSurrogate(m_buffer[i + 1])) {
      const std::uint32_t code = 0x10000 + ((unit - 0xD800u) << 10) + (m_buffer[i + 1] - 0xDC00u);
      kebLog.Print(8, "  U+%05X: ", code);
      keysym = m_unicodeKeysyms ? (keysyms::kUnicodeBase | code) : keysyms::kNone;
      ++i;
    } else {
      keysym = UnicodeToKeysym(unit);
    }
    if (keysym == keysyms::kNone) continue;
    m_slotChars[slot] = unit;
    PressKeysym(slot, keysym, sink);
  }
}

void KeyMap::PressKeysym(int slot, std::uint32_t keysym, KeyEventSink& sink) {
  if (m_heldKeysyms[slot] != keysyms::kNone) {
    kebLog.Print(4, "The %sVirtKey 0x%02x has been pressed -> Release previous associated KeySym 0x%08x\n",
                 ExtendedText(slot), slot & 0xFF, m_heldKeysyms[slot]);
    kebLog.Print(4, "  New KeySym: ");
    ReleaseSlot(slot, sink);
  }
  kebLog.Print(4, "Send KeySym 0x%08x (press)\n", keysym);
  // Recorded before sending: a release the server did not need is harmless, a key left
  // down on the server is not.
  m_heldKeysyms[slot] = keysym;
  sink.SendKeyEvent(keysym, true);
}

void KeyMap::ReleaseSlot(int slot, KeyEventSink& sink) {
  const std::uint32_t keysym = m_heldKeysyms[slot];
  m_heldKeysyms[slot] = keysyms::kNone;
  sink.SendKeyEvent(keysym, false);
}

void KeyMap::ReleaseAllKeys(KeyEventSink& sink) {
  for (int slot = 0; slot < kSlots; ++slot) {
    m_slotChars[slot] = 0;
    if (m_heldKeysyms[slot] == keysyms::kNone) continue;
    kebLog.Print(7, "\nReleasing %sVirtKey 0x%02x -> Send KeySym 0x%08x (release)\n", ExtendedText(slot), slot & 0xFF,
                 m_heldKeysyms[slot]);
    ReleaseSlot(slot, sink);
  }
}

void KeyMap::ResetKeyboard() {
  kebLog.Print(8, "Reset keyboard for first use\n");
  m_storedDeadChar = 0;
  m_layout.GetKeyboardState(m_keyState);
  FlushDeadKey();
  std::fill(std::begin(m_heldKeysyms), std::end(m_heldKeysyms), keysyms::kNone);
  std::fill(std::begin(m_slotChars), std::end(m_slotChars), std::uint16_t{0});
}

// Clears the layout's dead-key state by typing Space into it until no dead key is left.
void KeyMap::FlushDeadKey() {
  std::uint8_t state[256];
  std::memcpy(state, m_keyState, sizeof state);
  state[vkey::kMenu] = state[vkey::kLMenu] = state[vkey::kRMenu] = 0;
  kebLog.Print(8, "Flush dead key gives: ");
  for (int round = 0; round < kMaxFlushRounds; ++round) {
    char16_t buf[kCharBuffer] = {};
    const int n = m_layout.ToUnicode(vkey::kSpace, 0, state, buf, kCharBuffer, 0);
    if (n < 0) {
      kebLog.Print(8, "dead key: 0x%04x (%c)\n", buf[0], Shown(buf[0]));
      continue;
    }
    kebLog.Print(8, "%d character(s): 0x%04x (%c)\n", n, buf[0], Shown(buf[0]));
    return;
  }
  kebLog.Print(0, "The dead-key state is still set after %d Space keys\n", kMaxFlushRounds);
}

void KeyMap::SetModifierState(int modifiers) {
  struct Modifier {
    int bit;
    unsigned generic, left, right;
    const char* press;
    const char* release;
  };
  static const Modifier kModifiers[] = {
      {kModShift, vkey::kShift, vkey::kLShift, vkey::kRShift, "[Emulating Shift press] ", "[Emulating Shift release] "},
      {kModControl, vkey::kControl, vkey::kLControl, vkey::kRControl, "[Emulating Control press] ",
       "[Emulating Control release] "},
      {kModAlt, vkey::kMenu, vkey::kLMenu, vkey::kRMenu, "[Emulating Alt press] ", "[Emulating Alt release] "},
  };
  for (const Modifier& m : kModifiers) {
    const bool want = (modifiers & m.bit) != 0;
    const bool down = (m_keyState[m.generic] & kDown) != 0;
    if (want && !down) {
      kebLog.Print(8, "%s", m.press);
      m_keyState[m.generic] |= kDown;
      m_keyState[m.left] |= kDown;
    } else if (!want && down) {
      kebLog.Print(8, "%s", m.release);
      m_keyState[m.generic] &= static_cast<std::uint8_t>(~kDown);
      m_keyState[m.left] &= static_cast<std::uint8_t>(~kDown);
      m_keyState[m.right] &= static_cast<std::uint8_t>(~kDown);
    }
  }
}

int KeyMap::ModifierState() const {
  return ((m_keyState[vkey::kShift] & kDown) ? kModShift : 0) | ((m_keyState[vkey::kControl] & kDown) ? kModControl : 0) |
         ((m_keyState[vkey::kMenu] & kDown) ? kModAlt : 0);
}

// Types the stored dead key into the layout again, with the modifiers it needs, so that
// the key now being translated combines with it. The key is looked up by its character;
// where the layout also types that character without a dead key (French AltGr+9 gives a
// plain '^'), the key that typed the dead key is used instead.
void KeyMap::RestoreStoredDeadKey() {
  kebLog.Print(8, "[Storing base character modifier(s)]\n");
  std::uint8_t saved[sizeof kModifierKeys / sizeof kModifierKeys[0]];
  for (std::size_t i = 0; i < sizeof saved; ++i) saved[i] = m_keyState[kModifierKeys[i]];
  const int savedModifiers = ModifierState();

  const std::uint16_t deadChar = m_storedDeadChar;
  m_storedDeadChar = 0;
  struct Candidate {
    unsigned virtKey;
    int modifiers;
  } candidates[2];
  int count = 0;
  const short scan = m_layout.VkKeyScan(deadChar);
  if (scan != -1 && (static_cast<unsigned>(scan) & 0xFF) != 0xFF)
    candidates[count++] = {static_cast<unsigned>(scan) & 0xFF,
                           static_cast<int>((static_cast<unsigned>(scan) >> 8) & (kModShift | kModControl | kModAlt))};
  if (m_storedDeadVirtKey != 0 &&
      (count == 0 || candidates[0].virtKey != m_storedDeadVirtKey || candidates[0].modifiers != m_storedDeadModifiers))
    candidates[count++] = {m_storedDeadVirtKey, m_storedDeadModifiers};

  bool restored = false;
  for (int i = 0; i < count && !restored; ++i) {
    kebLog.Print(8, "[A dead key was stored, restoring the dead key state: 0x%02x (%c) using virtDeadKey 0x%02x] ",
                 deadChar, Shown(deadChar), candidates[i].virtKey);
    SetModifierState(candidates[i].modifiers);
    char16_t buf[kCharBuffer];
    restored = m_layout.ToUnicode(candidates[i].virtKey, 0, m_keyState, buf, kCharBuffer, 0) < 0;
  }
  if (!restored) kebLog.Print(8, "[The dead key 0x%02x (%c) is not on the keyboard layout: dropped] ", deadChar, Shown(deadChar));
  kebLog.Print(8, "[Restoring base character modifier(s)] ");
  SetModifierState(savedModifiers);
  for (std::size_t i = 0; i < sizeof saved; ++i) m_keyState[kModifierKeys[i]] = saved[i];
}
