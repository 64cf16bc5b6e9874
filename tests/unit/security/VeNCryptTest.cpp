// Security type 19 (VeNCrypt) over a socket pair: the version and sub-type negotiation,
// the certificate rules (a stored thumbprint, the prompt, a refusal that sends the close
// notification) and the Plain credentials inside the channel. The TLS provider is a
// stand-in whose records have the TLS framing (5-byte header) around plain bytes, so the
// server's side can be written byte for byte; the real provider is tested under Wine
// against Xvnc.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/IniStore.h"
#include "app/UiText.h"
#include "security/TLSSession.h"
#include "tests/unit/security/SecretTrace.h"
#include "tests/unit/session/SessionTestSupport.h"

using namespace sessiontest;

namespace {

const std::string kThumbprint = "01-23-45-67-89-ab-cd-ef-01-23-45-67-89-ab-cd-ef-01-23-45-67";

// Handshake: the client says "HELLO", the server answers "WORLD". Records: type 23,
// version 3.3, big-endian length, the plain bytes.
class StandInTls : public TLSSession {
public:
  bool chainHolds = false;
  std::size_t maxMessage = 16384;
  std::string thumbprint = kThumbprint;

  bool Handshake(ByteBuffer& rawIn, ByteBuffer& rawOut) override {
    if (!m_helloSent) {
      rawOut.Append(reinterpret_cast<const std::uint8_t*>("HELLO"), 5);
      m_helloSent = true;
    }
    if (rawIn.Size() < 5) return true;
    if (std::string(reinterpret_cast<const char*>(rawIn.Data()), 5) != "WORLD") return Fail("bad server token");
    rawIn.Consume(5);
    m_state = kEstablished;
    return true;
  }
  bool DecryptRecords(ByteBuffer& rawIn, ByteBuffer& plain, ByteBuffer&, bool* renegotiate) override {
    *renegotiate = false;
    while (rawIn.Size() >= 5) {
      const std::uint8_t* r = rawIn.Data();
      const std::size_t n = (std::size_t(r[3]) << 8) | r[4];
      if (rawIn.Size() < 5 + n) break;
      if (r[0] == 21) {  // an alert: the server closed the session
        m_state = kClosedByPeer;
        rawIn.Consume(5 + n);
        return true;
      }
      plain.Append(r + 5, n);
      rawIn.Consume(5 + n);
    }
    return true;
  }
  std::size_t MaxMessage() const override { return maxMessage; }
  bool EncryptRecord(const std::uint8_t* data, std::size_t length, ByteBuffer& rawOut) override {
    const std::uint8_t header[5] = {23, 3, 3, std::uint8_t(length >> 8), std::uint8_t(length)};
    rawOut.Append(header, 5);
    rawOut.Append(data, length);
    return true;
  }
  bool Shutdown(ByteBuffer& rawOut) override {
    rawOut.Append(reinterpret_cast<const std::uint8_t*>("BYE"), 3);
    m_state = kClosed;
    return true;
  }
  bool VerifyCertificateChain() override { return chainHolds || Fail("untrusted root (0x800B0109)"); }
  std::string Thumbprint() override { return thumbprint; }

private:
  bool m_helloSent = false;
};

Bytes Records(const Bytes& plain, std::size_t piece = 16384) {
  Bytes out;
  for (std::size_t at = 0; at < plain.size(); at += piece) {
    const std::size_t n = std::min(piece, plain.size() - at);
    out.insert(out.end(), {23, 3, 3, std::uint8_t(n >> 8), std::uint8_t(n)});
    out.insert(out.end(), plain.begin() + at, plain.begin() + at + n);
  }
  return out;
}

class VeNCryptSession : public TestSession {
public:
  using TestSession::TestSession;
  bool chainHolds = false;
  std::string thumbprint = kThumbprint;
  bool accept = true, dontAsk = false;
  std::vector<std::string> prompts;
  std::vector<AuthDialogType> dialogs;

protected:
  void AuthVeNCrypt() override { RfbSession::AuthVeNCrypt(); }
  std::unique_ptr<TLSSession> NewTlsSession() override {
    std::unique_ptr<StandInTls> tls(new StandInTls);
    tls->chainHolds = chainHolds;
    tls->thumbprint = thumbprint;
    return tls;
  }
  bool ConfirmCertificate(TLSSession&, const char* error, bool* ask) override {
    prompts.push_back(error);
    *ask = dontAsk;
    return accept;
  }
  bool AskCredentials(AuthDialogType type, const char*, const char*, AuthEntry* entry) override {
    dialogs.push_back(type);
    std::snprintf(entry->user, sizeof entry->user, "typed user");
    std::snprintf(entry->password, sizeof entry->password, "typed pw");
    return true;
  }
};

class VeNCryptTest : public SessionFixture {
protected:
  VeNCryptSession* vs = nullptr;
  std::filesystem::path optionsFile;

