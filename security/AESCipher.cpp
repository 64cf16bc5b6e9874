#include "security/AESCipher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/Secret.h"

namespace {

// Counter blocks enciphered per call of the block function.
constexpr std::size_t kStreamBlocks = 256;

void Increment(std::uint8_t counter[16]) {
  for (int i = 15; i >= 0; i--)
    if (++counter[i] != 0) break;
}

void XorBlock(std::uint8_t* out, const std::uint8_t* a, std::size_t n) {
  for (std::size_t i = 0; i < n; i++) out[i] ^= a[i];
}

}  // namespace

void CmacDoubleBlock(const std::uint8_t in[16], std::uint8_t out[16]) {
  const bool carry = (in[0] & 0x80) != 0;
  for (int i = 0; i < 15; i++) out[i] = static_cast<std::uint8_t>((in[i] << 1) | (in[i + 1] >> 7));
  out[15] = static_cast<std::uint8_t>(in[15] << 1);
  if (carry) out[15] ^= 0x87;
}

void ReverseBytes(std::uint8_t* buffer, std::size_t length) {
  for (std::size_t i = 0, j = length; i + 1 < j; i++, j--) {
    const std::uint8_t t = buffer[i];
    buffer[i] = buffer[j - 1];
    buffer[j - 1] = t;
  }
}

// ---------------------------------------------------------------------------------------

void CMACAuth::Start() {
  SecureWipe(m_block, sizeof m_block);
  SecureWipe(m_x, sizeof m_x);
  m_fill = 0;
}

bool CMACAuth::Update(const std::uint8_t* data, std::size_t length) {
  // m_block holds the last block seen; it is enciphered into the running value only
  // once more data follows, since the last block is treated apart in Final.
  while (length > 0) {
    if (m_fill == AESCipher::kBlock) {
      XorBlock(m_block, m_x, AESCipher::kBlock);
      if (!m_cipher.Block(m_block, 1)) return false;
      std::memcpy(m_x, m_block, AESCipher::kBlock);
      m_fill = 0;
    }
    const std::size_t take = std::min(AESCipher::kBlock - m_fill, length);
    std::memcpy(m_block + m_fill, data, take);
    m_fill += take;
    data += take;
    length -= take;
  }
  return true;
}

bool CMACAuth::Final(std::uint8_t* tag, int size) {
  if (size < 4 || size > 16) {
    char text[64];
    std::snprintf(text, sizeof text, UiText(IDS_CMAC_TAG_SIZE), size);
    kebLog.Print(0, "CMACAuth: %s\n", text);
    return m_cipher.Fail(text);
  }
  std::uint8_t last[16] = {};
  std::memcpy(last, m_block, m_fill);
  if (m_fill == AESCipher::kBlock) {
    XorBlock(last, m_cipher.m_k1, AESCipher::kBlock);
  } else {
    last[m_fill] = 0x80;
    XorBlock(last, m_cipher.m_k2, AESCipher::kBlock);
  }
  XorBlock(last, m_x, AESCipher::kBlock);
  if (!m_cipher.Block(last, 1)) return false;
  std::memcpy(tag, last, static_cast<std::size_t>(size));
  SecureWipe(last, sizeof last);
  return true;
}

// ---------------------------------------------------------------------------------------

AESCipher::~AESCipher() {
  SecureWipe(m_k1, sizeof m_k1);
  SecureWipe(m_k2, sizeof m_k2);
  SecureWipe(m_counter, sizeof m_counter);
}

bool AESCipher::Fail(const std::string& text) {
  m_error = text;
  return false;
}

bool AESCipher::Block(std::uint8_t* data, std::size_t blocks) {
  if (!m_block) return Fail(UiText(IDS_AES_NO_KEY));
  std::string error;
  if (m_block->EncryptBlocks(data, blocks, &error)) return true;
  kebLog.Print(0, "AESCipher: %s\n", error.c_str());
  return Fail(error);
}

bool AESCipher::SetKey(AesBlockFactory& factory, const std::uint8_t* key, std::size_t length) {
  std::string error;
  m_block = factory.NewBlockFunction(key, length, &error);
  if (!m_block) {
    kebLog.Print(0, "AESCipher: %s\n", error.c_str());
    return Fail(error);
  }
  std::uint8_t l[16] = {};
  if (!Block(l, 1)) return false;
  CmacDoubleBlock(l, m_k1);
  CmacDoubleBlock(m_k1, m_k2);
  SecureWipe(l, sizeof l);
  return true;
}

bool AESCipher::OmacStart(std::uint8_t tweak, const std::uint8_t* data, std::size_t length, std::uint8_t tag[16]) {
  std::uint8_t t[16] = {};
  t[15] = tweak;
  m_cmac.Start();
  return m_cmac.Update(t, sizeof t) && m_cmac.Update(data, length) && m_cmac.Final(tag, 16);
}

void AESCipher::SetCounter(const std::uint8_t counter[16]) { std::memcpy(m_counter, counter, sizeof m_counter); }

bool AESCipher::EaxCrypt(std::uint8_t* buffer, std::size_t length, bool encrypting) {
  std::uint8_t stream[kStreamBlocks * kBlock];
  while (length > 0) {
    const std::size_t blocks = std::min(kStreamBlocks, (length + kBlock - 1) / kBlock);
    for (std::size_t b = 0; b < blocks; b++) {
      std::memcpy(stream + b * kBlock, m_counter, kBlock);
      Increment(m_counter);
    }
    if (!Block(stream, blocks)) {
      SecureWipe(stream, sizeof stream);  // the key stream of the blocks before
      return false;
    }
    const std::size_t n = std::min(length, blocks * kBlock);
    XorBlock(buffer, stream, n);
    buffer += n;
    length -= n;
  }
  SecureWipe(stream, sizeof stream);
  return true;
}

AESCipher::SealResult AESCipher::Seal(const std::uint8_t nonce[16], const std::uint8_t* header,
                                      std::size_t headerLength, std::uint8_t* data, std::size_t length,
                                      bool encrypting, std::uint8_t tag[16]) {
  std::uint8_t n[16], h[16], c[16];
  SealResult result = kSealed;
  if (!OmacStart(0, nonce, 16, n) || !OmacStart(1, header, headerLength, h))
    result = kCipherFailed;
  else if (!encrypting && !OmacStart(2, data, length, c))
    result = kTagFailed;
  if (result == kSealed) {
    SetCounter(n);
    if (!EaxCrypt(data, length, encrypting))
      result = kCipherFailed;
    else if (encrypting && !OmacStart(2, data, length, c))
      result = kTagFailed;
  }
  if (result == kSealed)
    for (int i = 0; i < 16; i++) tag[i] = static_cast<std::uint8_t>(n[i] ^ h[i] ^ c[i]);
  // The tag of the nonce is the record's key stream start.
  SecureWipe(n, sizeof n);
  SecureWipe(m_counter, sizeof m_counter);
  return result;
}
