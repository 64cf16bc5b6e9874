// A session with an encryption plug-in, over socket pairs, with the real test plug-in
// libraries: the stream transform from the first byte, per-connection channels, the
// integrated interface with the challenge-response of security types 115 and 114, and
// the receive contract of ReadExact. The server's side of the test cipher is written here
// from the plug-in's description (XOR with a key byte and a counter times 7 per
// direction; records of a length byte and up to 255 bytes for the channels).
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "resources/StringIds.h"
#include "security/DSMPlugin.h"
#include "security/StoredPassword.h"
#include "tests/unit/session/SessionTestSupport.h"

#ifdef KEB_TESTPLUGIN_DIR

using namespace sessiontest;

namespace {

std::string TestPlugin(const char* name) { return std::string(KEB_TESTPLUGIN_DIR) + name + KEB_TESTPLUGIN_SUFFIX; }

std::uint8_t KeyOf(const std::string& text) {
  std::uint8_t k = 0x5A;
  for (unsigned char c : text) k = static_cast<std::uint8_t>(k + c);
  return k;
}

struct Cipher {
  std::uint8_t key = 0;
  std::uint32_t counter = 0;
  Bytes Run(const Bytes& in) {
    Bytes out;
    for (std::uint8_t b : in) out.push_back(static_cast<std::uint8_t>(b ^ key ^ static_cast<std::uint8_t>(counter++ * 7u)));
    return out;
  }
  // Records of at most 255 bytes, each behind its length byte.
  Bytes Records(const Bytes& in) {
    Bytes out;
    for (std::size_t i = 0; i < in.size(); i += 255) {
      Bytes part(in.begin() + static_cast<long>(i), in.begin() + static_cast<long>(std::min(in.size(), i + 255)));
      out.push_back(static_cast<std::uint8_t>(part.size()));
      Bytes enc = Run(part);
      out.insert(out.end(), enc.begin(), enc.end());
    }
    return out;
  }
  // Reverses Records over a whole byte stream.
  Bytes Unrecord(const Bytes& in) {
    Bytes out;
    for (std::size_t i = 0; i < in.size();) {
      std::size_t n = in[i];
      Bytes part(in.begin() + static_cast<long>(i + 1), in.begin() + static_cast<long>(std::min(in.size(), i + 1 + n)));
      Bytes dec = Run(part);
      out.insert(out.end(), dec.begin(), dec.end());
      i += 1 + n;
    }
    return out;
  }
};

Bytes U16LE(std::size_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8)}; }
Bytes Xor(const Bytes& challenge, const std::string& password, int round) {
  Bytes r;
  for (std::size_t i = 0; i < challenge.size(); i++)
    r.push_back(static_cast<std::uint8_t>(challenge[i] ^ password[i % password.size()] ^ round));
  return r;
}
std::uint8_t IntegratedKey(const std::string& password, const Bytes& challenge) {
  std::uint8_t k = KeyOf(password);
  for (std::uint8_t b : challenge) k ^= b;
  return k;
}

struct Asked {
  AuthDialogType type;
};

class PluginSession : public TestSession {
public:
  using TestSession::TestSession;
  std::vector<AuthDialogType> dialogs;
  std::deque<const char*> entries;  // nullptr: cancelled
  std::vector<std::uint8_t> bits;
  Framebuffer fb;

  // A bitmap in memory for the session's size and format.
  void MakeFramebuffer() { fb = MakeMemoryFramebuffer(m_myFormat, m_si.framebufferWidth, m_si.framebufferHeight, &bits); }
  Framebuffer CurrentFramebuffer() override { return fb; }
  std::uint32_t Pixel(int x, int y) const { return PixelAt(fb, x, y); }

protected:
  void AuthPasswordChallenge() override { RfbSession::AuthPasswordChallenge(); }
  void AuthSecureKEBPlugin() override { RfbSession::AuthSecureKEBPlugin(); }
  void AuthSecureKEBPluginOld() override { RfbSession::AuthSecureKEBPluginOld(); }
  bool AskCredentials(AuthDialogType type, const char*, const char*, AuthEntry* entry) override {
    dialogs.push_back(type);
    if (entries.empty()) ADD_FAILURE() << "the dialog was not expected";
    const char* answer = entries.empty() ? nullptr : entries.front();
    if (!entries.empty()) entries.pop_front();
    if (!answer) return false;
    std::snprintf(entry->password, sizeof entry->password, "%s", answer);
    return true;
  }
};

