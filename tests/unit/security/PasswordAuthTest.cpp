// Security type 2 over socket pairs: where the password comes from, the bytes of the
// response, the dialog's answers, and what a reconnect of the same connection uses.
// Responses were computed with an independent DES (pycryptodome, key bytes bit-reversed).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/KEBOptions.h"
#include "app/UserInterface.h"
#include "dialogs/SessionSettings.h"
#include "security/StoredPassword.h"
#include "tests/unit/session/SessionTestSupport.h"
#include "tests/unit/security/HexBytes.h"
#include "tests/unit/security/SecretTrace.h"

using namespace sessiontest;

namespace {

const Bytes kChallenge = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

using testhex::Hex;

struct Asked {
  AuthDialogType type;
  std::string status1, status2;
};

// The session with the real password scheme; the dialog's answers are scripted.
class PasswordSession : public TestSession {
public:
  using TestSession::TestSession;
  std::vector<Asked> asked;
  std::deque<const char*> entries;  // nullptr: the user cancels

protected:
  void AuthPasswordChallenge() override { RfbSession::AuthPasswordChallenge(); }
  bool AskCredentials(AuthDialogType type, const char* status1, const char* status2, AuthEntry* entry) override {
    asked.push_back({type, status1, status2});
    if (entries.empty()) ADD_FAILURE() << "the dialog was not expected";
    const char* answer = entries.empty() ? nullptr : entries.front();
    if (!entries.empty()) entries.pop_front();
    if (!answer) return false;
    std::snprintf(entry->password, sizeof entry->password, "%s", answer);
    return true;
  }
};

class PasswordAuth : public SessionFixture {
protected:
  PasswordSession* ps = nullptr;

