// The CryptoAPI side of the RSA-AES schemes under Wine: the AES block function against
// FIPS-197, EAX against the paper's examples and a channel record made by pycryptodome,
// RSA between two providers (a generated key exported, imported, enciphered to and
// deciphered), and the two hashes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/UiText.h"
#include "security/AESCipher.h"
#include "security/AESEAXPlugin.h"
#include "security/RsaKex.h"
#include "tests/unit/security/HexBytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using testhex::Hex;
using testhex::ToHex;

class CryptoApi : public ::testing::Test {
protected:
  std::unique_ptr<RSAKEX::Crypto> crypto = RSAKEX::DefaultKexCrypto();
  std::string error;
  void SetUp() override {
    LoadBuiltinUiTexts();  // the refused key's text is one of the string table
    ASSERT_NE(crypto, nullptr);
    ASSERT_TRUE(crypto->Open(&error)) << error;
  }
};

TEST_F(CryptoApi, AesBlockFunctionIsFips197) {
  struct Case {
    std::size_t keyLength;
    const char* cipher;
  } cases[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"}, {32, "8ea2b7ca516745bfeafc49904b496089"}};
  for (const auto& c : cases) {
    Bytes key(c.keyLength);
    for (std::size_t i = 0; i < key.size(); i++) key[i] = static_cast<std::uint8_t>(i);
    auto block = crypto->Aes().NewBlockFunction(key.data(), key.size(), &error);
    ASSERT_NE(block, nullptr) << error;
    // Three blocks in one call: each enciphered on its own, no padding added.
    Bytes data = Hex(std::string("00112233445566778899aabbccddeeff") + "00112233445566778899aabbccddeeff" +
                     "00112233445566778899aabbccddeeff");
    ASSERT_TRUE(block->EncryptBlocks(data.data(), 3, &error)) << error;
    EXPECT_EQ(ToHex(data.data(), 48), std::string(c.cipher) + c.cipher + c.cipher);
  }
  EXPECT_EQ(crypto->Aes().NewBlockFunction(Bytes(24).data(), 24, &error), nullptr);
}

TEST_F(CryptoApi, EaxPaperExamplesAndAChannelRecord) {
  const Bytes key = Hex("01f74ad64077f2e704c0f60ada3dd523"), nonce = Hex("70c3db4f0d26368400a10ed05d2bff5e"),
              header = Hex("234a3463c1264ac6");
  Bytes data = Hex("1a47cb4933");
  AESCipher cipher;
  ASSERT_TRUE(cipher.SetKey(crypto->Aes(), key.data(), key.size())) << cipher.Error();
  std::uint8_t tag[16];
  ASSERT_EQ(cipher.Seal(nonce.data(), header.data(), header.size(), data.data(), data.size(), true, tag),
            AESCipher::kSealed);
  EXPECT_EQ(ToHex(data.data(), data.size()) + ToHex(tag, 16), "d851d5bae03a59f238a23e39199dc9266626c40f80");

  const Bytes k16 = Hex("0102030405060708090a0b0c0d0e0f10");
  AESEAXPlugin channel(crypto->Aes(), k16.data(), k16.data(), 16);
  ASSERT_TRUE(channel.Ready()) << channel.ErrorText();
  int n = 0;
  const std::uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  std::uint8_t* r = channel.Encrypt(hello, 5, &n);
  EXPECT_EQ(ToHex(r, static_cast<std::size_t>(n)), "0005b2c42346922b6ac6c8168bd06fa6702e1b70c40aed");
}

TEST_F(CryptoApi, RsaBetweenTwoProviders) {
  // The viewer's side makes its key; a second provider plays the server importing it.
  RSAKEX::RsaKey client;
  ASSERT_TRUE(crypto->GenerateClientKey(2048, &client, &error)) << error;
  EXPECT_EQ(client.bits, 2048u);
  ASSERT_EQ(client.Bytes(), 256u);
  ASSERT_EQ(client.exponent.size(), 256u);
  EXPECT_EQ(ToHex(client.exponent.data() + 252, 4), "00010001");
  EXPECT_EQ(client.modulus[0] & 0x80, 0x80);  // big-endian: the top bit of a 2048-bit modulus

  std::unique_ptr<RSAKEX::Crypto> other = RSAKEX::DefaultKexCrypto();
  ASSERT_TRUE(other->Open(&error)) << error;
  ASSERT_TRUE(other->ImportServerKey(client, 65537, &error)) << error;
  Bytes random(32);
  ASSERT_TRUE(other->Random(random.data(), random.size(), &error));
  std::vector<std::uint8_t> sealed;
  SecretBytes opened;
  ASSERT_TRUE(other->EncryptForServer(random.data(), random.size(), &sealed, &error)) << error;
  EXPECT_EQ(sealed.size(), 256u);
  ASSERT_TRUE(crypto->DecryptWithClientKey(sealed, &opened, &error)) << error;
  EXPECT_EQ(Bytes(opened.begin(), opened.end()), random);
  sealed[100] ^= 1;
  EXPECT_FALSE(crypto->DecryptWithClientKey(sealed, &opened, &error));
  EXPECT_EQ(error.rfind("Cannot decrypt server random (", 0), 0u);

  RSAKEX::RsaKey bad = client;
  bad.bits = 2047;  // a length that does not fit the modulus
  std::unique_ptr<RSAKEX::Crypto> third = RSAKEX::DefaultKexCrypto();
  ASSERT_TRUE(third->Open(&error));
  EXPECT_FALSE(third->ImportServerKey(bad, 65537, &error));
  EXPECT_EQ(error.rfind("Invalid server RSA key (", 0), 0u);
}

TEST_F(CryptoApi, Hashes) {
  SecretBytes digest;
  const Bytes a = {'a'}, ab = {'a', 'b'}, bc = {'b', 'c'}, c = {'c'}, none;
  ASSERT_TRUE(crypto->Hash(false, {a, bc}, &digest, &error)) << error;
  EXPECT_EQ(ToHex(digest.data(), digest.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
  ASSERT_TRUE(crypto->Hash(true, {ab, none, c}, &digest, &error)) << error;
  EXPECT_EQ(ToHex(digest.data(), digest.size()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