class PluginSessionTest : public SessionFixture {
protected:
  PluginSession* ps = nullptr;

  void SetUp() override {
    SessionFixture::SetUp();
    ps = new PluginSession(opts);
    session.reset(ps);
    session->connectTo = s[0];
  }
  void UsePlugin(const char* name) {
    opts.m_UseDSMPlugin = true;
    std::snprintf(opts.m_DSMPlugin, sizeof opts.m_DSMPlugin, "%s", TestPlugin(name).c_str());
    session->LoadDSMPlugin(false);
    ASSERT_TRUE(session->m_pDSMPlugin->IsLoaded());
  }
  std::string StatusOf(int control) {
    std::string last;
    for (auto& st : session->status)
      if (st.first == control) last = st.second;
    return last;
  }
  static Bytes Init() { return ServerInit(16, 8, Rgb888(), "plug"); }
};

// ---- The stream transform (the library's TransformBuffer / RestoreBuffer) ----

TEST_F(PluginSessionTest, StreamPluginCiphersTheWholeSessionAndTheOldMessageForm) {
  UsePlugin("KEBTestStream");
  std::snprintf(opts.m_password, sizeof opts.m_password, "pw");  // "KEBPasswordNeeded": keyed by it
  Cipher toViewer{KeyOf("pw")}, fromViewer{KeyOf("pw")};
  ServerSend(toViewer.Run(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), Init()})));
  ASSERT_EQ(Connect(), "");
  Bytes sent = fromViewer.Run(ViewerSent());
  ASSERT_GE(sent.size(), 12u + 1 + 1 + 1 + 20 + 2);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 14), Cat({B("RFB 003.008\n"), {1}, {1}}));
  // Not streaming: each message's type byte goes alone first.
  EXPECT_EQ(sent[14], 0);
  EXPECT_EQ(sent[15], 0);
  EXPECT_EQ(sent[15 + 20], 2);
  EXPECT_EQ(sent[15 + 21], 2);
  EXPECT_TRUE(session->m_fUsePlugin);
  EXPECT_NE(session->m_desktopName.find("--- KEB test stream-v1.0.0 "), std::string::npos);
}

TEST_F(PluginSessionTest, PlainServerWithAStreamPlugin) {
  struct Case {
    bool require, autoAccept, accept;
    const char* outcome;
    std::size_t questions;
  } cases[] = {
      {true, false, true, "warning: The insecure connection was refused.", 0},
      {false, true, true, "", 0},
      {false, false, true, "", 1},
      {false, false, false, "warning: You refused the insecure connection.", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    SetUp();
    UsePlugin("KEBTestStream");
    std::snprintf(opts.m_password, sizeof opts.m_password, "pw");
    opts.m_RequireEncryption = c.require;
    opts.m_AutoAcceptNoDSM = c.autoAccept;
    opts.m_AllowUntrustedServers = true;
    ps->answers = {c.accept};
    ServerSend(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), Init()}));
    EXPECT_EQ(Connect(), c.outcome);
    EXPECT_EQ(ps->asked.size(), c.questions);
    if (!*c.outcome) {
      EXPECT_FALSE(session->m_fUsePlugin);  // off for this session
      Bytes sent = ViewerSent();
      EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 12), B("RFB 003.008\n"));
    }
    TearDown();
  }
}

