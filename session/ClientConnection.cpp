#include "session/ClientConnection.h"

#include "app/Exception.h"
#include "app/KEBviewerApp.h"

ClientConnection::ClientConnection(KEBviewerApp* app) { Init(app); }
ClientConnection::ClientConnection(KEBviewerApp* app, SOCKET) { Init(app); }
ClientConnection::ClientConnection(KEBviewerApp* app, const char*, int) { Init(app); }

void ClientConnection::Init(KEBviewerApp* app) {
  m_pApp = app;
  m_pApp->RegisterConnection(this);
}

ClientConnection::~ClientConnection() { m_pApp->DeregisterConnection(this); }

void ClientConnection::Run() { throw WarningException("Connecting to a server is not available in this build."); }

void ClientConnection::CloseConnection() {}

void ClientConnection::CloseAndDestroy() {
  CloseConnection();
  delete this;
}
