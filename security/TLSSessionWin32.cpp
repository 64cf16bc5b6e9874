// The TLS client of VeNCrypt over SChannel ("Microsoft Unified Security Protocol
// Provider"): outbound credentials with manual certificate validation, the handshake and
// the records over byte queues, and the check of the server certificate's chain.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // the newer credential structure
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/Secret.h"
#include "security/TLSSession.h"
#include "security/TLSSessionWin32.h"

namespace {

// The viewer has no client certificate. Left to itself the provider would pick one from
// the user's store and send it to any server that asks, before the server's certificate
// is checked (under TLS 1.2 in the clear): the context uses only the credentials given,
// and they hold none (kCredentialFlags).
constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM |
                                ISC_REQ_USE_SUPPLIED_CREDS;
// The certificate is checked here, not by the provider; no default client certificate.
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
constexpr unsigned long kMaxIoBuffers = 5;
// Rounds of one handshake call; each consumes input or ends the call.
constexpr int kMaxHandshakeRounds = 64;
// Records deciphered in one call (a call holds at most what was read since the last).
constexpr int kMaxRecordsPerCall = 4096;

// The names of the protocol, cipher, hash and key-exchange numbers in the log.
std::string ConstantName(unsigned value) {
  static const struct {
    unsigned value;
    const char* name;
  } names[] = {
      {SP_PROT_SSL2_SERVER, "SSL2_SERVER"},     {SP_PROT_SSL2_CLIENT, "SSL2_CLIENT"},
      {SP_PROT_SSL3_SERVER, "SSL3_SERVER"},     {SP_PROT_SSL3_CLIENT, "SSL3_CLIENT"},
      {SP_PROT_TLS1_SERVER, "TLS1_SERVER"},     {SP_PROT_TLS1_CLIENT, "TLS1_CLIENT"},
      {SP_PROT_TLS1_1_SERVER, "TLS1_1_SERVER"}, {SP_PROT_TLS1_1_CLIENT, "TLS1_1_CLIENT"},
      {SP_PROT_TLS1_2_SERVER, "TLS1_2_SERVER"}, {SP_PROT_TLS1_2_CLIENT, "TLS1_2_CLIENT"},
      {0x1000, "TLS1_3_SERVER"},                {0x2000, "TLS1_3_CLIENT"},
      {CALG_RC2, "RC2"},                        {CALG_DES, "DES"},
      {CALG_3DES, "3DES"},                      {CALG_AES_128, "AES_128"},
      {CALG_AES_192, "AES_192"},                {CALG_AES_256, "AES_256"},
      {CALG_RC4, "RC4"},                        {CALG_MD2, "MD2"},
      {CALG_MD5, "MD5"},                        {CALG_SHA1, "SHA1"},
      {CALG_SHA_256, "SHA_256"},                {CALG_SHA_384, "SHA_384"},
      {CALG_SHA_512, "SHA_512"},                {CALG_RSA_SIGN, "RSA_SIGN"},
      {CALG_RSA_KEYX, "RSA_KEYX"},              {CALG_DH_EPHEM, "DH_EPHEM"},
      {CALG_ECDH_EPHEM, "ECDH_EPHEM"},          {CALG_ECDH, "ECDH"},
  };
  for (const auto& n : names)
    if (n.value == value) return n.name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

class SChannelSession : public TLSSession {
public:
  SChannelSession(const char* host, const SecurityFunctionTableA& sspi) : m_host(host ? host : ""), m_sspi(sspi) {
    SecInvalidateHandle(&m_cred);
    SecInvalidateHandle(&m_ctx);
  }
  ~SChannelSession() override {
    if (m_cert) CertFreeCertificateContext(m_cert);
    if (SecIsValidHandle(&m_ctx)) m_sspi.DeleteSecurityContext(&m_ctx);
    if (SecIsValidHandle(&m_cred)) m_sspi.FreeCredentialHandle(&m_cred);
  }

  bool Handshake(ByteBuffer& rawIn, ByteBuffer& rawOut) override;
  bool DecryptRecords(ByteBuffer& rawIn, ByteBuffer& plain, ByteBuffer& tokens, bool* renegotiate) override;
  bool MessageIncomplete() const override { return m_postHandshake; }
  std::size_t MaxMessage() const override { return m_sizes.cbMaximumMessage; }
  bool EncryptRecord(const std::uint8_t* data, std::size_t length, ByteBuffer& rawOut) override;
  bool Shutdown(ByteBuffer& rawOut) override;
  bool VerifyCertificateChain() override;
  std::string Thumbprint() override;
  void ViewCertificate(void* owner) override;

private:
  bool SetError(const char* text, long code);
  bool AcquireCredentials();
  // One handshake call: the raw input as the token (none on a first call without input);
  // the token it makes is appended to out; *extra: how much of the input it left.
  SECURITY_STATUS HandshakeCall(ByteBuffer& rawIn, ByteBuffer& out, std::size_t* extra);
  // Hands a post-handshake message (the raw input from where DecryptMessage stopped, which
  // may be empty when the provider kept the message) to the provider; *renegotiate when it
  // was a request for a new handshake. m_postHandshake while the message is incomplete.
  bool TakePostHandshake(ByteBuffer& rawIn, ByteBuffer& tokens, bool* renegotiate);
  void LogSuite();

  std::string m_host;
  const SecurityFunctionTableA& m_sspi;
  CredHandle m_cred;
  CtxtHandle m_ctx;
  SecPkgContext_StreamSizes m_sizes = {};
  PCCERT_CONTEXT m_cert = nullptr;
  bool m_postHandshake = false;  // a post-handshake message waits for its next record
};

bool SChannelSession::SetError(const char* text, long code) {
  if (code == 0) return Fail(text ? text : "");
  char message[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0,
                 message, sizeof message, nullptr);
  std::size_t n = std::strlen(message);
  while (n > 0 && (message[n - 1] == '\r' || message[n - 1] == '\n' || message[n - 1] == '.')) message[--n] = '\0';
  if (n == 0) std::snprintf(message, sizeof message, "Error");  // the system has no text for it
  char out[1024];
  if (text && *text)
    std::snprintf(out, sizeof out, "%s. %s (0x%X)", text, message, static_cast<unsigned>(code));
  else
    std::snprintf(out, sizeof out, "%s (0x%X)", message, static_cast<unsigned>(code));
  return Fail(out);
}

bool SChannelSession::AcquireCredentials() {
  TimeStamp expiry;
  // The newer structure first (strong cryptography, default protocol parameters), then
  // the older one.
  TLS_PARAMETERS parameters = {};
  SCH_CREDENTIALS fresh = {};
  fresh.dwVersion = SCH_CREDENTIALS_VERSION;
  fresh.dwFlags = SCH_USE_STRONG_CRYPTO | kCredentialFlags;
  fresh.cTlsParameters = 1;
  fresh.pTlsParameters = &parameters;
  SECURITY_STATUS status =
      m_sspi.AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &fresh,
                                nullptr, nullptr, &m_cred, &expiry);
  if (status != SEC_E_OK) {
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = kCredentialFlags;
    status = m_sspi.AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &older,
                                       nullptr, nullptr, &m_cred, &expiry);
  }
  if (status != SEC_E_OK) {
    SecInvalidateHandle(&m_cred);
    return SetError(UiText(IDS_TLS_CREDENTIALS_FAILED), status);
  }
  return true;
}

