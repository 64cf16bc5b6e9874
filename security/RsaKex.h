// The RSA key exchange of the RSA-AES security types (5, 6, 129, 130): both sides' RSA
// keys and random numbers, the two AES-EAX session keys, the key hashes that prove both
// saw the same keys, and the credentials inside the channel. The cryptography is the
// platform's (CryptoAPI, PROV_RSA_AES, in the product) behind RSAKEX::Crypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "security/AESCipher.h"
#include "security/Secret.h"

class IPlugin;

namespace RSAKEX {

constexpr int kMinServerKeyBits = 1024;
constexpr int kMaxServerKeyBits = 8192;
constexpr int kClientKeyBits = 2048;

// A key block on the wire: u32 length in bits (big-endian), modulus and exponent, each
// (bits + 7) / 8 bytes, big-endian.
struct RsaKey {
  std::uint32_t bits = 0;
  std::vector<std::uint8_t> modulus;   // big-endian
  std::vector<std::uint8_t> exponent;  // big-endian, as long as the modulus
  std::size_t Bytes() const { return modulus.size(); }
  // The block as it travels (and as it is hashed).
  std::vector<std::uint8_t> Block() const;
  void Wipe();
};

// Bytes to be hashed, where they lie: a secret is hashed without being copied.
struct HashPart {
  HashPart(const std::vector<std::uint8_t>& v) : data(v.data()), size(v.size()) {}
  HashPart(const SecretBytes& v) : data(v.data()), size(v.size()) {}
  const std::uint8_t* data;
  std::size_t size;
};

// One provider session of the platform's cryptography. Every operation returns false and
// sets *error to the failure text of the exchange (with the platform's code) when it fails.
class Crypto {
public:
  virtual ~Crypto() = default;
  // "CryptAcquireContext failed (%u)".
  virtual bool Open(std::string* error) = 0;
  // The server's public key ("Invalid server RSA key (%u)"); the exponent is its last four bytes.
  virtual bool ImportServerKey(const RsaKey& key, std::uint32_t exponent, std::string* error) = 0;
  // A new exportable key-exchange key pair of `bits` bits; its public part in *key
  // ("CryptGenKey failed (%u)", "CryptExportKey failed (%u)", "Invalid client key generated").
  virtual bool GenerateClientKey(int bits, RsaKey* key, std::string* error) = 0;
  // PKCS #1 v1.5 (type 2) with the server key; the ciphertext big-endian ("CryptEncrypt failed (%u)").
  virtual bool EncryptForServer(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>* out,
                                std::string* error) = 0;
  // Deciphers a big-endian ciphertext with the client's private key
  // ("Cannot decrypt server random (%u)").
  virtual bool DecryptWithClientKey(const std::vector<std::uint8_t>& cipher, SecretBytes* out,
                                    std::string* error) = 0;
  // "CryptGenRandom failed (%u)".
  virtual bool Random(std::uint8_t* out, std::size_t length, std::string* error) = 0;
  // SHA-1 (20 bytes) or SHA-256 (32 bytes) over the parts in order.
  virtual bool Hash(bool sha256, std::initializer_list<HashPart> parts, SecretBytes* digest, std::string* error) = 0;
  // AES block functions for the channel.
  virtual AesBlockFactory& Aes() = 0;
};

// The connection as the exchange sees it. Reads and writes are the connection's, so they
// pass through the channel once it is installed.
class IConnection {
public:
  virtual ~IConnection() = default;
  virtual void ReadExact(void* buffer, std::size_t length) = 0;
  virtual void WriteExact(const void* buffer, std::size_t length) = 0;
  virtual bool IsKnownFingerprint(const char* text) = 0;
  virtual void StoreFingerprint(const char* text) = 0;
  // The identity prompt: true to go on; *dontAsk when "Don't ask anymore" was ticked.
  virtual bool ConfirmIdentity(const char* fingerprint, bool* dontAsk) = 0;
  // Makes the channel the connection's active plug-in interface.
  virtual void InstallChannel(std::unique_ptr<IPlugin> channel) = 0;
  // The credentials for subtype 1 (user and password) or 2 (password): false when the user
  // cancelled. signature and catchphrase are the fingerprint's two forms.
  virtual bool Credentials(int subtype, const char* signature, const char* catchphrase, SecretText* user,
                           SecretText* password) = 0;
};

// The platform's provider (CryptoAPI with PROV_RSA_AES in verify-context mode on Windows);
// nullptr where there is none.
std::unique_ptr<Crypto> DefaultKexCrypto();

// Fingerprint of a server key: the first 8 bytes of SHA-1 over its block.
std::string FingerprintText(const std::uint8_t fingerprint[8]);  // "%02x-" x 8, 23 characters
std::string FingerprintWords(const std::uint8_t fingerprint[8]);  // "Word word word. Word word word."

class KeyExchange {
public:
  KeyExchange(IConnection& host, Crypto& crypto, int aesKeyBits);
  ~KeyExchange();
  KeyExchange(const KeyExchange&) = delete;
  KeyExchange& operator=(const KeyExchange&) = delete;

  // The whole exchange. False with Error() set when it fails; Cancelled() tells a refused
  // prompt or dialog (quiet).
  bool Run();
  const std::string& Error() const { return m_error; }
  bool Cancelled() const { return m_cancelled; }

private:
  bool Fail(const std::string& text);
  bool ReadServerKey();
  bool CheckFingerprint();
  bool SendClientKey();
  bool SendClientRandom();
  bool ReadServerRandom();
  bool StartChannel();
  bool ExchangeKeyHashes();
  bool SendCredentials();

  IConnection& m_host;
  Crypto& m_crypto;
  int m_keyBits;
  RsaKey m_server, m_client;
  SecretBytes m_serverRandom, m_clientRandom;
  std::string m_fingerprintText, m_fingerprintWords;
  std::string m_error;
  bool m_cancelled = false;
};

}  // namespace RSAKEX
