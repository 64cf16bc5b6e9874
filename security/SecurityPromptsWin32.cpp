// The prompts of the security schemes that ask the user to accept a server's identity:
// an RSA key (RSA-AES) or a TLS certificate that failed its check (VeNCrypt).
#include <windows.h>

#include <cstdio>

#include "app/UiText.h"
#include "dialogs/DialogHelpers.h"
#include "resources/StringIds.h"
#include "security/TLSSession.h"
#include "session/ClientConnection.h"

namespace {

constexpr int kViewCertificateButton = 1000;  // the extra button of ShowWarningTaskDialog

}  // namespace

bool ClientConnection::ConfirmIdentity(const char* fingerprint, bool* dontAsk) {
  char content[512];
  std::snprintf(content, sizeof content, UiText(IDS_IDENTITY_CONTENT), fingerprint);
  BOOL checked = FALSE;
  const int button = ShowWarningTaskDialog(GetModuleHandleA(nullptr), nullptr, UiText(IDS_WARNING_TITLE),
                                           UiText(IDS_IDENTITY_CONFIRMATION), content, "",
                                           UiText(IDS_DONT_ASK_ANYMORE), &checked);
  *dontAsk = checked != FALSE;
  return button == IDOK;
}

bool ClientConnection::ConfirmCertificate(TLSSession& session, const char* error, bool* dontAsk) {
  char content[1200];
  std::snprintf(content, sizeof content, UiText(IDS_CERTIFICATE_CONTENT), error);
  // "View Certificate" shows the certificate and asks again; the count only bounds the loop.
  for (int shown = 0; shown < 1000; shown++) {
    BOOL checked = FALSE;
    const int button = ShowWarningTaskDialog(GetModuleHandleA(nullptr), nullptr, UiText(IDS_WARNING_TITLE),
                                             UiText(IDS_INVALID_CERTIFICATE), content, UiText(IDS_VIEW_CERTIFICATE),
                                             UiText(IDS_DONT_ASK_ANYMORE), &checked);
    if (button == kViewCertificateButton) {
      session.ViewCertificate(nullptr);
      continue;
    }
    *dontAsk = checked != FALSE;
    return button == IDOK;
  }
  return false;
}
