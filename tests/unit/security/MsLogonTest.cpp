// The logon schemes with a user name: the key agreement (its bounds and the server values
// that would give a guessable key), and both schemes over socket pairs: where user name
// and password come from, the bytes on the wire, and what a reconnect uses.
// DES responses and long stored forms were computed with an independent DES (Python's
// pycryptodome, key bytes bit-reversed); the chained blocks of type 113 are unchained
// here, block by block, with the DES that the DES tests check against published answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/UiText.h"
#include "security/DH.h"
#include "security/Des.h"
#include "security/StoredPassword.h"
#include "tests/unit/session/SessionTestSupport.h"
#include "tests/unit/security/HexBytes.h"
#include "tests/unit/security/SecretTrace.h"

using namespace sessiontest;

namespace {

constexpr std::uint64_t kTwo31 = 0x80000000ull;
constexpr std::uint64_t kPrime = 2147483647;  // 2^31 - 1

using testhex::Hex;

Bytes U64(std::uint64_t v) {
  Bytes b(8);
  for (int i = 7; i >= 0; i--, v >>= 8) b[i] = static_cast<std::uint8_t>(v);
  return b;
}

std::uint64_t ReadU64(const Bytes& b, std::size_t at) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; i++) v = (v << 8) | b.at(at + i);
  return v;
}

// Right-to-left binary powering, for the server's side of the agreement.
std::uint64_t ServerPow(std::uint64_t base, std::uint64_t exp, std::uint64_t mod) {
  std::uint64_t result = 1;
  base %= mod;
  for (; exp; exp >>= 1) {
    if (exp & 1) result = result * base % mod;
    base = base * base % mod;
  }
  return result;
}

// Undoes DES chained from the key as initial vector.
Bytes Unchain(const Bytes& data, const Bytes& key) {
  DesKeySchedule schedule;
  DesMakeSchedule(key.data(), kDesDecipher, &schedule);
  Bytes out(data.size());
  Bytes previous = key;
  for (std::size_t at = 0; at + 8 <= data.size(); at += 8) {
    std::uint32_t w[2] = {static_cast<std::uint32_t>(ReadU64(data, at) >> 32),
                          static_cast<std::uint32_t>(ReadU64(data, at))};
    DesRounds(w, schedule);
    Bytes plain = U64((std::uint64_t(w[0]) << 32) | w[1]);
    for (int i = 0; i < 8; i++) out[at + i] = plain[i] ^ previous[i];
    previous.assign(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at) + 8);
  }
  return out;
}

// A field of n bytes: text, then zeros.
Bytes Field(const std::string& text, std::size_t n) {
  Bytes b(text.begin(), text.end());
  b.resize(n, 0);
  return b;
}

// The text of a NUL-padded field.
std::string Text(const Bytes& field) {
  std::string s(field.begin(), field.end());
  return s.substr(0, s.find('\0'));
}

std::string Outcome(const std::function<void()>& f) {
  try {
    f();
    return "";
  } catch (const Except& e) {
    return e.Message();
  }
}

// ---- The key agreement ----

class KeyAgreement : public ::testing::Test {
protected:
  void SetUp() override { LoadBuiltinUiTexts(); }  // the agreement's failures are texts of the string table
};

TEST_F(KeyAgreement, GeneratorAndModulusAreBounded) {
  struct Case {
    std::uint64_t generator, modulus;
    const char* outcome;
  } cases[] = {
      {2, kTwo31, ""},
      {5, 23, ""},
      {2, kTwo31 + 1, "Input exceeds maxNum"},
      {kTwo31 + 1, kTwo31 + 2, "Input exceeds maxNum"},
      {5, ~0ull, "Input exceeds maxNum"},
      {7, 5, "Generator is larger than modulus"},
      {0, 0, "Modulus is too small"},
      {1, 1, "Modulus is too small"},
      {2, 2, "Modulus is too small"},
      {0, 23, "Generator is out of range"},
      {1, 23, "Generator is out of range"},
      {22, 23, "Generator is out of range"},  // order 2: only the keys 1 and 22
      {23, 23, "Generator is out of range"},  // the public value would be 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.generator) + ", " + std::to_string(c.modulus));
    EXPECT_EQ(Outcome([&] { DH dh(c.generator, c.modulus); }), c.outcome);
  }
}

