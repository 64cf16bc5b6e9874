#include "app/KEBviewerApp.h"

#include <cstdio>
#include <new>

#include "app/Daemon.h"
#include "app/Exception.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "rdr/Exception.h"
#include "rdr/Sys.h"
#include "resources/StringIds.h"
#include "session/ClientConnection.h"

KEBviewerApp* pApp = nullptr;
bool g_commandLineGiven = true;
bool g_errorBoxShown = false;
DWORD g_guiThreadId = 0;

void QuitMessageLoop(int code) {
  // PostQuitMessage only reaches the calling thread's queue; from a connection thread
  // the quit must be posted to the GUI thread itself.
  if (g_guiThreadId == 0 || GetCurrentThreadId() == g_guiThreadId)
    PostQuitMessage(code);
  else
    PostThreadMessageA(g_guiThreadId, WM_QUIT, static_cast<WPARAM>(code), 0);
}

KEBviewerApp::KEBviewerApp(HINSTANCE instance, const char* cmdline) : m_instance(instance) {
  pApp = this;
  m_options.Initialise();
  m_options.SetFromCommandLine(cmdline);

  kebLog.SetLevel(m_options.m_logLevel);
  if (m_options.m_logToConsole) kebLog.SetMode(Log::ToDebug | Log::ToConsole);
  if (m_options.m_logToFile) kebLog.SetFile(m_options.m_logFilename, false);

  int version = 0;
  if (!rdr::SocketsStartup(&version)) {
    UI().ShowMessage(UiText(IDS_SOCKETS_INIT_FAILED), UiText(IDS_INFO_TITLE), MessageIcon::Error);
    QuitMessageLoop(1);
  } else {
    m_winsockStarted = true;
    kebLog.Print(3, "Started and Winsock (v %d) initialised\n", version);
  }
}

KEBviewerApp::~KEBviewerApp() {
  CloseAllConnections();
  if (m_winsockStarted) rdr::SocketsCleanup();
  kebLog.Print(2, "KEB Viewer closing down\n");
  if (pApp == this) pApp = nullptr;
}

void KEBviewerApp::CloseAllConnections() {
  // Connections remove themselves from the table when they are deleted. Each gets a
  // bounded close; a connection that does not go away is not waited for again.
  for (int attempt = 0; attempt < ConnectionTable<ClientConnection>::kSlots; attempt++) {
    ClientConnection* c = m_clients.At(0);
    if (!c) break;
    try {
      c->CloseAndDestroy();
    } catch (...) {
    }
    if (m_clients.At(0) == c) m_clients.Deregister(c);
  }
}

void KEBviewerApp::RegisterConnection(ClientConnection* conn) {
  if (m_clients.Register(conn)) {
    kebLog.Print(4, "Registered connection with app\n");
    return;
  }
  kebLog.Print(-1, "Client list overflow!\n");
  UI().ShowMessage(UiText(IDS_CLIENT_LIST_OVERFLOW), UiText(IDS_KEB_ERROR_TITLE), MessageIcon::Error);
  QuitMessageLoop(1);
}

void KEBviewerApp::DeregisterConnection(ClientConnection* conn) {
  switch (m_clients.Deregister(conn)) {
    case ConnectionTable<ClientConnection>::Removed::NotFound:
      kebLog.Print(-1, "Client not found for deregistering!\n");
      QuitMessageLoop(1);
      return;
    case ConnectionTable<ClientConnection>::Removed::SomeLeft:
      kebLog.Print(4, "Deregistered connection from app\n");
      return;
    case ConnectionTable<ClientConnection>::Removed::NowEmpty:
      kebLog.Print(4, "Deregistered connection from app\n");
      if (!m_options.m_listening) QuitMessageLoop(0);
      return;
  }
}

KEBviewerApp32::KEBviewerApp32(HINSTANCE instance, const char* cmdline) : KEBviewerApp(instance, cmdline) {
  if (m_options.m_kbdSpecified) {
    if (!LoadKeyboardLayoutA(m_options.m_kbdname, KLF_ACTIVATE | KLF_REORDER | KLF_REPLACELANG)) {
      UI().ShowMessage(UiText(IDS_STOP_SYSTRAY), UiText(IDS_INFO_TITLE), MessageIcon::Error);
      ExitProcess(1);
    }
  }
  if (m_options.m_listening) {
    kebLog.Print(3, "In listening mode - staring daemons\n");
    try {
      m_pdaemon = new Daemon(m_options.m_listenPort, m_options.m_ipv6);
    } catch (const WarningException& e) {
      char text[1024];
      std::snprintf(text, sizeof text, "%s (%s)\n\r%s", UiText(IDS_DAEMON_ERROR), e.Message(),
                    UiText(IDS_ANOTHER_RUNNING));
      UI().ShowMessage(text, UiText(IDS_VIEWER_ERROR_TITLE), MessageIcon::Error);
      ExitProcess(1);
    }
  }
}

KEBviewerApp32::~KEBviewerApp32() {
  // Connections go first: they may still use the options and the log.
  CloseAllConnections();
  delete m_pdaemon;
  m_pdaemon = nullptr;
}

namespace {

// What the user is told of a connection that failed to start, and when: a connection of
// the session dialog is told before it is deleted (deleting the last one ends the program
// outside listening mode, which would take the box with it); a server that connected to
// the listening viewer is let go first (socket closed, slot freed), then reported.
enum class FailureOrder { ReportThenDelete, DeleteThenReport };

void DropFailedConnection(ClientConnection* conn, const Exception& e, FailureOrder order) {
  if (conn) {
    try {
      conn->CloseConnection();
    } catch (...) {
    }
  }
  if (order == FailureOrder::DeleteThenReport) {
    delete conn;
    conn = nullptr;
  }
  e.Report();
  delete conn;
}

// Creates a connection with make() and runs it; a failure is handled as above.
template <class Make>
void StartConnection(Make make, bool accepted, FailureOrder order) {
  ClientConnection* conn = nullptr;
  try {
    conn = make();
    conn->m_accepted = accepted;
    conn->Run();
  } catch (const Exception& e) {
    DropFailedConnection(conn, e, order);
  } catch (const rdr::Exception& e) {
    DropFailedConnection(conn, ErrorException(e.str()), order);
  } catch (const std::bad_alloc&) {
    DropFailedConnection(conn, ErrorException("Out of memory"), order);
  } catch (...) {
    DropFailedConnection(conn, ErrorException("Unexpected error"), order);
  }
}

}  // namespace

void KEBviewerApp32::NewConnection(bool accepted, SOCKET sock) {
  StartConnection(
      [&] {
        try {
          return new ClientConnection(this, sock);
        } catch (...) {
          closesocket(sock);  // not handed over yet
          throw;
        }
      },
      accepted, FailureOrder::DeleteThenReport);
}

void KEBviewerApp32::NewConnection(bool accepted, const char* host, int port) {
  ClientConnection* conn = new ClientConnection(this, host, port);
  conn->m_accepted = accepted;
  conn->Run();
}

void KEBviewerApp32::NewConnection(bool accepted) {
  StartConnection([&] { return new ClientConnection(this); }, accepted, FailureOrder::ReportThenDelete);
}
