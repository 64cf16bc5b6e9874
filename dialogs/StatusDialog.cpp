// The connection-status dialog (template 150): host, port, encryption, byte counters and
// the last encoding; Cancel while connecting, Close and a refresh every second once the
// session runs.
#include "dialogs/StatusDialog.h"

#include <cstdio>
#include <string>

#include "app/KEBOptions.h"
#include "app/Log.h"
#include "dialogs/DialogHelpers.h"
#include "app/UiText.h"
#include "app/Version.h"
#include "display/StatusText.h"
#include "resources/StringIds.h"
#include "resources/resource.h"
#include "security/DSMPlugin.h"
#include "session/ClientConnection.h"

namespace {

// How long StartStatusDialogThread waits for the window: 50 x 100 ms.
constexpr int kWindowWaitRounds = 50;
constexpr DWORD kWindowWaitStepMs = 100;
// How long ending the dialog waits for its thread.
constexpr DWORD kThreadEndWaitMs = 3000;
constexpr DWORD kEndStepMs = 50;

std::string Number(std::uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(n));
  return text;
}

}  // namespace

std::uint64_t ClientConnection::StatusBytesReceived() {
  // The input stream is replaced while a connection is made: it is read only while the
  // session runs.
  if (!m_running || m_paused) return 0;
  rdr::FdInStream* in = m_fdin.get();
  return in ? in->Pos() : 0;
}

void ClientConnection::InitStatusDialog(HWND dlg) {
  SetWindowPos(dlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  char version[64] = "";
  FormatFileVersion(version);
  const char* v = version[0] == ' ' ? version + 1 : version;
  SetDlgItemTextA(dlg, IDC_STATUS_PRODUCT, (std::string("Quillmar Remote - ") + v).c_str());
  SetDlgItemTextA(dlg, IDC_STATUS_RECEIVED, Number(StatusBytesReceived()).c_str());
  SetDlgItemTextA(dlg, IDC_STATUS_SENT, Number(m_out.TotalSent()).c_str());

  SetDlgItemTextA(dlg, IDC_STATUS_HOST, m_host);
  char title[sizeof m_host + 128];
  if (m_host[0])
    std::snprintf(title, sizeof title, "%s %s", UiText(IDS_STATUS_TITLE), m_host);
  else
    std::snprintf(title, sizeof title, "%s", UiText(IDS_STATUS_TITLE));
  SetWindowTextA(dlg, title);
  SetDlgItemTextA(dlg, IDC_STATUS_PORT, m_port ? Number(static_cast<unsigned>(m_port)).c_str() : "");

  if (m_fUsePlugin && m_pDSMPlugin) {
    SetDlgItemTextA(dlg, IDC_STATUS_LINE,
                    status::PluginLine(m_opts.m_DSMPlugin, m_pDSMPlugin->Name(), m_pDSMPlugin->Version()).c_str());
    const status::PluginKind kind = m_pluginIntegrated ? status::PluginKind::Integrated : status::PluginKind::Old;
    const char* described = m_channel ? m_channel->Description() : nullptr;
    SetDlgItemTextA(dlg, IDC_STATUS_PLUGIN,
                    status::EncryptionText(described ? described : "", kind, m_pDSMPlugin->GetParams()).c_str());
  } else {
    SetDlgItemTextA(dlg, IDC_STATUS_LINE, UiText(IDS_STATUS_NO_ENCRYPTION));
  }

  // Published only now: the connection's status texts go to a complete dialog.
  m_hwndStatus = dlg;
  if (m_running) {
    ShowWindow(GetDlgItem(dlg, IDC_STATUS_CANCEL), SW_HIDE);
    ShowWindow(GetDlgItem(dlg, IDC_STATUS_CLOSE), SW_SHOW);
    m_statusDialog.timer = SetTimer(dlg, kStatusTimer, kStatusTimerMs, nullptr);
    UpdateStatusDialog();
  } else {
    ShowWindow(GetDlgItem(dlg, IDC_STATUS_CANCEL), SW_SHOW);
    ShowWindow(GetDlgItem(dlg, IDC_STATUS_CLOSE), SW_HIDE);
    SetDlgItemTextA(dlg, IDC_STATUS_LINE, UiText(IDS_CONNECTING));
    EnableMenuItem(GetSystemMenu(dlg, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  }
  SetProgramIcon(dlg);
}

INT_PTR CALLBACK ClientConnection::StatusDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    SetWindowLongPtrA(dlg, GWLP_USERDATA, lParam);
    reinterpret_cast<ClientConnection*>(lParam)->InitStatusDialog(dlg);
    return TRUE;
  }
  auto* self = reinterpret_cast<ClientConnection*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
  if (!self) return FALSE;
  switch (msg) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_STATUS_CANCEL:
          // The connect watchdog closes the socket, which ends a blocking connect or read.
          kebLog.Print(2, "Connection attempt cancelled in the status window\n");
          self->CancelConnect();
          EndDialog(dlg, 0);
          return TRUE;
        case IDC_STATUS_CLOSE:
        case IDCANCEL:
          // Escape only closes once the session runs; while connecting it is Cancel's.
          if (LOWORD(wParam) == IDCANCEL && !self->m_running) return TRUE;
          EndDialog(dlg, 0);
          return TRUE;
      }
      return FALSE;
    case WM_CLOSE: EndDialog(dlg, 0); return TRUE;
    case WM_TIMER:
      if (wParam == kStatusTimer) self->UpdateStatusDialog();
      return TRUE;
    case WM_DESTROY:
      if (self->m_statusDialog.timer) KillTimer(dlg, self->m_statusDialog.timer);
      self->m_statusDialog.timer = 0;
      self->m_statusDialog.shownEncoding = -1;
      self->m_statusDialog.started = false;
      // Nothing writes into a window that is gone (or into another that got its handle).
      if (self->m_hwndStatus == dlg) self->m_hwndStatus = nullptr;
      return FALSE;
  }
  return FALSE;
}

