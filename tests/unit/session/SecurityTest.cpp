// Security-type negotiation and SecurityResult handling over socket pairs.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "SessionTestSupport.h"
#include "app/IniStore.h"
#include "session/SecurityTypes.h"

using namespace sessiontest;

namespace {

TEST(SecurityChoice, PreferenceOrderAndFilters) {
  struct Case {
    Bytes offered;
    std::vector<std::uint32_t> done;
    std::uint32_t chosen;
    bool info;
  } cases[] = {
      {{1, 2}, {}, 2, false},
      {{129, 5}, {}, 129, false},
      {{116, 2}, {}, 116, false},
      {{1, 2, 5, 6, 19, 113, 129, 130, 104, 105, 116, 114, 115, 17}, {}, 17, false},
      {{2, 117, 1}, {}, 2, true},
      {{117}, {}, 0, true},
      {{99, 200, 0, 3, 112}, {}, 0, false},  // 112 is for 3.3 servers only
      {{17, 1}, {17}, 1, false},             // a scheme already run is not offered again
      {{117, 1}, {117}, 1, false},
      {{6, 130}, {}, 130, false},
  };
  for (const auto& c : cases) {
    rfbsec::Choice ch = rfbsec::Choose(c.offered.data(), c.offered.size(), c.done);
    EXPECT_EQ(ch.type, c.chosen);
    EXPECT_EQ(ch.infoMsgOffered, c.info);
  }
}

class Security : public SessionFixture {
protected:
  void Run38(const Bytes& afterVersion) { ServerSend(Cat({B("RFB 003.008\n"), afterVersion})); }
};

TEST_F(Security, NoneWithInfoSendsTheTextAfterTheChoice) {
  std::snprintf(opts.m_InfoMsg, sizeof opts.m_InfoMsg, "abc");
  Run38(Cat({{2, 116, 2}, U32(0), ServerInit(8, 8, Rgb888(), "x")}));
  ASSERT_EQ(Connect(), "");
  Bytes sent = ViewerSent();
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 18), Cat({B("RFB 003.008\n"), {116, 3, 'a', 'b', 'c'}, {1}}));
}

TEST_F(Security, EmptyListEndsWithTheServersReason) {
  Run38(Cat({{0}, U32(21), B("No security types set")}));
  EXPECT_EQ(Connect(), "warning: No security types set");
  EXPECT_EQ(ViewerSent(), B("RFB 003.008\n"));  // no choice byte
}

TEST_F(Security, OnlyInfoMsgOfferedIsNotEnough) {
  Run38({1, 117});
  EXPECT_EQ(Connect(), "warning: No supported authentication methods!");
  EXPECT_TRUE(session->m_infoMsgRequested);
}

TEST_F(Security, UnknownTypesOnly) {
  Run38({2, 99, 200});
  EXPECT_EQ(Connect(), "warning: No supported authentication methods!");
}

TEST_F(Security, LegacyTypeNumbers) {
  struct Case {
    std::uint32_t type;
    const char* scheme;
  } cases[] = {{17, "plugin115"}, {0xFFFFFFFA, "mslogon2"}, {2, "password"}, {112, "mslogon1"}, {114, "plugin114"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scheme);
    SetUp();
    ServerSend(Cat({B("RFB 003.003\n"), U32(c.type)}));
    EXPECT_EQ(Connect(), std::string("error: ") + kSchemeStopped);
    EXPECT_EQ(session->schemes, std::vector<std::string>{c.scheme});
    TearDown();
  }
  SetUp();
}

TEST_F(Security, ZeroTypeInTheLegacyFormCarriesAReason) {
  ServerSend(Cat({B("RFB 003.003\n"), U32(0), U32(20), B("Too many connections")}));
  EXPECT_EQ(Connect(), "warning: Too many connections");
}

TEST_F(Security, UnknownLegacyType) {
  ServerSend(Cat({B("RFB 003.003\n"), U32(77)}));
  EXPECT_EQ(Connect(), "error: Unknown authentication method!");
}

struct ResultCase {
  const char* what;
  const char* version;
  Bytes security;  // list or u32 type, then scheme bytes, then result and reason
  bool schemesSucceed;
  bool closeAfter;
  const char* outcome;
};

