// AES in EAX mode over a block function that the platform supplies (CryptoAPI in the
// product): CMAC (OMAC1) for the tags, counter mode for the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The AES block function of one key.
class AesBlockFunction {
public:
  virtual ~AesBlockFunction() = default;
  // Enciphers `blocks` 16-byte blocks in place, each on its own (ECB). False when the
  // platform fails; *error then tells why.
  virtual bool EncryptBlocks(std::uint8_t* data, std::size_t blocks, std::string* error) = 0;
};

// Makes block functions from raw keys of 16 or 32 bytes.
class AesBlockFactory {
public:
  virtual ~AesBlockFactory() = default;
  virtual std::unique_ptr<AesBlockFunction> NewBlockFunction(const std::uint8_t* key, std::size_t length,
                                                             std::string* error) = 0;
};

// The CMAC "double": the 16-byte block shifted left by one bit, 0x87 XOR-ed into the last
// byte when the top bit was set.
void CmacDoubleBlock(const std::uint8_t in[16], std::uint8_t out[16]);
// Reverses the order of length bytes in place.
void ReverseBytes(std::uint8_t* buffer, std::size_t length);

class AESCipher;

// CMAC of NIST SP 800-38B over the cipher's block function.
class CMACAuth {
public:
  explicit CMACAuth(AESCipher& cipher) : m_cipher(cipher) {}
  ~CMACAuth() { Start(); }
  CMACAuth(const CMACAuth&) = delete;
  CMACAuth& operator=(const CMACAuth&) = delete;
  void Start();
  bool Update(const std::uint8_t* data, std::size_t length);
  // The tag, size 4 to 16 bytes.
  bool Final(std::uint8_t* tag, int size);

private:
  AESCipher& m_cipher;
  std::uint8_t m_x[16] = {};      // the running value
  std::uint8_t m_block[16] = {};  // the last block, kept until more data follows
  std::size_t m_fill = 0;
};

class AESCipher {
public:
  static constexpr std::size_t kBlock = 16;

  AESCipher() : m_cmac(*this) {}
  ~AESCipher();
  AESCipher(const AESCipher&) = delete;
  AESCipher& operator=(const AESCipher&) = delete;

  // A key of 16 or 32 bytes, as a block function of the factory; derives the CMAC subkeys.
  bool SetKey(AesBlockFactory& factory, const std::uint8_t* key, std::size_t length);
  // OMAC with tweak t: the CMAC of 15 zero bytes and t, followed by the data.
  bool OmacStart(std::uint8_t tweak, const std::uint8_t* data, std::size_t length, std::uint8_t tag[16]);
  // Counter mode from the counter block set by SetCounter (incremented as a 128-bit
  // big-endian number per block), in place; the same for both directions.
  bool EaxCrypt(std::uint8_t* buffer, std::size_t length, bool encrypting);
  void SetCounter(const std::uint8_t counter[16]);

  // What became of one record: sealed, or the step of it that failed (the counter mode
  // with the tags of nonce and header, or the tag over the ciphertext).
  enum SealResult { kSealed, kCipherFailed, kTagFailed };
  // One EAX record: the tag over nonce, header and ciphertext; encrypting or decrypting
  // the data in place. For decryption the computed tag is compared by the caller.
  SealResult Seal(const std::uint8_t nonce[16], const std::uint8_t* header, std::size_t headerLength,
                  std::uint8_t* data, std::size_t length, bool encrypting, std::uint8_t tag[16]);

  const std::string& Error() const { return m_error; }

private:
  friend class CMACAuth;
  bool Block(std::uint8_t* data, std::size_t blocks);
  bool Fail(const std::string& text);

  std::unique_ptr<AesBlockFunction> m_block;
  std::uint8_t m_k1[16] = {}, m_k2[16] = {};
  std::uint8_t m_counter[16] = {};
  CMACAuth m_cmac;
  std::string m_error;
};
