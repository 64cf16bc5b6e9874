#include "security/StoredPassword.h"

#include <cstring>

#include "security/Des.h"

namespace {

// The fixed key of the stored forms.
constexpr std::uint8_t kPasswordKey[8] = {0x5C, 0xE1, 0x09, 0x7A, 0x33, 0xD4, 0x8B, 0x26};

// The first n characters of text, NUL-padded to n (n <= 32).
void Padded(const char* text, std::uint8_t* out, std::size_t n) {
  std::memset(out, 0, n);
  if (!text) return;
  for (std::size_t i = 0; i < n && text[i]; i++) out[i] = static_cast<std::uint8_t>(text[i]);
}

}  // namespace

void EncryptStoredPassword(std::uint8_t out[StoredPassword::kSize], const char* password) {
  std::uint8_t block[8];
  Padded(password, block, sizeof block);
  DesScheduleLock held;
  DesSetKey(held, kPasswordKey, kDesEncipher);
  DesBlock(held, block, out);
  SecureWipe(block, sizeof block);
}

SecretText DecryptStoredPassword(const std::uint8_t stored[StoredPassword::kSize]) {
  SecretText text(StoredPassword::kSize + 1);
  DesScheduleLock held;
  DesSetKey(held, kPasswordKey, kDesDecipher);
  DesBlock(held, stored, reinterpret_cast<std::uint8_t*>(text.data()));
  return text;
}

void EncryptStoredPassword32(std::uint8_t out[kLongStoredPasswordSize], const char* password) {
  Padded(password, out, kLongStoredPasswordSize);
  DesScheduleLock held;
  DesSetKey(held, kPasswordKey, kDesEncipher);
  DesBlock(held, out, out);
}

SecretText DecryptStoredPassword32(const std::uint8_t stored[kLongStoredPasswordSize]) {
  SecretText text(kLongStoredPasswordSize + 1);
  std::uint8_t* t = reinterpret_cast<std::uint8_t*>(text.data());
  std::memcpy(t, stored, kLongStoredPasswordSize);
  DesScheduleLock held;
  DesSetKey(held, kPasswordKey, kDesDecipher);
  DesBlock(held, t, t);
  return text;
}

void EncryptChallenge(std::uint8_t challenge[16], const char* password) {
  std::uint8_t key[8];
  Padded(password, key, sizeof key);
  DesScheduleLock held;
  DesSetKey(held, key, kDesEncipher);
  DesBlock(held, challenge, challenge);
  DesBlock(held, challenge + 8, challenge + 8);
  SecureWipe(key, sizeof key);
}

void DesCbcEncrypt(std::uint8_t* buffer, std::size_t length, const std::uint8_t key[8]) {
  DesScheduleLock held;
  DesSetKey(held, key, kDesEncipher);
  const std::uint8_t* previous = key;
  for (std::size_t at = 0; at + 8 <= length; at += 8) {
    std::uint8_t* block = buffer + at;
    for (int i = 0; i < 8; i++) block[i] ^= previous[i];
    DesBlock(held, block, block);
    previous = block;
  }
}