TEST_F(Security, SecurityResults) {
  const ResultCase cases[] = {
      {"3.8 none ok", "RFB 003.008\n", Cat({{1, 1}, U32(0), ServerInit(8, 8, Rgb888(), "x")}), false, false, ""},
      {"3.8 failed with reason", "RFB 003.008\n", Cat({{1, 1}, U32(1), U32(12), B("Bad password")}), false, false,
       "warning: Bad password"},
      {"3.7 failed, no reason, server closes", "RFB 003.007\n", Cat({{1, 116}, U32(1)}), false, true,
       "warning: KEB authentication failed!"},
      {"3.7 failed with a reason anyway", "RFB 003.007\n", Cat({{1, 116}, U32(1), U32(4), B("Nope")}), false, false,
       "warning: Nope"},
      {"3.3 failed", "RFB 003.003\n", Cat({U32(2), U32(1)}), true, false, "warning: KEB authentication failed!"},
      {"3.3 failed with reason", "RFB 003.003\n", Cat({U32(2), U32(3), U32(6), B("reason")}), true, false,
       "warning: reason"},
      {"too many tries", "RFB 003.008\n", Cat({{1, 1}, U32(2)}), false, false,
       "warning: KEB authentication failed - too many tries!"},
      {"continue on 3.3", "RFB 003.003\n", Cat({U32(2), U32(0xFFFFFFFF)}), true, false,
       "error: Invalid auth continue response"},
      {"-6 on 3.8", "RFB 003.008\n", Cat({{1, 1}, U32(0xFFFFFFFA)}), false, false, "error: Invalid auth response"},
      {"-6 on 3.3 without a plug-in", "RFB 003.003\n", Cat({U32(114), U32(0xFFFFFFFA)}), true, false,
       "error: Invalid auth response"},
      {"unknown result", "RFB 003.008\n", Cat({{1, 1}, U32(7)}), false, false,
       "error: Unknown KEB authentication result!"},
      {"104 on 3.6", "RFB 003.006\n", U32(104), false, false, "error: Invalid auth continue response"},
      {"105 on 3.3", "RFB 003.003\n", U32(105), false, false, "error: Invalid auth continue response"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    session->schemesSucceed = c.schemesSucceed;
    ServerSend(Cat({B(c.version), c.security}));
    if (c.closeAfter) ServerClose();
    EXPECT_EQ(Connect(), c.outcome);
    TearDown();
  }
  SetUp();
}

TEST_F(Security, NoneReadsNoResultBefore38) {
  for (const char* v : {"RFB 003.007\n", "RFB 003.003\n"}) {
    SCOPED_TRACE(v);
    SetUp();
    // ServerInit follows the type at once: reading a SecurityResult would eat its first bytes.
    bool list = v[10] == '7';
    ServerSend(Cat({B(v), list ? Bytes{1, 1} : U32(1), ServerInit(300, 200, Rgb888(), "desk")}));
    ASSERT_EQ(Connect(), "");
    EXPECT_EQ(session->m_si.framebufferWidth, 300);
    EXPECT_EQ(session->m_desktopName, "desk");
    TearDown();
  }
  SetUp();
}

TEST_F(Security, ContinueRunsAnotherRound) {
  session->schemesSucceed = true;
  Run38(Cat({{2, 2, 1}, U32(0xFFFFFFFF), {2, 2, 1}, U32(0), ServerInit(8, 8, Rgb888(), "x")}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(session->schemes, std::vector<std::string>{"password"});  // 2 is not run twice
  Bytes sent = ViewerSent();
  EXPECT_EQ(Bytes(sent.begin() + 12, sent.begin() + 14), (Bytes{2, 1}));
}

TEST_F(Security, AtMostSixSchemesAreLayered) {
  session->schemesSucceed = true;
  opts.m_AutoAcceptIncoming = true;
  Bytes script = Cat({{1, 17}, U32(0xFFFFFFFF),
                      {1, 104}, U32LE(2), B("ok"), U32(0xFFFFFFFF),
                      {1, 116}, U32(0xFFFFFFFF),
                      {1, 105}, {0}, U32(0xFFFFFFFF),
                      {1, 1}, U32(0xFFFFFFFF),
                      {1, 2}, U32(0xFFFFFFFF),
                      {1, 113}});
  session->helpdeskAnswer = 0;
  Run38(script);
  EXPECT_EQ(Connect(), "error: Cannot layer more than six authentication schemes");
  EXPECT_TRUE(session->m_securityType17);
}

TEST_F(Security, ServerTextIsLittleEndianAndAnsweredLittleEndian) {
  struct Case {
    bool accept;
    std::uint32_t answer;
  } cases[] = {{true, 1}, {false, 0}};
  for (const auto& c : cases) {
    SetUp();
    session->answers = {c.accept};
    Run38(Cat({{1, 104}, U32LE(5), B("hello"), U32(0), ServerInit(8, 8, Rgb888(), "x")}));
    ASSERT_EQ(Connect(), "");  // the server decides with its result
    ASSERT_EQ(session->asked.size(), 1u);
    EXPECT_EQ(session->asked[0].instruction, "Incoming connection");
    EXPECT_EQ(session->asked[0].content, "hello");
    Bytes sent = ViewerSent();
    EXPECT_EQ(Bytes(sent.begin() + 12, sent.begin() + 17), Cat({{104}, U32LE(c.answer)}));
    TearDown();
  }
  SetUp();
}

TEST_F(Security, OversizeServerTextFailsBeforeReadingIt) {
  Run38(Cat({{1, 104}, U32LE(1025)}));
  EXPECT_EQ(Connect(), "warning: Buffer too big, ");
}

TEST_F(Security, HelpdeskListEntriesAreBoundedAndTheChoiceSent) {
  Bytes entries;
  std::string first = "First desk", second(128, 'L');
  Bytes e1(128, 0), e2(second.begin(), second.end());
  std::copy(first.begin(), first.end(), e1.begin());
  session->helpdeskAnswer = 2;
  Run38(Cat({{1, 105}, {2}, e1, e2, U32(0), ServerInit(8, 8, Rgb888(), "x")}));
  ASSERT_EQ(Connect(), "");
  EXPECT_EQ(session->helpdeskSeen, (std::vector<std::string>{first, second}));
  Bytes sent = ViewerSent();
  EXPECT_EQ(Bytes(sent.begin() + 12, sent.begin() + 17), Cat({{105}, U32LE(2)}));
}

TEST_F(Security, UntrustedServerQuestion) {
  struct Case {
    bool allow, accepted, answer, tick;
    const char* outcome;
    std::size_t questions;
    int saved;
  } cases[] = {
      {true, false, false, false, "", 0, 0},
      {false, true, false, false, "", 0, 0},  // accepted in listening mode: not asked
      {false, false, false, false, "warning: You refused a untrusted server.", 1, 0},
      {false, false, true, false, "", 1, 0},
      {false, false, true, true, "", 1, 1},
  };
  for (const auto& c : cases) {
    SetUp();
    opts.m_AllowUntrustedServers = c.allow;
    session->m_accepted = c.accepted;
    session->answers = {c.answer};
    session->tickCheckbox = c.tick;
    ServerSend(Standard38());
    EXPECT_EQ(Connect(), c.outcome);
    ASSERT_EQ(session->asked.size(), c.questions);
    if (c.questions) {
      EXPECT_EQ(session->asked[0].instruction, "Security");
      EXPECT_EQ(session->asked[0].checkbox, "Don't ask anymore, always allow insecure connection.");
    }
    EXPECT_EQ(session->savedUntrusted, c.saved);
    EXPECT_EQ(opts.m_AllowUntrustedServers, c.allow || c.saved > 0);
    TearDown();
  }
  SetUp();
}

TEST_F(Security, HugeReasonLengthIsRefusedBeforeAllocating) {
  Run38(Cat({{0}, U32(0xFFFFFFFF)}));
  EXPECT_EQ(Connect(), "error: Insufficient memory to allocate network buffer.");
}

}  // namespace

namespace {

TEST_F(Security, DontAskAgainIsWrittenToTheOptionsFile) {
  std::string path = ::testing::TempDir() + "keb_session_untrusted.keb";
  std::remove(path.c_str());
  std::snprintf(opts.m_optionfile, sizeof opts.m_optionfile, "%s", path.c_str());
  opts.m_UseOnlyDefaultConfigFile = true;
  opts.m_AllowUntrustedServers = false;
  session->tickCheckbox = true;
  ServerSend(Standard38());
  ASSERT_EQ(Connect(), "");
  std::unique_ptr<IniStore> ini = OpenIniFile(path.c_str());
  ASSERT_TRUE(ini);
  EXPECT_EQ(ini->GetInt("options", "AllowUntrustedServers", 0), 1);
  std::remove(path.c_str());
}

}  // namespace