  void SetUp() override {
    SessionFixture::SetUp();
    vs = new VeNCryptSession(opts);
    session.reset(vs);
    session->connectTo = s[0];
    session->schemesSucceed = true;
    std::snprintf(session->m_host, sizeof session->m_host, "tls.example");
    session->m_port = 5900;
    optionsFile = std::filesystem::temp_directory_path() /
                  ("keb-vencrypt-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                   ".keb");
    std::filesystem::remove(optionsFile);
    std::snprintf(opts.m_optionfile, sizeof opts.m_optionfile, "%s", optionsFile.string().c_str());
  }
  void TearDown() override {
    SessionFixture::TearDown();
    std::filesystem::remove(optionsFile);
  }
  std::string Remembered() {
    char v[80] = "";
    OpenIniFile(optionsFile.string().c_str())->GetString("thumbprint", "tls.example:5900", "", v, sizeof v);
    return v;
  }
  // The server's side up to the sub-type list.
  static Bytes Offer(std::initializer_list<std::uint32_t> subtypes) {
    Bytes b = Cat({B("RFB 003.008\n"), {1, 19}, {0, 2}, {0}, {static_cast<std::uint8_t>(subtypes.size())}});
    for (std::uint32_t t : subtypes) b = Cat({b, U32(t)});
    return b;
  }
  static Bytes Rest() { return Records(Cat({U32(0), ServerInit(16, 8, Rgb888(), "tls")})); }
  // What the viewer sent up to and including its sub-type choice.
  static Bytes Chose(std::uint32_t subtype) { return Cat({B("RFB 003.008\n"), {19}, {0, 2}, U32(subtype)}); }
};

TEST_F(VeNCryptTest, SubTypeChoiceAndWhatFollowsIt) {
  struct Case {
    std::initializer_list<std::uint32_t> offered;
    std::uint32_t chosen;
    Bytes credentials;  // what the viewer sends inside TLS before ClientInit
  } cases[] = {
      {{258, 2}, 2, {}},  // 258 is not taken; 2 runs without TLS
      {{262, 256}, 262, Cat({U32(4), U32(2), B("user"), B("pw")})},
      {{256, 262}, 256, Cat({U32(4), U32(2), B("user"), B("pw")})},
      {{258, 260}, 260, {}},
      {{261}, 261, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chosen);
    SetUp();
    std::snprintf(opts.m_user, sizeof opts.m_user, "user");
    std::snprintf(opts.m_password, sizeof opts.m_password, "pw");
    vs->chainHolds = true;
    const bool tls = c.chosen != 2;
    ServerSend(tls ? Cat({Offer(c.offered), {1}, B("WORLD"), Rest()})
                   : Cat({Offer(c.offered), U32(0), ServerInit(16, 8, Rgb888(), "tls")}));
    ASSERT_EQ(Connect(), "");
    const Bytes sent = ViewerSent();
    const Bytes head = Chose(c.chosen);
    ASSERT_GE(sent.size(), head.size() + 5);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + head.size()), head);
    EXPECT_EQ(session->m_channel != nullptr, tls);
    const bool password = c.chosen == 2 || c.chosen == 261;
    EXPECT_EQ(session->schemes, password ? std::vector<std::string>{"password"} : std::vector<std::string>{});
    if (tls) {
      EXPECT_EQ(Bytes(sent.begin() + head.size(), sent.begin() + head.size() + 5), B("HELLO"));
      if (!c.credentials.empty()) {
        const Bytes first(sent.begin() + head.size() + 5, sent.begin() + head.size() + 10 + c.credentials.size());
        EXPECT_EQ(first, Records(c.credentials));
      }
    }
    EXPECT_TRUE(vs->prompts.empty());
    TearDown();
  }
}

