// The RSA key exchange over a stand-in cryptography (its "RSA" and "hash" are simple
// reversible stand-ins known to the test's server; AES is the test AES of FIPS-197): the
// bounds on the server's key, the fingerprint and its prompt, the randoms, the session keys
// and the channel, the key hashes and the credentials; then the whole security type on a
// session over a socket pair, with the fingerprint remembered in a real options file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

#include "app/IniStore.h"
#include "app/UiText.h"
#include "security/AESEAXPlugin.h"
#include "security/RsaKex.h"
#include "tests/unit/security/TestAes.h"
#include "tests/unit/security/SecretTrace.h"
#include "tests/unit/session/SessionTestSupport.h"

using namespace sessiontest;

namespace {

testaes::Factory g_aes;

// ---- The stand-in cryptography ----

// 20 or 32 bytes from FNV-1a over the parts, one 8-byte lane per counter value.
Bytes StandInHash(bool sha256, const std::vector<Bytes>& parts) {
  Bytes out;
  out.reserve(32);
  for (std::uint64_t lane = 0; out.size() < (sha256 ? 32u : 20u); lane++) {
    std::uint64_t h = 1469598103934665603ull ^ lane;
    for (const Bytes& p : parts)
      for (std::uint8_t b : p) h = (h ^ b) * 1099511628211ull;
    for (int i = 0; i < 8; i++) out.push_back(static_cast<std::uint8_t>(h >> (8 * i)));
  }
  out.resize(sha256 ? 32 : 20);
  return out;
}

// "RSA": the data behind a 2-byte length, XOR-ed with 0x5A, zero-padded to the modulus.
Bytes StandInSeal(const Bytes& data, std::size_t modulusBytes) {
  Bytes out = {std::uint8_t(data.size() >> 8), std::uint8_t(data.size())};
  for (std::uint8_t b : data) out.push_back(static_cast<std::uint8_t>(b ^ 0x5A));
  out.resize(modulusBytes, 0);
  return out;
}
Bytes StandInOpen(const Bytes& cipher) {
  if (cipher.size() < 2) return {};
  std::size_t n = std::min<std::size_t>((cipher[0] << 8) | cipher[1], cipher.size() - 2);
  Bytes out;
  for (std::size_t i = 0; i < n; i++) out.push_back(static_cast<std::uint8_t>(cipher[2 + i] ^ 0x5A));
  return out;
}

struct StandInCrypto : RSAKEX::Crypto {
  std::uint32_t importedExponent = 0;
  std::size_t serverBytes = 0;
  int randomCalls = 0;
  bool shortCipher = false;  // EncryptForServer returns one byte less
  bool Open(std::string*) override { return true; }
  int imports = 0, encryptions = 0;
  bool ImportServerKey(const RSAKEX::RsaKey& key, std::uint32_t exponent, std::string*) override {
    imports++;
    importedExponent = exponent;
    serverBytes = key.Bytes();
    return true;
  }
  bool GenerateClientKey(int bits, RSAKEX::RsaKey* key, std::string*) override {
    *key = ClientKey(bits);
    return true;
  }
  static RSAKEX::RsaKey ClientKey(int bits) {
    RSAKEX::RsaKey k;
    k.bits = static_cast<std::uint32_t>(bits);
    for (int i = 0; i < bits / 8; i++) k.modulus.push_back(static_cast<std::uint8_t>(0xC0 + i));
    k.exponent.assign(static_cast<std::size_t>(bits / 8), 0);
    k.exponent[k.exponent.size() - 3] = 1;
    k.exponent[k.exponent.size() - 1] = 1;
    return k;
  }
  bool EncryptForServer(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>* out,
                        std::string*) override {
    encryptions++;
    Bytes random(data, data + length);
    *out = StandInSeal(random, serverBytes - (shortCipher ? 1 : 0));
    SecureWipe(random.data(), random.size());
    return true;
  }
  bool DecryptWithClientKey(const std::vector<std::uint8_t>& cipher, SecretBytes* out, std::string*) override {
    const Bytes plain = StandInOpen(cipher);
    out->assign(plain.begin(), plain.end());
    return true;
  }
  bool Random(std::uint8_t* out, std::size_t length, std::string*) override {
    randomCalls++;
    for (std::size_t i = 0; i < length; i++) out[i] = static_cast<std::uint8_t>(3 * i + 1);
    return true;
  }
  bool Hash(bool sha256, std::initializer_list<RSAKEX::HashPart> parts, SecretBytes* digest, std::string*) override {
    std::vector<Bytes> copies;
    copies.reserve(parts.size());
    for (const RSAKEX::HashPart& p : parts) copies.emplace_back(p.data, p.data + p.size);
    Bytes d = StandInHash(sha256, copies);
    digest->assign(d.begin(), d.end());
    // The stand-in's own copies of secrets are wiped too, or they would count as the viewer's.
    for (Bytes& c : copies) SecureWipe(c.data(), c.size());
    SecureWipe(d.data(), d.size());
    return true;
  }
  AesBlockFactory& Aes() override { return g_aes; }
};

Bytes ClientRandom(int keyBits) {
  Bytes r(static_cast<std::size_t>(keyBits / 8));
  for (std::size_t i = 0; i < r.size(); i++) r[i] = static_cast<std::uint8_t>(3 * i + 1);
  return r;
}

// ---- The server's side ----

RSAKEX::RsaKey ServerKey(std::uint32_t bits, std::uint32_t exponent = 65537) {
  RSAKEX::RsaKey k;
  k.bits = bits;
  const std::size_t n = (bits + 7) / 8;
  for (std::size_t i = 0; i < n; i++) k.modulus.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  k.modulus[0] |= static_cast<std::uint8_t>(0x80 >> ((8 - bits % 8) % 8));  // a modulus of all its bits
  k.exponent.assign(n, 0);
  for (int i = 0; i < 4; i++) k.exponent[n - 1 - i] = static_cast<std::uint8_t>(exponent >> (8 * i));
  return k;
}

struct ServerScript {
  int keyBits = 128;
  RSAKEX::RsaKey key = ServerKey(2048);
  Bytes serverRandom = Bytes(16, 0x77);
  int randomLengthDelta = 0;  // added to the u16 length of the server's random
  bool badHash = false;
  int subtype = 1;
  Bytes after;  // further bytes inside the channel (SecurityResult, ...)

