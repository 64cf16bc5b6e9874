#include "rdr/ByteOrder.h"
#include "security/RsaKex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/AESEAXPlugin.h"
#include "security/Mnemonic.h"
#include "security/Secret.h"

namespace RSAKEX {

namespace {

std::string Format(const char* format, unsigned a, unsigned b = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Characters of a user name or password: each length travels in one byte.
constexpr std::size_t kMaxCredential = 255;
// An exponent below 3 is no RSA key: 1 leaves the padded message as it is, 0 makes it 1.
constexpr std::uint32_t kMinExponent = 3;
// The platform's code for a public key it refuses (NTE_BAD_PUBLIC_KEY).
constexpr unsigned kBadPublicKey = 0x80090015u;

// The bits of a big-endian number without its leading zeros.
unsigned SignificantBits(const std::vector<std::uint8_t>& number) {
  std::size_t i = 0;
  while (i < number.size() && number[i] == 0) i++;
  if (i == number.size()) return 0;
  unsigned bits = static_cast<unsigned>(number.size() - i) * 8;
  for (std::uint8_t top = number[i]; !(top & 0x80); top = static_cast<std::uint8_t>(top << 1)) bits--;
  return bits;
}

template <class Vector>
void Wipe(Vector& v) {
  if (!v.empty()) SecureWipe(v.data(), v.size());
  v.clear();
}

}  // namespace

std::vector<std::uint8_t> RsaKey::Block() const {
  std::vector<std::uint8_t> b = {static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
                                 static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
  b.insert(b.end(), modulus.begin(), modulus.end());
  b.insert(b.end(), exponent.begin(), exponent.end());
  return b;
}

void RsaKey::Wipe() {
  RSAKEX::Wipe(modulus);
  RSAKEX::Wipe(exponent);
  bits = 0;
}

std::string FingerprintText(const std::uint8_t f[8]) {
  char text[32];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x", f[0], f[1], f[2], f[3], f[4], f[5], f[6],
                f[7]);
  return text;
}

std::string FingerprintWords(const std::uint8_t f[8]) {
  char words[256];
  if (FormatMnemonicFingerprint(f, 8, words, sizeof words, "x x x. x x x. x x x\n") != 0) return std::string();
  return std::string(words) + ".";
}

KeyExchange::KeyExchange(IConnection& host, Crypto& crypto, int aesKeyBits)
    : m_host(host), m_crypto(crypto), m_keyBits(aesKeyBits) {}

KeyExchange::~KeyExchange() {
  m_server.Wipe();
  m_client.Wipe();
  Wipe(m_serverRandom);
  Wipe(m_clientRandom);
}

bool KeyExchange::Fail(const std::string& text) {
  m_error = text;
  return false;
}

bool KeyExchange::Run() {
  const bool ok = ReadServerKey() && CheckFingerprint() && SendClientKey() && SendClientRandom() &&
                  ReadServerRandom() && StartChannel() && ExchangeKeyHashes() && SendCredentials();
  // The key material goes as soon as the exchange is over.
  m_server.Wipe();
  m_client.Wipe();
  Wipe(m_serverRandom);
  Wipe(m_clientRandom);
  return ok;
}

bool KeyExchange::ReadServerKey() {
  std::uint8_t b[4];
  m_host.ReadExact(b, 4);
  const std::uint32_t bits = rdr::LoadU32BE(b);
  // The length is the server's: bounded before anything is read or allocated.
  if (bits < static_cast<std::uint32_t>(kMinServerKeyBits))
    return Fail(Format(UiText(IDS_RSA_KEY_TOO_SMALL), bits));
  if (bits > static_cast<std::uint32_t>(kMaxServerKeyBits))
    return Fail(Format(UiText(IDS_RSA_KEY_TOO_BIG), bits));
  const std::size_t bytes = (bits + 7) / 8;
  m_server.bits = bits;
  m_server.modulus.resize(bytes);
  m_server.exponent.resize(bytes);
  m_host.ReadExact(m_server.modulus.data(), bytes);
  m_host.ReadExact(m_server.exponent.data(), bytes);
  for (std::size_t i = 0; i + 4 < bytes; i++)
    if (m_server.exponent[i] != 0) return Fail(Format(UiText(IDS_RSA_EXPONENT_TOO_BIG), static_cast<unsigned>(i)));
  const std::uint8_t* e = m_server.exponent.data() + bytes - 4;
  const std::uint32_t exponent = rdr::LoadU32BE(e);
  // The length field says nothing about the key itself: a modulus of 0 or 1, or one with
  // leading zero bytes down to a few bits, "encrypts" the client's random into something
  // anyone can read, and so does an exponent of 0 or 1. The platform's import takes such
  // keys, so they are refused here, before anything is enciphered with them.
  const unsigned modulusBits = SignificantBits(m_server.modulus);
  if (modulusBits < static_cast<unsigned>(kMinServerKeyBits))
    return Fail(Format(UiText(IDS_RSA_KEY_TOO_SMALL), modulusBits));
  if (exponent < kMinExponent) return Fail(Format(UiText(IDS_RSA_INVALID_SERVER_KEY), kBadPublicKey));
  std::string error;
  if (!m_crypto.Open(&error) || !m_crypto.ImportServerKey(m_server, exponent, &error)) return Fail(error);
  return true;
}

bool KeyExchange::CheckFingerprint() {
  SecretBytes digest;
  std::string error;
  if (!m_crypto.Hash(false, {m_server.Block()}, &digest, &error)) return Fail(error);
  if (digest.size() < 8) return Fail(UiText(IDS_RSA_FINGERPRINT_HASH_FAILED));
  m_fingerprintText = FingerprintText(digest.data());
  m_fingerprintWords = FingerprintWords(digest.data());
  kebLog.Print(0, "RSAKEX: Server fingerprint is %s\n", m_fingerprintText.c_str());
  if (m_host.IsKnownFingerprint(m_fingerprintText.c_str())) return true;
  bool dontAsk = false;
  if (!m_host.ConfirmIdentity(m_fingerprintText.c_str(), &dontAsk)) {
    m_cancelled = true;
    return Fail(UiText(IDS_AUTH_CANCELLED));
  }
  if (dontAsk) m_host.StoreFingerprint(m_fingerprintText.c_str());
  return true;
}

bool KeyExchange::SendClientKey() {
  std::string error;
  if (!m_crypto.GenerateClientKey(kClientKeyBits, &m_client, &error)) return Fail(error);
  if (m_client.modulus.empty() || m_client.exponent.size() != m_client.modulus.size())
    return Fail(UiText(IDS_RSA_INVALID_CLIENT_KEY));
  std::vector<std::uint8_t> block = m_client.Block();
  m_host.WriteExact(block.data(), block.size());
  return true;
}

bool KeyExchange::SendClientRandom() {
  std::string error;
  m_clientRandom.resize(static_cast<std::size_t>(m_keyBits / 8));
  if (!m_crypto.Random(m_clientRandom.data(), m_clientRandom.size(), &error)) return Fail(error);
  std::vector<std::uint8_t> cipher;
  if (!m_crypto.EncryptForServer(m_clientRandom.data(), m_clientRandom.size(), &cipher, &error)) return Fail(error);
  if (cipher.size() != m_server.Bytes())
    return Fail(Format(UiText(IDS_RSA_SERVER_KEY_SIZE), static_cast<unsigned>(cipher.size()),
                       static_cast<unsigned>(m_server.Bytes())));
  std::vector<std::uint8_t> msg = {static_cast<std::uint8_t>(cipher.size() >> 8), static_cast<std::uint8_t>(cipher.size())};
  msg.insert(msg.end(), cipher.begin(), cipher.end());
  m_host.WriteExact(msg.data(), msg.size());
  return true;
}

bool KeyExchange::ReadServerRandom() {
  std::uint8_t b[2];
  m_host.ReadExact(b, 2);
  const std::size_t length = (std::size_t(b[0]) << 8) | b[1];
  if (length != m_client.Bytes())
    return Fail(Format(UiText(IDS_RSA_CLIENT_KEY_SIZE), static_cast<unsigned>(length),
                       static_cast<unsigned>(m_client.Bytes())));
  std::vector<std::uint8_t> cipher(length);
  m_host.ReadExact(cipher.data(), length);
  std::string error;
  if (!m_crypto.DecryptWithClientKey(cipher, &m_serverRandom, &error)) return Fail(error);
  if (m_serverRandom.size() != static_cast<std::size_t>(m_keyBits / 8))
    return Fail(Format(UiText(IDS_RSA_SERVER_RANDOM_SIZE), static_cast<unsigned>(m_serverRandom.size()),
                       static_cast<unsigned>(m_keyBits / 8)));
  return true;
}

bool KeyExchange::StartChannel() {
  const bool sha256 = m_keyBits == 256;
  const std::size_t keyBytes = static_cast<std::size_t>(m_keyBits / 8);
  SecretBytes sendKey, receiveKey;
  std::string error;
  if (!m_crypto.Hash(sha256, {m_serverRandom, m_clientRandom}, &sendKey, &error) ||
      !m_crypto.Hash(sha256, {m_clientRandom, m_serverRandom}, &receiveKey, &error))
    return Fail(error);
  if (sendKey.size() < keyBytes || receiveKey.size() < keyBytes)
    return Fail(UiText(IDS_RSA_SESSION_KEY_HASH_FAILED));
  std::unique_ptr<AESEAXPlugin> channel(
      new AESEAXPlugin(m_crypto.Aes(), sendKey.data(), receiveKey.data(), keyBytes));
  if (!channel->Ready()) return Fail(channel->ErrorText());
  m_host.InstallChannel(std::move(channel));
  return true;
}

bool KeyExchange::ExchangeKeyHashes() {
  const bool sha256 = m_keyBits == 256;
  SecretBytes ours, theirs;
  std::string error;
  if (!m_crypto.Hash(sha256, {m_client.Block(), m_server.Block()}, &ours, &error) ||
      !m_crypto.Hash(sha256, {m_server.Block(), m_client.Block()}, &theirs, &error))
    return Fail(error);
  m_host.WriteExact(ours.data(), ours.size());
  std::vector<std::uint8_t> got(theirs.size());
  m_host.ReadExact(got.data(), got.size());
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < got.size(); i++) diff |= static_cast<std::uint8_t>(got[i] ^ theirs[i]);
  if (diff != 0) return Fail(UiText(IDS_RSA_HASH_MISMATCH));
  return true;
}

bool KeyExchange::SendCredentials() {
  std::uint8_t subtype = 0;
  m_host.ReadExact(&subtype, 1);
  if (subtype > 2) return Fail(Format(UiText(IDS_RSA_INVALID_SUBTYPE), subtype));
  if (subtype == 0) return true;
  SecretText user(kMaxCredential + 1), password(kMaxCredential + 1);
  if (!m_host.Credentials(subtype, m_fingerprintText.c_str(), m_fingerprintWords.c_str(), &user, &password)) {
    m_cancelled = true;
    return Fail(UiText(IDS_AUTH_CANCELLED));
  }
  // Each length travels in one byte.
  const std::size_t u = subtype == 2 ? 0 : std::min(std::strlen(user.c_str()), kMaxCredential);
  const std::size_t p = std::min(std::strlen(password.c_str()), kMaxCredential);
  SecretText msg(2 + u + p);
  char* m = msg.data();
  m[0] = static_cast<char>(u);
  std::memcpy(m + 1, user.c_str(), u);
  m[1 + u] = static_cast<char>(p);
  std::memcpy(m + 2 + u, password.c_str(), p);
  m_host.WriteExact(msg.c_str(), 2 + u + p);
  return true;
}

}  // namespace RSAKEX
