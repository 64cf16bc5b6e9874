#include "display/KeyboardInput.h"

#include <algorithm>

#include "app/Log.h"
#include "display/KeySyms.h"

namespace {

constexpr unsigned kVirtKeyE = 0x45;

struct LiftedModifier {
  int bit;
  std::uint32_t keysym;
  const char* raised;
  const char* pressed;
};
// Released in this order, pressed again in the reverse order.
constexpr LiftedModifier kLiftOrder[] = {
    {AsciiKeyMap::kLiftLeftCtrl, keysyms::kControlL, "fake L Ctrl raised\n", "fake L Ctrl pressed\n"},
    {AsciiKeyMap::kLiftLeftAlt, keysyms::kAltL, "fake L Alt raised\n", "fake L Alt pressed\n"},
    {AsciiKeyMap::kLiftRightCtrl, keysyms::kControlR, "fake R Ctrl raised\n", "fake R Ctrl pressed\n"},
    {AsciiKeyMap::kLiftRightAlt, keysyms::kAltR, "fake R Alt raised\n", "fake R Alt pressed\n"},
};

void PressLifted(int lift, KeyEventSink& sink) {
  for (int i = 3; i >= 0; --i) {
    if (!(lift & kLiftOrder[i].bit)) continue;
    kebLog.Print(5, "%s", kLiftOrder[i].pressed);
    sink.SendKeyEvent(kLiftOrder[i].keysym, true);
  }
}

}  // namespace

KeyboardInput::KeyboardInput(KeyboardLayout& layout) : m_keyMap(layout), m_asciiKeyMap(layout) {}

void KeyboardInput::ProcessKeyEvent(unsigned virtKey, std::uint32_t keyData, bool japKeyboard, KeyEventSink& sink) {
  bool plain = japKeyboard;
  if (!plain && virtKey == kVirtKeyE) {
    // The E key goes the plain way too, except where a fresh press completes a stored
    // dead key (ê, ë): then its repeats and its release follow that press.
    const bool heldByKeyMap = m_keyMap.HeldKeysym(virtKey, (keyData & keydata::kExtended) != 0) != keysyms::kNone;
    const bool freshPress = (keyData & (keydata::kUp | keydata::kPrevious)) == 0;
    plain = !heldByKeyMap && !(freshPress && m_keyMap.DeadKeyStored());
  }
  if (plain)
    AsciiKeyEvent(virtKey, keyData, sink);
  else
    m_keyMap.PCtoX(virtKey, keyData, sink);
}

void KeyboardInput::AsciiKeyEvent(unsigned virtKey, std::uint32_t keyData, KeyEventSink& sink) {
  std::uint32_t keysyms[AsciiKeyMap::kMaxKeysyms + 1];
  int lift = 0;
  m_asciiKeyMap.TranslateKey(virtKey, (keyData & keydata::kExtended) != 0, keysyms, &lift);
  const bool down = (keyData & keydata::kUp) == 0;

  for (const LiftedModifier& m : kLiftOrder) {
    if (!(lift & m.bit)) continue;
    kebLog.Print(5, "%s", m.raised);
    sink.SendKeyEvent(m.keysym, false);
  }
  try {
    for (int i = 0; i < AsciiKeyMap::kMaxKeysyms && keysyms[i] != keysyms::kNone; ++i) SendKeysym(keysyms[i], down, sink);
  } catch (...) {
    try {
      PressLifted(lift, sink);
    } catch (...) {
    }
    throw;
  }
  PressLifted(lift, sink);
}

void KeyboardInput::SendKeysym(std::uint32_t keysym, bool down, KeyEventSink& sink) {
  auto it = std::find(m_held.begin(), m_held.end(), keysym);
  if (down && it == m_held.end()) m_held.push_back(keysym);
  if (!down && it != m_held.end()) m_held.erase(it);
  kebLog.Print(4, "Send KeySym 0x%08x (%s)\n", keysym, down ? "press" : "release");
  sink.SendKeyEvent(keysym, down);
}

void KeyboardInput::ReleaseAllKeys(KeyEventSink& sink) {
  m_keyMap.ReleaseAllKeys(sink);
  std::vector<std::uint32_t> held;
  held.swap(m_held);
  for (std::uint32_t keysym : held) {
    kebLog.Print(7, "\nReleasing KeySym 0x%08x (release)\n", keysym);
    sink.SendKeyEvent(keysym, false);
  }
}

void KeyboardInput::ResetKeyboard() {
  m_keyMap.ResetKeyboard();
  m_held.clear();
}