  std::unique_ptr<AESEAXPlugin> channel;  // the server's side, once keyed
  Bytes viewerSendKey, viewerReceiveKey;   // the session keys, as the server made them

  // Everything the server sends, given that the viewer behaves.
  Bytes Build() {
    const bool sha256 = keyBits == 256;
    RSAKEX::RsaKey client = StandInCrypto::ClientKey(RSAKEX::kClientKeyBits);
    Bytes out = key.Block();
    Bytes sealed = StandInSeal(serverRandom, client.Bytes());
    const std::size_t len = sealed.size() + static_cast<std::size_t>(randomLengthDelta);
    out.push_back(static_cast<std::uint8_t>(len >> 8));
    out.push_back(static_cast<std::uint8_t>(len));
    out.insert(out.end(), sealed.begin(), sealed.end());
    const Bytes cr = ClientRandom(keyBits);
    // The viewer's receive key is H(client random, server random): the server sends with it.
    const std::size_t kb = static_cast<std::size_t>(keyBits / 8);
    Bytes toViewer = StandInHash(sha256, {cr, serverRandom}), fromViewer = StandInHash(sha256, {serverRandom, cr});
    channel.reset(new AESEAXPlugin(g_aes, toViewer.data(), fromViewer.data(), kb));
    viewerSendKey.assign(fromViewer.begin(), fromViewer.begin() + static_cast<long>(kb));
    viewerReceiveKey.assign(toViewer.begin(), toViewer.begin() + static_cast<long>(kb));
    Bytes hash = StandInHash(sha256, {key.Block(), client.Block()});
    if (badHash) hash[3] ^= 1;
    Bytes inner = Cat({hash, {static_cast<std::uint8_t>(subtype)}, after});
    int n = 0;
    std::uint8_t* rec = channel->Encrypt(inner.data(), static_cast<int>(inner.size()), &n);
    out.insert(out.end(), rec, rec + n);
    return out;
  }
};

// The connection of the exchange: reads from the server's bytes and writes to a record,
// through the channel once it is installed (as the session's reads and writes do).
class ScriptedConnection : public RSAKEX::IConnection {
public:
  Bytes in;
  std::size_t at = 0;
  Bytes plainOut, channelOut;
  std::unique_ptr<IPlugin> channel;
  std::string known;            // the remembered fingerprint
  std::vector<std::string> stored, prompted;
  bool confirm = true, dontAsk = false;
  bool giveCredentials = true;
  std::vector<std::string> credentialsAsked;  // "subtype|signature|catchphrase"

