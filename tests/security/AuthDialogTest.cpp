// The authentication dialogs under Wine: each type's template, title, fields, password
// limit and status texts, and what DoDialog returns for Login, Cancel and unknown types.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "resources/resource.h"
#include "security/AuthDialog.h"

namespace {

std::string Text(HWND w) {
  char buf[1024] = "";
  GetWindowTextA(w, buf, sizeof buf);
  return buf;
}

// What the robot saw of the dialog before it acted.
struct Seen {
  bool found = false;
  std::string title;
  bool hasUser = false, hasStatus = false;
  int passwordLimit = -1;
  std::string catchphrase, signature;
};

// Waits for this process's dialog with the given title, notes what it shows, types the
// entries with WM_SETTEXT and presses the button.
std::thread Robot(const std::string& title, Seen* seen, const char* user, const char* password, int button) {
  return std::thread([=] {
    HWND dlg = nullptr;
    for (int i = 0; i < 3000 && !dlg; i++) {
      dlg = FindWindowA("#32770", title.c_str());
      if (!dlg) Sleep(10);
    }
    if (!dlg) return;
    // Shown once its initialisation is done.
    for (int i = 0; i < 3000 && !IsWindowVisible(dlg); i++) Sleep(10);
    seen->found = true;
    seen->title = Text(dlg);
    HWND userEdit = GetDlgItem(dlg, IDC_AUTH_USER);
    HWND passwordEdit = GetDlgItem(dlg, IDC_AUTH_PASSWORD);
    seen->hasUser = userEdit != nullptr;
    seen->hasStatus = GetDlgItem(dlg, IDC_AUTH_CATCHPHRASE) && GetDlgItem(dlg, IDC_AUTH_SIGNATURE);
    seen->passwordLimit = static_cast<int>(SendMessageA(passwordEdit, EM_GETLIMITTEXT, 0, 0));
    if (seen->hasStatus) {
      seen->catchphrase = Text(GetDlgItem(dlg, IDC_AUTH_CATCHPHRASE));
      seen->signature = Text(GetDlgItem(dlg, IDC_AUTH_SIGNATURE));
    }
    if (userEdit && user) SendMessageA(userEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(user));
    if (password) SendMessageA(passwordEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password));
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  });
}

TEST(AuthDialog, EveryTypeLoggingIn) {
  struct Case {
    int type;
    const char* title;
    bool logon;
    int limit;
    bool status;
  } cases[] = {
      {kAuthLogon, "Quillmar Remote - Authentication", true, 32, false},
      {kAuthPassword, "Quillmar Remote - Authentication", false, 8, false},
      {kAuthLogonUnsecured, "Quillmar Remote - Authentication - Unsecured Transmission", true, 32, false},
      {kAuthPasswordUpgrade, "Quillmar Remote - WARNING: Upgrade server...", false, 8, false},
      {kAuthLogonSigned, "Quillmar Remote - Authentication", true, 256, true},
      {kAuthPasswordSigned, "Quillmar Remote - Authentication", false, 128, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string title = std::string(c.title) + "   server.example:5901";
    Seen seen;
    std::thread robot = Robot(title, &seen, "kim", "pass word", IDOK);
    AuthDialog dialog;
    int result = dialog.DoDialog(c.type, "server.example", 5901, "ab:cd:ef", "apple banana cherry");
    robot.join();
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(seen.title, title);
    EXPECT_EQ(seen.hasUser, c.logon);
    EXPECT_EQ(seen.passwordLimit, c.limit);
    EXPECT_EQ(seen.hasStatus, c.status);
    if (c.status) {
      EXPECT_EQ(seen.signature, "ab:cd:ef");
      EXPECT_EQ(seen.catchphrase, "apple banana cherry");
    }
    EXPECT_STREQ(dialog.m_passwd, "pass word");
    EXPECT_STREQ(dialog.m_user, c.logon ? "kim" : "");
    EXPECT_STREQ(dialog.m_domain, "");  // no template has a domain field
    EXPECT_EQ(dialog.m_longPassword, c.type == kAuthLogonSigned || c.type == kAuthPasswordSigned);
  }
}

TEST(AuthDialog, CancelLeavesTheFieldsEmpty) {
  Seen seen;
  std::thread robot = Robot("Quillmar Remote - Authentication   h:1", &seen, "kim", "secret", IDCANCEL);
  AuthDialog dialog;
  EXPECT_EQ(dialog.DoDialog(kAuthLogon, "h", 1, "", ""), 0);
  robot.join();
  EXPECT_TRUE(seen.found);
  EXPECT_STREQ(dialog.m_passwd, "");
  EXPECT_STREQ(dialog.m_user, "");
}

TEST(AuthDialog, UnknownTypeShowsNothing) {
  AuthDialog dialog;
  EXPECT_EQ(dialog.DoDialog(6, "h", 1, "", ""), 0);
  EXPECT_EQ(dialog.DoDialog(-1, "h", 1, "", ""), 0);
}

TEST(AuthDialog, LongTextsAreCut) {
  // The caption suffix keeps 250 characters, the first status text 24; the password
  // and user fields keep 255 characters.
  const std::string host(300, 'h');
  const std::string suffix = host.substr(0, 250);
  Seen seen;
  const std::string longEntry(400, 'x');
  std::thread robot = Robot("Quillmar Remote - Authentication   " + suffix, &seen, longEntry.c_str(),
                            longEntry.c_str(), IDOK);
  AuthDialog dialog;
  EXPECT_EQ(dialog.DoDialog(kAuthLogonSigned, host.c_str(), 5900, std::string(40, 's').c_str(), "words"), 1);
  robot.join();
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(std::string(dialog.m_captionSuffix), suffix);
  EXPECT_EQ(seen.signature, std::string(24, 's'));
  EXPECT_EQ(std::string(dialog.m_passwd), std::string(255, 'x'));
  EXPECT_EQ(std::string(dialog.m_user), std::string(255, 'x'));
}

}  // namespace
