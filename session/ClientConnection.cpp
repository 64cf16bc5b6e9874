#include "session/ClientConnection.h"

#include <ws2tcpip.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstring>

#include "app/Exception.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "dialogs/DialogHelpers.h"
#include "display/HotKeysWin32.h"
#include "display/ViewerDirectx.h"
#include "display/ViewerMessages.h"
#include "filetransfer/FileTransfer.h"
#include "filetransfer/TextChat.h"
#include "resources/StringIds.h"
#include "security/AuthDialog.h"
#include "security/HelpdeskListDialog.h"

namespace {

void CopyHost(char* dst, const char* src) {
  std::snprintf(dst, RfbSession::kHostCapacity, "%s", src ? src : "");
}

}  // namespace

ClientConnection::ClientConnection(KEBviewerApp* app) : RfbSession(app->m_options) { Init(app); }

ClientConnection::ClientConnection(KEBviewerApp* app, SOCKET sock) : RfbSession(app->m_options) {
  Init(app);
  SetSocket(static_cast<rdr::SocketHandle>(sock));
  sockaddr_storage peer = {};
  int len = sizeof peer;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&peer);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&a->sin_addr);
    std::snprintf(m_host, sizeof m_host, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    m_port = ntohs(a->sin_port);
  } else if (len > 0 && peer.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&peer);
    const unsigned char* b = a->sin6_addr.s6_addr;
    char* p = m_host;
    for (int g = 0; g < 8; g++)
      p += std::snprintf(p, sizeof m_host - static_cast<std::size_t>(p - m_host), g ? ":%02x%02x" : "%02x%02x",
                         b[2 * g], b[2 * g + 1]);
  } else {
    CopyHost(m_host, UiText(IDS_UNKNOWN_HOST));
    m_port = 0;
  }
}

ClientConnection::ClientConnection(KEBviewerApp* app, const char* host, int port) : RfbSession(app->m_options) {
  Init(app);
  CopyHost(m_host, host);
  m_port = port;
  CopyHost(m_proxyhost, m_opts.m_proxyhost);
  m_proxyport = m_opts.m_proxyport;
  m_fUseProxy = m_opts.m_UseProxy;
  if (m_opts.m_autoDetect) m_opts.m_Use8Bit = 0;
}

void ClientConnection::Init(KEBviewerApp* app) {
  m_pApp = app;
  m_nServerScale = 1;
  m_reconnectAttempts = 3;
  m_reconnectDelay = m_opts.m_AutoReconnect;
  // The real Windows version: GetVersionEx answers what the manifest declares.
  m_osVersion.dwOSVersionInfoSize = sizeof m_osVersion;
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto rtlGetVersion =
      ntdll ? reinterpret_cast<RtlGetVersionFn>(GetProcAddress(ntdll, "RtlGetVersion")) : nullptr;
  if (!rtlGetVersion || rtlGetVersion(&m_osVersion) != 0) {
    m_osVersion = {};
    m_osVersion.dwOSVersionInfoSize = sizeof m_osVersion;
  }
  m_pApp->RegisterConnection(this);
  // Direct3D 9 is looked for once; without it the framebuffer is always a DIB.
  m_directx.reset(new ViewerDirectxClass());
  m_pTextChat.reset(new TextChat(app, this));
  m_pFileTransfer.reset(new FileTransfer(app, this));
  LoadClipboardPrefs();
}

ClientConnection::~ClientConnection() {
  StopKeyboardHookThread(m_hwndMain);
  // A reconnect thread calls into this object: it ends first (the frame has waited for it
  // already, so this returns at once).
  EndStatusDialog();
  BeginClose();
  WaitForReconnectThread(10000);
  StopConnectWatchdog();
  // The second event is signalled until a connection thread runs, and set again when it ends.
  WaitForThreadEvent(m_event2, 6000);
  CloseSocket();
  m_fdin.reset();
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    ReleaseLocalFramebuffer();
  }
  if (m_hUpdateRgn) DeleteObject(m_hUpdateRgn);
  if (m_hPalette) DeleteObject(m_hPalette);
  if (m_pApp) m_pApp->DeregisterConnection(this);
}