  void ReadExact(void* buffer, std::size_t length) override {
    auto raw = [this](std::uint8_t* p, std::size_t n) {
      if (at + n > in.size()) throw std::runtime_error("the server sent no more");
      std::memcpy(p, in.data() + at, n);
      at += n;
    };
    if (!channel) return raw(static_cast<std::uint8_t*>(buffer), length);
    for (;;) {
      int want = -1, got = 0;
      std::uint8_t* room = channel->Decrypt(nullptr, static_cast<int>(length), &want);
      if (!room) throw std::runtime_error("channel");
      raw(room, static_cast<std::size_t>(want));
      if (!channel->Decrypt(static_cast<std::uint8_t*>(buffer), static_cast<int>(length), &got))
        throw std::runtime_error(channel->ErrorText());
      if (got == static_cast<int>(length)) return;
    }
  }
  void WriteExact(const void* buffer, std::size_t length) override {
    const std::uint8_t* p = static_cast<const std::uint8_t*>(buffer);
    if (!channel) {
      plainOut.insert(plainOut.end(), p, p + length);
      return;
    }
    int n = 0;
    std::uint8_t* enc = channel->Encrypt(p, static_cast<int>(length), &n);
    channelOut.insert(channelOut.end(), enc, enc + n);
  }
  bool IsKnownFingerprint(const char* text) override { return known == text; }
  void StoreFingerprint(const char* text) override { stored.push_back(text); }
  bool ConfirmIdentity(const char* fingerprint, bool* ask) override {
    prompted.push_back(fingerprint);
    *ask = dontAsk;
    return confirm;
  }
  void InstallChannel(std::unique_ptr<IPlugin> c) override { channel = std::move(c); }
  bool Credentials(int subtype, const char* signature, const char* catchphrase, SecretText* user,
                   SecretText* password) override {
    credentialsAsked.push_back(std::to_string(subtype) + "|" + signature + "|" + catchphrase);
    std::snprintf(user->data(), user->size(), "user");
    std::snprintf(password->data(), password->size(), "password");
    return giveCredentials;
  }
};

class RsaKexTest : public ::testing::Test {
protected:
  ScriptedConnection conn;
  StandInCrypto crypto;
  ServerScript server;

  void SetUp() override { LoadBuiltinUiTexts(); }  // the exchange's failures are texts of the string table

