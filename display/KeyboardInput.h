// The keyboard input of one connection: the entry point for the viewer window's key
// messages, which chooses the translator (the layout-driven KeyMap, or AsciiKeyMap for the
// "JapKeyboard" option) and sends the keysyms to a sink, and the focus operations.
// Runs on the GUI thread; platform-free behind KeyboardLayout.
#pragma once

#include <cstdint>
#include <vector>

#include "display/AsciiKeyMap.h"
#include "display/KeyMap.h"
#include "display/KeyboardLayout.h"

class KeyboardInput {
public:
  explicit KeyboardInput(KeyboardLayout& layout);
  KeyboardInput(const KeyboardInput&) = delete;
  KeyboardInput& operator=(const KeyboardInput&) = delete;

  // One WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN or WM_SYSKEYUP: virtKey = wParam, keyData =
  // lParam. Sends the KeyEvents to the sink (the caller flushes the output afterwards).
  // Exceptions of the sink pass through, after lifted modifiers were pressed again.
  void ProcessKeyEvent(unsigned virtKey, std::uint32_t keyData, bool japKeyboard, KeyEventSink& sink);
  // A keysym of the viewer's own key commands (Ctrl, Alt, the Windows and Apps keys that the
  // keyboard hook hands over): sent like a typed one, and released on focus loss when it is
  // still down.
  void SendKeysym(std::uint32_t keysym, bool down, KeyEventSink& sink);
  // Focus lost: every keysym still down on the server is released.
  void ReleaseAllKeys(KeyEventSink& sink);
  // Focus gained: held keys and a stored dead key are forgotten.
  void ResetKeyboard();

  KeyMap& GetKeyMap() { return m_keyMap; }
  AsciiKeyMap& GetAsciiKeyMap() { return m_asciiKeyMap; }

private:
  void AsciiKeyEvent(unsigned virtKey, std::uint32_t keyData, KeyEventSink& sink);

  KeyMap m_keyMap;
  AsciiKeyMap m_asciiKeyMap;
  // Keysyms the plain translator and the key commands pressed and did not release yet.
  std::vector<std::uint32_t> m_held;
};