DWORD WINAPI ClientConnection::StatusDialogThread(LPVOID param) {
  auto* self = static_cast<ClientConnection*>(param);
  self->m_statusDialog.started = true;
  HINSTANCE module = GetModuleHandleA(nullptr);
  if (DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusDlgProc,
                      reinterpret_cast<LPARAM>(self)) < 0)
    kebLog.Print(0, "The status window could not be shown (%lu)\n", GetLastError());
  self->m_statusDialog.started = false;
  return 0;
}

void ClientConnection::StartStatusDialogThread() {
  if (m_statusDialog.started && m_hwndStatus) {
    // Already there: brought to the front instead of a second one.
    ShowWindow(m_hwndStatus, SW_SHOWNORMAL);
    SetForegroundWindow(m_hwndStatus);
    return;
  }
  if (m_statusDialog.thread) {
    // The previous dialog has ended (or is about to): its thread is done with.
    WaitForSingleObject(m_statusDialog.thread, kThreadEndWaitMs);
    CloseHandle(m_statusDialog.thread);
    m_statusDialog.thread = nullptr;
  }
  m_statusDialog.started = true;
  DWORD id = 0;
  m_statusDialog.thread = CreateThread(nullptr, 0, StatusDialogThread, this, CREATE_SUSPENDED, &id);
  if (!m_statusDialog.thread) {
    m_statusDialog.started = false;
    kebLog.Print(0, "The status window's thread could not be started (%lu)\n", GetLastError());
    return;
  }
  ResumeThread(m_statusDialog.thread);
  for (int i = 0; i < kWindowWaitRounds && !m_hwndStatus && m_statusDialog.started; i++) Sleep(kWindowWaitStepMs);
}

void ClientConnection::ShowStatusWhileConnecting(bool onReconnect) {
  // A plain reconnect is told by the frame's caption; the encryption of a plug-in is shown
  // on every attempt.
  if (m_opts.m_nostatus || (ReconnectRunning() && !onReconnect)) return;
  StartStatusDialogThread();
}

void ClientConnection::UpdateStatusDialog() {
  HWND dlg = m_hwndStatus;
  if (!dlg) return;
  SetDlgItemTextA(dlg, IDC_STATUS_RECEIVED, status::FormatByteSize(StatusBytesReceived()).c_str());
  SetDlgItemTextA(dlg, IDC_STATUS_SENT, status::FormatByteSize(m_out.TotalSent()).c_str());
  SetDlgItemTextA(dlg, IDC_STATUS_RECTS, Number(m_decoder.rectanglesReceived).c_str());
  SetDlgItemTextA(dlg, IDC_STATUS_SPEED, Number(m_kbitsEstimate).c_str());
  const std::int32_t last = m_lastEncoding;
  if (m_statusDialog.started && last != m_statusDialog.shownEncoding) {
    const std::string name = status::EncodingName(last, m_opts.m_EnableCache);
    // A number without a name leaves the previous name in place.
    if (!name.empty()) {
      SetDlgItemTextA(dlg, IDC_STATUS_ENCODING, name.c_str());
      m_statusDialog.shownEncoding = last;
    }
  }
}

void ClientConnection::EndStatusDialog() {
  if (!m_statusDialog.thread) return;
  // The window may still be on its way: asked to close until the thread has ended.
  bool ended = false;
  for (DWORD waited = 0; !ended && waited < kThreadEndWaitMs; waited += kEndStepMs) {
    if (HWND dlg = m_hwndStatus) PostMessageA(dlg, WM_CLOSE, 0, 0);
    ended = WaitForSingleObject(m_statusDialog.thread, kEndStepMs) == WAIT_OBJECT_0;
  }
  if (!ended) kebLog.Print(0, "The status window did not close\n");
  CloseHandle(m_statusDialog.thread);
  m_statusDialog.thread = nullptr;
}
