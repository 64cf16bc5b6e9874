// The two logon schemes that send a Windows user name with the password: the password
// challenge with a user-name block and a masked password block in front (type 2 after
// type 112), and the Diffie-Hellman agreed DES key under which user name and password are
// sent chained (type 113).
#include <string>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/Credentials.h"
#include "security/DH.h"
#include "security/Secret.h"
#include "security/StoredPassword.h"
#include "session/RfbSession.h"

namespace {

constexpr std::size_t kNameField = 256;      // user name and second name blocks
constexpr std::size_t kMaxLogonUser = 254;   // characters of a user name sent
constexpr std::size_t kPasswordField = 64;   // type 113's password block
constexpr std::size_t kMaskBlock = 64;       // type 2 after 112: the server's block
constexpr std::size_t kChallengeSize = 16;

// The user name and password given to the program are the connection's until it has its own.
void TakeCommandLine(ConnectionCredentials& c, const KEBOptions& opts) {
  if (!c.clearPassword[0] && opts.m_password[0]) CopySecretText(c.clearPassword, kMaxPasswordLength, opts.m_password);
  if (!c.commandLineUser[0] && opts.m_user[0]) CopySecretText(c.commandLineUser, kMaxPasswordLength, opts.m_user);
}

// Keeps a logon password in its long stored form, with its user name, so that a
// reconnect of the same connection does not ask again.
void Remember(ConnectionCredentials& c, const char* password, const char* user) {
  EncryptStoredPassword32(c.longStoredPassword, password);
  CopySecretText(c.rememberedUser, kMaxPasswordLength, user);
}

}  // namespace

void RfbSession::AuthMsLogonII() {
  std::uint8_t values[24];
  ReadExact(values, sizeof values);
  const std::uint64_t generator = BytesToInt64(values);
  const std::uint64_t modulus = BytesToInt64(values + 8);
  const std::uint64_t serverValue = BytesToInt64(values + 16);

  SecretText keyText(8);  // wiped on every way out
  auto* key = reinterpret_cast<std::uint8_t*>(keyText.data());
  try {
    DH dh(generator, modulus);
    const std::uint64_t ours = dh.CreateInterKey();
    std::uint8_t wire[8];
    Int64ToBytes(ours, wire);
    WriteExact(wire, sizeof wire);
    std::uint64_t shared = dh.ComputeSharedKey(serverValue);
    Int64ToBytes(shared, key);
    // Not the key: it hides the user name and password, and a log file with a capture of
    // the session would give both away.
    kebLog.Print(100, "After DH: g=%llu, m=%llu, i=%llu\n", static_cast<unsigned long long>(generator),
                 static_cast<unsigned long long>(modulus), static_cast<unsigned long long>(ours));
    SecureWipe(&shared, sizeof shared);
  } catch (const Except& e) {
    kebLog.Print(0, "MS-Logon II key agreement failed: %s\n", e.Message());
    throw ErrorException((std::string(UiText(IDS_KEY_AGREEMENT_REFUSED)) + e.Message()).c_str());
  }

  ConnectionCredentials& c = m_credentials;
  TakeCommandLine(c, m_opts);
  SecretText user(kNameField);
  SecretText password(kPasswordField);
  if (c.commandLineUser[0] && m_opts.m_password[0]) {
    kebLog.Print(0, "Command line MS-Logon.\n");
    CopySecretText(c.clearPassword, kMaxPasswordLength, m_opts.m_password);
    CopySecretText(password.data(), kPasswordField - 1, c.clearPassword);
    CopySecretText(user.data(), kMaxLogonUser, c.commandLineUser);
    Remember(c, password.c_str(), user.c_str());
  } else if (c.longStoredPassword[0]) {
    CopySecretText(password.data(), kPasswordField - 1, DecryptStoredPassword32(c.longStoredPassword).c_str());
    CopySecretText(user.data(), kMaxLogonUser, c.rememberedUser);
  } else {
    AuthEntry entry;
    if (!AskCredentials(kAuthLogon, "", "", &entry)) throw QuietException(UiText(IDS_AUTH_CANCELED));
    CopySecretText(password.data(), static_cast<std::size_t>(AuthPasswordLimit(kAuthLogon)), entry.password);
    CopySecretText(user.data(), kMaxLogonUser, entry.user);
    Remember(c, password.c_str(), user.c_str());
  }

  // Each block is chained from the key on its own.
  auto* userField = reinterpret_cast<std::uint8_t*>(user.data());
  auto* passwordField = reinterpret_cast<std::uint8_t*>(password.data());
  DesCbcEncrypt(userField, kNameField, key);
  DesCbcEncrypt(passwordField, kPasswordField, key);
  keyText.Wipe();
  WriteExact(userField, kNameField);
  WriteExact(passwordField, kPasswordField);
}

