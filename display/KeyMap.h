// Translation of the viewer window's key messages into X keysyms. Characters come from
// the local keyboard layout, so the server receives what the user's layout gives; dead
// keys are combined locally. For each physical key (key slot = extended flag x 256 +
// virtual key) the keysym its press sent is kept, so that the release sends exactly that
// keysym again whatever the modifiers are by then. Runs on the GUI thread.
#pragma once

#include <cstdint>
#include <map>

#include "display/KeyboardLayout.h"

class KeyMap {
public:
  static constexpr int kSlots = 512;
  static constexpr int kCharBuffer = 4;

  explicit KeyMap(KeyboardLayout& layout);
  KeyMap(const KeyMap&) = delete;
  KeyMap& operator=(const KeyMap&) = delete;

  // Translates one WM_KEYDOWN/WM_KEYUP/WM_SYSKEYDOWN/WM_SYSKEYUP (virtual key, key data)
  // and sends its keysyms. Exceptions of the sink pass through, after the modifiers that
  // were lifted for the character have been pressed again.
  void PCtoX(unsigned virtKey, std::uint32_t keyData, KeyEventSink& sink);
  // Sends the release of every keysym still held and forgets them (focus lost).
  void ReleaseAllKeys(KeyEventSink& sink);
  // Forgets held keysyms and the stored dead key and clears the system's dead-key state
  // (focus gained).
  void ResetKeyboard();

  // On: dead keys are sent as dead keysyms. Off: they are combined locally with the next
  // key. Turning it on forgets a stored dead key.
  void SetSendDeadKeys(bool on);
  // On: characters above U+00FE are sent as Unicode keysyms; off: as the legacy keysyms of
  // their script where one exists.
  void SetUnicodeKeysyms(bool on) { m_unicodeKeysyms = on; }

  // The keysym of one UTF-16 unit, or keysyms::kNone.
  std::uint32_t UnicodeToKeysym(std::uint16_t ucs) const;

  // The keysym the press of a key sent and that its release will send (kNone: none).
  std::uint32_t HeldKeysym(unsigned virtKey, bool extended) const;
  bool DeadKeyStored() const { return m_storedDeadChar != 0; }

private:
  class ModifierRepress;

  void PressKeysym(int slot, std::uint32_t keysym, KeyEventSink& sink);
  void ReleaseSlot(int slot, KeyEventSink& sink);
  void FlushDeadKey();
  void SetModifierState(int modifiers);
  int ModifierState() const;
  void RestoreStoredDeadKey();
  void SendCharacters(int slot, int count, KeyEventSink& sink);
  void BuildMaps();

  KeyboardLayout& m_layout;
  std::uint8_t m_keyState[256] = {};
  char16_t m_buffer[kCharBuffer] = {};
  std::uint32_t m_heldKeysyms[kSlots];
  std::uint16_t m_slotChars[kSlots] = {};
  std::uint16_t m_storedDeadChar = 0;
  // The key and modifiers (bits as SetModifierState) that typed the stored dead key.
  unsigned m_storedDeadVirtKey = 0;
  int m_storedDeadModifiers = 0;
  bool m_sendDeadKeys = true;
  bool m_unicodeKeysyms = true;

  // Set while a dead key typed in this process is pending in the system.
  static bool s_deadKeyPendingInSystem;

  using UcsMap = std::map<std::uint16_t, std::uint32_t>;
  UcsMap ucsLatinExtABMap;
  UcsMap ucsGreek_CopticMap;
  UcsMap ucsCyrillicMap;
  UcsMap ucsArmenianMap;
  UcsMap ucsHebrewMap;
  UcsMap ucsArabicMap;
  UcsMap ucsThaiMap;
  UcsMap ucsGeorgianMap;
  UcsMap ucsHangulJamoMap;
  UcsMap ucsLatinExtAddMap;
  UcsMap ucsGenPuncMap;
  UcsMap ucsCurrSymMap;
  UcsMap ucsCJKSym_PuncMap;
  UcsMap ucsKatakanaMap;
  UcsMap ucsGeneralMap;

  struct Block {
    std::uint16_t first, last;
    UcsMap KeyMap::*map;
    const char* name;
  };
  static const Block kBlocks[];
};
