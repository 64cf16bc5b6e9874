// One viewer connection to one server (Win32 shell). The protocol lives in RfbSession;
// this class adds what needs Windows: the Winsock connect (IPv4, IPv6, names), socket
// options, the task dialogs of the handshake, registration with the application, and the
// connection thread (omni_thread), whose body the viewer windows' stage adds.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <omnithread.h>

#include "session/RfbSession.h"

class KEBviewerApp;

class ClientConnection : public omni_thread, public RfbSession {
public:
  // The server is chosen later (options, or the session dialog).
  explicit ClientConnection(KEBviewerApp* app);
  // A socket accepted in listening mode; the host becomes the peer's address.
  ClientConnection(KEBviewerApp* app, SOCKET sock);
  ClientConnection(KEBviewerApp* app, const char* host, int port);
  ~ClientConnection() override;

  // Obtains the server, performs the handshake (DoConnection) and sets the session up.
  // Throws on failure; the caller reports and deletes the connection.
  void Run();
  // Closes and deletes the connection (application shut-down).
  void CloseAndDestroy();

  // SO_RCVTIMEO / SO_SNDTIMEO on the socket; a negative value means "FileTransferTimeout"
  // seconds. False when setsockopt fails.
  bool SetRecvTimeout(int ms);
  bool SetSendTimeout(int ms);

  KEBviewerApp* m_pApp = nullptr;
  HWND m_hwndMain = nullptr;    // frame window
  HWND m_hwndcn = nullptr;      // viewer window
  HWND m_hwndStatus = nullptr;  // connection-status dialog
  RTL_OSVERSIONINFOW m_osVersion = {};

protected:
  void ConnectToHost() override;
  void ConnectToProxy() override;
  void ConfigureSocket() override;
  bool AskChoice(const ChoicePrompt& prompt, bool* checked) override;
  std::uint32_t ChooseHelpdesk(const std::vector<std::string>& entries) override;
  void SetStatusText(int control, const char* text) override;
  void PlayIncomingSound() override;

private:
  void Init(KEBviewerApp* app);
  // Connects m_sock to host:port (IPv4, or IPv6 first with the "ipv6" option).
  void ConnectTcp(const char* host, int port);
  bool ConnectAddress(const sockaddr* addr, int addrLen, int family);
  HWND DialogParent() const;
};
