// Server arguments, encoding names and the scale check.
#include <cstring>
#include <string>

#include "OptionsTestSupport.h"

namespace {

struct DisplayCase {
  std::string text;
  bool ok;
  std::string host;
  int port;
};

TEST(ParseDisplay, Forms) {
  const std::string h249(249, 'h'), h250(250, 'h');
  const DisplayCase cases[] = {
      {"host", true, "host", 5900},
      {"host:1", true, "host", 5901},
      {"host:5901", true, "host", 5901},  // a number of 100 or more is a port
      {"host:99", true, "host", 5999},    // below 100 a display
      {"host:100", true, "host", 100},
      {"host::99", true, "host", 99},     // two colons: always a port
      {"host::5901", true, "host", 5901},
      {"host:0", true, "host", 5900},
      {"host:65535", true, "host", 65535},
      {"10.0.0.1:3", true, "10.0.0.1", 5903},
      {"host:7x", true, "host", 5907},  // read as "%d" reads
      {"[fe80::1]:2", true, "fe80::1", 5902},
      {"[fe80::1]", true, "fe80::1", 5900},
      {"[fe80::1]::5000", true, "fe80::1", 5000},
      {"[::1]:5901", true, "::1", 5901},
      {h249, true, h249, 5900},
      {"[" + std::string(248, 'a') + "]", true, std::string(248, 'a'), 5900},
      // Failures.
      {"[fe80::1", false, "", 0},
      {"[fe80::1]x", false, "", 0},
      {"[fe80::1]:", false, "", 0},
      {"host:", false, "", 0},
      {"host:abc", false, "", 0},
      {"host:::5", false, "", 0},
      {h250, false, "", 0},           // the host would fill its whole field
      {h249 + ":1", false, "", 0},    // longer than the field
      {"[" + std::string(249, 'a') + "]", false, "", 0},
      {"h::70000", false, "", 0},
      {"h::65536", false, "", 0},
      {"h:65536", false, "", 0},
      {"h::0", false, "", 0},
      {"h:-5", false, "", 0},
      {"h::-5900", false, "", 0},
      {"h:99999999999", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size() > 40 ? c.text.substr(0, 20) + "...(" + std::to_string(c.text.size()) + ")" : c.text);
    char host[KEBOptions::kHostCapacity];
    std::strcpy(host, "unchanged");
    int port = -7;
    EXPECT_EQ(ParseDisplay(c.text.c_str(), host, sizeof host, &port), c.ok);
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    } else {
      EXPECT_STREQ(host, "unchanged");  // a failure leaves the outputs alone
      EXPECT_EQ(port, -7);
    }
  }
}

TEST(ParseDisplay, SmallField) {
  char host[4];
  int port = 0;
  EXPECT_TRUE(ParseDisplay("abc", host, sizeof host, &port));
  EXPECT_STREQ(host, "abc");
  EXPECT_TRUE(ParseDisplay("ab:1", host, sizeof host, &port));
  EXPECT_STREQ(host, "ab");
  EXPECT_EQ(port, 5901);
  EXPECT_FALSE(ParseDisplay("abcd", host, sizeof host, &port));  // no room for the terminator
  EXPECT_FALSE(ParseDisplay("abc:1", host, sizeof host, &port));  // text longer than the field
}

TEST(EncodingFromName, Names) {
  const std::pair<const char*, int> names[] = {
      {"raw", 0},    {"rre", 2},     {"corre", 4}, {"hextile", 5}, {"zlib", 6},   {"zlibhex", 8}, {"tight", 7},
      {"opalo", 9},  {"opalo2", 10}, {"zrle", 16}, {"zywrle", 17}, {"xz", 18},    {"xzyw", 19},   {"ZRLE", 16},
      {"TiGhT", 7},  {"", -1},       {"zrl", -1},  {"zrlex", -1},  {"copyrect", -1}, {"zstd", -1},
  };
  for (const auto& [name, number] : names) EXPECT_EQ(EncodingFromName(name), number) << name;
}

class Scaling : public opttest::OptionsTest {};

TEST_F(Scaling, FixScaling) {
  struct Case {
    int num, den, server;
    int wantNum, wantDen, wantServer;
    bool warned;
  };
  const Case cases[] = {
      {150, 100, 1, 3, 2, 1, false}, {400, 100, 1, 4, 1, 1, false}, {7, 7, 1, 1, 1, 1, false},
      {1, 100, 9, 1, 100, 9, false}, {0, 100, 1, 1, 1, 1, true},    {401, 100, 1, 1, 1, 1, true},
      {100, 0, 1, 1, 1, 1, true},    {100, 101, 1, 1, 1, 1, true},  {-3, 5, 1, 1, 1, 1, true},
      {100, 100, 0, 1, 1, 1, false}, {100, 100, 10, 1, 1, 1, false}, {300, 90, -2, 10, 3, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.num) + "/" + std::to_string(c.den) + " server " + std::to_string(c.server));
    ui.boxes.clear();
    KEBOptions o;
    o.m_Scaling = true;
    o.m_scale_num = c.num;
    o.m_scale_den = c.den;
    o.m_ServerScale = c.server;
    o.FixScaling();
    EXPECT_EQ(o.m_scale_num, c.wantNum);
    EXPECT_EQ(o.m_scale_den, c.wantDen);
    EXPECT_EQ(o.m_ServerScale, c.wantServer);
    EXPECT_EQ(o.m_Scaling, !c.warned);
    if (c.warned) {
      ASSERT_EQ(ui.boxes.size(), 1u);
      EXPECT_EQ(ui.boxes[0].text, "Invalid scale factor - resetting to normal scale");
      EXPECT_EQ(ui.boxes[0].title, "Argument error");
      EXPECT_EQ(ui.boxes[0].icon, MessageIcon::Warning);
    } else {
      EXPECT_TRUE(ui.boxes.empty());
    }
  }
}

}  // namespace
