#include "display/KeyboardWin32.h"

#include <cstring>

#include "display/FrameCommands.h"
#include "session/RfbSession.h"

void Win32KeyboardLayout::GetKeyboardState(std::uint8_t state[256]) {
  if (!::GetKeyboardState(state)) std::memset(state, 0, 256);
}

int Win32KeyboardLayout::ToUnicode(unsigned virtKey, unsigned scanCode, const std::uint8_t state[256], char16_t* buf,
                                   int bufLen, unsigned flags) {
  return ::ToUnicode(virtKey, scanCode, state, reinterpret_cast<LPWSTR>(buf), bufLen, flags);
}

int Win32KeyboardLayout::ToAscii(unsigned virtKey, unsigned scanCode, const std::uint8_t state[256],
                                 std::uint16_t chars[2], unsigned flags) {
  WORD out[2] = {0, 0};
  const int n = ::ToAscii(virtKey, scanCode, state, out, flags);
  chars[0] = out[0];
  chars[1] = out[1];
  return n;
}

short Win32KeyboardLayout::VkKeyScan(char16_t ch) { return ::VkKeyScanW(static_cast<WCHAR>(ch)); }

void Win32KeyboardLayout::InjectSpace() {
  const BYTE scan = static_cast<BYTE>(::MapVirtualKeyA(VK_SPACE, MAPVK_VK_TO_VSC));
  ::keybd_event(VK_SPACE, scan, 0, kInjectedSpaceTag);
  ::keybd_event(VK_SPACE, scan, KEYEVENTF_KEYUP, kInjectedSpaceTag);
}

bool Win32KeyboardLayout::IsInjectedSpace() {
  return static_cast<ULONG_PTR>(::GetMessageExtraInfo()) == kInjectedSpaceTag;
}

ConnectionKeyboard::ConnectionKeyboard(RfbSession& session) : m_session(session), m_input(m_layout) {
  m_input.GetKeyMap().SetSendDeadKeys(false);
}

void ConnectionKeyboard::ProcessKeyEvent(WPARAM virtKey, LPARAM keyData, bool japKeyboard) {
  m_input.ProcessKeyEvent(static_cast<unsigned>(virtKey), static_cast<std::uint32_t>(keyData), japKeyboard, *this);
}

void ConnectionKeyboard::SendKeyCommand(int command) {
  for (const framecmd::KeyStep& k : framecmd::KeyCommandSteps(command)) m_input.SendKeysym(k.keysym, k.down, *this);
}

void ConnectionKeyboard::ReleaseAllKeys() { m_input.ReleaseAllKeys(*this); }

void ConnectionKeyboard::ResetKeyboard() { m_input.ResetKeyboard(); }

void ConnectionKeyboard::SendKeyEvent(std::uint32_t keysym, bool down) { m_session.SendKeyEvent(keysym, down); }