TEST_F(PluginSessionTest, PasswordForThePluginIsAskedOnceOrRefused) {
  UsePlugin("KEBTestStream");
  ps->entries = {nullptr};
  EXPECT_EQ(Connect(), "quiet: Authentication cancelled");
  EXPECT_EQ(ps->dialogs, std::vector<AuthDialogType>{kAuthPassword});

  SetUp();
  UsePlugin("KEBTestStream");
  ps->entries = {"refuse"};  // the test library refuses parameters beginning so
  std::string outcome = Connect();
  EXPECT_EQ(outcome, std::string("warning: ") + UiText(IDS_PLUGIN_NOT_CONFIGURED));
  EXPECT_FALSE(session->m_pDSMPlugin->IsEnabled());
  EXPECT_FALSE(session->m_fUsePlugin);
}

// ---- A per-connection channel (records of the test cipher) ----

TEST_F(PluginSessionTest, ChannelFromThePluginCarriesTheSession) {
  UsePlugin("KEBTestChannel");
  Cipher toViewer{KeyOf("NoPassword")}, fromViewer{KeyOf("NoPassword")};
  // A server text long enough to need two records, read in pieces by the viewer.
  const std::string name(300, 'n');
  ServerSend(toViewer.Records(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), ServerInit(16, 8, Rgb888(), name)})));
  ASSERT_EQ(Connect(), "");
  Bytes sent = fromViewer.Unrecord(ViewerSent());
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 14), Cat({B("RFB 003.008\n"), {1}, {1}}));
  // A channel is not the old message form: SetPixelFormat and SetEncodings follow whole,
  // and the encodings announce the plug-in's interfaces.
  FormatAndEncodings fe = ParseFormatAndEncodings(sent, 14);
  ASSERT_TRUE(fe.ok);
  EXPECT_NE(std::find(fe.encodings.begin(), fe.encodings.end(), static_cast<std::int32_t>(0xC0A1E5CF)),
            fe.encodings.end());
  EXPECT_EQ(session->m_desktopName.substr(0, 256), name.substr(0, 256));
}

TEST_F(PluginSessionTest, DecodersReadThePlainBytesOfTheChannel) {
  UsePlugin("KEBTestChannel");
  Cipher toViewer{KeyOf("NoPassword")};
  ServerSend(toViewer.Records(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), Init()})));
  ASSERT_EQ(Connect(), "");
  ps->MakeFramebuffer();
  auto px = [](std::uint32_t v) { return Bytes{std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), 0}; };
  auto header = [](int x, int y, int w, int h, std::int32_t enc) {
    return Cat({{std::uint8_t(x >> 8), std::uint8_t(x), std::uint8_t(y >> 8), std::uint8_t(y), std::uint8_t(w >> 8),
                 std::uint8_t(w), std::uint8_t(h >> 8), std::uint8_t(h)},
                U32(static_cast<std::uint32_t>(enc))});
  };
  // Raw 3 x 1, then Hextile 2 x 2 (one solid tile), then a Bell: each message in records
  // cut at places of the server's choosing.
  Bytes update = Cat({{0, 0, 0, 2}, header(1, 1, 3, 1, 0), px(0x112233), px(0x445566), px(0x778899),
                      header(4, 4, 2, 2, 5), {2}, px(0xABCDEF), {2}});
  ServerSend(toViewer.Records(update));
  session->ReadServerMessage();
  EXPECT_EQ(ps->Pixel(1, 1), 0x112233u);
  EXPECT_EQ(ps->Pixel(3, 1), 0x778899u);
  EXPECT_EQ(ps->Pixel(5, 5), 0xABCDEFu);
  session->ReadServerMessage();  // the Bell, read by the session itself after the decoders
}

// ---- The integrated interface: security types 115 and 114 ----

