// The password forms the viewer keeps in memory and in files, and the DES uses of the
// password schemes: the response to a type-2 challenge and DES in chained mode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "security/Secret.h"

// Passwords in memory are at most this many characters plus the terminator.
constexpr std::size_t kMaxPasswordLength = 255;
constexpr std::size_t kPasswordBufferSize = kMaxPasswordLength + 1;
// The password schemes key DES with the first eight characters.
constexpr std::size_t kDesPasswordLength = 8;

// The first eight characters of a password, NUL-padded, DES-enciphered with the fixed
// password key. A first byte of 0 means no password is stored.
struct StoredPassword {
  static constexpr std::size_t kSize = 8;
  std::uint8_t bytes[kSize] = {};

  StoredPassword() = default;
  StoredPassword(const StoredPassword&) = default;
  StoredPassword& operator=(const StoredPassword&) = default;
  ~StoredPassword() { Clear(); }
  bool Empty() const { return bytes[0] == 0; }
  void Clear() { SecureWipe(bytes, kSize); }
};

// The long form used by the logon schemes: the first 32 characters, NUL-padded; only the
// first 8-byte block is enciphered.
constexpr std::size_t kLongStoredPasswordSize = 32;

void EncryptStoredPassword(std::uint8_t out[StoredPassword::kSize], const char* password);
// The 8 deciphered bytes and a terminator (9 bytes).
SecretText DecryptStoredPassword(const std::uint8_t stored[StoredPassword::kSize]);
void EncryptStoredPassword32(std::uint8_t out[kLongStoredPasswordSize], const char* password);
// The 32 bytes with the first block deciphered, and a terminator (33 bytes).
SecretText DecryptStoredPassword32(const std::uint8_t stored[kLongStoredPasswordSize]);

// The response of security type 2: both 8-byte halves of the challenge enciphered in
// place, keyed with the first eight characters of the password, NUL-padded.
void EncryptChallenge(std::uint8_t challenge[16], const char* password);

// DES in chained mode, in place, keyed with key, which is also the initial vector. Only
// whole 8-byte blocks are processed: bytes past the last whole block are left as they are.
void DesCbcEncrypt(std::uint8_t* buffer, std::size_t length, const std::uint8_t key[8]);
