// Listening mode: sockets that servers connect to, a hidden window that receives their
// events, and the icon in the notification area with its menu.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

class Daemon {
public:
  // Throws WarningException when the listening sockets cannot be set up.
  Daemon(int port, bool ipv6);
  virtual ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  void CheckTrayIcon();
  // NIM_ADD, NIM_MODIFY or NIM_DELETE; returns whether the shell accepted it.
  bool NotifyTrayIcon(DWORD message);

  HWND Window() const { return m_hwnd; }

private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void OpenSockets();
  void OnSocketEvent(SOCKET s, LPARAM lParam);
  void ShowTrayMenu();
  void CloseSocket(SOCKET& s);

  SOCKET m_sock6 = INVALID_SOCKET;      // IPv6 socket of the dual set-up
  SOCKET m_sock4dual = INVALID_SOCKET;  // IPv4 socket of the dual set-up
  SOCKET m_sock4 = INVALID_SOCKET;      // the IPv4-only set-up
  bool m_ipv6;
  int m_port;
  HWND m_hwnd = nullptr;
  HMENU m_hmenu = nullptr;
  NOTIFYICONDATAA m_nid = {};
  UINT_PTR m_timer = 0;
  char m_scratch[1024];
};

// Whether accepted connections are opened (true) or closed at once; toggled from the menu.
extern bool g_listeningEnabled;
