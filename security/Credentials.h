// Credentials of one connection, and what an authentication dialog asks for and returns.
#pragma once

#include "security/Secret.h"
#include "security/StoredPassword.h"

// The authentication dialogs: what each asks for.
enum AuthDialogType {
  kAuthLogon = 0,            // user name and password
  kAuthPassword = 1,         // password only
  kAuthLogonUnsecured = 2,   // user name and password, with a warning that they travel unprotected
  kAuthPasswordUpgrade = 3,  // password only, with a warning to upgrade the server
  kAuthLogonSigned = 4,      // user name and password, with the server key's signature and catchphrase
  kAuthPasswordSigned = 5,   // password, with the server key's signature and catchphrase
};
constexpr int kAuthDialogTypes = 6;

// Characters the dialog's password field takes (0 for an unknown type).
int AuthPasswordLimit(int type);

// What the user typed into an authentication dialog; wiped when it goes.
struct AuthEntry {
  static constexpr int kTextSize = 256;
  char password[kTextSize] = {};
  char domain[kTextSize] = {};
  char user[kTextSize] = {};

  AuthEntry() = default;
  AuthEntry(const AuthEntry&) = delete;
  AuthEntry& operator=(const AuthEntry&) = delete;
  ~AuthEntry() {
    SecureWipe(password, sizeof password);
    SecureWipe(domain, sizeof domain);
    SecureWipe(user, sizeof user);
  }
};

// The passwords a connection holds. Dialog entries are kept here, so that a reconnect of
// the same connection does not ask again.
struct ConnectionCredentials {
  char clearPassword[kPasswordBufferSize] = {};  // as given (command line, connection file)
  StoredPassword storedPassword;                 // empty: none
  // The logon schemes: the password in its long stored form (first byte 0: none) and the
  // user name that goes with it; the user name given on the command line.
  std::uint8_t longStoredPassword[kLongStoredPasswordSize] = {};
  char rememberedUser[kPasswordBufferSize] = {};
  char commandLineUser[kPasswordBufferSize] = {};
  // The user name of the schemes that send it with the clear-text password inside their
  // channel (RSA-AES, VeNCrypt): given or entered, kept with the password.
  char channelUser[kPasswordBufferSize] = {};

  ConnectionCredentials() = default;
  ConnectionCredentials(const ConnectionCredentials&) = delete;
  ConnectionCredentials& operator=(const ConnectionCredentials&) = delete;
  ~ConnectionCredentials() {
    SecureWipe(clearPassword, sizeof clearPassword);
    SecureWipe(longStoredPassword, sizeof longStoredPassword);
    SecureWipe(rememberedUser, sizeof rememberedUser);
    SecureWipe(commandLineUser, sizeof commandLineUser);
    SecureWipe(channelUser, sizeof channelUser);
  }
};

// Copies at most most characters of text (none for nullptr) into out and terminates it;
// out holds at least most + 1 bytes.
void CopySecretText(char* out, std::size_t most, const char* text);