  void SetUp() override {
    SessionFixture::SetUp();
    ps = new PasswordSession(opts);
    session.reset(ps);
    session->connectTo = s[0];
  }
  // A 3.8 server that offers None and the password scheme, then accepts.
  static Bytes Server38(std::uint32_t result = 0) {
    return Cat({B("RFB 003.008\n"), {2, 1, 2}, kChallenge, U32(result), ServerInit(16, 8, Rgb888(), "pw")});
  }
  // What the viewer sent from the choice to ClientInit: choice 2, the response, shared.
  Bytes Exchange() {
    Bytes sent = ViewerSent();
    if (sent.size() < 12) return sent;
    return Bytes(sent.begin() + 12, sent.begin() + std::min<std::size_t>(sent.size(), 12 + 1 + 16 + 1));
  }
  static Bytes Expected(const char* response) { return Cat({{2}, Hex(response), {1}}); }
  // The connection was lost; the same connection object connects again.
  void Reconnect() {
    session->CloseSocket();
    NewPair();
    session->connectTo = s[0];
  }
};

TEST_F(PasswordAuth, WherePasswordsComeFrom) {
  struct Case {
    const char* name;
    const char* option;    // the command line's password
    const char* clear;     // the connection's clear-text password
    const char* stored;    // the connection's stored password, as text
    const char* response;
  } cases[] = {
      {"command line", "test", "", "", "cac7f3f6fd55dfce4ff48ea241839808"},
      {"command line, nine characters", "123456789", "", "", "8b9603ea1b649430d595c4247bd2bb95"},
      {"stored", "", "", "secret", "f19b50471f60f42298e5c0147db50e1e"},
      {"clear text before stored", "", "test", "secret", "cac7f3f6fd55dfce4ff48ea241839808"},
      {"the connection's own before the command line", "secret", "test", "", "cac7f3f6fd55dfce4ff48ea241839808"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::snprintf(opts.m_password, sizeof opts.m_password, "%s", c.option);
    std::snprintf(session->m_credentials.clearPassword, sizeof session->m_credentials.clearPassword, "%s", c.clear);
    if (*c.stored) EncryptStoredPassword(session->m_credentials.storedPassword.bytes, c.stored);
    ServerSend(Server38());
    ASSERT_EQ(Connect(), "");
    EXPECT_EQ(Exchange(), Expected(c.response));
    EXPECT_TRUE(ps->asked.empty());
    TearDown();
  }
}

TEST_F(PasswordAuth, DialogEntryIsUsedAndKeptForTheReconnect) {
  ps->entries = {"secret"};
  ServerSend(Server38());
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(Exchange(), Expected("f19b50471f60f42298e5c0147db50e1e"));
  ASSERT_EQ(ps->asked.size(), 1u);
  EXPECT_EQ(ps->asked[0].type, kAuthPassword);
  EXPECT_EQ(ps->asked[0].status1, "");
  EXPECT_EQ(ps->asked[0].status2, "");
  // The entry became the connection's stored password, not its clear-text password.
  StoredPassword expected;
  EncryptStoredPassword(expected.bytes, "secret");
  EXPECT_EQ(Bytes(session->m_credentials.storedPassword.bytes, session->m_credentials.storedPassword.bytes + 8),
            Bytes(expected.bytes, expected.bytes + 8));
  EXPECT_STREQ(session->m_credentials.clearPassword, "");

  Reconnect();
  ServerSend(Server38());
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(Exchange(), Expected("f19b50471f60f42298e5c0147db50e1e"));
  EXPECT_EQ(ps->asked.size(), 1u);  // not asked again
}

TEST_F(PasswordAuth, LongDialogEntryIsCutToEightCharacters) {
  ps->entries = {"123456789abc"};
  ServerSend(Server38());
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(Exchange(), Expected("8b9603ea1b649430d595c4247bd2bb95"));
  SecretText kept = DecryptStoredPassword(session->m_credentials.storedPassword.bytes);
  EXPECT_EQ(std::string(kept.c_str()), "12345678");
}

TEST_F(PasswordAuth, DialogCancelledOrEmpty) {
  struct Case {
    const char* entry;
    const char* outcome;
  } cases[] = {
      {nullptr, "quiet: Authentication canceled"},
      {"", "warning: Empty password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    SetUp();
    ps->entries = {c.entry};
    ServerSend(Server38());
    EXPECT_EQ(Connect(), c.outcome);
    EXPECT_EQ(ViewerSent(), Cat({B("RFB 003.008\n"), {2}}));  // no response went out
    EXPECT_TRUE(session->m_credentials.storedPassword.Empty());
    TearDown();
  }
}

TEST_F(PasswordAuth, ThePasswordLeavesNoCopyBehind) {
  const char* const secret = "Q7#xK9@z";
  struct Case {
    const char* what;
    bool typed;        // into the dialog, else given to the program
    bool serverStops;  // hangs up instead of sending the challenge
  } cases[] = {{"typed", true, false}, {"given", false, false}, {"typed, the server hangs up", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    if (c.typed)
      ps->entries = {secret};
    else
      std::snprintf(opts.m_password, sizeof opts.m_password, "%s", secret);
    if (c.serverStops) {
      ServerSend(Cat({B("RFB 003.008\n"), {1, 2}}));
      ServerClose();
    } else {
      ServerSend(Server38());
    }
    std::string outcome;
    EXPECT_EQ(secrettrace::LeftBehind({secret}, [&] { outcome = Connect(); }), "");
    EXPECT_EQ(outcome.empty(), !c.serverStops) << outcome;
    TearDown();
  }
}

// A password given on the command line: taking it, and applying the switches again after a
// file was loaded in the session dialog, leave no copy of it behind; the record holds it
// once, and the line it keeps not at all.
TEST(CommandLinePassword, LeavesNoCopyBehind) {
  if (!secrettrace::Available()) GTEST_SKIP() << "the heap cannot be watched here";
  const std::string secret = "Sesame-77-open";
  struct Case {
    const char* what;
    std::string line;
  } cases[] = {
      {"plain", "-viewonly -password " + secret + " -user kim SRV:5"},
      {"quoted, after a prefix the quote drops", "-password x\"" + secret + "\" -encodings zrle hextile -InfoMsg \"a b\""},
      {"a long line", "-InfoMsg \"" + std::string(300, 'i') + "\" -password " + secret + " " + std::string(200, 's')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KEBOptions o;
    EXPECT_EQ(secrettrace::LeftBehind({secret}, [&] { o.SetFromCommandLine(c.line.c_str()); }), "");
    EXPECT_EQ(std::string(o.m_password), secret);
    EXPECT_EQ(std::string(o.m_CmdLine).find(secret), std::string::npos) << o.m_CmdLine;
    // A record that still keeps one in its line (made before): applying the switches again
    // copies and splits that line.
    std::snprintf(o.m_CmdLine, sizeof o.m_CmdLine, "%s", c.line.c_str());
    EXPECT_EQ(secrettrace::LeftBehind({secret}, [&] { sessionsettings::ApplyCommandLineSwitches(o); }), "");
  }
}

TEST_F(PasswordAuth, ProtocolThreeThreeSendsJustTheResponse) {
  std::snprintf(opts.m_password, sizeof opts.m_password, "test");
  ServerSend(Cat({B("RFB 003.003\n"), U32(2), kChallenge, U32(0), ServerInit(16, 8, Rgb888(), "pw")}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  ASSERT_GE(sent.size(), 29u);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 29),
            Cat({B("RFB 003.003\n"), Hex("cac7f3f6fd55dfce4ff48ea241839808"), {1}}));
}

TEST_F(PasswordAuth, WrongPasswordEndsWithTheServersReason) {
  std::snprintf(opts.m_password, sizeof opts.m_password, "wrong");
  ServerSend(Cat({B("RFB 003.008\n"), {1, 2}, kChallenge, U32(1), U32(21), B("Authentication failed")}));
  EXPECT_EQ(Connect(), "warning: Authentication failed");
  Bytes sent = ViewerSent();
  EXPECT_EQ(sent.size(), 12u + 1 + 16);
}

TEST_F(PasswordAuth, ServersBelowThreeThreeAreRefusedWithABox) {
  RecordingUI ui;
  std::snprintf(opts.m_password, sizeof opts.m_password, "test");
  ServerSend(Cat({B("RFB 003.002\n"), U32(2), kChallenge}));
  EXPECT_EQ(Connect(), "warning: Can't use IDEA authentication any more!");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0],
            "Protocol Version error|Sorry - this server uses an older authentication scheme\n\rwhich is no longer "
            "supported.");
  EXPECT_EQ(ui.icons[0], MessageIcon::Error);
  EXPECT_EQ(ViewerSent(), B("RFB 003.002\n"));
}

TEST_F(PasswordAuth, ChallengeCutShortIsAStreamError) {
  std::snprintf(opts.m_password, sizeof opts.m_password, "test");
  ServerSend(Cat({B("RFB 003.008\n"), {1, 2}, Bytes(kChallenge.begin(), kChallenge.begin() + 10)}));
  ServerClose();
  std::string outcome = Connect();
  EXPECT_EQ(outcome.rfind("error: ", 0), 0u) << outcome;
  EXPECT_EQ(ViewerSent(), Cat({B("RFB 003.008\n"), {2}}));
}

}  // namespace
