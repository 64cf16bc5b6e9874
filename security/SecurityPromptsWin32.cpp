// The prompts of the security schemes that ask the user to accept a server's identity:
// an RSA key (RSA-AES) or a TLS certificate that failed its check (VeNCrypt).
#include <windows.h>

#include <cstdio>

#include "dialogs/DialogHelpers.h"
#include "security/TLSSession.h"
#include "session/ClientConnection.h"

namespace {

const char kWarningTitle[] = "Quillmar Remote - Warning";
const char kDontAsk[] = "Don't ask anymore";
constexpr int kViewCertificateButton = 1000;  // the extra button of ShowWarningTaskDialog

}  // namespace

bool ClientConnection::ConfirmIdentity(const char* fingerprint, bool* dontAsk) {
  char content[512];
  std::snprintf(content, sizeof content,
                "The server has provided the following identifying information:\n\nFingerprint: %s\n\nDo you want to "
                "continue?\n",
                fingerprint);
  BOOL checked = FALSE;
  const int button = ShowWarningTaskDialog(GetModuleHandleA(nullptr), nullptr, kWarningTitle, "Identity confirmation",
                                           content, "", kDontAsk, &checked);
  *dontAsk = checked != FALSE;
  return button == IDOK;
}

bool ClientConnection::ConfirmCertificate(TLSSession& session, const char* error, bool* dontAsk) {
  char content[1200];
  std::snprintf(content, sizeof content, "%s\n\nDo you want to continue?\n", error);
  // "View Certificate" shows the certificate and asks again; the count only bounds the loop.
  for (int shown = 0; shown < 1000; shown++) {
    BOOL checked = FALSE;
    const int button = ShowWarningTaskDialog(GetModuleHandleA(nullptr), nullptr, kWarningTitle,
                                             "Invalid server certificate", content, "View Certificate", kDontAsk,
                                             &checked);
    if (button == kViewCertificateButton) {
      session.ViewCertificate(nullptr);
      continue;
    }
    *dontAsk = checked != FALSE;
    return button == IDOK;
  }
  return false;
}
