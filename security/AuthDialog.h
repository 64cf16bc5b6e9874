// The modal dialogs in which the authentication schemes ask for a password, or for a
// user name and password (the types of AuthDialogType).
#pragma once

#include <windows.h>

#include <string>

#include "security/Credentials.h"

class AuthDialog {
public:
  static constexpr int kTextSize = AuthEntry::kTextSize;
  static constexpr int kCaptionSuffixLength = 250;
  static constexpr int kStatus1Length = 24;

  AuthDialog() = default;
  AuthDialog(const AuthDialog&) = delete;
  AuthDialog& operator=(const AuthDialog&) = delete;
  virtual ~AuthDialog();

  // Runs the type's dialog modally without owner, its title followed by "host:port" and
  // showing the two status texts where the type has them. 1 when the user logged in (the
  // entries are then in the fields), 0 for Cancel, close or an unknown type.
  int DoDialog(int type, const char* host, int port, const char* status1, const char* status2);

  static INT_PTR CALLBACK PasswordDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK LogonDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);

  char m_passwd[kTextSize] = {};
  char m_domain[kTextSize] = {};
  char m_user[kTextSize] = {};
  bool m_longPassword = false;  // types 4 and 5
  char m_captionSuffix[kCaptionSuffixLength + 1] = {};
  int m_type = 0;
  char m_status1[kStatus1Length + 1] = {};
  std::string m_status2;

private:
  static INT_PTR DialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam, bool logon);
};
