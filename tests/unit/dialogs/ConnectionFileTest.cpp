// Connection files: the [connection] section, the stored password in hex, the default
// file name and the host text, with files as they may come from someone else.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/IniStore.h"
#include "app/KEBOptions.h"
#include "app/PortableIni.h"
#include "dialogs/ConnectionFile.h"
#include "tests/unit/options/OptionsTestSupport.h"

namespace {

using connfile::ConnectionInfo;

TEST(ConnectionFileName, DisplayNumbersCutHostsAndSafeCharacters) {
  const struct {
    const char* host;
    int port;
    const char* name;
  } cases[] = {
      {"srv", 5905, "srv-5.keb"},
      {"srv", 5900, "srv-5900.keb"},
      {"srv", 6000, "srv-6000.keb"},
      {"srv", 5999, "srv-99.keb"},
      {"abcdefghijklmnopqrst", 5901, "abcdefghijklmno-1.keb"},  // 20 characters: the first 15
      // The name is put in a folder of the program's: no way out of it, no stream names.
      {"..\\..\\Windows\\x", 5900, ".._.._Windows_x-5900.keb"},
      {"../../etc/x", 1, ".._.._etc_x-1.keb"},
      {"::1", 5900, "__1-5900.keb"},
      {"a*b?c\"d<e>f|g\x01", 5900, "a_b_c_d_e_f_g_-5900.keb"},
  };
  for (const auto& c : cases) EXPECT_EQ(connfile::DefaultFileName(c.host, c.port), c.name) << c.host;
  EXPECT_EQ(connfile::HostSettingsPath("C:\\Users\\u\\AppData\\Roaming", "srv", 5902),
            "C:\\Users\\u\\AppData\\Roaming\\Quillmar\\srv-2.keb");
  EXPECT_EQ(connfile::HostSettingsPath("", "srv", 5902), "");
  EXPECT_EQ(connfile::HostSettingsPath(std::string(250, 'x').c_str(), "srv", 5902), "");  // past MAX_PATH
}

TEST(ConnectionFileHostText, ReadsBackAsTheSameServer) {
  const struct {
    const char* host;
    int port;
    const char* text;
  } cases[] = {
      {"srv", 5900, "srv"},        {"srv", 5901, "srv:1"},          {"srv", 5999, "srv:99"},
      {"srv", 6000, "srv::6000"},  {"srv", 1, "srv::1"},            {"srv", 5800, "srv::5800"},
      {"::1", 5902, "[::1]:2"},    {"fe80::1", 443, "[fe80::1]::443"},
  };
  for (const auto& c : cases) {
    const std::string text = connfile::HostText(c.host, c.port);
    EXPECT_EQ(text, c.text);
    char host[KEBOptions::kHostCapacity];
    int port = 0;
    ASSERT_TRUE(ParseDisplay(text.c_str(), host, sizeof host, &port)) << text;
    EXPECT_STREQ(host, c.host);
    EXPECT_EQ(port, c.port);
  }
}

TEST(ConnectionFilePassword, HexPairsShortValuesAndJunk) {
  std::uint8_t pw[8];
  const struct {
    const char* text;
    bool ok;
    std::uint8_t bytes[8];
  } cases[] = {
      {"0123456789abcdef", true, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}},
      {"0123456789ABCDEF", true, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}},
      {"abcd", true, {0xab, 0xcd, 0, 0, 0, 0, 0, 0}},        // missing bytes are 0
      {"abc", true, {0xab, 0x0c, 0, 0, 0, 0, 0, 0}},         // a last single digit is one byte
      {"0123456789abcdef0011", true, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}},  // 8 bytes at most
      {"12zz34", true, {0x12, 0, 0, 0, 0, 0, 0, 0}},
      {"zz", false, {}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    std::memset(pw, 0x55, sizeof pw);
    EXPECT_EQ(connfile::ParsePasswordHex(c.text, pw), c.ok) << c.text;
    EXPECT_EQ(0, std::memcmp(pw, c.bytes, 8)) << c.text;
  }
}

