#include "display/HotKeysWin32.h"

#include <atomic>
#include <mutex>

#include "app/Log.h"
#include "display/FrameCommands.h"
#include "display/HotKeys.h"

using namespace framecmd;
using hotkeys::HookAction;

AccelKeys g_accelKeys;

namespace {

constexpr BYTE kCtrlAlt = FVIRTKEY | FCONTROL | FALT | FNOINVERT;
constexpr BYTE kCtrlAltShift = kCtrlAlt | FSHIFT;

const ACCEL kAccelTable[] = {
    {kCtrlAlt, VK_F3, kViewOnly},
    {kCtrlAlt, VK_F4, kCtrlAltDel},
    {kCtrlAlt, VK_F5, kSaveConnection},
    {kCtrlAlt, VK_F6, kConnectionOptions},
    {kCtrlAlt, VK_F7, kFileTransfer},
    {kCtrlAlt, VK_F8, kChat},
    {kCtrlAlt, VK_F9, kShowToolbar},
    {kCtrlAlt, VK_F10, kAutoScale},
    {FVIRTKEY | FCONTROL | FNOINVERT, VK_F11, kNormalScreen},
    {kCtrlAlt, VK_F11, kHalfSize},
    {kCtrlAlt, VK_F12, kFullScreen},
    {kCtrlAltShift, 'I', kConnectionInfo},
    {kCtrlAltShift, 'R', kRefresh},
    {kCtrlAltShift, 'N', kNewConnection},
};

constexpr UINT kStopHookThread = WM_USER + 1;
// Key data of the Tab re-posted for Alt+Tab: one stroke; the key-up with the previous-state
// and transition bits.
constexpr LPARAM kTabDown = 1;
constexpr LPARAM kTabUp = 1 | (LPARAM{1} << 30) | (LPARAM{1} << 31);

// The one hook of the process. The hook procedure runs on the hook thread and reads the
// frames (under their own lock, never held while waiting), the process id and the Scroll
// Lock cache; the thread belongs to the threads that start and stop it, under the lock.
struct HookState {
  std::mutex lock;
  std::mutex framesLock;
  hotkeys::HookTargets frames;
  std::atomic<DWORD> processId{0};
  std::atomic<bool> scrollLockStale{true};
  std::atomic<bool> scrollLockOn{false};
  HHOOK hook = nullptr;
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  HANDLE ready = nullptr;
};

HookState& Hook() {
  static HookState state;
  return state;
}

void PostCommand(HWND target, int command) { PostMessageA(target, WM_SYSCOMMAND, static_cast<WPARAM>(command), 0); }

// The frame whose connection gets the keys while `foreground` is in front.
HWND TargetFor(HookState& h, HWND foreground) {
  const HWND root = foreground ? GetAncestor(foreground, GA_ROOTOWNER) : nullptr;
  std::lock_guard<std::mutex> g(h.framesLock);
  return static_cast<HWND>(const_cast<void*>(h.frames.TargetFor(root ? root : foreground)));
}

LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
  HookState& h = Hook();
  if (code == HC_ACTION) {
    const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
    const bool down = wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN;
    if (key->vkCode == VK_SCROLL && !down) h.scrollLockStale = true;
    const HWND foreground = GetForegroundWindow();
    DWORD pid = 0;
    if (foreground) GetWindowThreadProcessId(foreground, &pid);
    const HWND target = pid != 0 && pid == h.processId.load() ? TargetFor(h, foreground) : nullptr;
    if (target) {
      const bool alt = (key->flags & LLKHF_ALTDOWN) != 0;
      const hotkeys::HookDecision d = hotkeys::DecideHookKey(key->vkCode, down, alt, IsScrollLockOn());
      switch (d.action) {
        case HookAction::kPass: break;
        case HookAction::kSwallow: return 1;
        case HookAction::kPostCommand: PostCommand(target, d.command); return 1;
        case HookAction::kPostTab: PostMessageA(target, WM_KEYDOWN, VK_TAB, kTabDown); return 1;
        case HookAction::kPostTabUp: PostMessageA(target, WM_KEYUP, VK_TAB, kTabUp); return 1;
        case HookAction::kPostKeyMenu: PostMessageA(target, WM_SYSCOMMAND, SC_KEYMENU, ' '); return 1;
      }
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

DWORD WINAPI KeyboardHookThreadProc(LPVOID) {
  HookState& h = Hook();
  MSG msg;
  // The queue exists before the starter goes on, so that the stop message cannot get lost.
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, KeyboardHookProc, GetModuleHandleA(nullptr), 0);
  if (!hook) kebLog.Print(0, "The keyboard hook cannot be installed (error %lu)\n", GetLastError());
  SetEvent(h.ready);
  for (int r; (r = GetMessageA(&msg, nullptr, 0, 0)) > 0;) {
    if (msg.message == kStopHookThread) {
      PostQuitMessage(0);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  if (hook) UnhookWindowsHookEx(hook);
  return 0;
}

}  // namespace

AccelKeys::AccelKeys() {
  ACCEL table[sizeof kAccelTable / sizeof kAccelTable[0]];
  for (std::size_t i = 0; i < sizeof kAccelTable / sizeof kAccelTable[0]; ++i) table[i] = kAccelTable[i];
  m_hAccelTable = CreateAcceleratorTableA(table, static_cast<int>(sizeof table / sizeof table[0]));
}

AccelKeys::~AccelKeys() {
  if (m_hAccelTable) DestroyAcceleratorTable(m_hAccelTable);
}

bool AccelKeys::Translate(MSG* msg) {
  if (!m_hwnd || !m_hAccelTable) return false;
  return TranslateAcceleratorA(m_hwnd, m_hAccelTable, msg) != 0;
}

void SetHotKeyTarget(HWND frame, bool noHotKeys) { g_accelKeys.SetWindowHandle(noHotKeys ? nullptr : frame); }

bool IsScrollLockOn() {
  HookState& h = Hook();
  if (h.scrollLockStale.exchange(false)) h.scrollLockOn = (GetKeyState(VK_SCROLL) & 1) != 0;
  return h.scrollLockOn;
}

int StartKeyboardHookThread(HWND frame) {
  HookState& h = Hook();
  std::lock_guard<std::mutex> g(h.lock);
  h.scrollLockStale = true;
  if (!frame || GetWindowLongPtrA(frame, GWLP_USERDATA) == 0) return 0;
  DWORD pid = 0;
  GetWindowThreadProcessId(frame, &pid);
  h.processId = pid;
  bool first;
  {
    std::lock_guard<std::mutex> f(h.framesLock);
    first = h.frames.Add(frame);
  }
  if (!first && h.thread) return 1;
  if (!h.ready) h.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!h.ready) return 0;
  ResetEvent(h.ready);
  h.thread = CreateThread(nullptr, 0, KeyboardHookThreadProc, nullptr, 0, &h.threadId);
  if (!h.thread) {
    kebLog.Print(0, "The keyboard hook thread cannot be started (error %lu)\n", GetLastError());
    {
      std::lock_guard<std::mutex> f(h.framesLock);
      h.frames.Remove(frame);
    }
    h.threadId = 0;
    return 0;
  }
  // Until its queue exists a posted stop would be lost; it is made at once.
  HANDLE wait[2] = {h.ready, h.thread};
  WaitForMultipleObjects(2, wait, FALSE, 5000);
  return 1;
}

void StopKeyboardHookThread(HWND frame) {
  HookState& h = Hook();
  std::lock_guard<std::mutex> g(h.lock);
  bool last;
  {
    std::lock_guard<std::mutex> f(h.framesLock);
    last = h.frames.Remove(frame);
  }
  if (!last || !h.thread) return;
  PostThreadMessageA(h.threadId, kStopHookThread, 0, 0);
  // The hook goes with its thread; it is gone before another start installs a new one.
  if (WaitForSingleObject(h.thread, 2000) != WAIT_OBJECT_0)
    kebLog.Print(0, "The keyboard hook thread did not end\n");
  h.threadId = 0;
  CloseHandle(h.thread);
  h.thread = nullptr;
}

void KeyboardHookFrameInUse(HWND frame) {
  HookState& h = Hook();
  std::lock_guard<std::mutex> f(h.framesLock);
  h.frames.Use(frame);
}