TEST_F(PluginSessionTest, SecureKEBPluginModes) {
  const Bytes challenge = B("0123456789abcdef");
  struct Case {
    std::uint8_t mode;
    const char* known;        // the connection's password ("" none)
    const char* entry;        // typed into the dialog
    std::string passwordSent; // "" none
  } cases[] = {
      {1, "secret12345", nullptr, "secret12345"},
      {0, "secret12345", nullptr, "secret12"},  // mode 0 keeps eight characters
      {2, "secret12345", nullptr, ""},          // no password message
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    SetUp();
    UsePlugin("KEBTestAuth");
    std::snprintf(opts.m_password, sizeof opts.m_password, "%s", c.known);
    const std::string pw = c.known;
    Cipher enc{IntegratedKey(pw, challenge)}, dec{IntegratedKey(pw, challenge)};
    ServerSend(Cat({B("RFB 003.008\n"), {2, 2, 115}, U16LE(challenge.size()), challenge, {c.mode},
                    enc.Records(Cat({U32(0), Init()}))}));
    ASSERT_EQ(Connect(), "");
    Bytes sent = ViewerSent();
    Bytes head = Cat({B("RFB 003.008\n"), {115}, U16LE(challenge.size()), Xor(challenge, pw, 0)});
    ASSERT_GE(sent.size(), head.size());
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + static_cast<long>(head.size())), head);
    Bytes rest = dec.Unrecord(Bytes(sent.begin() + static_cast<long>(head.size()), sent.end()));
    Bytes expectPw = c.passwordSent.empty() ? Bytes() : Cat({U16LE(c.passwordSent.size()), B(c.passwordSent)});
    ASSERT_GE(rest.size(), expectPw.size() + 1);
    EXPECT_EQ(Bytes(rest.begin(), rest.begin() + static_cast<long>(expectPw.size())), expectPw);
    EXPECT_EQ(rest[expectPw.size()], 1);  // ClientInit, inside the channel
    EXPECT_EQ(StatusOf(kStatusPlugin), "XOR test channel");
    EXPECT_TRUE(ps->dialogs.empty());
    TearDown();
  }
}

TEST_F(PluginSessionTest, SecureKEBPluginUsesTheStoredPassword) {
  UsePlugin("KEBTestAuth");
  EncryptStoredPassword(session->m_credentials.storedPassword.bytes, "stored");
  const Bytes challenge = B("challenge");
  Cipher enc{IntegratedKey("stored", challenge)}, dec{IntegratedKey("stored", challenge)};
  ServerSend(Cat({B("RFB 003.008\n"), {1, 115}, U16LE(challenge.size()), challenge, {1},
                  enc.Records(Cat({U32(0), Init()}))}));
  ASSERT_EQ(Connect(), "");
  EXPECT_TRUE(ps->dialogs.empty());
  Bytes sent = ViewerSent();
  Bytes rest = dec.Unrecord(Bytes(sent.begin() + 12 + 1 + 2 + static_cast<long>(challenge.size()), sent.end()));
  EXPECT_EQ(Bytes(rest.begin(), rest.begin() + 8), Cat({U16LE(6), B("stored")}));
}

TEST_F(PluginSessionTest, SecureKEBPluginAsksForTheServersPassword) {
  // The plug-in needs no key for this challenge ('N'); the server then wants a password
  // the connection does not know.
  const Bytes challenge = B("No key needed");
  struct Case {
    const char* entry;
    const char* outcome;
    Bytes passwordMessage;
  } cases[] = {
      {"typed in", "", Cat({U16LE(8), B("typed in")})},
      {nullptr, "error: Authentication cancelled", U16LE(0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    SetUp();
    UsePlugin("KEBTestAuth");
    ps->entries = {c.entry};
    Cipher enc{IntegratedKey("", challenge)}, dec{IntegratedKey("", challenge)};
    ServerSend(Cat({B("RFB 003.008\n"), {1, 115}, U16LE(challenge.size()), challenge, {1},
                    enc.Records(Cat({U32(0), Init()}))}));
    EXPECT_EQ(Connect(), c.outcome);
    EXPECT_EQ(ps->dialogs, std::vector<AuthDialogType>{kAuthPassword});
    Bytes sent = ViewerSent();
    Bytes head = Cat({B("RFB 003.008\n"), {115}, U16LE(challenge.size()), Xor(challenge, std::string(1, '\0'), 0)});
    ASSERT_GE(sent.size(), head.size());
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + static_cast<long>(head.size())), head);
    Bytes rest = dec.Unrecord(Bytes(sent.begin() + static_cast<long>(head.size()), sent.end()));
    ASSERT_GE(rest.size(), c.passwordMessage.size());
    EXPECT_EQ(Bytes(rest.begin(), rest.begin() + static_cast<long>(c.passwordMessage.size())), c.passwordMessage);
    if (c.entry) {
      SecretText kept = DecryptStoredPassword(session->m_credentials.storedPassword.bytes);
      EXPECT_STREQ(kept.c_str(), "typed in");
      EXPECT_EQ(StatusOf(kStatusLine), "Password accepted");
    } else {
      EXPECT_EQ(StatusOf(kStatusLine), "Authentication cancelled");
    }
    TearDown();
  }
}

