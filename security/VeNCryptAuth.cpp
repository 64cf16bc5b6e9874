// Security type 19 (VeNCrypt): version and sub-type negotiation, the TLS handshake with
// the check of the server certificate (thumbprints remembered in the options file's
// [thumbprint] section), and the sub-type's own authentication inside TLS.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "rdr/ByteOrder.h"
#include "resources/StringIds.h"
#include "security/Credentials.h"
#include "security/RememberedIdentity.h"
#include "security/Secret.h"
#include "security/TLSSession.h"
#include "session/RfbSession.h"

namespace {

enum : std::uint32_t {
  kSubPassword = 2,  // the DES challenge, without TLS
  kSubPlain = 256,
  kSubX509None = 260,
  kSubX509Password = 261,
  kSubX509Plain = 262,
};
constexpr std::size_t kThumbprintChars = 63;  // characters of a remembered thumbprint read
// Raw bytes a TLS handshake may take before it counts as stuck.
constexpr std::size_t kMaxHandshakeBytes = 1 << 20;

bool Accepted(std::uint32_t subtype) {
  return subtype == kSubPlain || subtype == kSubPassword || subtype == kSubX509None ||
         subtype == kSubX509Password || subtype == kSubX509Plain;
}

struct VeNCryptFailure {
  std::string text;
  bool quiet;
};

[[noreturn]] void Fail(const std::string& text, bool quiet = false) { throw VeNCryptFailure{text, quiet}; }

}  // namespace

std::unique_ptr<TLSSession> RfbSession::NewTlsSession() { return NewTLSClientSession(m_host); }

void RfbSession::AuthVeNCrypt() {
  try {
    std::uint8_t version[2];
    ReadExact(version, 2);
    if (version[0] == 0 && version[1] < 2) {
      const std::uint8_t none[2] = {0, 0};
      WriteExact(none, 2);
      Fail(UiText(IDS_VENCRYPT_UNSUPPORTED_VERSION));
    }
    const std::uint8_t ours[2] = {0, 2};
    WriteExact(ours, 2);
    std::uint8_t status = 0;
    ReadExact(&status, 1);
    if (status != 0) Fail(UiText(IDS_VENCRYPT_SERVER_VERSION));

    std::uint8_t count = 0;
    ReadExact(&count, 1);
    std::vector<std::uint8_t> list(static_cast<std::size_t>(count) * 4);
    if (count) ReadExact(list.data(), static_cast<long>(list.size()));
    std::uint32_t subtype = 0;
    for (std::size_t i = 0; i < count && !subtype; i++) {
      const std::uint8_t* p = &list[i * 4];
      const std::uint32_t t = rdr::LoadU32BE(p);
      if (Accepted(t)) subtype = t;
    }
    if (!subtype) Fail(UiText(IDS_VENCRYPT_NO_SUBTYPE));
    std::uint8_t choice[4];
    rdr::StoreU32BE(choice, subtype);
    WriteExact(choice, 4);
    kebLog.Print(2, "VeNCrypt sub-type %u\n", static_cast<unsigned>(subtype));

    if (subtype == kSubPassword) {
      AuthPasswordChallenge();
      return;
    }

    std::uint8_t ack = 0;
    ReadExact(&ack, 1);
    if (ack != 1) Fail(UiText(IDS_VENCRYPT_SUBTYPE_REFUSED));

    std::unique_ptr<TLSSession> tls = NewTlsSession();
    if (!tls) Fail(UiText(IDS_TLS_CREDENTIALS_FAILED));
    ByteBuffer rawIn, rawOut;
    for (std::size_t read = 0;; read++) {
      if (!tls->Handshake(rawIn, rawOut)) Fail(tls->Error());
      if (rawOut.Size()) {
        WriteExact(rawOut.Data(), rawOut.Size());
        rawOut.Clear();
      }
      if (tls->GetState() == TLSSession::kEstablished) break;
      if (read >= kMaxHandshakeBytes) Fail(UiText(IDS_TLS_HANDSHAKE_INCOMPLETE));
      // The session says only that it needs more: the bytes come one at a time.
      ReadExact(rawIn.Reserve(1), 1);
      rawIn.Commit(1);
    }

    if (!tls->VerifyCertificateChain()) {
      const std::string thumbprint = tls->Thumbprint();
      const std::string key = IdentityKey(m_host, m_port);
      const std::string why = tls->Error();
      if (thumbprint.empty() ||
          !IsRememberedIdentity(m_opts.GetOptionsFile(), "thumbprint", key, thumbprint.c_str(), kThumbprintChars)) {
        bool dontAsk = false;
        if (!ConfirmCertificate(*tls, why.c_str(), &dontAsk)) {
          // The server hears that the session ends before the connection goes.
          if (tls->Shutdown(rawOut) && rawOut.Size()) WriteExact(rawOut.Data(), rawOut.Size());
          Fail(UiText(IDS_AUTH_CANCELLED), true);
        }
        if (dontAsk && !thumbprint.empty())
          RememberIdentity(m_opts.GetOptionsFile(), "thumbprint", key, thumbprint.c_str());
      }
    }

    m_channel.reset(new TLSPlugin(std::move(tls), rawIn));
    m_fUsePlugin = true;

    if (subtype == kSubX509None) return;
    if (subtype == kSubX509Password) {
      AuthPasswordChallenge();
      return;
    }
    SecretText user(kPasswordBufferSize), password(kPasswordBufferSize);
    if (!ChannelCredentials(kAuthLogon, "", "", true, &user, &password)) Fail(UiText(IDS_AUTH_CANCELLED), true);
    const std::size_t u = std::strlen(user.c_str()), p = std::strlen(password.c_str());
    SecretText msg(8 + u + p);
    auto* m = reinterpret_cast<std::uint8_t*>(msg.data());
    rdr::StoreU32BE(m, static_cast<std::uint32_t>(u));
    rdr::StoreU32BE(m + 4, static_cast<std::uint32_t>(p));
    std::memcpy(m + 8, user.c_str(), u);
    std::memcpy(m + 8 + u, password.c_str(), p);
    WriteExact(m, 8 + u + p);
  } catch (const VeNCryptFailure& f) {
    kebLog.Print(0, "AuthVeNCrypt: %s\n", f.text.c_str());
    if (f.quiet) throw QuietException(f.text.c_str());
    throw WarningException(f.text.c_str());
  }
}