void ClientConnection::Run() {
  if (m_sock.load() == rdr::kInvalidSocket && !m_host[0]) ObtainServer();
  LoadDSMPlugin(false);
  SaveConnectionSettings();
  try {
    DoConnection();
  } catch (...) {
    EndStatusDialog();
    throw;
  }

  // The window phase. A failure here leaves no window behind: the caller deletes the
  // connection.
  try {
    CreateFrameWindow();
    CreateDisplayWindow();
    SetWindowTitle();
    SizeWindow(true, false);
    ShowWindow(m_hwndcn, SW_SHOW);
    JoinClipboardChain();
    {
      std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
      CreateLocalFramebuffer();
    }
    SizeWindow(false, false);
    ShowWindow(m_hwndMain, SW_SHOW);
    UpdateWindow(m_hwndMain);
    StartKeyboardHookThread(m_hwndMain);
    m_threadStarted = true;
    start_undetached();
    EndStatusDialog();
  } catch (...) {
    m_threadStarted = false;
    StopKeyboardHookThread(m_hwndMain);
    LeaveClipboardChain();
    if (m_hwndMain) {
      SetWindowLongPtrA(m_hwndMain, GWLP_USERDATA, 0);
      if (m_hwndcn) SetWindowLongPtrA(m_hwndcn, GWLP_USERDATA, 0);
      DestroyWindow(m_hwndMain);
    }
    m_hwndMain = m_hwndcn = nullptr;
    throw;
  }
  m_windowsOwnConnection = true;
}

void ClientConnection::CloseAndDestroy() {
  BeginClose();
  CloseConnection();
  if (m_hwndMain && m_windowsOwnConnection) {
    // The frame deletes the connection when it goes.
    DestroyWindow(m_hwndMain);
    return;
  }
  FinishAndDelete();
}

bool ClientConnection::SetRecvTimeout(int ms) {
  DWORD t = static_cast<DWORD>(ms < 0 ? m_opts.m_FileTransferTimeout * 1000 : ms);
  return setsockopt(static_cast<SOCKET>(m_sock.load()), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t),
                    sizeof t) == 0;
}

bool ClientConnection::SetSendTimeout(int ms) {
  DWORD t = static_cast<DWORD>(ms < 0 ? m_opts.m_FileTransferTimeout * 1000 : ms);
  return setsockopt(static_cast<SOCKET>(m_sock.load()), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t),
                    sizeof t) == 0;
}

// ---------------------------------------------------------------------------------------
// Connect

void ClientConnection::ConnectToHost() { ConnectTcp(m_host, m_port); }

void ClientConnection::ConnectToProxy() {
  ConnectTcp(m_proxyhost, m_proxyport);
  m_proxySocket = true;
}

bool ClientConnection::ConnectAddress(const sockaddr* addr, int addrLen, int family) {
  SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    SetStatusText(kStatusLine, UiText(IDS_SOCKET_CREATE_FAILED));
    throw WarningException(UiText(IDS_SOCKET_CREATE_FAILED));
  }
  SetSocket(static_cast<rdr::SocketHandle>(s));
  // From here a Cancel closes the socket, which ends the blocking connect.
  StartConnectWatchdog();
  if (connect(static_cast<SOCKET>(m_sock.load()), addr, addrLen) == 0) return true;
  kebLog.Print(0, "socket error %i\n", WSAGetLastError());
  CloseSocket();
  return false;
}