  // Runs the exchange; "" on success, else its error ("cancelled: ..." when quiet).
  std::string Run(const Bytes& serverBytes) {
    conn.in = serverBytes;
    RSAKEX::KeyExchange kex(conn, crypto, server.keyBits);
    try {
      if (kex.Run()) return "";
    } catch (const std::exception& e) {
      return std::string("read: ") + e.what();
    }
    return (kex.Cancelled() ? "cancelled: " : "") + kex.Error();
  }
  // What the viewer sent inside the channel, deciphered by the server's side.
  Bytes ChannelSent() {
    Bytes plain;
    std::size_t at = 0;
    while (at < conn.channelOut.size()) {
      int want = -1, got = 0;
      std::uint8_t b;
      std::uint8_t* room = server.channel->Decrypt(nullptr, 1, &want);
      if (!room || at + static_cast<std::size_t>(want) > conn.channelOut.size()) break;
      std::memcpy(room, conn.channelOut.data() + at, static_cast<std::size_t>(want));
      at += static_cast<std::size_t>(want);
      if (!server.channel->Decrypt(&b, 1, &got)) break;
      if (got == 1) plain.push_back(b);
    }
    // Plain bytes already opened but not yet taken.
    for (;;) {
      int want = -1, got = 0;
      std::uint8_t b;
      server.channel->Decrypt(nullptr, 1, &want);
      if (want != 0) break;
      server.channel->Decrypt(&b, 1, &got);
      plain.push_back(b);
    }
    return plain;
  }
};

TEST_F(RsaKexTest, WholeExchangeFor128And256BitKeys) {
  for (int bits : {128, 256}) {
    SCOPED_TRACE(bits);
    conn = ScriptedConnection();
    server = ServerScript();
    server.keyBits = bits;
    server.serverRandom = Bytes(static_cast<std::size_t>(bits / 8), 0x77);
    ASSERT_EQ(Run(server.Build()), "");
    EXPECT_EQ(crypto.importedExponent, 65537u);
    // Plain: the client key (2048 bits) and the sealed client random behind its length.
    RSAKEX::RsaKey client = StandInCrypto::ClientKey(2048);
    Bytes sealed = StandInSeal(ClientRandom(bits), 256);
    EXPECT_EQ(conn.plainOut, Cat({client.Block(), {1, 0}, sealed}));
    // Inside the channel: the key hash and the credentials.
    Bytes hash = StandInHash(bits == 256, {client.Block(), server.key.Block()});
    EXPECT_EQ(ChannelSent(), Cat({hash, {4}, B("user"), {8}, B("password")}));
    ASSERT_EQ(conn.prompted.size(), 1u);
    const std::string text = conn.prompted[0];
    EXPECT_EQ(text.size(), 23u);
    ASSERT_EQ(conn.credentialsAsked.size(), 1u);
    EXPECT_EQ(conn.credentialsAsked[0].substr(0, 2 + text.size()), "1|" + text);
    EXPECT_NE(conn.credentialsAsked[0].find(". "), std::string::npos);  // the words, in sentences
    EXPECT_NE(conn.channel, nullptr);
  }
}

TEST_F(RsaKexTest, ServerKeyBounds) {
  struct Case {
    std::uint32_t bits;
    const char* outcome;
  } cases[] = {{1023, "Server RSA key is too small (1023)"},
               {1024, "cancelled: Authentication cancelled"},
               {8192, "cancelled: Authentication cancelled"},
               {8193, "Server RSA key is too big (8193)"},
               {0xFFFFFFFF, "Server RSA key is too big (-1)"}};
  conn.confirm = false;  // the size check passed once the prompt comes
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    conn.at = 0;
    server.key = ServerKey(c.bits < 20000 ? c.bits : 1024);
    Bytes b = server.key.Block();
    b[0] = std::uint8_t(c.bits >> 24), b[1] = std::uint8_t(c.bits >> 16), b[2] = std::uint8_t(c.bits >> 8),
    b[3] = std::uint8_t(c.bits);
    EXPECT_EQ(Run(b), c.outcome);
    // A refused size reads nothing beyond the length.
    if (std::string(c.outcome).find("too") != std::string::npos) {
      EXPECT_EQ(conn.at, 4u);
    }
  }
}

TEST_F(RsaKexTest, ExponentFieldHoldsAtMostFourBytes) {
  conn.confirm = false;
  server.key = ServerKey(2048, 65537);
  EXPECT_EQ(Run(server.key.Block()), "cancelled: Authentication cancelled");
  EXPECT_EQ(crypto.importedExponent, 65537u);
  server.key.exponent[251] = 1;  // index 251 of a 256-byte field: a fifth byte
  conn.at = 0;
  EXPECT_EQ(Run(server.key.Block()), "Server RSA exponent is too big (251)");
}

TEST_F(RsaKexTest, DegenerateKeysAreRefusedBeforeAnythingIsEncipheredWithThem) {
  // The length field says 2048 bits (or 1024), the key itself is another matter.
  auto modulus = [](std::size_t bytes, std::size_t zeros, std::uint8_t first) {
    Bytes m(bytes, 0x5B);
    std::fill(m.begin(), m.begin() + static_cast<long>(zeros), 0);
    if (zeros < bytes) m[zeros] = first;
    return m;
  };
  struct Case {
    const char* what;
    std::uint32_t bits;
    Bytes modulus;
    std::uint32_t exponent;
    const char* outcome;
  } cases[] = {
      {"modulus 0", 2048, modulus(256, 256, 0), 65537, "Server RSA key is too small (0)"},
      {"modulus 1", 2048, modulus(256, 255, 1), 65537, "Server RSA key is too small (1)"},
      {"512 bits in a 2048-bit field", 2048, modulus(256, 192, 0xC1), 65537, "Server RSA key is too small (512)"},
      {"1023 bits in a 1024-bit field", 1024, modulus(128, 0, 0x7F), 65537, "Server RSA key is too small (1023)"},
      {"exponent 1", 2048, modulus(256, 0, 0xC1), 1, "Invalid server RSA key (2148073493)"},
      {"exponent 0", 2048, modulus(256, 0, 0xC1), 0, "Invalid server RSA key (2148073493)"},
      {"1024 bits of a 1024-bit field", 1024, modulus(128, 0, 0x80), 3, "cancelled: Authentication cancelled"},
  };
  conn.confirm = false;  // a key that passes is asked about, and refused there
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    conn = ScriptedConnection();
    conn.confirm = false;
    crypto = StandInCrypto();
    server.key = ServerKey(c.bits, c.exponent);
    server.key.modulus = c.modulus;
    EXPECT_EQ(Run(server.key.Block()), c.outcome);
    EXPECT_EQ(conn.at, server.key.Block().size());  // the whole key was read
    // A refused key never reaches the platform's import.
    EXPECT_EQ(crypto.imports, std::string(c.outcome).find("cancelled") == 0 ? 1 : 0);
    EXPECT_EQ(crypto.encryptions, 0);
    EXPECT_EQ(crypto.randomCalls, 0);
    EXPECT_TRUE(conn.plainOut.empty());  // nothing of the client's went out
  }
}

