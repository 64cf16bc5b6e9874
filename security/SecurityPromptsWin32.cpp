// The prompts of the security schemes that ask the user to accept a server's identity.
#include <windows.h>

#include <cstdio>

#include "dialogs/DialogHelpers.h"
#include "session/ClientConnection.h"

namespace {

const char kWarningTitle[] = "Quillmar Remote - Warning";
const char kDontAsk[] = "Don't ask anymore";

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