void RfbSession::AuthMsLogonI() {
  if (!m_msLogonRequested) {
    kebLog.Print(0, "AuthMsLogonI should not be called!\n");
    throw WarningException(UiText(IDS_MSLOGON_NOT_REQUESTED));
  }

  ConnectionCredentials& c = m_credentials;
  TakeCommandLine(c, m_opts);
  // Only the two together are a command-line logon.
  if (!c.commandLineUser[0]) SecureWipe(c.clearPassword, sizeof c.clearPassword);
  if (!c.clearPassword[0]) SecureWipe(c.commandLineUser, sizeof c.commandLineUser);

  SecretText user(kNameField);
  SecretText domain(kNameField);
  SecretText password(kPasswordBufferSize);
  if (c.commandLineUser[0] && c.clearPassword[0]) {
    CopySecretText(user.data(), kMaxLogonUser, c.commandLineUser);
    CopySecretText(password.data(), kMaxPasswordLength, c.clearPassword);
    // The server reads the password out of the masked block: it must be this one.
    Remember(c, password.c_str(), user.c_str());
  } else if (!c.storedPassword.Empty()) {
    CopySecretText(password.data(), kMaxPasswordLength, DecryptStoredPassword(c.storedPassword.bytes).c_str());
  } else if (c.longStoredPassword[0]) {
    CopySecretText(password.data(), kMaxPasswordLength, DecryptStoredPassword32(c.longStoredPassword).c_str());
    CopySecretText(user.data(), kMaxLogonUser, c.rememberedUser);
  } else {
    AuthEntry entry;
    if (!AskCredentials(kAuthLogonUnsecured, "", "", &entry)) throw QuietException(UiText(IDS_AUTH_CANCELED));
    CopySecretText(password.data(), kMaxLogonUser, entry.password);
    CopySecretText(user.data(), kMaxLogonUser, entry.user);
    CopySecretText(domain.data(), kMaxLogonUser, entry.domain);
    if (!user.c_str()[0]) {
      // Without a user name this is the plain password challenge.
      if (!password.c_str()[0]) {
        kebLog.Print(0, "Password had zero length\n");
        throw WarningException(UiText(IDS_EMPTY_PASSWORD));
      }
      password.data()[kDesPasswordLength] = '\0';
    }
    Remember(c, password.c_str(), user.c_str());
  }

  // The block carries the password's long form once it is masked: wiped like the password.
  SecretText blockText(kMaskBlock);
  auto* block = reinterpret_cast<std::uint8_t*>(blockText.data());
  std::uint8_t challenge[kChallengeSize];
  ReadExact(block, kMaskBlock);
  ReadExact(challenge, sizeof challenge);
  for (std::size_t i = 0; i < kLongStoredPasswordSize; i++) block[i] ^= c.longStoredPassword[i];
  EncryptChallenge(challenge, password.c_str());
  password.Wipe();
  WriteExact(user.data(), kNameField);
  WriteExact(domain.data(), kNameField);
  WriteExact(block, kMaskBlock);
  WriteExact(challenge, sizeof challenge);
}
