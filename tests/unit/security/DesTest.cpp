// DES against published known answers, the RFB key convention, the stored password forms,
// the type-2 response and DES in chained mode. Expected values of the RFB forms were
// computed with an independent DES (Python's pycryptodome, key bytes bit-reversed).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "security/Des.h"
#include "security/StoredPassword.h"
#include "tests/unit/security/HexBytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using testhex::Hex;
using testhex::ToHex;

std::uint8_t Reverse(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; i++)
    if (b & (1 << i)) r |= static_cast<std::uint8_t>(0x80 >> i);
  return r;
}

// Standard DES through the RFB convention: each key byte bit-reversed first.
Bytes StandardDes(const Bytes& key, const Bytes& block, DesMode mode) {
  std::uint8_t k[8], out[8];
  for (int i = 0; i < 8; i++) k[i] = Reverse(key[i]);
  DesScheduleLock held;
  DesSetKey(held, k, mode);
  DesBlock(held, block.data(), out);
  return Bytes(out, out + 8);
}

// FIPS 46 worked example, the NBS validation tables (variable plaintext, variable key,
// permutation operation, substitution table) and the classic "Now is t" example.
TEST(Des, StandardKnownAnswers) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
      {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
      {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
      {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
      {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
      {"0101010101010101", "1000000000000000", "4BD388FF6CD81D4F"},
      {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
      {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
      {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
      {"2001010101010101", "0000000000000000", "7AD16FFB79C45926"},
      {"0101010101010180", "0000000000000000", "9CC62DF43B6EED74"},
      {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
      {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(StandardDes(Hex(c.key), Hex(c.plain), kDesEncipher), Hex(c.cipher));
    EXPECT_EQ(StandardDes(Hex(c.key), Hex(c.cipher), kDesDecipher), Hex(c.plain));
  }
}

TEST(Des, ParityBitsAreIgnored) {
  // Flipping the parity bit of every key byte (the least significant bit in the standard's
  // order, the most significant one here) changes nothing.
  Bytes plain = Hex("0123456789ABCDEF");
  Bytes key = Hex("133457799BBCDFF1"), flipped = key;
  for (auto& b : flipped) b ^= 1;
  EXPECT_EQ(StandardDes(key, plain, kDesEncipher), StandardDes(flipped, plain, kDesEncipher));
}

TEST(Des, KeyBytesAreReadLeastSignificantBitFirst) {
  // Key K here is standard DES with the bit-reversed K: 133457799BBCDFF1 reversed.
  const Bytes key = Hex("c82cea9ed93dfb8f");
  std::uint8_t out[8];
  const Bytes plain = Hex("0123456789ABCDEF");
  DesScheduleLock held;
  DesSetKey(held, key.data(), kDesEncipher);
  DesBlock(held, plain.data(), out);
  EXPECT_EQ(Bytes(out, out + 8), Hex("85E813540F0AB405"));
}

TEST(Des, BlockInPlaceAndRoundsOnWords) {
  const Bytes key = Hex("c82cea9ed93dfb8f");
  std::uint8_t buf[8];
  std::memcpy(buf, Hex("0123456789ABCDEF").data(), 8);
  {
    DesScheduleLock held;
    DesSetKey(held, key.data(), kDesEncipher);
    DesBlock(held, buf, buf);
  }
  EXPECT_EQ(Bytes(buf, buf + 8), Hex("85E813540F0AB405"));

  DesKeySchedule schedule;
  DesMakeSchedule(key.data(), kDesDecipher, &schedule);
  std::uint32_t words[2] = {0x85E81354, 0x0F0AB405};
  DesRounds(words, schedule);
  EXPECT_EQ(words[0], 0x01234567u);
  EXPECT_EQ(words[1], 0x89ABCDEFu);
}

TEST(Des, UnitsOfDifferentThreadsDoNotMix) {
  // Each thread sets its own key and enciphers with it many times; with a shared schedule
  // that another thread could replace mid-unit, some responses would come out wrong.
  const char* passwords[] = {"test", "secret", "12345678", "abcdefgh"};
  const char* expected[] = {"cac7f3f6fd55dfce4ff48ea241839808", "f19b50471f60f42298e5c0147db50e1e",
                            "8b9603ea1b649430d595c4247bd2bb95", "8ad974846132dc3e06c55b08ca66702f"};
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3000; i++) {
        std::uint8_t challenge[16];
        std::memcpy(challenge, Hex("00112233445566778899aabbccddeeff").data(), 16);
        EncryptChallenge(challenge, passwords[t]);
        if (ToHex(challenge, 16) != expected[t]) wrong[t]++;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(Challenge, ResponsesToAChallenge) {
  struct Case {
    const char* password;
    const char* response;
  } cases[] = {
      {"test", "cac7f3f6fd55dfce4ff48ea241839808"},      // NUL-padded key
      {"12345678", "8b9603ea1b649430d595c4247bd2bb95"},  // exactly eight: no NUL in the key
      {"123456789", "8b9603ea1b649430d595c4247bd2bb95"}, // longer: its first eight
      {"abcdefgh", "8ad974846132dc3e06c55b08ca66702f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    std::uint8_t challenge[16];
    std::memcpy(challenge, Hex("00112233445566778899aabbccddeeff").data(), 16);
    EncryptChallenge(challenge, c.password);
    EXPECT_EQ(ToHex(challenge, 16), c.response);
  }
}

TEST(Challenge, ZeroChallengeGivesTheSameBlockTwice) {
  std::uint8_t challenge[16] = {};
  EncryptChallenge(challenge, "secret");
  EXPECT_EQ(ToHex(challenge, 16), "9613a23f1dcac5419613a23f1dcac541");
}

TEST(StoredPasswordForm, KnownFormsAndRoundTrips) {
  struct Case {
    const char* password;
    const char* stored;
    std::string deciphered;  // 8 bytes
  } cases[] = {
      {"abc", "836e0d6466626749", std::string("abc\0\0\0\0\0", 8)},
      {"secret", "df2ae341316b72c0", std::string("secret\0\0", 8)},
      {"12345678", "bb7caf92e52fd64e", "12345678"},
      {"123456789abc", "bb7caf92e52fd64e", "12345678"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    StoredPassword sp;
    EncryptStoredPassword(sp.bytes, c.password);
    EXPECT_EQ(ToHex(sp.bytes, 8), c.stored);
    EXPECT_FALSE(sp.Empty());
    SecretText text = DecryptStoredPassword(sp.bytes);
    ASSERT_EQ(text.size(), 9u);
    EXPECT_EQ(std::string(text.c_str(), 8), c.deciphered);
    EXPECT_EQ(text.c_str()[8], '\0');
  }
}

TEST(StoredPasswordForm, LongFormKeepsThirtyTwoCharactersAndEnciphersOnlyTheFirstBlock) {
  const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  std::uint8_t longForm[kLongStoredPasswordSize];
  EncryptStoredPassword32(longForm, forty.c_str());
  StoredPassword shortForm;
  EncryptStoredPassword(shortForm.bytes, forty.c_str());
  EXPECT_EQ(Bytes(longForm, longForm + 8), Bytes(shortForm.bytes, shortForm.bytes + 8));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(longForm) + 8, 24), forty.substr(8, 24));

  SecretText text = DecryptStoredPassword32(longForm);
  ASSERT_EQ(text.size(), 33u);
  EXPECT_EQ(std::string(text.c_str()), forty.substr(0, 32));

  std::uint8_t shortPassword[kLongStoredPasswordSize];
  EncryptStoredPassword32(shortPassword, "abc");
  EXPECT_EQ(Bytes(shortPassword + 8, shortPassword + 32), Bytes(24, 0));
  EXPECT_EQ(std::string(DecryptStoredPassword32(shortPassword).c_str()), "abc");
}

TEST(ChainedMode, KeyIsTheInitialVectorAndBlocksChain) {
  const Bytes key = Hex("0123456789abcdef");
  std::uint8_t buf[64];
  for (int i = 0; i < 64; i++) buf[i] = static_cast<std::uint8_t>(i);
  DesCbcEncrypt(buf, sizeof buf, key.data());
  EXPECT_EQ(ToHex(buf, 64),
            "acaae6446c2dc80484ea4753040fe409f2f00b7f844ecc0758067744c698672a"
            "662cd2c2a11b18c5b54914e0b1ba426d2babb2405ee1a6fde7af28d61158f420");
}

TEST(ChainedMode, NothingBeyondTheLastWholeBlockIsTouched) {
  // A length that is not a multiple of 8 (or 0) must not make the cipher read or write
  // past the buffer: the whole blocks are chained, the tail stays as it was.
  const Bytes key = Hex("0123456789abcdef");
  std::uint8_t whole[16], partial[21];
  for (int i = 0; i < 21; i++) partial[i] = static_cast<std::uint8_t>(i);
  std::memcpy(whole, partial, 16);
  DesCbcEncrypt(whole, 16, key.data());
  DesCbcEncrypt(partial, 13 + 8, key.data());
  EXPECT_EQ(Bytes(partial, partial + 16), Bytes(whole, whole + 16));
  EXPECT_EQ(Bytes(partial + 16, partial + 21), (Bytes{16, 17, 18, 19, 20}));

  std::uint8_t guard[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  DesCbcEncrypt(guard, 0, key.data());
  DesCbcEncrypt(guard, 7, key.data());
  EXPECT_EQ(Bytes(guard, guard + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