TEST_F(PluginSessionTest, SecureKEBPluginWithoutAKeyFailsWithThePluginsText) {
  UsePlugin("KEBTestAuth");
  const Bytes challenge = B("challenge");
  ServerSend(Cat({B("RFB 003.008\n"), {1, 115}, U16LE(challenge.size()), challenge, {1}}));
  EXPECT_EQ(Connect(), "error: Test plugin: password needed");
  EXPECT_EQ(StatusOf(kStatusLine), "Test plugin: password needed");
  EXPECT_EQ(ViewerSent(), Cat({B("RFB 003.008\n"), {115}}));  // no response went out
}

TEST_F(PluginSessionTest, PluginThatGivesNoTextStillEndsWithOne) {
  // 'Q': the test plug-in refuses the challenge and has no text for it; 'E': an empty one.
  struct Case {
    std::uint8_t type;
    const char* challenge;
  } cases[] = {{115, "Quiet refusal"}, {115, "Empty text"}, {114, "Quiet refusal"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + c.challenge);
    SetUp();
    UsePlugin("KEBTestAuth");
    std::snprintf(opts.m_password, sizeof opts.m_password, "pw");
    const Bytes challenge = B(c.challenge);
    Bytes server = Cat({B("RFB 003.008\n"), {1, c.type}, U16LE(challenge.size()), challenge});
    if (c.type == 115) server.push_back(1);
    ServerSend(server);
    EXPECT_EQ(Connect(), "error: SecureKEB Plugin authentication failed");
    EXPECT_EQ(StatusOf(kStatusLine), "SecureKEB Plugin authentication failed");
    EXPECT_EQ(ViewerSent(), Cat({B("RFB 003.008\n"), {c.type}}));  // no response went out
    TearDown();
  }
}

TEST_F(PluginSessionTest, SecureKEBPluginTwoRounds) {
  UsePlugin("KEBTestAuth");
  std::snprintf(opts.m_password, sizeof opts.m_password, "pw");
  const Bytes c0 = B("More please"), c1 = B("second");
  Cipher s0{IntegratedKey("pw", c0)}, v0{IntegratedKey("pw", c0)};
  Bytes server = Cat({B("RFB 003.008\n"), {1, 115}, U16LE(c0.size()), c0, {2}});
  // Round 1 comes inside the channel that round 0 keyed; its response goes out there too.
  server = Cat({server, s0.Records(Cat({U16LE(c1.size()), c1, {2}}))});
  Cipher s1{IntegratedKey("pw", c1)}, v1{IntegratedKey("pw", c1)};
  server = Cat({server, s1.Records(Cat({U32(0), Init()}))});
  ServerSend(server);
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  Bytes head = Cat({B("RFB 003.008\n"), {115}, U16LE(c0.size()), Xor(c0, "pw", 0)});
  ASSERT_EQ(Bytes(sent.begin(), sent.begin() + static_cast<long>(head.size())), head);
  Bytes round1 = Cat({U16LE(c1.size()), Xor(c1, "pw", 1)});
  Bytes r1 = Bytes(sent.begin() + static_cast<long>(head.size()), sent.end());
  // One record of round 1's response, then ClientInit under the second key.
  ASSERT_GE(r1.size(), 1 + round1.size() + 2);
  EXPECT_EQ(v0.Unrecord(Bytes(r1.begin(), r1.begin() + 1 + static_cast<long>(round1.size()))), round1);
  Bytes after = v1.Unrecord(Bytes(r1.begin() + 1 + static_cast<long>(round1.size()), r1.end()));
  EXPECT_EQ(after[0], 1);
}

