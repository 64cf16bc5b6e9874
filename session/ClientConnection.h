// One viewer connection to one server. (Skeleton: the life cycle the application uses.)
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <omnithread.h>

class KEBviewerApp;

class ClientConnection : public omni_thread {
public:
  explicit ClientConnection(KEBviewerApp* app);
  ClientConnection(KEBviewerApp* app, SOCKET sock);
  ClientConnection(KEBviewerApp* app, const char* host, int port);
  ~ClientConnection() override;

  void Run();
  // Marks the connection closing and closes its socket and windows.
  void CloseConnection();
  // Closes and deletes the connection (application shut-down).
  void CloseAndDestroy();

  bool m_accepted = false;

private:
  void Init(KEBviewerApp* app);
  KEBviewerApp* m_pApp = nullptr;
};