TEST_F(VeNCryptTest, NegotiationFailures) {
  struct Case {
    Bytes server;
    const char* outcome;
    Bytes sentAfterType;  // what the viewer wrote after its type choice
  } cases[] = {
      {Cat({B("RFB 003.008\n"), {1, 19}, {0, 1}}), "warning: Unsupported version", {0, 0}},
      {Cat({B("RFB 003.008\n"), {1, 19}, {0, 2}, {1}}), "warning: Server reported unsupported version", {0, 2}},
      {Cat({B("RFB 003.008\n"), {1, 19}, {0, 2}, {0}, {2}, U32(258), U32(1)}), "warning: No valid sub-type", {0, 2}},
      {Cat({B("RFB 003.008\n"), {1, 19}, {0, 2}, {0}, {1}, U32(260), {0}}), "warning: Server unsupported sub-type",
       Cat({{0, 2}, U32(260)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    SetUp();
    ServerSend(c.server);
    EXPECT_EQ(Connect(), c.outcome);
    EXPECT_EQ(ViewerSent(), Cat({B("RFB 003.008\n"), {19}, c.sentAfterType}));
    TearDown();
  }
}

TEST_F(VeNCryptTest, CertificateRememberedPromptedOrRefused) {
  // Not remembered: asked; "Don't ask anymore" stores the thumbprint under host:port.
  vs->dontAsk = true;
  ServerSend(Cat({Offer({260}), {1}, B("WORLD"), Rest()}));
  ASSERT_EQ(Connect(), "");
  ASSERT_EQ(vs->prompts.size(), 1u);
  EXPECT_EQ(vs->prompts[0], "untrusted root (0x800B0109)");
  EXPECT_EQ(Remembered(), kThumbprint);

  // The same certificate again: no question.
  session->CloseSocket();
  NewPair();
  session->connectTo = s[0];
  ServerSend(Cat({Offer({260}), {1}, B("WORLD"), Rest()}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(vs->prompts.size(), 1u);

  // Another certificate on the same host and port is asked about again.
  session->CloseSocket();
  NewPair();
  session->connectTo = s[0];
  vs->thumbprint = "ff" + kThumbprint.substr(2);
  vs->dontAsk = false;
  ServerSend(Cat({Offer({260}), {1}, B("WORLD"), Rest()}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(vs->prompts.size(), 2u);
  EXPECT_EQ(Remembered(), kThumbprint);

  // Refused: the close notification goes out, and the end is quiet.
  SetUp();
  vs->accept = false;
  ServerSend(Cat({Offer({262}), {1}, B("WORLD")}));
  EXPECT_EQ(Connect(), "quiet: Authentication cancelled");
  EXPECT_EQ(ViewerSent(), Cat({Chose(262), B("HELLO"), B("BYE")}));
  EXPECT_EQ(Remembered(), "");
}

TEST_F(VeNCryptTest, PlainAsksForCredentialsWhenNoPasswordIsKnown) {
  vs->chainHolds = true;
  ServerSend(Cat({Offer({262}), {1}, B("WORLD"), Rest()}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(vs->dialogs, std::vector<AuthDialogType>{kAuthLogon});
  const Bytes sent = ViewerSent();
  const std::size_t at = Chose(262).size() + 5;
  const Bytes creds = Cat({U32(10), U32(8), B("typed user"), B("typed pw")});
  ASSERT_GE(sent.size(), at + 5 + creds.size());
  EXPECT_EQ(Bytes(sent.begin() + at, sent.begin() + at + 5 + creds.size()), Records(creds));
  EXPECT_STREQ(session->m_credentials.channelUser, "typed user");
  EXPECT_STREQ(session->m_credentials.clearPassword, "typed pw");
}

TEST_F(VeNCryptTest, PlainCredentialsLeaveNoCopyBehind) {
  // The stand-in provider does not encipher: what the viewer sent through the channel is
  // in the clear in the socket's buffers, which the session keeps; the channel's own
  // queues and every other copy must be wiped.
  for (bool serverStops : {false, true}) {
    SCOPED_TRACE(serverStops ? "the server hangs up after the credentials" : "accepted");
    SetUp();
    vs->chainHolds = true;
    ServerSend(Cat({Offer({262}), {1}, B("WORLD"), serverStops ? Bytes() : Rest()}));
    if (serverStops) ServerClose();
    std::string outcome;
    EXPECT_EQ(secrettrace::LeftBehind({"typed pw"}, [&] {
                outcome = Connect();
                session->m_channel.reset();
              }),
              "");
    EXPECT_EQ(outcome.empty(), !serverStops) << outcome;
    TearDown();
  }
}

TEST(TLSPlugin, LongWritesAreCutIntoRecordsAndReadsWaitForWholeRecords) {
  std::unique_ptr<StandInTls> tls(new StandInTls);
  ByteBuffer in, out;
  tls->Handshake(in, out);
  const Bytes world = B("WORLD");
  in.Append(world.data(), world.size());
  ASSERT_TRUE(tls->Handshake(in, out));
  ByteBuffer left;
  const Bytes early = Records(B("early"));
  left.Append(early.data(), early.size());  // read by the handshake beyond its end
  TLSPlugin plugin(std::move(tls), left);

  Bytes data(20000);
  for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i * 13);
  int n = 0;
  std::uint8_t* r = plugin.Encrypt(data.data(), static_cast<int>(data.size()), &n);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Bytes(r, r + n), Records(data));  // 16,384 and 3,616 bytes
  EXPECT_EQ(n, 20000 + 2 * 5);

  // Receive contract: the bytes the handshake left over come first; then one raw byte per
  // call until a whole record is in.
  auto read = [&](const Bytes& wire, std::size_t want) {
    Bytes got(want);
    std::size_t at = 0;
    for (int round = 0; round < 1000; round++) {
      int raw = -1;
      std::uint8_t* room = plugin.Decrypt(nullptr, static_cast<int>(want), &raw);
      if (!room || raw < 0 || raw > 1) return Bytes{};
      if (raw == 1) {
        if (at >= wire.size()) return Bytes{};
        *room = wire[at++];
      }
      int done = 0;
      if (!plugin.Decrypt(got.data(), static_cast<int>(want), &done)) return Bytes{};
      if (done == static_cast<int>(want)) return got;
    }
    return Bytes{};
  };
  EXPECT_EQ(read({}, 5), B("early"));
  EXPECT_EQ(read(Records(B("abcdefgh")), 3), B("abc"));
  EXPECT_EQ(read({}, 5), B("defgh"));
}

// The server closes the session while a sender keeps sending: reader and sender each end
// the channel, at the same time, and each sees the one text.
TEST(TLSPlugin, AFailureOnTheReadingThreadReachesTheSender) {
  LoadBuiltinUiTexts();  // the channel's failures are texts of the string table
  const std::string text = "Connection closed";
  for (int round = 0; round < 20; round++) {
    std::unique_ptr<StandInTls> tls(new StandInTls);
    ByteBuffer in, out, left;
    tls->Handshake(in, out);
    const Bytes world = B("WORLD");
    in.Append(world.data(), world.size());
    ASSERT_TRUE(tls->Handshake(in, out));
    TLSPlugin plugin(std::move(tls), left);
    std::atomic<bool> go{false};
    std::thread reader([&] {
      while (!go) std::this_thread::yield();
      const Bytes bad = {21, 3, 3, 0, 1, 0};
      for (std::size_t at = 0; at <= bad.size(); at++) {
        int raw = -1;
        std::uint8_t* room = plugin.Decrypt(nullptr, 1, &raw);
        if (!room || raw != 1 || at == bad.size()) break;
        *room = bad[at];
        std::uint8_t got;
        int done = 0;
        if (!plugin.Decrypt(&got, 1, &done)) break;
      }
    });
    go = true;
    const std::uint8_t data[] = {1, 2, 3};
    std::string seen;
    for (int sends = 0; sends < 1000000 && seen.empty(); sends++) {
      int n = 0;
      if (!plugin.Encrypt(data, 3, &n)) seen = plugin.ErrorText();
    }
    reader.join();
    EXPECT_EQ(seen, text);
    EXPECT_EQ(std::string(plugin.ErrorText()), text);
  }
}

}  // namespace