void SChannelSession::LogSuite() {
  SecPkgContext_CipherInfo info = {};
  info.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  if (m_sspi.QueryContextAttributesA(&m_ctx, SECPKG_ATTR_CIPHER_INFO, &info) == SEC_E_OK && info.szCipherSuite[0]) {
    char suite[2 * SZ_ALG_MAX_SIZE] = "";
    WideCharToMultiByte(CP_UTF8, 0, info.szCipherSuite, -1, suite, sizeof suite, nullptr, nullptr);
    kebLog.Print(0, "TLSSession: Using %s (0x%X) ciphersuite\n", suite, static_cast<unsigned>(info.dwCipherSuite));
    return;
  }
  SecPkgContext_ConnectionInfo ci = {};
  if (m_sspi.QueryContextAttributesA(&m_ctx, SECPKG_ATTR_CONNECTION_INFO, &ci) == SEC_E_OK)
    kebLog.Print(0, "TLSSession: %s using %s cipher with %s hash and %s key-exchange\n",
                 ConstantName(ci.dwProtocol).c_str(), ConstantName(ci.aiCipher).c_str(),
                 ConstantName(ci.aiHash).c_str(), ConstantName(ci.aiExch).c_str());
}

bool SChannelSession::Handshake(ByteBuffer& rawIn, ByteBuffer& rawOut) {
  if (m_state == kClosed || m_state == kClosedByPeer) return SetError(UiText(IDS_TLS_CONNECTION_CLOSED), 0);
  if (!SecIsValidHandle(&m_cred) && !AcquireCredentials()) return false;
  for (int round = 0; round < kMaxHandshakeRounds; round++) {
    std::size_t extra = 0;
    const SECURITY_STATUS status = HandshakeCall(rawIn, rawOut, &extra);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return true;  // the input stays for the next call
    if (FAILED(status)) {
      if (status == SEC_E_CONTEXT_EXPIRED) {
        m_state = kClosedByPeer;
        return SetError(UiText(IDS_TLS_HANDSHAKE_ABORTED), 0);
      }
      return SetError(UiText(IDS_TLS_INIT_CONTEXT_FAILED), status);
    }
    // What the provider did not take stays for the next round.
    rawIn.Consume(rawIn.Size() - std::min(extra, rawIn.Size()));
    if (status == SEC_I_CONTINUE_NEEDED) {
      if (rawIn.Size() == 0) return true;
      continue;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) {
      m_state = kClosedByPeer;
      return SetError(UiText(IDS_TLS_HANDSHAKE_ABORTED), 0);
    }
    if (status != SEC_E_OK) return SetError(UiText(IDS_TLS_HANDSHAKE_INCOMPLETE), status);
    const SECURITY_STATUS sizes = m_sspi.QueryContextAttributesA(&m_ctx, SECPKG_ATTR_STREAM_SIZES, &m_sizes);
    if (sizes != SEC_E_OK) return SetError(UiText(IDS_TLS_QUERY_FAILED), sizes);
    if (m_sizes.cBuffers > kMaxIoBuffers) return SetError(UiText(IDS_TLS_IO_BUFFERS), 0);
    if (m_cert) CertFreeCertificateContext(m_cert);
    m_cert = nullptr;
    m_sspi.QueryContextAttributesA(&m_ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &m_cert);
    m_state = kEstablished;
    LogSuite();
    return true;
  }
  return SetError(UiText(IDS_TLS_HANDSHAKE_INCOMPLETE), 0);
}

