#include <gtest/gtest.h>

#include <string>

#include "session/ProtocolVersion.h"

namespace {

struct VersionCase {
  const char* server;
  const char* answer;
  int sessionMinor;
  bool extraText, extA, extB;
};

// Every version of the table, and what the viewer answers.
const VersionCase kVersions[] = {
    {"RFB 003.003\n", "RFB 003.003\n", 3, false, false, false},
    {"RFB 003.004\n", "RFB 003.004\n", 4, false, true, true},
    {"RFB 003.005\n", "RFB 003.008\n", 8, false, false, false},
    {"RFB 003.006\n", "RFB 003.006\n", 6, false, false, true},
    {"RFB 003.007\n", "RFB 003.007\n", 7, false, false, false},
    {"RFB 003.008\n", "RFB 003.008\n", 8, false, false, false},
    {"RFB 003.009\n", "RFB 003.008\n", 8, false, false, false},
    {"RFB 003.014\n", "RFB 003.014\n", 4, true, true, true},
    {"RFB 003.016\n", "RFB 003.016\n", 6, true, false, true},
    {"RFB 003.018\n", "RFB 003.018\n", 8, true, false, true},
    {"RFB 003.889\n", "RFB 003.008\n", 8, false, false, false},  // Apple's
    {"RFB 003.000\n", "RFB 003.000\n", 0, false, false, false},
    {"RFB 003.002\n", "RFB 003.002\n", 2, false, false, false},
    {"RFB 004.001\n", "RFB 003.008\n", 8, false, false, false},
    {"RFB 004.008\n", "RFB 004.008\n", 8, false, false, false},  // minor 8 answered as received
    {"RFB 000.003\n", "RFB 003.008\n", 8, false, false, false},
};

TEST(ProtocolVersion, AnswerTable) {
  for (const auto& c : kVersions) {
    SCOPED_TRACE(c.server);
    int major, minor;
    ASSERT_TRUE(rfbversion::Parse(reinterpret_cast<const std::uint8_t*>(c.server), &major, &minor));
    rfbversion::Decision d = rfbversion::Decide(major, minor);
    std::uint8_t out[12];
    rfbversion::Format(d.answerMajor, d.answerMinor, out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 12), c.answer);
    EXPECT_EQ(d.sessionMinor, c.sessionMinor);
    EXPECT_EQ(d.extraText, c.extraText);
    EXPECT_EQ(d.serverExtA, c.extA);
    EXPECT_EQ(d.serverExtB, c.extB);
  }
}

TEST(ProtocolVersion, LegacyAndOldSchemesAreFlagged) {
  EXPECT_TRUE(rfbversion::Decide(3, 3).legacy33);
  EXPECT_TRUE(rfbversion::Decide(3, 2).belowThree);
  EXPECT_FALSE(rfbversion::Decide(4, 3).legacy33);
}

TEST(ProtocolVersion, ParseIsStrict) {
  const char* bad[] = {"RFB 03.008\n ", "RFB 003.008\r", "rfb 003.008\n", "RFB 003,008\n", "RFB -03.008\n",
                       "RFB 003.00a\n", "RFB  03.008\n", "\0\0\0\0\0\0\0\0\0\0\0\0"};
  for (const char* t : bad) {
    int major = -1, minor = -1;
    EXPECT_FALSE(rfbversion::Parse(reinterpret_cast<const std::uint8_t*>(t), &major, &minor)) << t;
  }
}

}  // namespace
