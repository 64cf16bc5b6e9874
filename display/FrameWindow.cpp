// The frame window of a connection: the caption with the system menu, the scroll bars and
// the viewer window inside. Here: its creation, its window procedure (focus and keys,
// minimising and dormancy, the wheel, DPI changes, the messages of other programs and of
// the full-screen title bar) and the end of the connection: closing, or reconnecting
// while attempts are left. Also the connection thread's entry and the GUI-side waits for
// the connection's threads, which keep handling sent messages so that those threads can
// always finish.
#include <winsock2.h>
#include <windows.h>
#include <imm.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "dialogs/MRU.h"
#include "filetransfer/FileTransfer.h"
#include "display/FrameCommands.h"
#include "display/HotKeysWin32.h"
#include "display/ViewerMessages.h"
#include "rdr/Exception.h"
#include "resources/StringIds.h"
#include "resources/resource.h"
#include "session/ClientConnection.h"

namespace {

const char kFrameClass[] = "KEBMDI_Window";
const char kMruKey[] = "Software\\WEM\\KEBviewer\\MRU";
constexpr DWORD kFrameStyle = WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_HSCROLL;
constexpr int kThreadEndWaitMs = 10000;       // the connection or reconnect thread, when closing
constexpr int kEarlierReconnectWaitMs = 2000;  // a reconnect thread that just reported
constexpr int kParkWaitMs = 5000;             // the connection thread stopping its reads

ClientConnection* ConnectionOf(HWND hwnd) {
  return reinterpret_cast<ClientConnection*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// Handles the messages other threads send to this one while it waits.
void HandleSentMessages() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// The effective DPI of the window's monitor: GetDpiForMonitor where the system has it,
// else the screen's logical DPI.
int MonitorDpi(HWND hwnd) {
  using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  static const auto getDpi = [] {
    HMODULE shcore = LoadLibraryA("Shcore.dll");
    return shcore ? reinterpret_cast<GetDpiForMonitorFn>(GetProcAddress(shcore, "GetDpiForMonitor")) : nullptr;
  }();
  if (getDpi) {
    UINT x = 0, y = 0;
    if (getDpi(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), 0, &x, &y) == S_OK && y > 0)
      return static_cast<int>(y);
    return 96;
  }
  HDC dc = GetDC(nullptr);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Threads

void* ClientConnection::run_undetached(void*) {
  try {
    RunConnectionThread();
  } catch (...) {
    // RunConnectionThread catches everything itself; nothing may leave a thread.
  }
  return nullptr;
}

bool ClientConnection::WaitForThreadEvent(AutoResetEvent& event, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (event.Wait(10)) return true;
    HandleSentMessages();
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}

bool ClientConnection::WaitForThreadEnd(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!ConnectionThreadEnded()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    HandleSentMessages();
    Sleep(10);
  }
  return true;
}

void ClientConnection::FinishAndDelete() {
  BeginClose();
  // A thread that does not end (it cannot happen short of a system failure, or a dialog of
  // a reconnect's handshake still open) still uses the connection: it is left alone rather
  // than freed under it, and the application no longer counts it.
  auto leave = [this](const char* which) {
    kebLog.Print(0, "The %s thread did not end; its connection is left\n", which);
    if (m_pApp) m_pApp->DeregisterConnection(this);
    m_pApp = nullptr;
  };
  if (!WaitForReconnectThread(kThreadEndWaitMs)) return leave("reconnect");
  if (!m_threadStarted) {
    delete this;
    return;
  }
  CloseSocket();  // a thread blocked in its read
  if (!WaitForThreadEnd(kThreadEndWaitMs)) return leave("connection");
  join(nullptr);  // deletes the connection
}

// ---------------------------------------------------------------------------------------
// Creation

void ClientConnection::CreateFrameWindow() {
  HINSTANCE self = GetModuleHandleA(nullptr);
  const char* cls = m_opts.m_ClassName[0] ? m_opts.m_ClassName : kFrameClass;
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = FrameWndProc;
  wc.hInstance = self;
  wc.hIcon = LoadIconA(self, MAKEINTRESOURCEA(IDI_MAINICON));
  wc.hCursor = m_opts.m_localcursor == 0   ? LoadCursorA(self, MAKEINTRESOURCEA(IDC_NOCURSOR))
               : m_opts.m_localcursor == 2 ? LoadCursorA(nullptr, IDC_ARROW)
                                           : LoadCursorA(self, MAKEINTRESOURCEA(IDC_DOTCURSOR));
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = cls;
  if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw ErrorException("The frame window class cannot be registered");
  m_hwndMain = CreateWindowExA(0, cls, "KEBviewer", kFrameStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, nullptr, nullptr, self, nullptr);
  if (!m_hwndMain) throw ErrorException("The frame window cannot be created");
  SetWindowLongPtrA(m_hwndMain, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  // Keys go to the server as keys: no input method composes them locally.
  ImmAssociateContext(m_hwndMain, nullptr);
  SetHotKeyTarget(m_hwndMain, m_opts.m_nohotkeys);
  m_dpi = MonitorDpi(m_hwndMain);
  kebLog.Print(2, "DPI %d\n", m_dpi);
  if (m_opts.m_showtoolbar) CreateToolbarWindow();
}

void ClientConnection::SetWindowTitle() {
  const std::string& title = m_opts.m_viewonly ? m_desktopNameViewOnly : m_desktopName;
  if (m_hwndMain) SetWindowTextA(m_hwndMain, title.c_str());
  // The full-screen title bar says the same.
  if (IsFullScreen()) m_titleBar.SetText(title);
}

// ---------------------------------------------------------------------------------------
// Window procedure

LRESULT CALLBACK ClientConnection::FrameWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ClientConnection* c = ConnectionOf(hwnd);
  if (!c) return DefWindowProcA(hwnd, msg, wParam, lParam);
  return c->GuardedMessage("Frame window", &ClientConnection::FrameMessage, hwnd, msg, wParam, lParam);
}

LRESULT ClientConnection::GuardedMessage(const char* window, WindowMessageBody body, HWND hwnd, UINT msg,
                                         WPARAM wParam, LPARAM lParam) {
  // Nothing may leave a window procedure: what the session throws (a plug-in that cannot
  // encipher a key event, say) ends the connection the way a lost one ends.
  try {
    return (this->*body)(hwnd, msg, wParam, lParam);
  } catch (const Exception& e) {
    kebLog.Print(0, "%s: %s\n", window, e.Message() ? e.Message() : "");
    InputFailed(&e);
  } catch (const rdr::Exception& e) {
    kebLog.Print(0, "%s: %s\n", window, e.str());
    InputFailed(nullptr);
  } catch (const std::exception& e) {
    kebLog.Print(0, "%s: %s\n", window, e.what());
    InputFailed(nullptr);
  } catch (...) {
    kebLog.Print(0, "%s: unexpected error\n", window);
    InputFailed(nullptr);
  }
  return 0;
}

void ClientConnection::InputFailed(const Exception* e) {
  const int attempts = m_reconnectAttempts;
  // While a reconnect is to follow, the failure is no news for the user.
  if (e && !(m_opts.m_AutoReconnect > 0 && attempts > 0)) e->Report();
  if (m_hwndMain && !m_closingWindows) PostMessageA(m_hwndMain, WM_CLOSE, static_cast<WPARAM>(attempts), 1);
}

void ClientConnection::LeaveDormantFromFrame() {
  kebLog.Print(5, "%s dormant mode\n", "Leaving");
  m_dormant = 0;
  if (m_running) PostMessageA(m_hwndcn, WM_REQUESTUPDATE, kRequestIncremental, 0);
}

LRESULT ClientConnection::FrameMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  // A message 7: the connection thread waits while this thread reads it.
  if (msg == FileTransfer::PacketMessage()) return FileTransferPacket();
  switch (msg) {
    case WM_SYSCOMMAND:
      if (HandleSystemCommand(static_cast<UINT>(wParam & 0xFFFF))) return 0;
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_COMMAND:
      // The accelerators and the keyboard hook deliver the menu's commands this way too.
      if (!HandleSystemCommand(LOWORD(wParam))) return DefWindowProcA(hwnd, msg, wParam, lParam);
      return 0;

    case WM_SIZE:
      // Maximising is the way into full screen.
      if (wParam == SIZE_MAXIMIZED && !IsFullScreen()) SetFullScreenMode(true);
      if (wParam != SIZE_MINIMIZED) LayoutView();
      PlacePresentation();
      return 0;
    case WM_SIZING:
      if (!FittedView()) LimitDraggedRect(wParam, reinterpret_cast<RECT*>(lParam));
      return TRUE;
    case WM_HSCROLL: OnScroll(SB_HORZ, LOWORD(wParam)); return 0;
    case WM_VSCROLL: OnScroll(SB_VERT, LOWORD(wParam)); return 0;
    case WM_MOUSEWHEEL:
      if (!m_opts.m_viewonly && m_running && m_pointer.SendWheel(GET_WHEEL_DELTA_WPARAM(wParam)))
        FlushOutputBuffer(true, kInputTimeoutSec);
      return 0;

    case WM_DPICHANGED:
      kebLog.Print(2, "DPI changed, new=%d old=%d\n", HIWORD(wParam), m_dpi);
      m_dpi = HIWORD(wParam);
      m_dpiChangePending = true;
      return 0;
    case WM_WINDOWPOSCHANGED:
      // The presentation window goes with the frame when its place among the windows
      // changed (once the change is over).
      if (!(reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_NOZORDER) && m_hwndcn)
        PostMessageA(m_hwndcn, WM_VIEWER_PLACEPRESENTATION, 1, 0);
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_MOVE:
      PlacePresentation();
      if (m_dpiChangePending) {
        // The move that brought the frame onto the new monitor's work area ends it.
        RECT r;
        MONITORINFO mi = {};
        mi.cbSize = sizeof mi;
        if (GetWindowRect(hwnd, &r) && GetMonitorInfoA(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &mi) &&
            r.left >= mi.rcWork.left && r.top >= mi.rcWork.top && r.right <= mi.rcWork.right &&
            r.bottom <= mi.rcWork.bottom) {
          m_dpiChangePending = false;
          if (m_opts.m_AutoScaling) {
            m_autoScaled = false;
            if (m_running) PostMessageA(m_hwndcn, WM_REQUESTUPDATE, kRequestFull, 0);
          }
          kebLog.Print(2, "DPI changed, SizeWindow\n");
          SizeWindow(true, false);
        }
      }
      return DefWindowProcA(hwnd, msg, wParam, lParam);

    case WM_SETFOCUS:
      KeepFrameOnTop(true);
      SetHotKeyTarget(hwnd, m_opts.m_nohotkeys);
      KeyboardHookFrameInUse(hwnd);
      m_keyboard.ResetKeyboard();
      return 0;
    case WM_KILLFOCUS:
      if (!FocusStaysInFrame(reinterpret_cast<HWND>(wParam))) KeepFrameOnTop(false);
      if (!m_opts.m_viewonly) ReleaseHeldKeys();
      return 0;
    case WM_ACTIVATE:
      // The activation may change without the focus passing through this frame's windows
      // (another program's window taking it, or giving it back).
      KeepFrameOnTop(LOWORD(wParam) != WA_INACTIVE);
      if (LOWORD(wParam) != WA_INACTIVE && m_hwndcn) PostMessageA(m_hwndcn, WM_VIEWER_PLACEPRESENTATION, 1, 0);
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_FRAME_ZORDER: SettleZOrder(); return 0;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
      LeaveDormantMode();
      ProcessKeyMessage(wParam, lParam);
      return 0;
    case WM_SYSCHAR: return 1;
    case WM_DEADCHAR:
    case WM_SYSDEADCHAR: return 0;

    case WM_QUERYOPEN: LeaveDormantFromFrame(); return 1;
    case WM_INITMENUPOPUP:
      UpdateMenuChecks();
      return 0;

    case WM_COPYDATA: {
      // Other programs ask for the framebuffer's aspect (0) or the value of server message
      // 252 (1), or hand a value to the server (2). Their data is checked, not trusted.
      const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (!cds) return FALSE;
      const HWND asker = reinterpret_cast<HWND>(wParam);
      auto answer = [&](ULONG_PTR kind, const void* data, DWORD size) {
        if (!asker || !IsWindow(asker)) return;
        COPYDATASTRUCT a = {kind, size, const_cast<void*>(data)};
        DWORD_PTR r = 0;
        SendMessageTimeoutA(asker, WM_COPYDATA, reinterpret_cast<WPARAM>(hwnd), reinterpret_cast<LPARAM>(&a),
                            SMTO_ABORTIFHUNG, 2000, &r);
      };
      switch (cds->dwData) {
        case 0: {
          std::int32_t aspect;
          {
            std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
            aspect = m_si.framebufferHeight ? static_cast<std::int32_t>(std::int64_t(m_si.framebufferWidth) * 100 /
                                                                        m_si.framebufferHeight)
                                            : 0;
          }
          answer(0, &aspect, sizeof aspect);
          return TRUE;
        }
        case 1: {
          const std::uint16_t value = m_copyDataValue.load();
          answer(1, &value, sizeof value);
          return TRUE;
        }
        case 2:
          if (cds->cbData < 1 || !cds->lpData) return FALSE;
          if (m_running) SendCopyDataValue(*static_cast<const std::uint8_t*>(cds->lpData));
          return TRUE;
        default: return FALSE;
      }
    }

    case framecmd::kTitleBarClose: PostMessageA(hwnd, WM_CLOSE, 0, 0); return 0;
    case framecmd::kTitleBarMinimise: {
      kebLog.Print(5, "%s dormant mode\n", "Entering");
      m_dormant = 1;
      if (GetWindowRect(hwnd, &m_restoreRect)) m_restoreRectSet = true;
      ShowWindow(hwnd, SW_MINIMIZE);
      return 0;
    }
    case framecmd::kTitleBarRestore:
      SetFullScreenMode(false);
      RestoreSavedWindowRect();
      return 0;
    case framecmd::kTitleBarFitScreen:
    case framecmd::kTitleBarOneToOne:
      m_opts.m_directx = msg == framecmd::kTitleBarFitScreen ? !m_opts.m_showExtend : false;
      PresentationChanged();
      ApplyFullScreenMode();
      return 0;
    case framecmd::kTitleBarSnapshot: HandleSystemCommand(framecmd::kSnapshot); return 0;
    case framecmd::kTitleBarSwitchMonitor: HandleSystemCommand(framecmd::kSelectDesktop); return 0;
    case framecmd::kTitleBarChat: ToggleSideWindow(true); return 0;
    case framecmd::kTitleBarFileTransfer: ToggleSideWindow(false); return 0;

    case WM_CLOSE: FrameClose(wParam, lParam); return 0;

    case WM_DESTROY:
      // The viewer window goes first, while its connection still exists.
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      m_pointer.StopTimers();
      if (m_hwndcn) DestroyWindow(m_hwndcn);
      if (m_windowsOwnConnection) FinishAndDelete();
      return 0;

    default:
      if (msg == RebuildToolbarMessage()) {
        if (m_opts.m_showtoolbar) {
          RecreateToolbarForWidth(hwnd);
          LayoutView();
        }
        return 0;
      }
      return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

// ---------------------------------------------------------------------------------------
// Closing and reconnecting

void ClientConnection::SaveWindowPlacement() {
  if (!m_opts.m_SavePos || IsIconic(m_hwndMain)) return;
  RECT r;
  if (!GetWindowRect(m_hwndMain, &r)) return;
  MRU mru(kMruKey, 98, m_opts.m_optionfile);
  if (m_opts.m_SaveSize)
    mru.SaveWindowPosition(m_host, r.left, r.top, r.right - r.left, r.bottom - r.top);
  else
    mru.SaveWindowPosition(m_host, r.left, r.top, 0, 0);
}

void ClientConnection::FrameClose(WPARAM wParam, LPARAM lParam) {
  if (m_closingWindows) return;
  if (m_closeBoxOpen) {
    // A question or notice is open: this close waits until it is answered.
    m_closeDeferred = true;
    m_deferredCloseW = wParam;
    m_deferredCloseL = lParam;
    return;
  }
  const int attempts = static_cast<int>(wParam);
  const bool lost = lParam == 1;
  if (wParam == 0 && lParam == 0) SaveWindowPlacement();
  KillTimer(m_hwndcn, kTimerKeepAlive);
  if (lParam == 0 && m_opts.m_ExitCheck) {
    m_closeBoxOpen = true;
    const int answer = MessageBoxA(m_hwndMain, "Are you sure you want to exit?", "Closing Quillmar Remote",
                                   MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST | MB_SYSTEMMODAL);
    m_closeBoxOpen = false;
    if (answer == IDNO) {
      if (m_closeDeferred) {
        m_closeDeferred = false;
        PostMessageA(m_hwndMain, WM_CLOSE, m_deferredCloseW, m_deferredCloseL);
      }
      return;
    }
  }
  m_closeDeferred = false;
  // The chat and the file-transfer window close first.
  if (CloseSideWindowsFirst(wParam, lParam)) return;

  // The warning the connection thread left for a lost connection.
  std::string warning;
  if (lost) {
    std::lock_guard<std::mutex> g(m_lostLock);
    warning.swap(m_lostWarning);
  }
  auto showWarning = [&] {
    if (warning.empty()) return;
    g_errorBoxShown = true;
    m_closeBoxOpen = true;
    MessageBoxA(m_hwndMain, warning.c_str(), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
    m_closeBoxOpen = false;
  };

  if (lost && attempts > 0 && m_opts.m_AutoReconnect > 0 && !m_closing) {
    // A reconnect thread still running either just reported (it ends in a moment) or is
    // still at work on this very loss, which a second notice then reported again.
    if (ReconnectRunning() && !WaitForReconnectThread(kEarlierReconnectWaitMs)) return;
    SetWindowTextA(m_hwndMain, framecmd::ReconnectTitle(attempts).c_str());
    if (ResetForReconnect(kParkWaitMs) && StartReconnectThread()) {
      kebLog.Print(2, "Reconnecting, %d attempts left\n", attempts);
      showWarning();
      if (m_closeDeferred) {
        m_closeDeferred = false;
        PostMessageA(m_hwndMain, WM_CLOSE, m_deferredCloseW, m_deferredCloseL);
      }
      return;
    }
  }

  showWarning();
  m_closingWindows = true;
  m_closeDeferred = false;
  ShowWindow(m_hwndMain, SW_HIDE);
  // Reconnecting ends for this connection; a reconnect thread gives up its wait or its
  // connect attempt at once.
  BeginClose();
  if (!WaitForReconnectThread(kThreadEndWaitMs)) kebLog.Print(0, "The reconnect thread is still running\n");
  CloseConnection();
  if (m_hwndStatus) DestroyWindow(m_hwndStatus);
  // The toolbar and the viewer window go with the frame (its WM_DESTROY).
  DestroyWindow(m_hwndMain);
}

void ClientConnection::CloseWindows() {
  m_event1.Set();
  if (m_hwndcn) SendMessageA(m_hwndcn, WM_CLOSE, 0, 1);
  m_event1.Set();
  if (m_hwndMain) SendMessageA(m_hwndMain, WM_CLOSE, 0, 1);
}
