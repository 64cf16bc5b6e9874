// AES encryption (FIPS-197) for the tests of the platform-free code, which the product
// runs over CryptoAPI's AES. Written from the standard: the S-box computed from the
// multiplicative inverse in GF(2^8) and the affine map, the key expansion, and the rounds
// of SubBytes, ShiftRows, MixColumns and AddRoundKey.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "security/AESCipher.h"
#include "security/Secret.h"

namespace testaes {

inline std::uint8_t Mul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t p = 0;
  for (int i = 0; i < 8; i++) {
    if (b & 1) p ^= a;
    const bool hi = (a & 0x80) != 0;
    a = static_cast<std::uint8_t>(a << 1);
    if (hi) a ^= 0x1B;
    b >>= 1;
  }
  return p;
}

inline const std::uint8_t* SBox() {
  static std::uint8_t box[256];
  static bool made = false;
  if (!made) {
    for (int x = 0; x < 256; x++) {
      std::uint8_t inv = 0;
      for (int y = 1; y < 256 && x; y++)
        if (Mul(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) inv = static_cast<std::uint8_t>(y);
      std::uint8_t s = inv;
      for (int r = 1; r <= 4; r++) s ^= static_cast<std::uint8_t>((inv << r) | (inv >> (8 - r)));
      box[x] = static_cast<std::uint8_t>(s ^ 0x63);
    }
    made = true;
  }
  return box;
}

class Aes {
public:
  // The key schedule goes with the object, as a platform provider's key does.
  ~Aes() { SecureWipe(w_, sizeof w_); }
  Aes(const std::uint8_t* key, std::size_t length) {
    const std::uint8_t* sbox = SBox();
    const int nk = static_cast<int>(length / 4);
    rounds_ = nk + 6;
    std::memcpy(w_, key, length);
    std::uint8_t rcon = 1;
    for (int i = nk; i < 4 * (rounds_ + 1); i++) {
      std::uint8_t t[4];
      std::memcpy(t, w_ + 4 * (i - 1), 4);
      if (i % nk == 0) {
        const std::uint8_t first = t[0];
        t[0] = static_cast<std::uint8_t>(sbox[t[1]] ^ rcon);
        t[1] = sbox[t[2]];
        t[2] = sbox[t[3]];
        t[3] = sbox[first];
        rcon = Mul(rcon, 2);
      } else if (nk > 6 && i % nk == 4) {
        for (auto& b : t) b = sbox[b];
      }
      for (int j = 0; j < 4; j++) w_[4 * i + j] = static_cast<std::uint8_t>(w_[4 * (i - nk) + j] ^ t[j]);
    }
  }

  void Encrypt(std::uint8_t s[16]) const {
    const std::uint8_t* sbox = SBox();
    AddRoundKey(s, 0);
    for (int r = 1; r <= rounds_; r++) {
      for (int i = 0; i < 16; i++) s[i] = sbox[s[i]];
      std::uint8_t t[16];
      for (int c = 0; c < 4; c++)
        for (int row = 0; row < 4; row++) t[4 * c + row] = s[4 * ((c + row) % 4) + row];
      std::memcpy(s, t, 16);
      if (r != rounds_) {
        for (int c = 0; c < 4; c++) {
          std::uint8_t* col = s + 4 * c;
          const std::uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
          col[0] = static_cast<std::uint8_t>(Mul(a0, 2) ^ Mul(a1, 3) ^ a2 ^ a3);
          col[1] = static_cast<std::uint8_t>(a0 ^ Mul(a1, 2) ^ Mul(a2, 3) ^ a3);
          col[2] = static_cast<std::uint8_t>(a0 ^ a1 ^ Mul(a2, 2) ^ Mul(a3, 3));
          col[3] = static_cast<std::uint8_t>(Mul(a0, 3) ^ a1 ^ a2 ^ Mul(a3, 2));
        }
      }
      AddRoundKey(s, r);
    }
  }

private:
  void AddRoundKey(std::uint8_t s[16], int r) const {
    for (int i = 0; i < 16; i++) s[i] ^= w_[16 * r + i];
  }
  std::uint8_t w_[240];
  int rounds_;
};

class Block : public AesBlockFunction {
public:
  Block(const std::uint8_t* key, std::size_t length) : aes_(key, length) {}
  bool EncryptBlocks(std::uint8_t* data, std::size_t blocks, std::string*) override {
    calls++;
    for (std::size_t b = 0; b < blocks; b++) aes_.Encrypt(data + 16 * b);
    return true;
  }
  int calls = 0;

private:
  Aes aes_;
};

class Factory : public AesBlockFactory {
public:
  std::unique_ptr<AesBlockFunction> NewBlockFunction(const std::uint8_t* key, std::size_t length,
                                                     std::string* error) override {
    if (length != 16 && length != 32) {
      *error = "Invalid AES key length";
      return nullptr;
    }
    return std::unique_ptr<AesBlockFunction>(new Block(key, length));
  }
};

}  // namespace testaes