TEST(ConnectionFileSection, WrittenAndReadBack) {
  PortableIniText ini;
  const std::uint8_t stored[8] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01, 0x7f, 0x80};
  connfile::WriteConnection(ini, "SRV", 5901, "repeater", 5500);
  connfile::WritePassword(ini, stored);
  ini.WriteString("options", "UseProxy", "1");
  EXPECT_NE(ini.Text().find("password=deadbeef00017f80"), std::string::npos) << ini.Text();

  ConnectionInfo info;
  ASSERT_TRUE(connfile::ReadConnection(ini, &info));
  EXPECT_STREQ(info.host, "SRV");
  EXPECT_EQ(info.port, 5901);
  EXPECT_STREQ(info.proxyhost, "repeater");
  EXPECT_EQ(info.proxyport, 5500);
  EXPECT_TRUE(info.useProxy);
  EXPECT_TRUE(info.hasPassword);
  EXPECT_EQ(0, std::memcmp(info.password, stored, 8));

  // "No, save without password": an empty value, read as no password.
  connfile::WritePassword(ini, nullptr);
  EXPECT_NE(ini.Text().find("password=\r\n"), std::string::npos);
  ASSERT_TRUE(connfile::ReadConnection(ini, &info));
  EXPECT_FALSE(info.hasPassword);
  EXPECT_EQ(0, std::memcmp(info.password, "\0\0\0\0\0\0\0\0", 8));
}

TEST(ConnectionFileSection, FilesFromElsewhereAreBounded) {
  const struct {
    const char* text;
    bool usable;
    int port, proxyport;
  } cases[] = {
      {"[connection]\r\nhost=a\r\n", false, 0, 0},                      // no port
      {"[connection]\r\nhost=a\r\nport=0\r\n", false, 0, 0},
      {"[connection]\r\nhost=a\r\nport=-5900\r\n", false, -5900, 0},
      {"[connection]\r\nhost=a\r\nport=70000\r\n", false, 70000, 0},    // no TCP port
      {"[connection]\r\nhost=ID\r\nport=12345679\r\n[options]\r\nUseProxy=1\r\n", true, 12345679, 0},  // repeater ID
      {"[connection]\r\nhost=a\r\nport=5900\r\nproxyport=99999\r\n", true, 5900, 0},
      {"[connection]\r\nhost=a\r\nport=5900\r\nproxyport=-1\r\n", true, 5900, 0},
      {"[connection]\r\nhost=a\r\nport=5900\r\nproxyport=5901\r\n", true, 5900, 5901},
  };
  for (const auto& c : cases) {
    PortableIniText ini(c.text);
    ConnectionInfo info;
    EXPECT_EQ(connfile::ReadConnection(ini, &info), c.usable) << c.text;
    EXPECT_EQ(info.port, c.port) << c.text;
    EXPECT_EQ(info.proxyport, c.proxyport) << c.text;
  }

  // Long texts are cut to the fields, and a written host cannot add lines to the file.
  PortableIniText ini("[connection]\r\nhost=" + std::string(1000, 'h') + "\r\nproxyhost=" + std::string(1000, 'p') +
                      "\r\nport=1\r\npassword=" + std::string(1000, 'a') + "\r\n");
  ConnectionInfo info;
  ASSERT_TRUE(connfile::ReadConnection(ini, &info));
  EXPECT_EQ(std::strlen(info.host), 249u);
  EXPECT_EQ(std::strlen(info.proxyhost), 249u);
  PortableIniText out;
  connfile::WriteConnection(out, "srv\r\n[options]\r\nviewonly=1", 5900, std::string(400, 'p').c_str(), 1);
  char value[8];
  EXPECT_EQ(out.GetString("options", "viewonly", "", value, sizeof value), 0);
  EXPECT_EQ(out.GetString("connection", "proxyhost", "", nullptr, 0), 0);
  char proxy[600];
  EXPECT_EQ(out.GetString("connection", "proxyhost", "", proxy, sizeof proxy), 249);
}

}  // namespace