bool SChannelSession::DecryptRecords(ByteBuffer& rawIn, ByteBuffer& plain, ByteBuffer& tokens, bool* renegotiate) {
  *renegotiate = false;
  for (int record = 0; record < kMaxRecordsPerCall && rawIn.Size() > 0 && m_state == kEstablished; record++) {
    if (m_postHandshake) {
      // A message the provider could not finish: it goes on in the records that follow.
      if (!TakePostHandshake(rawIn, tokens, renegotiate)) return false;
      if (m_postHandshake || *renegotiate) return true;  // waits for the rest, or refused
      continue;
    }
    SecBuffer b[4] = {{static_cast<unsigned long>(rawIn.Size()), SECBUFFER_DATA, rawIn.Data()},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
    const SECURITY_STATUS status = m_sspi.DecryptMessage(&m_ctx, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return true;
    if (status == SEC_I_CONTEXT_EXPIRED || status == SEC_E_CONTEXT_EXPIRED) {
      m_state = kClosedByPeer;
      rawIn.Clear();
      return true;
    }
    if (FAILED(status)) return SetError(UiText(IDS_TLS_DECRYPT_FAILED), status);
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return SetError(UiText(IDS_TLS_DECRYPT_UNEXPECTED), status);
    std::size_t extra = 0;
    for (SecBuffer& d : b) {
      // The plain bytes lie inside the raw input: taken, then wiped there, before it is
      // consumed. With any other status the buffers hold no application data.
      if (status == SEC_E_OK && d.BufferType == SECBUFFER_DATA && d.cbBuffer && d.pvBuffer) {
        plain.Append(static_cast<const std::uint8_t*>(d.pvBuffer), d.cbBuffer);
        SecureWipe(d.pvBuffer, d.cbBuffer);
      }
      if (d.BufferType == SECBUFFER_EXTRA) extra = d.cbBuffer;
    }
    rawIn.Consume(rawIn.Size() - std::min(extra, rawIn.Size()));
    if (status == SEC_E_OK) continue;
    // A handshake message from the server after the handshake. Under TLS 1.3 these are
    // session tickets and key updates, which the provider takes back through the
    // handshake call at once, with what it left (the message itself, or only what follows
    // it, or nothing) as the token; a server that asks for a whole new handshake (TLS 1.2
    // renegotiation) makes that call start one instead.
    if (!TakePostHandshake(rawIn, tokens, renegotiate)) return false;
    if (m_postHandshake || *renegotiate) return true;
  }
  return true;
}

SECURITY_STATUS SChannelSession::HandshakeCall(ByteBuffer& rawIn, ByteBuffer& out, std::size_t* extra) {
  const bool first = !SecIsValidHandle(&m_ctx);
  SecBuffer in[2] = {{static_cast<unsigned long>(rawIn.Size()), SECBUFFER_TOKEN, rawIn.Data()},
                     {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
  SecBuffer token[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, token};
  unsigned long attributes = 0;
  TimeStamp expiry;
  const SECURITY_STATUS status = m_sspi.InitializeSecurityContextA(
      &m_cred, first ? nullptr : &m_ctx, const_cast<char*>(m_host.c_str()), kContextFlags, 0, 0,
      first && rawIn.Size() == 0 ? nullptr : &inDesc, 0, first ? &m_ctx : nullptr, &tokenDesc, &attributes, &expiry);
  if (token[0].pvBuffer) {
    if (token[0].cbBuffer) out.Append(static_cast<const std::uint8_t*>(token[0].pvBuffer), token[0].cbBuffer);
    m_sspi.FreeContextBuffer(token[0].pvBuffer);
  }
  *extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
  return status;
}

bool SChannelSession::TakePostHandshake(ByteBuffer& rawIn, ByteBuffer& tokens, bool* renegotiate) {
  ByteBuffer answer;
  std::size_t extra = 0;
  const SECURITY_STATUS status = HandshakeCall(rawIn, answer, &extra);
  // The answer a key update asks for goes out ahead of the next records; the first
  // message of a new handshake does not go out at all.
  if (status == SEC_E_OK && answer.Size()) tokens.Append(answer.Data(), answer.Size());
  // The message goes on in a record still to come; what the call was given stays for it.
  m_postHandshake = status == SEC_E_INCOMPLETE_MESSAGE;
  if (m_postHandshake) return true;
  if (status == SEC_I_CONTEXT_EXPIRED || status == SEC_E_CONTEXT_EXPIRED) {
    m_state = kClosedByPeer;
    rawIn.Clear();
    return true;
  }
  if (FAILED(status)) return SetError(UiText(IDS_TLS_INIT_CONTEXT_FAILED), status);
  rawIn.Consume(rawIn.Size() - std::min(extra, rawIn.Size()));
  if (status == SEC_E_OK) return true;
  if (status == SEC_I_CONTINUE_NEEDED) {
    *renegotiate = true;
    m_state = kHandshaking;
    return true;
  }
  return SetError(UiText(IDS_TLS_INIT_CONTEXT_UNEXPECTED), status);
}

bool SChannelSession::EncryptRecord(const std::uint8_t* data, std::size_t length, ByteBuffer& rawOut) {
  const std::size_t total = m_sizes.cbHeader + length + m_sizes.cbTrailer;
  std::uint8_t* p = rawOut.Reserve(total);
  std::memcpy(p + m_sizes.cbHeader, data, length);
  SecBuffer b[4] = {{m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, p},
                    {static_cast<unsigned long>(length), SECBUFFER_DATA, p + m_sizes.cbHeader},
                    {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, p + m_sizes.cbHeader + length},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
  const SECURITY_STATUS status = m_sspi.EncryptMessage(&m_ctx, 0, &desc, 0);
  if (status != SEC_E_OK) {
    SecureWipe(p, total);  // the plain bytes copied in for enciphering
    return SetError(UiText(IDS_TLS_ENCRYPT_FAILED), status);
  }
  // The trailer may come out shorter than its room: the record is what the buffers say.
  std::size_t used = b[0].cbBuffer + b[1].cbBuffer;
  if (b[2].cbBuffer && b[2].pvBuffer != p + used) std::memmove(p + used, b[2].pvBuffer, b[2].cbBuffer);
  used += b[2].cbBuffer;
  rawOut.Commit(used);
  return true;
}

bool SChannelSession::Shutdown(ByteBuffer& rawOut) {
  if (!SecIsValidHandle(&m_ctx)) return true;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
  SECURITY_STATUS status = m_sspi.ApplyControlToken(&m_ctx, &controlDesc);
  if (FAILED(status)) return SetError(UiText(IDS_TLS_CONTROL_TOKEN_FAILED), status);
  SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
  unsigned long attributes = 0;
  TimeStamp expiry;
  status = m_sspi.InitializeSecurityContextA(&m_cred, &m_ctx, const_cast<char*>(m_host.c_str()), kContextFlags, 0, 0, nullptr,
                                      0, nullptr, &outDesc, &attributes, &expiry);
  if (out[0].pvBuffer) {
    if (out[0].cbBuffer) rawOut.Append(static_cast<const std::uint8_t*>(out[0].pvBuffer), out[0].cbBuffer);
    m_sspi.FreeContextBuffer(out[0].pvBuffer);
  }
  m_state = kClosed;
  if (FAILED(status)) return SetError(UiText(IDS_TLS_INIT_CONTEXT_FAILED), status);
  return true;
}

bool SChannelSession::VerifyCertificateChain() {
  if (!m_cert) return SetError(nullptr, CERT_E_CHAINING);
  // Only a certificate issued for server authentication stands for a server: one from a
  // trusted root for the right name but issued for clients, mail or code fails the check.
  LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, m_cert, nullptr, m_cert->hCertStore, &para, CERT_CHAIN_REVOCATION_CHECK_CHAIN,
                               nullptr, &chain) ||
      !chain)
    return SetError(nullptr, CERT_E_CHAINING);
  std::wstring host(m_host.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, m_host.c_str(), -1, &host[0], static_cast<int>(host.size()));
  host.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  HTTPSPolicyCallbackData https = {};
  https.cbStruct = sizeof https;
  https.dwAuthType = AUTHTYPE_SERVER;
  https.pwszServerName = &host[0];
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &https;
  CERT_CHAIN_POLICY_STATUS result = {};
  result.cbSize = sizeof result;
  const BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result);
  const DWORD lastError = GetLastError();
  const bool wrongUsage = (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0;
  CertFreeCertificateChain(chain);
  if (!checked) return SetError(nullptr, static_cast<long>(lastError));
  if (result.dwError) return SetError(nullptr, static_cast<long>(result.dwError));
  // The policy check of some providers leaves the usage to the caller.
  if (wrongUsage) return SetError(nullptr, CERT_E_WRONG_USAGE);
  return true;
}

std::string SChannelSession::Thumbprint() {
  if (!m_cert) return std::string();
  BYTE hash[20];
  DWORD n = sizeof hash;
  if (!CertGetCertificateContextProperty(m_cert, CERT_SHA1_HASH_PROP_ID, hash, &n)) return std::string();
  std::string text;
  char part[4];
  for (DWORD i = 0; i < n; i++) {
    std::snprintf(part, sizeof part, i ? "-%02x" : "%02x", hash[i]);
    text += part;
  }
  return text;
}

void SChannelSession::ViewCertificate(void* owner) {
  if (!m_cert) return;
  // cryptui is loaded only for this dialog.
  typedef BOOL(WINAPI * ViewContextFn)(DWORD, const void*, HWND, LPCWSTR, DWORD, void*);
  HMODULE ui = LoadLibraryA("cryptui.dll");
  if (!ui) return;
  auto view = reinterpret_cast<ViewContextFn>(reinterpret_cast<void*>(GetProcAddress(ui, "CryptUIDlgViewContext")));
  if (view) view(CERT_STORE_CERTIFICATE_CONTEXT, m_cert, static_cast<HWND>(owner), nullptr, 0, nullptr);
  FreeLibrary(ui);
}

}  // namespace

std::unique_ptr<TLSSession> NewSChannelSession(const char* host, const SecurityFunctionTableA* sspi) {
  if (!sspi) return nullptr;
  return std::unique_ptr<TLSSession>(new SChannelSession(host, *sspi));
}

std::unique_ptr<TLSSession> NewTLSClientSession(const char* host) {
  return NewSChannelSession(host, InitSecurityInterfaceA());
}
