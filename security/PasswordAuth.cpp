// Security type 2: the 16-byte DES challenge-response.
#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "resources/StringIds.h"
#include "security/Credentials.h"
#include "security/StoredPassword.h"
#include "session/RfbSession.h"

void RfbSession::AuthPasswordChallenge() {
  if (m_majorVersion == 3 && m_minorVersion < 3) {
    kebLog.Print(0, "Can't use IDEA authentication\n");
    UI().ShowMessage(UiText(IDS_IDEA_NOT_SUPPORTED), UiText(IDS_PROTOCOL_VERSION_ERROR), MessageIcon::Error);
    throw WarningException(UiText(IDS_IDEA_FAILED));
  }

  // The password given to the program (command line, or the session dialog through the
  // options) is the connection's clear-text password until the connection has its own.
  if (!m_credentials.clearPassword[0] && m_opts.m_password[0])
    CopySecretText(m_credentials.clearPassword, kMaxPasswordLength, m_opts.m_password);

  SecretText password(kPasswordBufferSize);
  if (m_credentials.clearPassword[0]) {
    CopySecretText(password.data(), kMaxPasswordLength, m_credentials.clearPassword);
  } else if (!m_credentials.storedPassword.Empty()) {
    CopySecretText(password.data(), kMaxPasswordLength,
                   DecryptStoredPassword(m_credentials.storedPassword.bytes).c_str());
  } else {
    AuthEntry entry;
    if (!AskCredentials(kAuthPassword, "", "", &entry)) throw QuietException(UiText(IDS_AUTH_CANCELED));
    if (!entry.password[0]) {
      kebLog.Print(0, "Password had zero length\n");
      throw WarningException(UiText(IDS_EMPTY_PASSWORD));
    }
    entry.password[kDesPasswordLength] = '\0';
    CopySecretText(password.data(), kMaxPasswordLength, entry.password);
    EncryptStoredPassword(m_credentials.storedPassword.bytes, password.c_str());
  }

  std::uint8_t challenge[16];
  ReadExact(challenge, sizeof challenge);
  EncryptChallenge(challenge, password.c_str());
  password.Wipe();
  WriteExact(challenge, sizeof challenge);
}