TEST_F(RsaKexTest, FingerprintKnownPromptedStoredOrRefused) {
  // Refused: nothing of the client's is sent.
  conn.confirm = false;
  EXPECT_EQ(Run(server.Build()), "cancelled: Authentication cancelled");
  EXPECT_TRUE(conn.plainOut.empty());
  const std::string fingerprint = conn.prompted.at(0);

  // Known: no prompt.
  conn = ScriptedConnection();
  conn.known = fingerprint;
  ASSERT_EQ(Run(server.Build()), "");
  EXPECT_TRUE(conn.prompted.empty());
  EXPECT_TRUE(conn.stored.empty());

  // Accepted with "Don't ask anymore": stored once, in its text form.
  conn = ScriptedConnection();
  conn.dontAsk = true;
  ASSERT_EQ(Run(server.Build()), "");
  EXPECT_EQ(conn.stored, std::vector<std::string>{fingerprint});
  // A different key is another fingerprint.
  conn = ScriptedConnection();
  conn.known = fingerprint;
  server.key.modulus[10] ^= 1;
  ASSERT_EQ(Run(server.Build()), "");
  ASSERT_EQ(conn.prompted.size(), 1u);
  EXPECT_NE(conn.prompted[0], fingerprint);
}

TEST_F(RsaKexTest, LengthsThatDoNotMatch) {
  crypto.shortCipher = true;
  EXPECT_EQ(Run(server.Build()), "Server key size doesn't match (255 vs 256)");

  crypto.shortCipher = false;
  conn = ScriptedConnection();
  server.randomLengthDelta = -1;
  EXPECT_EQ(Run(server.Build()), "Client key size doesn't match (255 vs 256)");

  conn = ScriptedConnection();
  server.randomLengthDelta = 0;
  server.serverRandom = Bytes(15, 1);
  EXPECT_EQ(Run(server.Build()), "Server random size doesn't match (15 vs 16)");
}

TEST_F(RsaKexTest, KeyHashesAndSubtypes) {
  server.badHash = true;
  EXPECT_EQ(Run(server.Build()), "Hash does not match");
  EXPECT_TRUE(conn.credentialsAsked.empty());

  struct Case {
    int subtype;
    const char* outcome;
    Bytes credentials;
  } cases[] = {
      {0, "", {}},
      {2, "", Cat({{0}, {8}, B("password")})},  // no user name, a zero length in its place
      {3, "Invalid subtype (3)", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subtype);
    conn = ScriptedConnection();
    server = ServerScript();
    server.subtype = c.subtype;
    EXPECT_EQ(Run(server.Build()), c.outcome);
    Bytes sent = ChannelSent();
    ASSERT_GE(sent.size(), 20u);
    EXPECT_EQ(Bytes(sent.begin() + 20, sent.end()), c.credentials);
  }
  conn = ScriptedConnection();
  server = ServerScript();
  conn.giveCredentials = false;
  EXPECT_EQ(Run(server.Build()), "cancelled: Authentication cancelled");
}

// ---- The security type on a session ----

class RsaAesSession : public TestSession {
public:
  using TestSession::TestSession;
  std::vector<std::string> prompts;
  bool confirm = true, dontAsk = false;
  std::vector<std::string> dialogs;  // "type|status1|status2"
  const char* entryUser = "dialog user";
  const char* entryPassword = "dialog pw";
  int bells = 0;
  Framebuffer fb;
  std::vector<std::uint8_t> bits;