void ClientConnection::ConnectTcp(const char* host, int port) {
  ShowStatusWhileConnecting(false);
  CloseSocket();
  char portText[16];
  std::snprintf(portText, sizeof portText, "%d", port);

  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_family = m_opts.m_ipv6 ? AF_UNSPEC : AF_INET;
  addrinfo* found = nullptr;
  sockaddr_in v4 = {};
  sockaddr_in6 v6 = {};
  bool haveV4 = false, haveV6 = false;
  if (getaddrinfo(host, portText, &hints, &found) == 0) {
    for (addrinfo* a = found; a; a = a->ai_next) {
      if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof v4) {
        std::memcpy(&v4, a->ai_addr, sizeof v4);
        haveV4 = true;
      } else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof v6) {
        std::memcpy(&v6, a->ai_addr, sizeof v6);
        haveV6 = true;
      }
    }
    freeaddrinfo(found);
  }
  if (!haveV4 && !haveV6) {
    kebLog.Print(0, "Failed to find the address of %s\n", host);
    SetStatusText(kStatusLine, UiText(IDS_HOST_NOT_FOUND));
    throw WarningException(m_opts.m_ipv6 ? UiText(IDS_SOCKET_CREATE_FAILED) : UiText(IDS_HOST_NOT_FOUND));
  }
  if (m_opts.m_ipv6) {
    char a4[INET_ADDRSTRLEN] = "", a6[INET6_ADDRSTRLEN] = "", line[160];
    if (haveV4) inet_ntop(AF_INET, &v4.sin_addr, a4, sizeof a4);
    if (haveV6) inet_ntop(AF_INET6, &v6.sin6_addr, a6, sizeof a6);
    if (haveV4 && haveV6)
      std::snprintf(line, sizeof line, "IPv4: %s\nIPv6: %s \n", a4, a6);
    else
      std::snprintf(line, sizeof line, haveV6 ? "IPv6: %s \n" : "IPv4: %s \n", haveV6 ? a6 : a4);
    SetStatusText(kStatusLine, line);
    if (m_hwndStatus) Sleep(500);  // long enough to be read
  }
  SetStatusText(kStatusPort, portText);

  bool connected = false;
  if (haveV6) connected = ConnectAddress(reinterpret_cast<const sockaddr*>(&v6), sizeof v6, AF_INET6);
  if (!connected && haveV4) connected = ConnectAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, AF_INET);
  if (!connected) throw WarningException(UiText(IDS_CONNECT_FAILED), IDS_CONNECT_FAILED);
  kebLog.Print(0, "Connected to %s port %d\n", host, port);
  SetStatusText(kStatusHost, host);
}

void ClientConnection::ConfigureSocket() {
  BOOL one = TRUE;
  if (setsockopt(static_cast<SOCKET>(m_sock.load()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one) != 0)
    throw WarningException(UiText(IDS_SOCKET_OPTION_FAILED));
}

// ---------------------------------------------------------------------------------------
// The user

HWND ClientConnection::DialogParent() const { return m_hwndStatus ? m_hwndStatus : m_hwndMain; }

bool ClientConnection::AskChoice(const ChoicePrompt& p, bool* checked) {
  // The connection thread owns no window: its questions are asked on the GUI thread,
  // unless the connection is closing (then nobody is asked and the answer is no).
  if (m_hwndcn && GetCurrentThreadId() != g_guiThreadId) {
    if (m_closing) return false;
    return SendMessageA(m_hwndcn, WM_VIEWER_ASKCHOICE, reinterpret_cast<WPARAM>(&p),
                        reinterpret_cast<LPARAM>(checked)) == 1;
  }
  return AskChoiceHere(p, checked);
}

bool ClientConnection::AskChoiceHere(const ChoicePrompt& p, bool* checked) {
  BOOL box = FALSE;
  int r = ShowChoiceTaskDialog(GetModuleHandleA(nullptr), DialogParent(), p.instruction, p.content, p.first,
                               p.second, p.checkbox ? p.checkbox : "", &box);
  if (checked) *checked = box != FALSE;
  return (r & 0xFF) == 1;
}

std::uint32_t ClientConnection::ChooseHelpdesk(const std::vector<std::string>& entries) {
  return RunHelpdeskListDialog(m_pApp->m_instance, entries);
}

bool ClientConnection::AskCredentials(AuthDialogType type, const char* status1, const char* status2,
                                      AuthEntry* entry) {
  AuthDialog dialog;
  if (dialog.DoDialog(type, m_host, m_port, status1, status2) != 1) return false;
  std::memcpy(entry->password, dialog.m_passwd, sizeof entry->password);
  std::memcpy(entry->domain, dialog.m_domain, sizeof entry->domain);
  std::memcpy(entry->user, dialog.m_user, sizeof entry->user);
  return true;
}

void ClientConnection::SetStatusText(int control, const char* text) {
  if (m_hwndStatus) SetDlgItemTextA(m_hwndStatus, control, text);
}

void ClientConnection::PlayIncomingSound() {
  char path[MAX_PATH + 16];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  char* slash = std::strrchr(path, '\\');
  if (!slash) return;
  std::strcpy(slash + 1, "sound.wav");
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) PlaySoundA(path, nullptr, SND_FILENAME | SND_ASYNC);
}
