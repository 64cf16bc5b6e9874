// CMAC and EAX over the test AES (FIPS-197): the known answers of NIST SP 800-38B and of
// the EAX paper; the AES-EAX channel's records (checked against records made by
// pycryptodome's EAX), its receive contract and its refusal of altered records; the
// mnemonicode words of fingerprints.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/UiText.h"
#include "security/AESCipher.h"
#include "security/AESEAXPlugin.h"
#include "security/Mnemonic.h"
#include "tests/unit/security/TestAes.h"
#include "tests/unit/security/HexBytes.h"
#include "tests/unit/security/SecretTrace.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using testhex::Hex;
using testhex::ToHex;

testaes::Factory g_aes;

// The failures of the cipher and the channel are texts of the string table.
class Cmac : public ::testing::Test {
protected:
  void SetUp() override { LoadBuiltinUiTexts(); }
};
class AesEaxChannel : public ::testing::Test {
protected:
  void SetUp() override { LoadBuiltinUiTexts(); }
};

TEST(TestAes, Fips197Examples) {
  const Bytes plain = Hex("00112233445566778899aabbccddeeff");
  struct Case {
    std::size_t keyLength;
    const char* cipher;
  } cases[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"}, {32, "8ea2b7ca516745bfeafc49904b496089"}};
  for (const auto& c : cases) {
    Bytes key(c.keyLength);
    for (std::size_t i = 0; i < key.size(); i++) key[i] = static_cast<std::uint8_t>(i);
    Bytes b = plain;
    testaes::Aes(key.data(), key.size()).Encrypt(b.data());
    EXPECT_EQ(ToHex(b.data(), 16), c.cipher);
  }
}

TEST_F(Cmac, DoubleAndNistExamples) {
  // SP 800-38B, D.1: L = AES(K, 0); K1 and K2 by doubling.
  const Bytes key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  std::uint8_t k1[16], k2[16];
  const Bytes l = Hex("7df76b0c1ab899b33e42f047b91b546f");
  CmacDoubleBlock(l.data(), k1);
  CmacDoubleBlock(k1, k2);
  EXPECT_EQ(ToHex(k1, 16), "fbeed618357133667c85e08f7236a8de");
  EXPECT_EQ(ToHex(k2, 16), "f7ddac306ae266ccf90bc11ee46d513b");

  const Bytes m = Hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b"
      "417be66c3710");
  struct Case {
    std::size_t length;
    const char* tag;
  } cases[] = {{0, "bb1d6929e95937287fa37d129b756746"},
               {16, "070a16b46b4d4144f79bdd9dd04a287c"},
               {40, "dfa66747de9ae63030ca32611497c827"},
               {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
  AESCipher cipher;
  ASSERT_TRUE(cipher.SetKey(g_aes, key.data(), key.size()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    CMACAuth mac(cipher);
    mac.Start();
    // Fed in uneven pieces: the last block is held back until Final either way.
    for (std::size_t at = 0; at < c.length; at += 7) ASSERT_TRUE(mac.Update(m.data() + at, std::min<std::size_t>(7, c.length - at)));
    std::uint8_t tag[16];
    ASSERT_TRUE(mac.Final(tag, 16));
    EXPECT_EQ(ToHex(tag, 16), c.tag);
  }
  CMACAuth mac(cipher);
  mac.Start();
  std::uint8_t tag[16];
  EXPECT_FALSE(mac.Final(tag, 3));
  EXPECT_EQ(cipher.Error(), "Invalid tag size for CMAC (3)");
  EXPECT_FALSE(mac.Final(tag, 17));
  EXPECT_TRUE(mac.Final(tag, 4));
}

TEST(Eax, PaperExamples) {
  struct Case {
    const char* msg;
    const char* key;
    const char* nonce;
    const char* header;
    const char* cipherAndTag;
  } cases[] = {
      {"", "233952dee4d5ed5f9b9c6d6ff80ff478", "62ec67f9c3a4a407fcb2a8c49031a8b3", "6bfb914fd07eae6b",
       "e037830e8389f27b025a2d6527e79d01"},
      {"f7fb", "91945d3f4dcbee0bf45ef52255f095a4", "becaf043b0a23d843194ba972c66debd", "fa3bfd4806eb53fa",
       "19dd5c4c9331049d0bdab0277408f67967e5"},
      {"1a47cb4933", "01f74ad64077f2e704c0f60ada3dd523", "70c3db4f0d26368400a10ed05d2bff5e", "234a3463c1264ac6",
       "d851d5bae03a59f238a23e39199dc9266626c40f80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cipherAndTag);
    const Bytes key = Hex(c.key), nonce = Hex(c.nonce), header = Hex(c.header);
    Bytes data = Hex(c.msg);
    AESCipher cipher;
    ASSERT_TRUE(cipher.SetKey(g_aes, key.data(), key.size()));
    std::uint8_t tag[16];
    ASSERT_EQ(cipher.Seal(nonce.data(), header.data(), header.size(), data.data(), data.size(), true, tag),
              AESCipher::kSealed);
    EXPECT_EQ(ToHex(data.data(), data.size()) + ToHex(tag, 16), c.cipherAndTag);
    // And back: the tag of the ciphertext matches, the data comes back.
    std::uint8_t check[16];
    ASSERT_EQ(cipher.Seal(nonce.data(), header.data(), header.size(), data.data(), data.size(), false, check),
              AESCipher::kSealed);
    EXPECT_EQ(ToHex(check, 16), ToHex(tag, 16));
    EXPECT_EQ(ToHex(data.data(), data.size()), c.msg);
  }
}

// ---- The channel ----

const Bytes kKey16 = Hex("0102030405060708090a0b0c0d0e0f10");

// Reads through the receive contract from a byte source, as the session does.
bool Receive(AESEAXPlugin& p, Bytes& wire, std::size_t& at, std::uint8_t* out, int n, int* rounds = nullptr) {
  for (int round = 0; round < 1000; round++) {
    int raw = -1;
    std::uint8_t* room = p.Decrypt(nullptr, n, &raw);
    if (!room || raw < 0) return false;
    if (at + static_cast<std::size_t>(raw) > wire.size()) return false;
    std::memcpy(room, wire.data() + at, static_cast<std::size_t>(raw));
    at += static_cast<std::size_t>(raw);
    int got = 0;
    if (!p.Decrypt(out, n, &got)) return false;
    if (rounds) *rounds = round + 1;
    if (got == n) return true;
    if (got >= 0) return false;
  }
  return false;
}

TEST_F(AesEaxChannel, RecordsMatchAnIndependentEax) {
  // Records made by pycryptodome's EAX: nonce = counter (LE, 4 bytes) + 12 zeros,
  // header = the 2-byte length.
  AESEAXPlugin p(g_aes, kKey16.data(), kKey16.data(), 16);
  ASSERT_TRUE(p.Ready());
  int n = 0;
  const std::uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  std::uint8_t* r = p.Encrypt(hello, 5, &n);
  ASSERT_EQ(n, 5 + 18);
  EXPECT_EQ(ToHex(r, n), "0005b2c42346922b6ac6c8168bd06fa6702e1b70c40aed");
  r = p.Encrypt(hello, 5, &n);  // counter 1
  EXPECT_EQ(ToHex(r, n), "000570c0dcb5198a152140e34a7cc514931488cedd4834");

  AESEAXPlugin empty(g_aes, kKey16.data(), kKey16.data(), 16);
  r = empty.Encrypt(hello, 0, &n);
  EXPECT_EQ(ToHex(r, n), "000003cc9d033dfde0ab571999030b6440be");

  Bytes key32(32);
  for (int i = 0; i < 32; i++) key32[i] = static_cast<std::uint8_t>(32 + i);
  AESEAXPlugin big(g_aes, key32.data(), key32.data(), 32);
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  for (int i = 0; i < 5; i++) big.Encrypt(hello, 1, &n);
  r = big.Encrypt(reinterpret_cast<const std::uint8_t*>(fox.data()), static_cast<int>(fox.size()), &n);
  EXPECT_EQ(ToHex(r, n),
            "002bc255e0a6593651eba616515f5bea60dab19b56635a9b46072786f21b900fe05290506f88cb2dd1344aa5c9428b4849487985a0d29"
            "06a9afc635929");
}

TEST_F(AesEaxChannel, LongWritesAndReadsAcrossRecords) {
  AESEAXPlugin sender(g_aes, kKey16.data(), kKey16.data(), 16), receiver(g_aes, kKey16.data(), kKey16.data(), 16);
  Bytes data(70000 + 1000);
  for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  int n = 0;
  std::uint8_t* r = sender.Encrypt(data.data(), 70000, &n);
  ASSERT_EQ(n, 70000 + 2 * 18);  // one record of 65535 and one of 4465
  EXPECT_EQ(r[0], 0xFF);
  EXPECT_EQ(r[1], 0xFF);
  Bytes wire(r, r + n);
  r = sender.Encrypt(data.data() + 70000, 1000, &n);
  ASSERT_EQ(n, 1018);
  wire.insert(wire.end(), r, r + n);

  // Read in pieces that cut through records; plain bytes left over serve the next read.
  Bytes got(data.size());
  std::size_t at = 0, done = 0;
  const int pieces[] = {1, 3, 65530, 10, 4470, 1, 985};
  for (int piece : pieces) {
    ASSERT_TRUE(Receive(receiver, wire, at, got.data() + done, piece)) << receiver.ErrorText();
    done += static_cast<std::size_t>(piece);
  }
  ASSERT_EQ(done, data.size());
  EXPECT_EQ(got, data);
  EXPECT_EQ(at, wire.size());
}

TEST_F(AesEaxChannel, AlteredOrReplayedRecordsAreRefused) {
  const std::uint8_t text[] = {1, 2, 3, 4};
  struct Case {
    const char* name;
    int alter;  // byte index XOR-ed, -1 none
    bool replay;
  } cases[] = {{"last tag byte", 4 + 18 - 1, false},
               {"ciphertext", 3, false},
               {"length", 1, false},
               {"replayed record", -1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AESEAXPlugin sender(g_aes, kKey16.data(), kKey16.data(), 16), receiver(g_aes, kKey16.data(), kKey16.data(), 16);
    int n = 0;
    std::uint8_t* r = sender.Encrypt(text, 4, &n);
    Bytes wire(r, r + n);
    if (c.replay) wire.insert(wire.end(), r, r + n);  // the same record again: counter 1 expected
    if (c.alter >= 0) wire[static_cast<std::size_t>(c.alter)] ^= 1;
    wire.push_back(0);  // a length made one longer still finds its record complete
    std::size_t at = 0;
    std::uint8_t out[8];
    if (c.replay) {
      ASSERT_TRUE(Receive(receiver, wire, at, out, 4));
    }
    EXPECT_FALSE(Receive(receiver, wire, at, out, 4));
    EXPECT_STREQ(receiver.ErrorText(), "Decryption tag does not match");
  }
}

TEST_F(AesEaxChannel, AsksForExactlyTheBytesOfTheNextRecord) {
  AESEAXPlugin sender(g_aes, kKey16.data(), kKey16.data(), 16), receiver(g_aes, kKey16.data(), kKey16.data(), 16);
  const std::uint8_t text[10] = {};
  int n = 0;
  std::uint8_t* r = sender.Encrypt(text, 10, &n);
  Bytes wire(r, r + n);
  std::size_t at = 0;
  int rounds = 0;
  std::uint8_t out[10];
  ASSERT_TRUE(Receive(receiver, wire, at, out, 4, &rounds));
  EXPECT_EQ(rounds, 2);  // the length field, then 10 + 16 bytes
  EXPECT_EQ(at, wire.size());
  int raw = -1;
  receiver.Decrypt(nullptr, 6, &raw);
  EXPECT_EQ(raw, 0);  // six plain bytes are waiting
  receiver.Decrypt(nullptr, 7, &raw);
  EXPECT_EQ(raw, 2);  // not seven: the next record's length field
}

TEST_F(AesEaxChannel, PlainTextLeavesNoCopyBehind) {
  // Records of a text read in pieces, the queue growing and moving its tail on the way;
  // then the channel goes. Its queues and the cipher's state keep nothing of the text.
  const std::string secret = "plain text of a channel record";
  std::string text;
  for (int i = 0; i < 300; i++) text += secret;
  AESEAXPlugin sender(g_aes, kKey16.data(), kKey16.data(), 16);
  int n = 0;
  Bytes wire;
  for (std::size_t at = 0; at < text.size(); at += 1000) {
    const std::string part = text.substr(at, 1000);
    std::uint8_t* r = sender.Encrypt(reinterpret_cast<const std::uint8_t*>(part.data()), static_cast<int>(part.size()), &n);
    wire.insert(wire.end(), r, r + n);
  }
  std::string got(text.size(), '\0');
  EXPECT_EQ(secrettrace::LeftBehind({secret}, [&] {
              AESEAXPlugin receiver(g_aes, kKey16.data(), kKey16.data(), 16);
              std::size_t at = 0, done = 0;
              for (int piece : {5, 2000, 3, 4000, 3000}) {
                piece = std::min<int>(piece, static_cast<int>(text.size() - done));
                if (!Receive(receiver, wire, at, reinterpret_cast<std::uint8_t*>(&got[done]), piece)) break;
                done += static_cast<std::size_t>(piece);
              }
            }),
            "");
  EXPECT_EQ(got, text);
}

// A channel whose message counters stand where a long session would have brought them.
class ChannelAt : public AESEAXPlugin {
public:
  ChannelAt(std::uint64_t sent, std::uint64_t received) : AESEAXPlugin(g_aes, kKey16.data(), kKey16.data(), 16) {
    m_sendCounter = sent;
    m_receiveCounter = received;
  }
};

TEST_F(AesEaxChannel, CountersEndTheChannelBeforeANonceComesAgain) {
  const std::uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  ChannelAt sender(0xFFFFFFFFu, 0), receiver(0, 0xFFFFFFFFu);
  // The last counter value is used, as pycryptodome's EAX makes the record.
  int n = 0;
  std::uint8_t* r = sender.Encrypt(hello, 5, &n);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ToHex(r, n), "0005034ebdd7918393d92f68795804b19f4f20e54c0439");
  Bytes wire(r, r + n);
  std::size_t at = 0;
  std::uint8_t out[5];
  ASSERT_TRUE(Receive(receiver, wire, at, out, 5)) << receiver.ErrorText();

  // The next would be counter 0 again: the channel ends, and stays ended.
  for (int call = 0; call < 2; call++) {
    EXPECT_EQ(sender.Encrypt(hello, 5, &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_STREQ(sender.ErrorText(), "Message counter exhausted");
  }
  // A peer whose counter wrapped sends a record that would open with nonce 0: refused.
  AESEAXPlugin wrapped(g_aes, kKey16.data(), kKey16.data(), 16);
  r = wrapped.Encrypt(hello, 5, &n);
  wire.assign(r, r + n);
  at = 0;
  EXPECT_FALSE(Receive(receiver, wire, at, out, 5));
  EXPECT_STREQ(receiver.ErrorText(), "Message counter exhausted");

  // A write of two records with room for one is refused whole: nothing half-sent.
  ChannelAt nearEnd(0xFFFFFFFFu, 0);
  Bytes big(AESEAXPlugin::kMaxRecord + 1);
  EXPECT_EQ(nearEnd.Encrypt(big.data(), static_cast<int>(big.size()), &n), nullptr);
  EXPECT_STREQ(nearEnd.ErrorText(), "Message counter exhausted");
}

// The test AES of a provider that fails from its k-th block call on.
class FailingAes : public AesBlockFactory {
public:
  explicit FailingAes(int failFrom) : failFrom_(failFrom) {}
  std::unique_ptr<AesBlockFunction> NewBlockFunction(const std::uint8_t* key, std::size_t length,
                                                     std::string* error) override {
    struct Block : AesBlockFunction {
      Block(FailingAes& f, const std::uint8_t* key, std::size_t length) : f(f), aes(key, length) {}
      bool EncryptBlocks(std::uint8_t* data, std::size_t blocks, std::string* error) override {
        if (++f.calls_ >= f.failFrom_) {
          *error = "CryptEncrypt failed (2148073480)";
          return false;
        }
        for (std::size_t b = 0; b < blocks; b++) aes.Encrypt(data + 16 * b);
        return true;
      }
      FailingAes& f;
      testaes::Aes aes;
    };
    return std::unique_ptr<AesBlockFunction>(new Block(*this, key, length));
  }

private:
  int failFrom_;
  int calls_ = 0;
};

TEST_F(AesEaxChannel, FailuresOfTheCipherCarryTheirTexts) {
  // Block calls: 2 to set the keys, then per record of 1 byte the tag of the nonce (2),
  // of the length field (2), the key stream (1) and the tag of the ciphertext (2).
  struct Case {
    int failFrom;
    bool encrypting;
    const char* text;
  } cases[] = {
      {3, true, "Encryption failed"},          // the nonce's tag
      {7, true, "Encryption failed"},          // the key stream
      {8, true, "Tag failed on encryption"},   // the tag over the ciphertext
      {9, true, "Tag failed on encryption"},
      {3, false, "Decryption failed"},
      {7, false, "Decryption failed"},
      {8, false, "Decryption failed"},
  };
  AESEAXPlugin good(g_aes, kKey16.data(), kKey16.data(), 16);
  const std::uint8_t one[] = {42};
  int n = 0;
  std::uint8_t* r = good.Encrypt(one, 1, &n);
  const Bytes record(r, r + n);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failFrom);
    FailingAes aes(c.failFrom);
    AESEAXPlugin p(aes, kKey16.data(), kKey16.data(), 16);
    ASSERT_TRUE(p.Ready());
    if (c.encrypting) {
      EXPECT_EQ(p.Encrypt(one, 1, &n), nullptr);
      EXPECT_EQ(n, 0);
    } else {
      Bytes wire = record;
      std::size_t at = 0;
      std::uint8_t out[1];
      EXPECT_FALSE(Receive(p, wire, at, out, 1));
    }
    EXPECT_STREQ(p.ErrorText(), c.text);
  }
}

// A key stream of two block calls whose second fails: the first call's key stream, on
// the stack of the counter mode, is wiped on the way out too.
TEST_F(AesEaxChannel, AFailingKeyStreamLeavesNoKeyStreamBehind) {
  if (!secrettrace::Available()) GTEST_SKIP() << "the heap cannot be watched here";
  const std::uint8_t counter[16] = {1, 2, 3};
  // Zero bytes enciphered are the key stream itself.
  Bytes stream(16 * 256 + 1, 0);
  AESCipher good;
  ASSERT_TRUE(good.SetKey(g_aes, kKey16.data(), 16));
  good.SetCounter(counter);
  ASSERT_TRUE(good.EaxCrypt(stream.data(), stream.size(), true));
  // Stretches of the first call's key stream past its first block (which the second
  // call's counter block overwrites).
  const std::string second(reinterpret_cast<const char*>(stream.data()) + 16, 12);
  const std::string last(reinterpret_cast<const char*>(stream.data()) + 16 * 255, 12);
  // Block calls: 1 for the key, then the key stream's two.
  FailingAes aes(3);
  AESCipher failing;
  ASSERT_TRUE(failing.SetKey(aes, kKey16.data(), 16));
  Bytes data(stream.size(), 0);
  EXPECT_EQ(secrettrace::LeftBehind({second, last}, [&] {
              failing.SetCounter(counter);
              EXPECT_FALSE(failing.EaxCrypt(data.data(), data.size(), true));
            }),
            "");
  EXPECT_EQ(failing.Error(), "CryptEncrypt failed (2148073480)");
}

// The reading thread ends the channel on a forged record while a sender keeps sending:
// the sender sees the end and its text, never a half-written one.
TEST_F(AesEaxChannel, AFailureOnTheReadingThreadReachesTheSender) {
  AESEAXPlugin sender(g_aes, kKey16.data(), kKey16.data(), 16);
  int n = 0;
  const std::uint8_t data[] = {1, 2, 3};
  std::uint8_t* r = sender.Encrypt(data, 3, &n);
  Bytes forged(r, r + n);
  forged.back() ^= 1;
  for (int round = 0; round < 20; round++) {
    AESEAXPlugin channel(g_aes, kKey16.data(), kKey16.data(), 16);
    std::atomic<bool> go{false};
    std::thread reader([&] {
      while (!go) std::this_thread::yield();
      Bytes wire = forged;
      std::size_t at = 0;
      std::uint8_t out[3];
      EXPECT_FALSE(Receive(channel, wire, at, out, 3));
    });
    go = true;
    std::string seen;
    for (int sends = 0; sends < 1000000 && seen.empty(); sends++) {
      int m = 0;
      if (!channel.Encrypt(data, 3, &m)) seen = channel.ErrorText();
    }
    reader.join();
    EXPECT_EQ(seen, "Decryption tag does not match");
    EXPECT_STREQ(channel.ErrorText(), "Decryption tag does not match");
  }
}

// ---- Mnemonicode ----

TEST(Mnemonic, WordsOfFingerprints) {
  const Bytes f = Hex("0123456789abcdef");
  char out[256];
  ASSERT_EQ(FormatMnemonicFingerprint(f.data(), f.size(), out, sizeof out, "x x x. x x x. x x x\n"), 0);
  EXPECT_STREQ(out, "Road orient seminar. Montana oregano round");
  // The default template, started again for the second group.
  ASSERT_EQ(FormatMnemonicFingerprint(f.data(), f.size(), out, sizeof out, ""), 0);
  EXPECT_STREQ(out, "Road-orient-seminar--Montana-oregano-round");
  struct Case {
    const char* hex;
    const char* words;
  } cases[] = {
      {"ffffff", "Claudia photo yes"},  // a last group of three bytes ends in an extra word
      {"ffffffff", "Natural analyze verbal"},
      {"00", "Academy"},
  };
  for (const auto& c : cases) {
    const Bytes d = Hex(c.hex);
    ASSERT_EQ(FormatMnemonicFingerprint(d.data(), d.size(), out, sizeof out, "x x x"), 0);
    EXPECT_STREQ(out, c.words);
  }
  EXPECT_EQ(FormatMnemonicFingerprint(f.data(), f.size(), out, 10, "x x x"), -2);
  EXPECT_EQ(FormatMnemonicFingerprint(f.data(), f.size(), out, sizeof out, "-- ."), -8);
  EXPECT_STREQ(MnemonicWord(0), "academy");
  EXPECT_STREQ(MnemonicWord(1632), "yes");
  EXPECT_EQ(MnemonicWord(1633), nullptr);
}

}  // namespace
