// The frame window of a connection in its first form: the caption, the close box, the
// minimise button (dormancy), and a size that follows the framebuffer. It owns the
// connection once the connection runs: closing it ends the connection thread, closes the
// socket and deletes the connection. Also the connection thread's entry and the GUI-side
// waits for it, which keep handling sent messages so that the thread can always finish.
#include <algorithm>
#include <chrono>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "display/ViewerMessages.h"
#include "resources/StringIds.h"
#include "resources/resource.h"
#include "session/ClientConnection.h"

namespace {

const char kFrameClass[] = "KEBMDI_Window";
constexpr DWORD kFrameStyle = WS_OVERLAPPEDWINDOW;
constexpr int kThreadEndWaitMs = 10000;

ClientConnection* ConnectionOf(HWND hwnd) {
  return reinterpret_cast<ClientConnection*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// Handles the messages other threads send to this one while it waits.
void HandleSentMessages() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Connection thread

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
  if (!m_threadStarted) {
    delete this;
    return;
  }
  EndConnectionThread();
  CloseSocket();  // a thread blocked in its read
  if (WaitForThreadEnd(kThreadEndWaitMs)) {
    join(nullptr);  // deletes the connection
    return;
  }
  // A thread that does not end (it cannot happen short of a system failure) still uses the
  // connection: it is left alone rather than freed under it, and the application no longer
  // counts it.
  kebLog.Print(0, "The connection thread did not end; its connection is left\n");
  if (m_pApp) m_pApp->DeregisterConnection(this);
  m_pApp = nullptr;
}

// ---------------------------------------------------------------------------------------
// Frame window

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
}

void ClientConnection::SizeWindow() {
  if (!m_hwndMain) return;
  long long w, h;
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    w = m_si.framebufferWidth;
    h = m_si.framebufferHeight;
  }
  if (m_opts.m_Scaling && m_opts.m_scale_num > 0 && m_opts.m_scale_den > 0) {
    w = w * m_opts.m_scale_num / m_opts.m_scale_den;
    h = h * m_opts.m_scale_num / m_opts.m_scale_den;
  }
  RECT frame = {0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
  AdjustWindowRectEx(&frame, kFrameStyle, FALSE, 0);
  MONITORINFO mi = {};
  mi.cbSize = sizeof mi;
  GetMonitorInfoA(MonitorFromWindow(m_hwndMain, MONITOR_DEFAULTTOPRIMARY), &mi);
  const RECT& area = mi.rcWork;
  const int fw = std::min<long long>(frame.right - frame.left, area.right - area.left);
  const int fh = std::min<long long>(frame.bottom - frame.top, area.bottom - area.top);
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  int x = 0, y = 0;
  if (m_framePlaced) {
    flags |= SWP_NOMOVE;
  } else {
    x = area.left + (area.right - area.left - fw) / 2;
    y = area.top + (area.bottom - area.top - fh) / 2;
    m_framePlaced = true;
  }
  SetWindowPos(m_hwndMain, nullptr, x, y, fw, fh, flags);
  if (m_hwndcn) SetWindowPos(m_hwndcn, nullptr, 0, 0, static_cast<int>(w), static_cast<int>(h), SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK ClientConnection::FrameWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ClientConnection* c = ConnectionOf(hwnd);
  if (!c) return DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_MINIMIZE:
          kebLog.Print(5, "%s dormant mode\n", "Entering");
          c->m_dormant = 1;
          break;
        case SC_RESTORE:
          kebLog.Print(5, "%s dormant mode\n", "Leaving");
          c->m_dormant = 0;
          if (c->m_running) PostMessageA(c->m_hwndcn, WM_REQUESTUPDATE, kRequestIncremental, 0);
          break;
        default: break;
      }
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_QUERYOPEN:
      kebLog.Print(5, "%s dormant mode\n", "Leaving");
      c->m_dormant = 0;
      if (c->m_running) PostMessageA(c->m_hwndcn, WM_REQUESTUPDATE, kRequestIncremental, 0);
      return 1;

    case WM_CLOSE: {
      if (c->m_closingWindows) return 0;
      if (wParam == 0 && lParam == 0 && c->m_opts.m_ExitCheck &&
          MessageBoxA(hwnd, "Are you sure you want to exit?", "Closing Quillmar Remote",
                      MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST | MB_SYSTEMMODAL) == IDNO)
        return 0;
      c->m_closingWindows = true;
      // A lost connection: the warning the connection thread left is shown first.
      std::string warning;
      if (lParam == 1) {
        std::lock_guard<std::mutex> g(c->m_lostLock);
        warning.swap(c->m_lostWarning);
      }
      if (!warning.empty()) {
        g_errorBoxShown = true;
        MessageBoxA(hwnd, warning.c_str(), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
      }
      c->EndConnectionThread();
      ShowWindow(hwnd, SW_HIDE);
      c->CloseConnection();
      DestroyWindow(hwnd);
      return 0;
    }

    case WM_DESTROY: {
      // The viewer window goes first, while its connection still exists.
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      if (c->m_hwndcn) DestroyWindow(c->m_hwndcn);
      if (c->m_windowsOwnConnection) c->FinishAndDelete();
      return 0;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}