TEST_F(KeyAgreement, BothSidesAgreeAndEachRunDrawsAFreshValue) {
  std::set<std::uint64_t> publics;
  for (int i = 0; i < 8; i++) {
    DH a(7, kPrime), b(7, kPrime);
    std::uint64_t pa = a.CreateInterKey(), pb = b.CreateInterKey();
    EXPECT_GE(pa, 2u);
    EXPECT_LT(pa, kPrime);
    std::uint64_t key = a.ComputeSharedKey(pb);
    EXPECT_EQ(key, b.ComputeSharedKey(pa));
    EXPECT_GE(key, 2u);
    publics.insert(pa);
    publics.insert(pb);
  }
  // Sixteen agreements within a second: a private value drawn from a time-seeded generator
  // would repeat.
  EXPECT_GT(publics.size(), 12u);
}

TEST_F(KeyAgreement, ServerValuesThatGiveAGuessableKeyAreRefused) {
  struct Case {
    std::uint64_t generator, modulus, server;
    const char* outcome;
  } cases[] = {
      {5, 23, 8, ""},
      {5, 23, kTwo31, "interKey larger than maxNum"},
      {5, 23, ~0ull, "interKey larger than maxNum"},
      {5, 23, 0, "interKey out of range"},
      {5, 23, 1, "interKey out of range"},
      {5, 23, 22, "interKey out of range"},
      {5, 23, 23, "interKey out of range"},
      {5, 23, 30, "interKey out of range"},
      // 2^30 is no prime: (2^15)^x mod 2^30 is 0 for every x >= 2.
      {3, 1u << 30, 1u << 15, "The key agreement would give a weak key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.server));
    DH dh(c.generator, c.modulus);
    dh.CreateInterKey();
    EXPECT_EQ(Outcome([&] { dh.ComputeSharedKey(c.server); }), c.outcome);
  }
  // Generator 2 with modulus 2^31 passes the bounds, but 2^x mod 2^31 is 0 from x = 31 on.
  DH even(2, kTwo31);
  EXPECT_EQ(Outcome([&] { even.CreateInterKey(); }), "The key agreement would give a weak key");
}

TEST_F(KeyAgreement, PowersAndByteOrder) {
  // Computed with Python's pow().
  EXPECT_EQ(PowMod(5, 6, 23), 8u);
  EXPECT_EQ(PowMod(123456789, 987654321, kPrime), 1077769156u);
  EXPECT_EQ(PowMod(kPrime - 1, (1ull << 63) + 5, kPrime), kPrime - 1);
  EXPECT_EQ(PowMod(3, ~0ull, kTwo31), 715827883u);
  EXPECT_EQ(PowMod(65537, 4294967295u, 4294967291u), 5243056u);

  std::uint8_t b[8];
  Int64ToBytes(0x0102030405060708ull, b);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(BytesToInt64(b), 0x0102030405060708ull);
  const std::uint8_t high[8] = {0xff, 0, 0, 0, 0, 0, 0, 0x01};
  EXPECT_EQ(BytesToInt64(high), 0xff00000000000001ull);
}

// ---- The schemes over socket pairs ----

struct Entry {
  bool login;
  std::string user, password, domain;
};

class LogonSession : public TestSession {
public:
  using TestSession::TestSession;
  std::vector<AuthDialogType> asked;
  std::deque<Entry> entries;
  void AuthMsLogonI() override { RfbSession::AuthMsLogonI(); }

protected:
  void AuthPasswordChallenge() override { RfbSession::AuthPasswordChallenge(); }
  void AuthMsLogonII() override { RfbSession::AuthMsLogonII(); }
  bool AskCredentials(AuthDialogType type, const char*, const char*, AuthEntry* entry) override {
    asked.push_back(type);
    if (entries.empty()) {
      ADD_FAILURE() << "the dialog was not expected";
      return false;
    }
    Entry e = entries.front();
    entries.pop_front();
    if (!e.login) return false;
    std::snprintf(entry->user, sizeof entry->user, "%s", e.user.c_str());
    std::snprintf(entry->password, sizeof entry->password, "%s", e.password.c_str());
    std::snprintf(entry->domain, sizeof entry->domain, "%s", e.domain.c_str());
    return true;
  }
};

// A logon session whose dialog answers with fixed texts (no scripted copies of them that
// the test itself would let go of).
class FixedLogonSession : public LogonSession {
public:
  using LogonSession::LogonSession;
  const char* user = "";
  const char* password = "";

protected:
  bool AskCredentials(AuthDialogType, const char*, const char*, AuthEntry* entry) override {
    std::snprintf(entry->user, sizeof entry->user, "%s", user);
    std::snprintf(entry->password, sizeof entry->password, "%s", password);
    return true;
  }
};

class Logon : public SessionFixture {
protected:
  LogonSession* ls = nullptr;

  void SetUp() override {
    SessionFixture::SetUp();
    ls = new LogonSession(opts);
    session.reset(ls);
    session->connectTo = s[0];
  }
  void Reconnect() {
    session->CloseSocket();
    NewPair();
    session->connectTo = s[0];
  }
  void SetCommandLine(const std::string& user, const std::string& password) {
    std::snprintf(opts.m_user, sizeof opts.m_user, "%s", user.c_str());
    std::snprintf(opts.m_password, sizeof opts.m_password, "%s", password.c_str());
  }
  // A session whose dialog answers with these texts, and the server's bytes sent; with
  // serverStops the server hangs up where its SecurityResult would come.
  void StartFixed(const char* user, const char* password, Bytes server, bool serverStops) {
    auto* fixed = new FixedLogonSession(opts);
    session.reset(fixed);
    session->connectTo = s[0];
    fixed->user = user;
    fixed->password = password;
    if (serverStops) server.resize(server.size() - 4 - ServerInit(16, 8, Rgb888(), "l").size());
    ServerSend(server);
    if (serverStops) ServerClose();
  }
  void HoldLongStored(const char* password, const char* user) {
    EncryptStoredPassword32(session->m_credentials.longStoredPassword, password);
    std::snprintf(session->m_credentials.rememberedUser, sizeof session->m_credentials.rememberedUser, "%s", user);
  }
};

// Type 113: the server's private value is 6, so its public value is g^6 mod m.
class LogonII : public Logon {
protected:
  static constexpr std::uint64_t kServerPrivate = 6;

  static Bytes Server(std::uint64_t g = 7, std::uint64_t m = kPrime) {
    return ServerWith(g, m, ServerPow(g, kServerPrivate, m));
  }
  static Bytes ServerWith(std::uint64_t g, std::uint64_t m, std::uint64_t server) {
    return Cat({B("RFB 003.008\n"), {1, 113}, U64(g), U64(m), U64(server), U32(0), ServerInit(16, 8, Rgb888(), "l")});
  }
  struct Sent {
    std::uint64_t clientPublic = 0;
    Bytes user, password;  // unchained
    bool complete = false;
  };
  // The viewer's answer: version, choice, its public value, the two chained fields.
  Sent Received(std::uint64_t m = kPrime) {
    Sent r;
    Bytes b = ViewerSent();
    if (b.size() < 13 + 8) return r;
    r.clientPublic = ReadU64(b, 13);
    if (b.size() < 13 + 8 + 256 + 64) return r;
    Bytes key = U64(ServerPow(r.clientPublic, kServerPrivate, m));
    r.user = Unchain(Bytes(b.begin() + 21, b.begin() + 21 + 256), key);
    r.password = Unchain(Bytes(b.begin() + 21 + 256, b.begin() + 21 + 256 + 64), key);
    r.complete = b.size() > 13 + 8 + 256 + 64 && b[13 + 8 + 256 + 64] == 1;  // then ClientInit
    return r;
  }
};

TEST_F(LogonII, WhereUserAndPasswordComeFrom) {
  const std::string longName(255, 'n');
  const std::string longPassword(70, 'p');
  struct Case {
    const char* name;
    std::string cmdUser, cmdPassword;
    const char* storedPassword;  // long stored form held by the connection
    const char* rememberedUser;
    std::vector<Entry> dialog;
    std::string user, password;  // what the server reads
  } cases[] = {
      {"command line", "kim", "pass word", nullptr, "", {}, "kim", "pass word"},
      {"command line before the long stored form", "kim", "pass word", "other", "lee", {}, "kim", "pass word"},
      {"command line, long values cut", longName, longPassword, nullptr, "", {}, longName.substr(0, 254),
       longPassword.substr(0, 63)},
      {"long stored form", "", "", "thirty-three characters, too long", "lee", {}, "lee",
       "thirty-three characters, too lon"},
      {"a user name alone is no command-line logon", "kim", "", "stored", "lee", {}, "lee", "stored"},
      {"dialog", "", "", nullptr, "", {{true, "kim", "pw", ""}}, "kim", "pw"},
      {"dialog, password alone on the command line", "", "cmd", nullptr, "", {{true, "kim", "", ""}}, "kim", ""},
      {"dialog, long user name", "", "", nullptr, "", {{true, std::string(255, 'u'), "pw", ""}},
       std::string(254, 'u'), "pw"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    SetCommandLine(c.cmdUser, c.cmdPassword);
    if (c.storedPassword) HoldLongStored(c.storedPassword, c.rememberedUser);
    ls->entries.assign(c.dialog.begin(), c.dialog.end());
    ServerSend(Server());
    ASSERT_EQ(Connect(), "");
    Sent r = Received();
    EXPECT_TRUE(r.complete);
    EXPECT_GE(r.clientPublic, 2u);
    EXPECT_LT(r.clientPublic, kPrime);
    EXPECT_EQ(r.user, Field(c.user, 256));
    EXPECT_EQ(r.password, Field(c.password, 64));
    EXPECT_EQ(ls->asked.size(), c.dialog.size());
    for (AuthDialogType t : ls->asked) EXPECT_EQ(t, kAuthLogon);
    // What was used is remembered: the long stored form (32 characters) and the user name.
    EXPECT_EQ(std::string(DecryptStoredPassword32(session->m_credentials.longStoredPassword).c_str()),
              c.password.substr(0, 32));
    EXPECT_EQ(std::string(session->m_credentials.rememberedUser), c.user);
    TearDown();
  }
}

TEST_F(LogonII, DialogEntriesServeTheReconnect) {
  ls->entries = {{true, "kim", "pw", ""}};
  ServerSend(Server());
  ASSERT_EQ(Connect(), "");
  Sent first = Received();
  Reconnect();
  ServerSend(Server(5, 1000003));
  ASSERT_EQ(Connect(), "");
  Sent second = Received(1000003);
  EXPECT_EQ(ls->asked.size(), 1u);
  EXPECT_EQ(Text(second.user), "kim");
  EXPECT_EQ(Text(second.password), "pw");
  EXPECT_EQ(first.user, second.user);
}

TEST_F(LogonII, ThePasswordLeavesNoCopyBehind) {
  for (bool serverStops : {false, true}) {
    SCOPED_TRACE(serverStops ? "the server hangs up after the credentials" : "accepted");
    SetUp();
    const char* const password = "Lg2-s3cr3t-pass";
    StartFixed("kim", password, Server(), serverStops);
    std::string outcome;
    EXPECT_EQ(secrettrace::LeftBehind({password}, [&] { outcome = Connect(); }), "");
    EXPECT_EQ(outcome.empty(), !serverStops) << outcome;
    TearDown();
  }
}

TEST_F(LogonII, CancelledDialogEndsQuietlyAfterThePublicValue) {
  ls->entries = {{false, "", "", ""}};
  ServerSend(Server());
  EXPECT_EQ(Connect(), "quiet: Authentication canceled");
  Bytes sent = ViewerSent();
  EXPECT_EQ(sent.size(), 12u + 1 + 8);  // the public value went out before the question
  EXPECT_EQ(session->m_credentials.longStoredPassword[0], 0);
}

TEST_F(LogonII, KeyAgreementIsLoggedAtLevel100WithoutTheKey) {
  // 64-bit numbers printed whole, in every C runtime the viewer is built for.
  const std::string file = ::testing::TempDir() + "keb_mslogon_log.txt";
  std::remove(file.c_str());
  const int mode = kebLog.GetMode(), level = kebLog.GetLevel();
  kebLog.SetFile(file.c_str(), false);
  kebLog.SetMode(Log::ToFile);
  kebLog.SetLevel(100);
  SetCommandLine("kim", "pw");
  ServerSend(Server());
  std::string outcome = Connect();
  kebLog.SetMode(mode);
  kebLog.SetLevel(level);
  ASSERT_EQ(outcome, "");
  Sent r = Received();
  char line[200], key[40];
  std::snprintf(line, sizeof line, "After DH: g=7, m=2147483647, i=%llu\n",
                static_cast<unsigned long long>(r.clientPublic));
  // The shared key hides the credentials: it is never logged.
  std::snprintf(key, sizeof key, "%llu", static_cast<unsigned long long>(ServerPow(r.clientPublic, kServerPrivate, kPrime)));
  std::string text;
  if (FILE* f = std::fopen(file.c_str(), "rb")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  std::remove(file.c_str());
  EXPECT_NE(text.find(line), std::string::npos) << text;
  if (std::strlen(key) >= 6) EXPECT_EQ(text.find(key), std::string::npos) << text;  // short numbers turn up anywhere
  EXPECT_EQ(text.find("key="), std::string::npos) << text;
  EXPECT_NE(text.find("Command line MS-Logon.\n"), std::string::npos);
}

TEST_F(LogonII, HostileValuesEndTheHandshakeBeforeAnyCredentials) {
  const std::string refused = "error: The server's key agreement values were refused: ";
  struct Case {
    std::uint64_t g, m, server;
    const char* reason;
    bool publicSent;  // the viewer's public value went out before the refusal
  } cases[] = {
      {0, 0, 5, "Modulus is too small", false},
      {1, 1, 1, "Modulus is too small", false},
      {0, 23, 8, "Generator is out of range", false},
      {1, 23, 8, "Generator is out of range", false},
      {23, 23, 8, "Generator is out of range", false},
      {7, 5, 2, "Generator is larger than modulus", false},
      {2, kTwo31 + 1, 8, "Input exceeds maxNum", false},
      {~0ull, ~0ull, ~0ull, "Input exceeds maxNum", false},
      {5, 23, 0, "interKey out of range", true},
      {5, 23, 1, "interKey out of range", true},
      {5, 23, 22, "interKey out of range", true},
      {5, 23, 23, "interKey out of range", true},
      {5, 23, kTwo31, "interKey larger than maxNum", true},
      {3, 1u << 30, 1u << 15, "The key agreement would give a weak key", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.g) + ", " + std::to_string(c.m) + ", " + std::to_string(c.server));
    SetUp();
    SetCommandLine("kim", "pw");
    ServerSend(ServerWith(c.g, c.m, c.server));
    EXPECT_EQ(Connect(), refused + c.reason);
    EXPECT_EQ(ViewerSent().size(), 12u + 1 + (c.publicSent ? 8 : 0));
    EXPECT_EQ(session->m_credentials.longStoredPassword[0], 0);
    TearDown();
  }
}

TEST_F(LogonII, ValuesCutShortAreAStreamError) {
  SetCommandLine("kim", "pw");
  Bytes all = Server();
  ServerSend(Bytes(all.begin(), all.begin() + 12 + 2 + 20));
  ServerClose();
  std::string outcome = Connect();
  EXPECT_EQ(outcome.rfind("error: ", 0), 0u) << outcome;
  EXPECT_EQ(ViewerSent().size(), 13u);
}

TEST_F(LogonII, ThreeThreeServerChoosesItWithMinusSix) {
  SetCommandLine("kim", "pw");
  Bytes all = Server();
  ServerSend(Cat({B("RFB 003.003\n"), U32(0xFFFFFFFA), Bytes(all.begin() + 14, all.end())}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  ASSERT_GT(sent.size(), 12u + 8 + 256 + 64);
  EXPECT_EQ(sent[12 + 8 + 256 + 64], 1);  // ClientInit
  Bytes key = U64(ServerPow(ReadU64(sent, 12), kServerPrivate, kPrime));
  EXPECT_EQ(Text(Unchain(Bytes(sent.begin() + 20, sent.begin() + 276), key)), "kim");
}

// Type 2 after type 112 (3.3 only).
class LogonI : public Logon {
protected:
  static Bytes Block() {
    Bytes b(64);
    for (int i = 0; i < 64; i++) b[i] = static_cast<std::uint8_t>(0xA0 + i);
    return b;
  }
  static Bytes Server(std::uint32_t result = 0) {
    return Cat({B("RFB 003.003\n"), U32(112), Block(), kChallenge(), U32(result), ServerInit(16, 8, Rgb888(), "l")});
  }
  static Bytes kChallenge() { return Hex("00112233445566778899aabbccddeeff"); }
  // The long stored form: first block enciphered (hex given), then characters 9-32.
  static Bytes LongForm(const char* firstBlockHex, const std::string& password) {
    Bytes b = Hex(firstBlockHex);
    Bytes rest = Field(password.size() > 8 ? password.substr(8) : "", 24);
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
  }
  struct Sent {
    Bytes user, domain, mask, response;
    bool complete = false;
  };
  Sent Received() {
    Sent r;
    Bytes b = ViewerSent();
    if (b.size() < 12 + 256 + 256 + 64 + 16) return r;
    auto at = [&](std::size_t from, std::size_t n) {
      return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
    };
    r.user = at(12, 256);
    r.domain = at(268, 256);
    Bytes block = at(524, 64), sent = Block();
    EXPECT_EQ(Bytes(block.begin() + 32, block.end()), Bytes(sent.begin() + 32, sent.end()));
    for (int i = 0; i < 32; i++) r.mask.push_back(block[i] ^ sent[i]);
    r.response = at(588, 16);
    r.complete = b.size() > 12 + 256 + 256 + 64 + 16 && b[12 + 256 + 256 + 64 + 16] == 1;  // then ClientInit
    return r;
  }
};

// Responses and first blocks of the long stored forms of these passwords.
const char* const kTwelve = "twelve chars";
const char* const kTwelveResponse = "1fd1bc0ab2e97551077e59050afff1c8";
const char* const kTwelveBlock = "6a4b1d062c6ea737";
const char* const kSecretResponse = "f19b50471f60f42298e5c0147db50e1e";
const char* const kSecretBlock = "df2ae341316b72c0";
const char* const kEmptyResponse = "74f4ae777aa431e89ca4757b2414f4d7";
const char* const kEmptyBlock = "999f05e2bc5577c5";
const char* const kEightResponse = "8b9603ea1b649430d595c4247bd2bb95";  // "12345678"
const char* const kEightBlock = "bb7caf92e52fd64e";

TEST_F(LogonI, WhereUserAndPasswordComeFrom) {
  struct Case {
    const char* name;
    std::string cmdUser, cmdPassword;
    const char* storedPassword;  // the 8-byte form
    const char* longStored;      // the long form, with the remembered user name
    std::vector<Entry> dialog;
    std::string user, domain;
    const char* response;
    Bytes mask;  // the long stored form carried in the block (zeros: none held)
  } cases[] = {
      {"command line: twelve characters masked, eight in the response", "kim", kTwelve, nullptr, nullptr, {}, "kim",
       "", kTwelveResponse, LongForm(kTwelveBlock, kTwelve)},
      {"stored password, no user name", "", "", "secret", nullptr, {}, "", "", kSecretResponse, Bytes(32, 0)},
      {"stored password before the long form", "", "", "secret", kTwelve, {}, "", "", kSecretResponse,
       LongForm(kTwelveBlock, kTwelve)},
      {"long stored form", "", "", nullptr, kTwelve, {}, "lee", "", kTwelveResponse, LongForm(kTwelveBlock, kTwelve)},
      {"a password alone on the command line is dropped", "", "secret", nullptr, nullptr,
       {{true, "kim", kTwelve, ""}}, "kim", "", kTwelveResponse, LongForm(kTwelveBlock, kTwelve)},
      {"a user name alone on the command line is dropped", "kim", "", nullptr, nullptr, {{true, "", "secret", ""}}, "",
       "", kSecretResponse, LongForm(kSecretBlock, "")},
      {"dialog: a user name with an empty password", "", "", nullptr, nullptr, {{true, "kim", "", ""}}, "kim", "",
       kEmptyResponse, LongForm(kEmptyBlock, "")},
      {"dialog: no user name, the password cut to eight", "", "", nullptr, nullptr,
       {{true, "", "123456789abc", ""}}, "", "", kEightResponse, LongForm(kEightBlock, "")},
      {"dialog: second name and a long user name", "", "", nullptr, nullptr,
       {{true, std::string(255, 'u'), kTwelve, "DOM"}}, std::string(254, 'u'), "DOM", kTwelveResponse,
       LongForm(kTwelveBlock, kTwelve)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    SetCommandLine(c.cmdUser, c.cmdPassword);
    if (c.storedPassword) EncryptStoredPassword(session->m_credentials.storedPassword.bytes, c.storedPassword);
    if (c.longStored) HoldLongStored(c.longStored, "lee");
    ls->entries.assign(c.dialog.begin(), c.dialog.end());
    ServerSend(Server());
    ASSERT_EQ(Connect(), "");
    Sent r = Received();
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.user, Field(c.user, 256));
    EXPECT_EQ(r.domain, Field(c.domain, 256));
    EXPECT_EQ(r.response, Hex(c.response));
    EXPECT_EQ(r.mask, c.mask);
    EXPECT_EQ(ls->asked.size(), c.dialog.size());
    for (AuthDialogType t : ls->asked) EXPECT_EQ(t, kAuthLogonUnsecured);
    TearDown();
  }
}

TEST_F(LogonI, ThePasswordAndTheMaskedBlockLeaveNoCopyBehind) {
  // The block sent back carries the password's long form: bytes 8 to 31 are its
  // characters 9 to 32, masked with the server's block.
  const Bytes longForm = LongForm(kTwelveBlock, kTwelve), block = Block();
  std::string masked;
  for (int i = 0; i < 32; i++) masked += static_cast<char>(block[i] ^ longForm[i]);
  for (bool serverStops : {false, true}) {
    SCOPED_TRACE(serverStops ? "the server hangs up after the credentials" : "accepted");
    SetUp();
    StartFixed("kim", kTwelve, Server(), serverStops);
    std::string outcome;
    EXPECT_EQ(secrettrace::LeftBehind({kTwelve, masked.substr(0, 8), masked.substr(8, 16)},
                                      [&] { outcome = Connect(); }),
              "");
    EXPECT_EQ(outcome.empty(), !serverStops) << outcome;
    if (!serverStops) {
      EXPECT_EQ(Received().mask, longForm);
    }
    TearDown();
  }
}

TEST_F(LogonI, DialogEntriesServeTheReconnect) {
  ls->entries = {{true, "kim", kTwelve, ""}};
  ServerSend(Server());
  ASSERT_EQ(Connect(), "");
  Sent first = Received();
  Reconnect();
  ServerSend(Server());
  ASSERT_EQ(Connect(), "");
  Sent second = Received();
  EXPECT_EQ(ls->asked.size(), 1u);
  EXPECT_EQ(second.user, first.user);
  EXPECT_EQ(second.response, Hex(kTwelveResponse));
  EXPECT_EQ(second.mask, LongForm(kTwelveBlock, kTwelve));
}

TEST_F(LogonI, DialogCancelledOrEmptySendsNothing) {
  struct Case {
    Entry entry;
    const char* outcome;
  } cases[] = {
      {{false, "", "", ""}, "quiet: Authentication canceled"},
      {{true, "", "", ""}, "warning: Empty password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    SetUp();
    ls->entries = {c.entry};
    ServerSend(Server());
    EXPECT_EQ(Connect(), c.outcome);
    EXPECT_EQ(ViewerSent(), B("RFB 003.003\n"));
    EXPECT_EQ(session->m_credentials.longStoredPassword[0], 0);
    TearDown();
  }
}

TEST_F(LogonI, RefusedLogonFailsWithoutAReason) {
  SetCommandLine("kim", kTwelve);
  ServerSend(Server(1));
  EXPECT_EQ(Connect(), "warning: KEB authentication failed!");
}

TEST_F(LogonI, WithoutTheLogonRequestItRefusesToRun) {
  EXPECT_THROW(ls->AuthMsLogonI(), WarningException);
  try {
    ls->AuthMsLogonI();
  } catch (const WarningException& e) {
    EXPECT_STREQ(e.Message(), "AuthMsLogonI should not be called!");
  }
}

TEST_F(LogonI, ListFormServersCannotChooseIt) {
  // 112 is not among the types a 3.7/3.8 viewer accepts: the plain password scheme runs.
  SetCommandLine("kim", "secret");
  ServerSend(Cat({B("RFB 003.008\n"), {2, 112, 2}, kChallenge(), U32(0), ServerInit(16, 8, Rgb888(), "l")}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  ASSERT_GE(sent.size(), 12u + 1 + 16);
  EXPECT_EQ(sent[12], 2);
  EXPECT_EQ(Bytes(sent.begin() + 13, sent.begin() + 29), Hex(kSecretResponse));
}

}  // namespace
