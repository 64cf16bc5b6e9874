#include "security/AuthDialog.h"

#include <cstdio>
#include <string>

#include "app/KEBviewerApp.h"
#include "dialogs/DialogHelpers.h"
#include "resources/resource.h"

namespace {

struct DialogOfType {
  int templateId;
  bool logon;
};

const DialogOfType kDialogs[kAuthDialogTypes] = {
    {IDD_AUTH_LOGON, true},           {IDD_AUTH_PASSWORD, false},      {IDD_AUTH_LOGON_UNSECURED, true},
    {IDD_AUTH_PASSWORD_UPGRADE, false}, {IDD_AUTH_LOGON_SIGNED, true}, {IDD_AUTH_PASSWORD_SIGNED, false}};

// Reads a control's text into a field of kTextSize characters (at most 255 kept); an
// absent control leaves the field empty.
void ReadField(HWND dlg, int id, char* field) {
  field[0] = '\0';
  if (GetDlgItem(dlg, id)) GetDlgItemTextA(dlg, id, field, AuthDialog::kTextSize);
  field[AuthDialog::kTextSize - 1] = '\0';
}

}  // namespace

AuthDialog::~AuthDialog() {
  SecureWipe(m_passwd, sizeof m_passwd);
  SecureWipe(m_domain, sizeof m_domain);
  SecureWipe(m_user, sizeof m_user);
}

int AuthDialog::DoDialog(int type, const char* host, int port, const char* status1, const char* status2) {
  if (type < 0 || type >= kAuthDialogTypes) return 0;
  m_type = type;
  m_longPassword = type == kAuthLogonSigned || type == kAuthPasswordSigned;
  std::snprintf(m_captionSuffix, sizeof m_captionSuffix, "%s:%d", host ? host : "", port);
  std::snprintf(m_status1, sizeof m_status1, "%s", status1 ? status1 : "");
  m_status2 = status2 ? status2 : "";

  const DialogOfType& d = kDialogs[type];
  DLGPROC proc = d.logon ? LogonDlgProc : PasswordDlgProc;
  HINSTANCE exe = GetModuleHandleA(nullptr);
  HINSTANCE resources = pApp ? pApp->m_instance : exe;
  INT_PTR r = DialogBoxParamA(resources, MAKEINTRESOURCEA(d.templateId), nullptr, proc, reinterpret_cast<LPARAM>(this));
  if (r < 0 && resources != exe)  // a language module without this dialog
    r = DialogBoxParamA(exe, MAKEINTRESOURCEA(d.templateId), nullptr, proc, reinterpret_cast<LPARAM>(this));
  return r == 1 ? 1 : 0;
}

INT_PTR CALLBACK AuthDialog::PasswordDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DialogProc(dlg, msg, wParam, lParam, false);
}

INT_PTR CALLBACK AuthDialog::LogonDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DialogProc(dlg, msg, wParam, lParam, true);
}

INT_PTR AuthDialog::DialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam, bool logon) {
  switch (msg) {
    case WM_INITDIALOG: {
      auto* self = reinterpret_cast<AuthDialog*>(lParam);
      SetWindowUserData(dlg, self);
      SendDlgItemMessageA(dlg, IDC_AUTH_PASSWORD, EM_LIMITTEXT, static_cast<WPARAM>(AuthPasswordLimit(self->m_type)),
                          0);
      char title[512];
      int n = GetWindowTextA(dlg, title, sizeof title);
      std::string caption(title, n > 0 ? static_cast<std::size_t>(n) : 0);
      caption += "   ";
      caption += self->m_captionSuffix;
      SetWindowTextA(dlg, caption.c_str());
      SetDlgItemTextA(dlg, IDC_AUTH_CATCHPHRASE, self->m_status2.c_str());
      SetDlgItemTextA(dlg, IDC_AUTH_SIGNATURE, self->m_status1);
      HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAINICON));
      SendMessageA(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      SendMessageA(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      if (logon) SetForegroundWindow(dlg);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: {
          auto* self = reinterpret_cast<AuthDialog*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
          if (!self) break;
          ReadField(dlg, IDC_AUTH_PASSWORD, self->m_passwd);
          if (logon) {
            ReadField(dlg, IDC_AUTH_USER, self->m_user);
            ReadField(dlg, IDC_AUTH_DOMAIN, self->m_domain);
          }
          // The edit control's copy of the password goes before the window does.
          SetDlgItemTextA(dlg, IDC_AUTH_PASSWORD, "");
          EndDialog(dlg, 1);
          return TRUE;
        }
        case IDCANCEL:
          SetDlgItemTextA(dlg, IDC_AUTH_PASSWORD, "");
          EndDialog(dlg, 0);
          return TRUE;
        default:
          break;
      }
      break;
    default:
      break;
  }
  return FALSE;
}
