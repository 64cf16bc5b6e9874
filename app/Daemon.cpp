#include "app/Daemon.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "app/Exception.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "app/Version.h"
#include "dialogs/InfoDialogs.h"
#include "rdr/Exception.h"
#include "resources/StringIds.h"
#include "resources/resource.h"

bool g_listeningEnabled = true;

namespace {

constexpr UINT kMsgSock4 = 0x8001;
constexpr UINT kMsgTray = 0x8002;
constexpr UINT kMsgSock6 = 0x8008;
constexpr UINT kMsgSock4Dual = 0x8009;
constexpr UINT_PTR kCheckTimer = 112;
constexpr UINT kCheckPeriodMs = 15000;
const char kClassName[] = "KEBviewer Daemon";

SOCKET BoundListener(int family, const sockaddr* addr, int addrLen, bool* bound) {
  SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  if (family == AF_INET6) {
    // The IPv4 socket of the dual set-up takes the IPv4 side.
    DWORD only = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only), sizeof only);
  }
  *bound = bind(s, addr, addrLen) == 0;
  return s;
}

}  // namespace

Daemon::Daemon(int port, bool ipv6) : m_ipv6(ipv6), m_port(port) {
  HINSTANCE inst = GetModuleHandleA(nullptr);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = inst;
  wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = kClassName;
  RegisterClassA(&wc);
  m_hwnd = CreateWindowA(kClassName, kClassName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 200, 200,
                         nullptr, nullptr, inst, nullptr);
  if (m_hwnd) SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  m_hmenu = LoadMenuA(pApp ? pApp->m_instance : inst, MAKEINTRESOURCEA(IDR_TRAYMENU));
  try {
    OpenSockets();
  } catch (...) {
    if (m_hmenu) DestroyMenu(m_hmenu);
    if (m_hwnd) {
      // Detached first: the set-up failure is reported next, and a quit posted by the
      // window's end would take that box away at once.
      SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, 0);
      DestroyWindow(m_hwnd);
    }
    throw;
  }
  kebLog.Print(4, "Adding Tray icon\n");
  NotifyTrayIcon(NIM_ADD);
  m_timer = SetTimer(m_hwnd, kCheckTimer, kCheckPeriodMs, nullptr);
}

Daemon::~Daemon() {
  if (m_timer) KillTimer(m_hwnd, m_timer);
  kebLog.Print(4, "Deleting Tray icon\n");
  NotifyTrayIcon(NIM_DELETE);
  if (m_hmenu) DestroyMenu(m_hmenu);
  CloseSocket(m_sock6);
  CloseSocket(m_sock4dual);
  CloseSocket(m_sock4);
  if (m_hwnd) {
    SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, 0);
    DestroyWindow(m_hwnd);
  }
}

void Daemon::CloseSocket(SOCKET& s) {
  if (s == INVALID_SOCKET) return;
  shutdown(s, SD_BOTH);
  closesocket(s);
  s = INVALID_SOCKET;
}

void Daemon::OpenSockets() {
  sockaddr_in a4 = {};
  a4.sin_family = AF_INET;
  a4.sin_addr.s_addr = htonl(INADDR_ANY);
  a4.sin_port = htons(static_cast<u_short>(m_port));

  auto ipv4Only = [&]() {
    bool bound = false;
    m_sock4 = BoundListener(AF_INET, reinterpret_cast<sockaddr*>(&a4), sizeof a4, &bound);
    if (m_sock4 == INVALID_SOCKET) throw WarningException(UiText(IDS_DAEMON_SOCKET_ERROR));
    if (!bound) {
      CloseSocket(m_sock4);
      throw WarningException(UiText(IDS_DAEMON_BIND_ERROR));
    }
    if (listen(m_sock4, 5) != 0) {
      CloseSocket(m_sock4);
      throw WarningException(UiText(IDS_DAEMON_LISTEN_ERROR));
    }
    WSAAsyncSelect(m_sock4, m_hwnd, kMsgSock4, FD_ACCEPT);
  };

  if (!m_ipv6) {
    ipv4Only();
    return;
  }
  sockaddr_in6 a6 = {};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_any;
  a6.sin6_port = htons(static_cast<u_short>(m_port));
  bool bound6 = false, bound4 = false;
  m_sock6 = BoundListener(AF_INET6, reinterpret_cast<sockaddr*>(&a6), sizeof a6, &bound6);
  if (m_sock6 == INVALID_SOCKET) {
    ipv4Only();
    return;
  }
  m_sock4dual = BoundListener(AF_INET, reinterpret_cast<sockaddr*>(&a4), sizeof a4, &bound4);
  // With only the IPv6 socket, that one must still serve.
  if (!bound4) CloseSocket(m_sock4dual);
  if (!bound6) CloseSocket(m_sock6);
  if (!bound4 && !bound6) throw WarningException(UiText(IDS_DAEMON_BIND_ERROR));
  bool listening6 = m_sock6 != INVALID_SOCKET && listen(m_sock6, 5) == 0;
  bool listening4 = m_sock4dual != INVALID_SOCKET && listen(m_sock4dual, 5) == 0;
  if (!listening6 && !listening4) {
    CloseSocket(m_sock6);
    CloseSocket(m_sock4dual);
    throw WarningException(UiText(IDS_DAEMON_LISTEN_ERROR));
  }
  if (!listening6) CloseSocket(m_sock6);
  if (!listening4) CloseSocket(m_sock4dual);
  if (m_sock6 != INVALID_SOCKET) WSAAsyncSelect(m_sock6, m_hwnd, kMsgSock6, FD_ACCEPT);
  if (m_sock4dual != INVALID_SOCKET) WSAAsyncSelect(m_sock4dual, m_hwnd, kMsgSock4Dual, FD_ACCEPT);
}

