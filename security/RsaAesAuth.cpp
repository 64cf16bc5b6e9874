// Security types 5, 6, 129 and 130: the RSA key exchange on this connection, with the
// server's fingerprint remembered in the options file's [fingerprint] section.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/Credentials.h"
#include "security/IPlugin.h"
#include "security/RememberedIdentity.h"
#include "security/RsaKex.h"
#include "session/RfbSession.h"

// The connection as the key exchange sees it.
class KEXHost : public RSAKEX::IConnection {
public:
  static constexpr std::size_t kFingerprintChars = 31;  // characters of a remembered fingerprint read

  explicit KEXHost(RfbSession& c) : m_c(c), m_key(IdentityKey(c.m_host, c.m_port)) {}

  void ReadExact(void* buffer, std::size_t length) override { m_c.ReadExact(buffer, static_cast<long>(length)); }
  void WriteExact(const void* buffer, std::size_t length) override { m_c.WriteExact(buffer, length); }

  bool IsKnownFingerprint(const char* text) override {
    return IsRememberedIdentity(m_c.m_opts.GetOptionsFile(), "fingerprint", m_key, text, kFingerprintChars);
  }
  void StoreFingerprint(const char* text) override {
    RememberIdentity(m_c.m_opts.GetOptionsFile(), "fingerprint", m_key, text);
  }
  bool ConfirmIdentity(const char* fingerprint, bool* dontAsk) override {
    return m_c.ConfirmIdentity(fingerprint, dontAsk);
  }
  void InstallChannel(std::unique_ptr<IPlugin> channel) override {
    m_c.m_channel = std::move(channel);
    m_c.m_fUsePlugin = true;
  }
  bool Credentials(int subtype, const char* signature, const char* catchphrase, SecretText* user,
                   SecretText* password) override {
    return m_c.ChannelCredentials(subtype == 1 ? kAuthLogonSigned : kAuthPasswordSigned, signature, catchphrase,
                                  subtype == 1, user, password);
  }

private:
  RfbSession& m_c;
  std::string m_key;
};

std::unique_ptr<RSAKEX::Crypto> RfbSession::NewKexCrypto() { return RSAKEX::DefaultKexCrypto(); }

void RfbSession::AuthRsaAes(int keyBits, bool channel) {
  std::unique_ptr<RSAKEX::Crypto> crypto = NewKexCrypto();
  KEXHost host(*this);
  std::string error;
  bool cancelled = false;
  if (!crypto) {
    char text[128];
    std::snprintf(text, sizeof text, UiText(IDS_CRYPT_ACQUIRE_FAILED), 0u);
    error = text;
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
