// The application object: the one KEBOptions, the table of open connections and, in
// listening mode, the Daemon.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "app/ConnectionTable.h"
#include "app/KEBOptions.h"

class ClientConnection;
class Daemon;

class KEBviewerApp {
public:
  KEBviewerApp(HINSTANCE instance, const char* cmdline);
  virtual ~KEBviewerApp();
  KEBviewerApp(const KEBviewerApp&) = delete;
  KEBviewerApp& operator=(const KEBviewerApp&) = delete;

  virtual void NewConnection(bool accepted, SOCKET sock) = 0;
  virtual void NewConnection(bool accepted, const char* host, int port) = 0;
  virtual void NewConnection(bool accepted) = 0;

  void RegisterConnection(ClientConnection* conn);
  void DeregisterConnection(ClientConnection* conn);
  int ConnectionCount() const { return m_clients.Count(); }

  KEBOptions m_options;
  HINSTANCE m_instance;  // the resource module: the language module when one was loaded

protected:
  // Closes every connection still registered, each with a bounded wait.
  void CloseAllConnections();

  ConnectionTable<ClientConnection> m_clients;
  bool m_winsockStarted = false;
};

class KEBviewerApp32 : public KEBviewerApp {
public:
  KEBviewerApp32(HINSTANCE instance, const char* cmdline);
  ~KEBviewerApp32() override;

  void NewConnection(bool accepted, SOCKET sock) override;
  void NewConnection(bool accepted, const char* host, int port) override;
  void NewConnection(bool accepted) override;

  Daemon* m_pdaemon = nullptr;
};

// The one application object, published by its constructor.
extern KEBviewerApp* pApp;

// The module the dialogs, texts and icons come from: the application's resource module
// (the language module when one was loaded), else the program itself.
inline HINSTANCE ResourceModuleOf(const KEBviewerApp* app = pApp) {
  return app && app->m_instance ? app->m_instance : GetModuleHandleA(nullptr);
}

// Set at start, cleared by WinMain when the command line is empty.
extern bool g_commandLineGiven;
// Set by a connection thread that has shown a warning box; WinMain then shows no other.
extern bool g_errorBoxShown;
// The GUI thread, which owns the message loop.
extern DWORD g_guiThreadId;

// Ends the GUI thread's message loop with code, from any thread.
void QuitMessageLoop(int code);