bool Daemon::NotifyTrayIcon(DWORD message) {
  m_nid.cbSize = sizeof m_nid;
  m_nid.hWnd = m_hwnd;
  m_nid.uID = IDI_MAINICON;
  m_nid.uCallbackMessage = kMsgTray;
  m_nid.uFlags = NIF_MESSAGE | NIF_ICON;
  HINSTANCE inst = GetModuleHandleA(nullptr);
  m_nid.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(g_listeningEnabled ? IDI_MAINICON : IDI_LISTEN_DISABLED));
  char tip[sizeof m_nid.szTip];
  if (LoadStringA(pApp ? pApp->m_instance : inst, IDS_LISTENING_TIP, tip, sizeof tip) > 0) {
    std::snprintf(m_nid.szTip, sizeof m_nid.szTip, "%s - Port:%ld", tip, static_cast<long>(m_port));
    m_nid.uFlags |= NIF_TIP;
  }
  return Shell_NotifyIconA(message, &m_nid) != FALSE;
}

void Daemon::CheckTrayIcon() {
  kebLog.Print(8, "Checking Tray icon\n");
  if (!NotifyTrayIcon(NIM_MODIFY)) {
    kebLog.Print(4, "Tray icon not there - reinstalling\n");
    kebLog.Print(4, "Adding Tray icon\n");
    NotifyTrayIcon(NIM_ADD);
  }
}

void Daemon::OnSocketEvent(SOCKET s, LPARAM lParam) {
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_ACCEPT: {
      sockaddr_storage peer = {};
      int len = sizeof peer;
      SOCKET conn = accept(s, reinterpret_cast<sockaddr*>(&peer), &len);
      if (conn == INVALID_SOCKET) return;
      WSAAsyncSelect(conn, m_hwnd, 0, 0);
      u_long blocking = 0;
      ioctlsocket(conn, FIONBIO, &blocking);
      if (!g_listeningEnabled || !pApp) {
        closesocket(conn);
        return;
      }
      pApp->NewConnection(true, conn);
      return;
    }
    case FD_READ: {
      u_long pending = 0;
      if (ioctlsocket(s, FIONREAD, &pending) == 0) {
        while (pending > 0) {
          int n = recv(s, m_scratch, pending > sizeof m_scratch ? sizeof m_scratch : static_cast<int>(pending), 0);
          if (n <= 0) break;
          pending -= static_cast<u_long>(n);
        }
      }
      return;
    }
    case FD_CLOSE:
      kebLog.Print(5, "Daemon connection closed\n");
      DestroyWindow(m_hwnd);
      return;
  }
}

void Daemon::ShowTrayMenu() {
  HMENU sub = m_hmenu ? GetSubMenu(m_hmenu, 0) : nullptr;
  if (!sub) {
    kebLog.Print(2, "No systray submenu\n");
    return;
  }
  POINT pt;
  GetCursorPos(&pt);
  SetForegroundWindow(m_hwnd);
  SetMenuDefaultItem(sub, 0, TRUE);
  TrackPopupMenu(sub, 0, pt.x, pt.y, 0, m_hwnd, nullptr);
  PostMessageA(m_hwnd, WM_NULL, 0, 0);
}

LRESULT CALLBACK Daemon::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Daemon*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (msg == WM_DESTROY) {
    // The window going away while it serves ends the program; one that its Daemon
    // detached (a failed set-up, the end of the program) ends nothing.
    if (self) PostQuitMessage(0);
    return 0;
  }
  if (!self) return DefWindowProcA(hwnd, msg, wParam, lParam);
  // Nothing may leave a window procedure: a failed connection is reported here.
  try {
    return self->HandleMessage(msg, wParam, lParam);
  } catch (const Exception& e) {
    e.Report();
  } catch (const rdr::Exception& e) {
    ErrorException(e.str()).Report();
  } catch (...) {
    ErrorException("Unexpected error").Report();
  }
  return 0;
}

LRESULT Daemon::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case kMsgSock4:
    case kMsgSock6:
    case kMsgSock4Dual:
      OnSocketEvent(static_cast<SOCKET>(wParam), lParam);
      return 0;
    case kMsgTray:
      if (lParam == WM_LBUTTONDBLCLK) {
        HMENU sub = m_hmenu ? GetSubMenu(m_hmenu, 0) : nullptr;
        if (sub) SendMessageA(m_hwnd, WM_COMMAND, GetMenuItemID(sub, 0), 0);
      } else if (lParam == WM_RBUTTONUP) {
        ShowTrayMenu();
      }
      return 0;
    case WM_TIMER:
      if (wParam == kCheckTimer) CheckTrayIcon();
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ID_NEWCONN:
          if (pApp) pApp->NewConnection(false);
          return 0;
        case ID_CONN_OPTIONS:
          if (pApp) pApp->m_options.DoDialog(false, nullptr);
          return 0;
        case ID_ABOUT:
          ShowAboutBox(m_hwnd);
          return 0;
        case ID_TOGGLE_LISTEN:
          g_listeningEnabled = !g_listeningEnabled;
          CheckTrayIcon();
          return 0;
        case ID_CLOSE_DAEMON:
          PostQuitMessage(0);
          return 0;
      }
      break;
  }
  return DefWindowProcA(m_hwnd, msg, wParam, lParam);
}
