// The connection's side of connection files and of the session dialog: where Run gets its
// server, reading a connection file, saving one, and saving the options before a handshake.
#include <windows.h>
#include <cderr.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/Exception.h"
#include "app/IniStore.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "dialogs/ConnectionFile.h"
#include "dialogs/ConnectionFileDialogs.h"
#include "dialogs/DialogHelpers.h"
#include "dialogs/SessionDialog.h"
#include "resources/StringIds.h"
#include "session/ClientConnection.h"

namespace {

void CopyHost(char* dst, const char* src) { std::snprintf(dst, KEBOptions::kHostCapacity, "%s", src ? src : ""); }

// A file dialog of connection files; filter and titleBuffer must live while it is shown.
OPENFILENAMEA FileDialog(HWND owner, char* path, const std::string& filter, char* titleBuffer, int titleSize) {
  OPENFILENAMEA ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = path;
  ofn.nMaxFile = kConnectionFilePathSize;
  ofn.lpstrFileTitle = titleBuffer;
  ofn.nMaxFileTitle = static_cast<DWORD>(titleSize);
  ofn.lpstrDefExt = "keb";
  ofn.Flags = OFN_HIDEREADONLY;
  return ofn;
}

std::string KebFilter() { return std::string(UiText(IDS_KEB_FILES)) + '\0' + "*.keb" + '\0' + '\0'; }

}  // namespace

bool AskConnectionFileToOpen(HWND owner, char path[kConnectionFilePathSize]) {
  char title[512] = "";
  const std::string filter = KebFilter();
  OPENFILENAMEA ofn = FileDialog(owner, path, filter, title, sizeof title);
  ofn.Flags |= OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
  return GetOpenFileNameA(&ofn) != FALSE;
}

bool AskConnectionFileToSave(HWND owner, const char* initialDir, char path[kConnectionFilePathSize]) {
  char title[512] = "";
  const std::string filter = KebFilter();
  OPENFILENAMEA ofn = FileDialog(owner, path, filter, title, sizeof title);
  ofn.lpstrInitialDir = initialDir && *initialDir ? initialDir : nullptr;
  if (GetSaveFileNameA(&ofn)) return true;
  const DWORD error = CommDlgExtendedError();
  if (error == FNERR_INVALIDFILENAME)
    ShowMessageTaskDialog(GetModuleHandleA(nullptr), owner, UiText(IDS_INVALID_FILENAME), UiText(IDS_ERROR_SAVING),
                          MB_ICONERROR);
  else if (error != 0)
    kebLog.Print(0, "Error %d from GetSaveFileName\n", static_cast<int>(error));
  return false;
}

void TakeStoredPassword(connfile::ConnectionInfo& info, ConnectionCredentials& credentials) {
  if (info.hasPassword)
    std::memcpy(credentials.storedPassword.bytes, info.password, sizeof info.password);
  else
    credentials.storedPassword.Clear();
  SecureWipe(info.password, sizeof info.password);
}

void ClientConnection::ObtainServer() {
  if ((m_opts.m_configSpecified || g_configSpecified) && m_opts.m_configFilename[0] &&
      LoadConnectionFile(m_opts.m_configFilename, false, true) == 0)
    return;
  if (m_opts.m_host_options[0]) {
    CopyHost(m_host, m_opts.m_host_options);
    m_port = m_opts.m_port;
    CopyHost(m_proxyhost, m_opts.m_proxyhost);
    m_proxyport = m_opts.m_proxyport;
    m_fUseProxy = m_opts.m_UseProxy;
    return;
  }
  SessionDialog dialog(&m_opts, this, m_pDSMPlugin.get());
  if (!dialog.DoDialog()) throw QuietException("Connection cancelled");
  CopyHost(m_host, dialog.m_host_dialog);
  m_port = dialog.m_port;
  CopyHost(m_proxyhost, dialog.m_proxyhost_dialog);
  m_proxyport = dialog.m_proxyport;
  m_fUseProxy = dialog.m_fUseProxy;
}

int ClientConnection::LoadConnectionFile(const char* file, bool browse, bool fromCommandLine) {
  char path[kConnectionFilePathSize] = "";
  if (browse) {
    if (!AskConnectionFileToOpen(m_hwndMain, path)) return -1;
  } else {
    std::snprintf(path, sizeof path, "%s", file ? file : "");
  }

  std::unique_ptr<IniStore> ini = OpenIniFile(path);
  connfile::ConnectionInfo info;
  if (!connfile::ReadConnection(*ini, &info)) {
    kebLog.Print(0, "No usable server in %s\n", path);
    return -1;
  }
  CopyHost(m_host, info.host);
  m_port = info.port;
  CopyHost(m_proxyhost, info.proxyhost);
  m_proxyport = info.proxyport;
  m_fUseProxy = info.useProxy;
  TakeStoredPassword(info, m_credentials);

  // A file named on the command line had its options applied by the command-line parser,
  // in their place among the switches.
  if (fromCommandLine) return 0;
  m_opts.LoadOptions(path);
  SessionDialog dialog(&m_opts, this, m_pDSMPlugin.get());
  if (!dialog.DoDialog()) throw QuietException("Connection cancelled");
  CopyHost(m_host, dialog.m_host_dialog);
  m_port = dialog.m_port;
  CopyHost(m_proxyhost, dialog.m_proxyhost_dialog);
  m_proxyport = dialog.m_proxyport;
  m_fUseProxy = dialog.m_fUseProxy;
  return 0;
}

void ClientConnection::SaveConnection() {
  kebLog.Print(2, "Saving connection info\n");
  char path[kConnectionFilePathSize];
  std::snprintf(path, sizeof path, "%s", connfile::DefaultFileName(m_host, m_port).c_str());
  if (!AskConnectionFileToSave(m_hwndMain, nullptr, path)) return;
  kebLog.Print(1, "Saving to %s\n", path);
  std::unique_ptr<IniStore> ini = OpenIniFile(path);
  connfile::WriteConnection(*ini, m_host, m_port, m_proxyhost, m_proxyport);
  const int answer = ShowChoiceTaskDialog(GetModuleHandleA(nullptr), m_hwndMain, UiText(IDS_SECURITY_WARNING),
                                          UiText(IDS_SAVE_PASSWORD_QUESTION), UiText(IDS_SAVE_PASSWORD_YES),
                                          UiText(IDS_SAVE_PASSWORD_NO), "", nullptr);
  const bool withPassword = (answer & 0xFF) == 1 && !m_credentials.storedPassword.Empty();
  connfile::WritePassword(*ini, withPassword ? m_credentials.storedPassword.bytes : nullptr);
  m_opts.SaveOptions(path);
}

void ClientConnection::SaveConnectionSettings() {
  if (m_opts.m_configSpecified || g_configSpecified) return;
  kebLog.Print(2, "Saving connection info\n");
  m_opts.SaveOptions(m_opts.GetOptionsFile());
}

void ClientConnection::SaveAllowUntrustedServers() {
  if (m_opts.m_UseOnlyDefaultConfigFile) {
    RfbSession::SaveAllowUntrustedServers();
    return;
  }
  m_opts.m_AllowUntrustedServers = true;
  char path[kConnectionFilePathSize];
  std::snprintf(path, sizeof path, "%s", connfile::DefaultFileName(m_host, m_port).c_str());
  if (!AskConnectionFileToSave(DialogParent(), nullptr, path)) return;
  OpenIniFile(path)->WriteString("options", "AllowUntrustedServers", "1");
}
