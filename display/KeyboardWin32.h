// The keyboard translation on Windows: the calling thread's keyboard layout through the
// Win32 calls, and one connection's keyboard input sending its KeyEvents to the session.
#pragma once

#include <windows.h>

#include <cstdint>

#include "display/KeyboardInput.h"

class RfbSession;

class Win32KeyboardLayout : public KeyboardLayout {
public:
  // Extra information of the Space key events that InjectSpace sends.
  static constexpr ULONG_PTR kInjectedSpaceTag = 0x4B454253;

  void GetKeyboardState(std::uint8_t state[256]) override;
  int ToUnicode(unsigned virtKey, unsigned scanCode, const std::uint8_t state[256], char16_t* buf, int bufLen,
                unsigned flags) override;
  int ToAscii(unsigned virtKey, unsigned scanCode, const std::uint8_t state[256], std::uint16_t chars[2],
              unsigned flags) override;
  short VkKeyScan(char16_t ch) override;
  void InjectSpace() override;
  bool IsInjectedSpace() override;
};

// What the viewer and frame windows call, on the GUI thread:
//   WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP -> ProcessKeyEvent(wParam, lParam, "JapKeyboard"),
//     then flush the output buffer;
//   WM_SETFOCUS (viewer and frame window) -> ResetKeyboard;
//   WM_KILLFOCUS of the viewer and frame window -> ReleaseAllKeys, then flush;
//   a key command of the frame -> SendKeyCommand, then flush.
// Send failures come back as the session's exceptions.
class ConnectionKeyboard : private KeyEventSink {
public:
  // Dead keys are combined locally (not sent as dead keysyms); characters above U+00FE
  // go as Unicode keysyms.
  explicit ConnectionKeyboard(RfbSession& session);

  void ProcessKeyEvent(WPARAM virtKey, LPARAM keyData, bool japKeyboard);
  // The KeyEvents of a key command of the frame (104-110, 143, 605-610); what it leaves
  // pressed is released on focus loss like a typed key.
  void SendKeyCommand(int command);
  void ReleaseAllKeys();
  void ResetKeyboard();

  KeyboardInput& Input() { return m_input; }

private:
  void SendKeyEvent(std::uint32_t keysym, bool down) override;

  RfbSession& m_session;
  Win32KeyboardLayout m_layout;
  KeyboardInput m_input;
};