TEST_F(PluginSessionTest, OlderSecureKEBPluginWarnsAndAsksForTheKey) {
  UsePlugin("KEBTestAuth");
  ps->entries = {"123456789"};
  const Bytes challenge = B("Legacy challenge");  // 'L': the plug-in takes only short keys
  const std::string key = "12345678";
  Cipher enc{IntegratedKey(key, challenge)}, dec{IntegratedKey(key, challenge)};
  // The SecurityResult still comes plain; the channel starts after it.
  ServerSend(Cat({B("RFB 003.008\n"), {1, 114}, U16LE(challenge.size()), challenge, U32(0), enc.Records(Init())}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(ps->dialogs, std::vector<AuthDialogType>{kAuthPasswordUpgrade});
  std::vector<std::string> lines;
  for (auto& st : session->status)
    if (st.first == kStatusLine) lines.push_back(st.second);
  const std::vector<std::string> warnings = {"WARNING: Server should be upgraded", "Using the KEBpasswd as encryption key",
                                             "is not save. Password can be hacked!"};
  EXPECT_NE(std::search(lines.begin(), lines.end(), warnings.begin(), warnings.end()), lines.end());
  Bytes sent = ViewerSent();
  Bytes head = Cat({B("RFB 003.008\n"), {114}, U16LE(challenge.size()), Xor(challenge, key, 0)});
  ASSERT_GE(sent.size(), head.size() + 2);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + static_cast<long>(head.size())), head);
  EXPECT_EQ(dec.Unrecord(Bytes(sent.begin() + static_cast<long>(head.size()), sent.end()))[0], 1);
}

TEST_F(PluginSessionTest, PluginSchemeWithoutAnIntegratedInterface) {
  UsePlugin("KEBTestChannel");
  Cipher toViewer{KeyOf("NoPassword")};
  ServerSend(toViewer.Records(Cat({B("RFB 003.008\n"), {1, 115}})));
  EXPECT_EQ(Connect(), "error: SecureKEB Plugin authentication failed (no plugin interface available)");
}

TEST_F(PluginSessionTest, IntegratedPluginMeetsAServerThatEncryptsFromTheStart) {
  // The server's first bytes are not "RFB ": the integrated object gives way to a plain
  // per-connection object of the same library.
  UsePlugin("KEBTestAuth");
  Cipher toViewer{KeyOf("NoPassword")}, fromViewer{KeyOf("NoPassword")};
  opts.m_AllowUntrustedServers = true;
  ServerSend(toViewer.Records(Cat({B("RFB 003.008\n"), {1, 1}, U32(0), Init()})));
  ASSERT_EQ(Connect(), "");
  EXPECT_FALSE(session->m_pluginIntegrated);
  Bytes sent = fromViewer.Unrecord(ViewerSent());
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 14), Cat({B("RFB 003.008\n"), {1}, {1}}));
}

// ---- The receive contract ----

// Asks for more without having anything read: a broken channel, not a loop.
class StuckPlugin : public IdentityPlugin {
public:
  std::uint8_t* Decrypt(std::uint8_t* d, int n, int* outLen) override {
    *outLen = d ? -1 : 0;
    return d ? d : room_;
  }

private:
  std::uint8_t room_[4] = {};
};

TEST_F(PluginSessionTest, ChannelThatNeverDeliversEndsTheRead) {
  StuckPlugin t;
  ServerSend(Standard38());
  ASSERT_EQ(Connect(), "");
  session->m_fUsePlugin = true;
  session->m_channel.reset(new StuckPlugin);
  std::uint8_t b[4];
  EXPECT_THROW(session->ReadExact(b, 4), WarningException);
  session->m_channel.reset();
  session->m_fUsePlugin = false;
}

}  // namespace

#endif