  void MakeFramebuffer() { fb = MakeMemoryFramebuffer(m_myFormat, m_si.framebufferWidth, m_si.framebufferHeight, &bits); }
  std::uint32_t Pixel(int x, int y) const { return PixelAt(fb, x, y); }

protected:
  void AuthRsaAes(int keyBits, bool channel) override { RfbSession::AuthRsaAes(keyBits, channel); }
  std::unique_ptr<RSAKEX::Crypto> NewKexCrypto() override { return std::unique_ptr<RSAKEX::Crypto>(new StandInCrypto); }
  void Bell() override { bells++; }
  Framebuffer CurrentFramebuffer() override { return fb; }
  bool ConfirmIdentity(const char* fingerprint, bool* ask) override {
    prompts.push_back(fingerprint);
    *ask = dontAsk;
    return confirm;
  }
  bool AskCredentials(AuthDialogType type, const char* s1, const char* s2, AuthEntry* entry) override {
    dialogs.push_back(std::to_string(type) + "|" + s1 + "|" + s2);
    std::snprintf(entry->user, sizeof entry->user, "%s", entryUser);
    std::snprintf(entry->password, sizeof entry->password, "%s", entryPassword);
    return true;
  }
};

class RsaAesSessionTest : public SessionFixture {
protected:
  RsaAesSession* rs = nullptr;
  std::filesystem::path optionsFile;

