// The keyboard translation over the real Win32 keyboard layout (under Wine: its US
// layout), the KeyEvents a connection's keyboard puts on the wire, and the tag that marks
// the Space key injected to clear the dead-key state.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "display/KeySyms.h"
#include "display/KeyboardWin32.h"
#include "tests/unit/session/SessionTestSupport.h"

namespace {

using Event = std::pair<std::uint32_t, bool>;

struct Recorder : KeyEventSink {
  void SendKeyEvent(std::uint32_t keysym, bool down) override { events.push_back({keysym, down}); }
  std::vector<Event> events;
};

// The thread's key state with the given keys down (and nothing toggled).
void SetKeysDown(std::initializer_list<int> keys) {
  BYTE state[256] = {};
  for (int k : keys) state[k] = 0x80;
  ASSERT_TRUE(SetKeyboardState(state));
}

constexpr DWORD kDown = 0x00000001, kUp = 0xC0000001;

class Win32Layout : public ::testing::Test {
protected:
  void SetUp() override {
    if (VkKeyScanW(L'a') != 'A') GTEST_SKIP() << "the active layout is not a US-like one";
    SetKeysDown({});
  }
  void TearDown() override { SetKeysDown({}); }
  Win32KeyboardLayout layout;
};

TEST_F(Win32Layout, AnswersLikeTheSystem) {
  char16_t buf[4] = {};
  std::uint8_t state[256] = {};
  EXPECT_EQ(layout.ToUnicode('A', 0, state, buf, 4, 0), 1);
  EXPECT_EQ(buf[0], u'a');
  state[VK_SHIFT] = 0x80;
  EXPECT_EQ(layout.ToUnicode('1', 0, state, buf, 4, 0), 1);
  EXPECT_EQ(buf[0], u'!');
  std::uint16_t chars[2] = {};
  EXPECT_EQ(layout.ToAscii('Z', 0, state, chars, 0), 1);
  EXPECT_EQ(chars[0], 'Z');
  EXPECT_EQ(layout.VkKeyScan(u'A'), 0x100 | 'A');
  EXPECT_EQ(layout.VkKeyScan(u'?'), 0x100 | VK_OEM_2);
  SetKeysDown({VK_SHIFT, VK_LSHIFT});
  layout.GetKeyboardState(state);
  EXPECT_EQ(state[VK_SHIFT] & 0x80, 0x80);
  EXPECT_FALSE(layout.IsInjectedSpace());
}

TEST_F(Win32Layout, TranslatesKeysWithTheThreadsKeyState) {
  KeyboardInput input(layout);
  input.GetKeyMap().SetSendDeadKeys(false);
  Recorder sink;
  input.ProcessKeyEvent('A', kDown, false, sink);
  input.ProcessKeyEvent('A', kUp, false, sink);
  SetKeysDown({VK_SHIFT, VK_LSHIFT});
  input.ProcessKeyEvent('A', kDown, false, sink);
  SetKeysDown({});
  input.ProcessKeyEvent('A', kUp, false, sink);  // Shift went up first: the release of 'A'
  SetKeysDown({VK_CONTROL, VK_LCONTROL});
  input.ProcessKeyEvent('C', kDown, false, sink);
  input.ProcessKeyEvent('C', kUp, false, sink);
  SetKeysDown({VK_SHIFT, VK_LSHIFT});
  input.ProcessKeyEvent(VK_OEM_2, kDown, false, sink);
  input.ProcessKeyEvent(VK_OEM_2, kUp, false, sink);
  SetKeysDown({});
  input.ProcessKeyEvent(VK_SPACE, kDown, false, sink);
  input.ProcessKeyEvent(VK_SPACE, kUp, false, sink);
  input.ProcessKeyEvent(VK_RETURN, kDown | KF_EXTENDED << 16, false, sink);
  EXPECT_EQ(sink.events, (std::vector<Event>{{'a', true}, {'a', false}, {'A', true}, {'A', false}, {'c', true},
                                             {'c', false}, {'?', true}, {'?', false}, {' ', true}, {' ', false},
                                             {0xFF8D, true}}));
  EXPECT_FALSE(input.GetAsciiKeyMap().IsJapaneseLayout());
}

TEST_F(Win32Layout, PlainTranslator) {
  KeyboardInput input(layout);
  Recorder sink;
  SetKeysDown({VK_SHIFT, VK_LSHIFT});
  input.ProcessKeyEvent('B', kDown, true, sink);
  input.ProcessKeyEvent(VK_OEM_5, kDown, true, sink);
  SetKeysDown({});
  input.ProcessKeyEvent(VK_OEM_5, kDown, true, sink);
  input.ProcessKeyEvent(VK_CONTROL, kDown | KF_EXTENDED << 16, true, sink);
  EXPECT_EQ(sink.events, (std::vector<Event>{{'B', true}, {'|', true}, {'\\', true}, {0xFFE4, true}}));
}

// A connection's keyboard: the KeyEvents queued by the translation go out at the flush.
class ConnectionKeys : public sessiontest::SessionFixture {
protected:
  void SetUp() override {
    SessionFixture::SetUp();
    if (VkKeyScanW(L'a') != 'A') GTEST_SKIP() << "the active layout is not a US-like one";
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
    ViewerSent();
  }
  void TearDown() override {
    SetKeysDown({});
    SessionFixture::TearDown();
  }
};

TEST_F(ConnectionKeys, KeyEventsOnTheWire) {
  using sessiontest::Bytes;
  ConnectionKeyboard keyboard(*session);
  SetKeysDown({VK_SHIFT, VK_LSHIFT});
  keyboard.ProcessKeyEvent(VK_SHIFT, 0x002A0001, false);
  keyboard.ProcessKeyEvent('Q', 0x00100001, false);
  EXPECT_TRUE(ReadAvailable(50).empty());
  ASSERT_TRUE(session->FlushOutputBuffer(true, 5));
  EXPECT_EQ(ViewerSent(), (Bytes{4, 1, 0, 0, 0, 0, 0xFF, 0xE1, 4, 1, 0, 0, 0, 0, 0, 'Q'}));
  // Focus lost with both keys down: both released, once.
  keyboard.ReleaseAllKeys();
  keyboard.ReleaseAllKeys();
  ASSERT_TRUE(session->FlushOutputBuffer(true, 5));
  EXPECT_EQ(ViewerSent(), (Bytes{4, 0, 0, 0, 0, 0, 0xFF, 0xE1, 4, 0, 0, 0, 0, 0, 0, 'Q'}));
}

// Key messages that reach a window: the Space injected to clear the dead-key state is
// known by its tag and stays local; other keys are translated.
struct WindowKeys {
  Win32KeyboardLayout* layout = nullptr;
  KeyboardInput* input = nullptr;
  Recorder sink;
  std::vector<std::pair<WPARAM, bool>> seen;  // virtual key, injected by InjectSpace
  int messages = 0;
};
WindowKeys g_windowKeys;

LRESULT CALLBACK KeyWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_KEYDOWN || msg == WM_KEYUP) {
    if (msg == WM_KEYDOWN) g_windowKeys.seen.push_back({wParam, g_windowKeys.layout->IsInjectedSpace()});
    g_windowKeys.input->ProcessKeyEvent(static_cast<unsigned>(wParam), static_cast<std::uint32_t>(lParam), false,
                                        g_windowKeys.sink);
    ++g_windowKeys.messages;
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST(InjectedSpace, CarriesItsTag) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = KeyWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "KeyboardWin32TestWindow";
  RegisterClassA(&wc);
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "keys", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                              nullptr, wc.hInstance, nullptr);
  if (!hwnd) GTEST_SKIP() << "needs a display (Xvfb)";
  Win32KeyboardLayout layout;
  KeyboardInput input(layout);
  g_windowKeys = {};
  g_windowKeys.layout = &layout;
  g_windowKeys.input = &input;
  SetForegroundWindow(hwnd);
  SetFocus(hwnd);
  MSG msg;
  for (int i = 0; i < 50 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) DispatchMessageA(&msg);

  keybd_event('K', 0x25, 0, 0);
  keybd_event('K', 0x25, KEYEVENTF_KEYUP, 0);
  layout.InjectSpace();
  const DWORD start = GetTickCount();
  while (g_windowKeys.messages < 4 && GetTickCount() - start < 20000) {
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    } else {
      Sleep(10);
    }
  }
  DestroyWindow(hwnd);
  ASSERT_EQ(g_windowKeys.seen.size(), 2u) << "the keys did not reach the focused window";
  EXPECT_EQ(g_windowKeys.seen[0], (std::pair<WPARAM, bool>{'K', false}));
  EXPECT_EQ(g_windowKeys.seen[1], (std::pair<WPARAM, bool>{VK_SPACE, true}));
  EXPECT_EQ(g_windowKeys.sink.events, (std::vector<Event>{{'k', true}, {'k', false}}));
}

}  // namespace
