// Security types 5, 6, 129 and 130: the RSA key exchange on this connection, with the
// server's fingerprint remembered in the options file's [fingerprint] section.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/Exception.h"
#include "app/IniStore.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "security/Credentials.h"
#include "security/IPlugin.h"
#include "security/RsaKex.h"
#include "session/RfbSession.h"

// The connection as the key exchange sees it.
class KEXHost : public RSAKEX::IConnection {
public:
  static constexpr int kFingerprintRead = 32;  // characters of a remembered fingerprint read, with the terminator

  explicit KEXHost(RfbSession& c) : m_c(c), m_optionsFile(c.m_opts.GetOptionsFile() ? c.m_opts.GetOptionsFile() : "") {
    char key[RfbSession::kHostCapacity + 16];
    std::snprintf(key, sizeof key, "%s:%d", c.m_host, c.m_port);
    m_hostPort = key;
  }

  void ReadExact(void* buffer, std::size_t length) override { m_c.ReadExact(buffer, static_cast<long>(length)); }
  void WriteExact(const void* buffer, std::size_t length) override { m_c.WriteExact(buffer, length); }

  bool IsKnownFingerprint(const char* text) override {
    if (m_optionsFile.empty()) return false;
    std::unique_ptr<IniStore> ini = OpenIniFile(m_optionsFile.c_str());
    if (!ini) return false;
    char known[kFingerprintRead] = "";
    ini->GetString("fingerprint", m_hostPort.c_str(), "", known, sizeof known);
    return known[0] && std::strcmp(known, text) == 0;
  }
  void StoreFingerprint(const char* text) override {
    if (m_optionsFile.empty()) return;
    std::unique_ptr<IniStore> ini = OpenIniFile(m_optionsFile.c_str());
    if (ini) ini->WriteString("fingerprint", m_hostPort.c_str(), text);
  }
  bool ConfirmIdentity(const char* fingerprint, bool* dontAsk) override {
    return m_c.ConfirmIdentity(fingerprint, dontAsk);
  }
  void InstallChannel(std::unique_ptr<IPlugin> channel) override {
    m_c.m_channel = std::move(channel);
    m_c.m_fUsePlugin = true;
  }
  bool Credentials(int subtype, const char* signature, const char* catchphrase, std::string* user,
                   std::string* password) override {
    ConnectionCredentials& cr = m_c.m_credentials;
    if (!cr.clearPassword[0] && m_c.m_opts.m_password[0])
      CopySecretText(cr.clearPassword, kMaxPasswordLength, m_c.m_opts.m_password);
    if (!cr.channelUser[0] && m_c.m_opts.m_user[0]) CopySecretText(cr.channelUser, kMaxPasswordLength, m_c.m_opts.m_user);
    if (!cr.clearPassword[0]) {
      AuthEntry entry;
      const AuthDialogType type = subtype == 1 ? kAuthLogonSigned : kAuthPasswordSigned;
      if (!m_c.AskCredentials(type, signature, catchphrase, &entry)) return false;
      CopySecretText(cr.clearPassword, kMaxPasswordLength, entry.password);
      if (subtype == 1) CopySecretText(cr.channelUser, kMaxPasswordLength, entry.user);
    }
    *user = cr.channelUser;
    *password = cr.clearPassword;
    return true;
  }

private:
  RfbSession& m_c;
  std::string m_optionsFile;
  std::string m_hostPort;
};

std::unique_ptr<RSAKEX::Crypto> RfbSession::NewKexCrypto() { return RSAKEX::DefaultKexCrypto(); }

void RfbSession::AuthRsaAes(int keyBits, bool channel) {
  std::unique_ptr<RSAKEX::Crypto> crypto = NewKexCrypto();
  KEXHost host(*this);
  std::string error;
  bool cancelled = false;
  if (!crypto) {
    error = "CryptAcquireContext failed (0)";
  } else {
    RSAKEX::KeyExchange kex(host, *crypto, keyBits);
    if (!kex.Run()) {
      error = kex.Error();
      cancelled = kex.Cancelled();
    }
  }
  if (!error.empty()) {
    kebLog.Print(0, "AuthRSAAES: %s\n", error.c_str());
    if (cancelled) throw QuietException(error.c_str());
    throw WarningException(error.c_str());
  }
  if (!channel) {
    // Authentication only: the SecurityResult and everything after it come plain.
    m_fUsePlugin = false;
    m_channel.reset();
  }
}