  void SetUp() override {
    SessionFixture::SetUp();
    rs = new RsaAesSession(opts);
    session.reset(rs);
    session->connectTo = s[0];
    std::snprintf(session->m_host, sizeof session->m_host, "server.example");
    session->m_port = 5901;
    optionsFile = std::filesystem::temp_directory_path() /
                  ("keb-rsaaes-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".keb");
    std::filesystem::remove(optionsFile);
    std::snprintf(opts.m_optionfile, sizeof opts.m_optionfile, "%s", optionsFile.string().c_str());
  }
  void TearDown() override {
    SessionFixture::TearDown();
    std::filesystem::remove(optionsFile);
  }
  std::string Remembered() {
    char v[64] = "";
    OpenIniFile(optionsFile.string().c_str())->GetString("fingerprint", "server.example:5901", "", v, sizeof v);
    return v;
  }
};

TEST_F(RsaAesSessionTest, KeepsTheChannelForType5AndDropsItForType6) {
  struct Case {
    std::uint8_t type;
    bool keep;
  } cases[] = {{5, true}, {6, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    SetUp();
    rs->dontAsk = true;
    ServerScript server;
    // Type 5: the SecurityResult and ServerInit come inside the channel; type 6: plain.
    const Bytes rest = Cat({U32(0), ServerInit(16, 8, Rgb888(), "aes")});
    if (c.keep) server.after = rest;
    Bytes bytes = Cat({B("RFB 003.008\n"), {1, c.type}, server.Build()});
    if (!c.keep) bytes = Cat({bytes, rest});
    ServerSend(bytes);
    ASSERT_EQ(Connect(), "");
    EXPECT_EQ(session->m_fUsePlugin, c.keep);
    EXPECT_EQ(session->m_channel != nullptr, c.keep);
    ASSERT_EQ(rs->prompts.size(), 1u);
    EXPECT_EQ(Remembered(), rs->prompts[0]);  // "Don't ask anymore": host:port in [fingerprint]
    ASSERT_EQ(rs->dialogs.size(), 1u);
    EXPECT_EQ(rs->dialogs[0].substr(0, 2 + 23), "4|" + rs->prompts[0]);  // signature: the text form
    EXPECT_STREQ(session->m_credentials.clearPassword, "dialog pw");
    EXPECT_STREQ(session->m_credentials.channelUser, "dialog user");
    TearDown();
  }
}

TEST_F(RsaAesSessionTest, RememberedFingerprintAndKnownPasswordAskNothing) {
  ServerScript server;
  server.keyBits = 256;
  server.serverRandom = Bytes(32, 0x77);
  server.subtype = 2;
  server.after = Cat({U32(0), ServerInit(16, 8, Rgb888(), "aes")});
  // The fingerprint of the server's key as the first connection remembered it.
  std::snprintf(opts.m_password, sizeof opts.m_password, "known");
  rs->dontAsk = true;
  ServerSend(Cat({B("RFB 003.008\n"), {1, 129}, server.Build()}));
  ASSERT_EQ(Connect(), "");
  ASSERT_EQ(rs->prompts.size(), 1u);
  EXPECT_TRUE(rs->dialogs.empty());

  // The same connection again: remembered, so no prompt.
  session->CloseSocket();
  NewPair();
  session->connectTo = s[0];
  ServerSend(Cat({B("RFB 003.008\n"), {1, 129}, server.Build()}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(rs->prompts.size(), 1u);
}

TEST_F(RsaAesSessionTest, PasswordRandomAndSessionKeysLeaveNoCopyBehind) {
  const std::string password = "R5a-Pass-w0rd!";
  for (bool serverStops : {false, true}) {
    SCOPED_TRACE(serverStops ? "the server hangs up after the credentials" : "accepted");
    SetUp();
    rs->entryPassword = password.c_str();
    ServerScript server;
    if (!serverStops) server.after = Cat({U32(0), ServerInit(16, 8, Rgb888(), "aes")});
    ServerSend(Cat({B("RFB 003.008\n"), {1, 5}, server.Build()}));
    if (serverStops) ServerClose();
    const Bytes random = ClientRandom(128);
    const std::vector<std::string> secrets = {
        password, std::string(random.begin(), random.end()),
        std::string(server.viewerSendKey.begin(), server.viewerSendKey.end()),
        std::string(server.viewerReceiveKey.begin(), server.viewerReceiveKey.end())};
    std::string outcome;
    // The channel goes with the session (types 5 and 129 keep it to the end).
    EXPECT_EQ(secrettrace::LeftBehind(secrets, [&] {
                outcome = Connect();
                session->m_channel.reset();
              }),
              "");
    EXPECT_EQ(outcome.empty(), !serverStops) << outcome;
    TearDown();
  }
}

TEST_F(RsaAesSessionTest, FailuresEndTheHandshakeWithTheirText) {
  ServerScript server;
  server.badHash = true;
  rs->confirm = true;
  ServerSend(Cat({B("RFB 003.008\n"), {1, 5}, server.Build()}));
  EXPECT_EQ(Connect(), "warning: Hash does not match");

  SetUp();
  rs->confirm = false;
  ServerScript refused;
  ServerSend(Cat({B("RFB 003.008\n"), {1, 5}, refused.Build()}));
  EXPECT_EQ(Connect(), "quiet: Authentication cancelled");
}

TEST_F(RsaAesSessionTest, ZrleBlockThroughTheChannelAndTheRecordsThatCameWithIt) {
  ServerScript server;
  server.after = Cat({U32(0), ServerInit(16, 8, Rgb888(), "aes")});
  ServerSend(Cat({B("RFB 003.008\n"), {1, 5}, server.Build()}));
  ASSERT_EQ(Connect(), "");
  rs->MakeFramebuffer();

  // One 2 x 2 ZRLE tile, solid (sub-encoding 1) in 0xABCDEF, in the connection's zlib stream.
  const Bytes tile = {1, 0xEF, 0xCD, 0xAB};
  z_stream z = {};
  ASSERT_EQ(deflateInit(&z, 6), Z_OK);
  Bytes packed(64);
  z.next_in = const_cast<Bytef*>(tile.data());
  z.avail_in = static_cast<uInt>(tile.size());
  z.next_out = packed.data();
  z.avail_out = static_cast<uInt>(packed.size());
  ASSERT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
  packed.resize(packed.size() - z.avail_out);
  deflateEnd(&z);
  const Bytes update = Cat({{0, 0, 0, 1}, {0, 4, 0, 4, 0, 2, 0, 2}, U32(16), U32(static_cast<std::uint32_t>(packed.size())),
                            packed});
  auto seal = [&](const Bytes& plain) {
    int n = 0;
    std::uint8_t* r = server.channel->Encrypt(plain.data(), static_cast<int>(plain.size()), &n);
    return Bytes(r, r + n);
  };
  // One write: the record of the Bell that follows is buffered while the ZRLE block is
  // served to the decoder, and must still be deciphered, not taken as plain bytes.
  ServerSend(Cat({seal(update), seal({2})}));
  ServerClose();  // nothing more comes: a misread ends in an error, not a wait
  session->ReadServerMessage();
  EXPECT_EQ(rs->Pixel(4, 4), 0xABCDEFu);
  EXPECT_EQ(rs->Pixel(5, 5), 0xABCDEFu);
  session->ReadServerMessage();
  EXPECT_EQ(rs->bells, 1);
}

}  // namespace
