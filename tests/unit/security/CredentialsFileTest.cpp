// The credentials file: remembered passwords (masked hex) and the recent-host list, on
// real files (the profile functions under Wine, the portable ini natively).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/IniStore.h"
#include "security/CredentialsFile.h"

namespace {

namespace fs = std::filesystem;

class CredentialsFile : public ::testing::Test {
protected:
  fs::path dir;
  std::string file;

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() / (std::string("keb-credentials-") + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    file = (dir / "credentials.ini").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  void WriteFile(const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }
  std::string Value(const char* section, const char* key) {
    char buf[1024];
    OpenIniFile(file.c_str())->GetString(section, key, "<none>", buf, sizeof buf);
    return buf;
  }
  std::vector<std::string> Recent(int maximum = 50) {
    std::vector<std::string> hosts;
    LoadRecentHosts(file.c_str(), &hosts, maximum);
    return hosts;
  }
  void StoreRecent(int n) {
    std::ostringstream text;
    text << "[recent]\r\n";
    for (int i = 0; i < n; i++) text << "host" << i << "=h" << i << "\r\n";
    WriteFile(text.str());
  }
};

TEST_F(CredentialsFile, PasswordIsMaskedAndReadBack) {
  struct Case {
    const char* password;
    const char* hex;
  } cases[] = {
      {"secret", "D47A01A22EE1"},
      // Twenty characters: mask bytes 0-15, then 0-3 again.
      {"abcdefghijklmnopqrst", "C67D01B42EF359A01947DD8874E13CBAD66D11A4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    SaveCredentials(file.c_str(), "srv::5901", 1, c.password);
    EXPECT_EQ(Value("credentials", "srv::5901"), "1");
    EXPECT_EQ(Value("credentials", "srv::5901_pass"), c.hex);
    int flag = 0;
    char password[256] = "stale";
    ASSERT_TRUE(LoadCredentials(file.c_str(), "srv::5901", &flag, password, sizeof password));
    EXPECT_EQ(flag, 1);
    EXPECT_STREQ(password, c.password);
  }
}

TEST_F(CredentialsFile, WhatLoadCredentialsAnswers) {
  WriteFile(
      "[credentials]\r\n"
      "zero=0\r\nzero_pass=D47A01A22EE1\r\n"
      "flagonly=7\r\n"
      "bad=1\r\nbad_pass=zz\r\n"
      "partial=2\r\npartial_pass=D47A01zzA22EE1\r\n"
      "lower=1\r\nlower_pass=d47a01a22ee1\r\n");
  struct Case {
    const char* host;
    bool found;
    int flag;
    const char* password;
  } cases[] = {
      {"", false, -1, "stale"},
      {"missing", false, -1, "stale"},
      {"zero", false, -1, "stale"},
      {"flagonly", true, 7, ""},
      {"bad", true, 1, ""},          // an undecodable value: no bytes, still true
      {"partial", true, 2, "sec"},   // the bytes before the first pair that is not hex
      {"lower", true, 1, "secret"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    int flag = -1;
    char password[256] = "stale";
    EXPECT_EQ(LoadCredentials(file.c_str(), c.host, &flag, password, sizeof password), c.found);
    EXPECT_EQ(flag, c.flag);
    EXPECT_STREQ(password, c.password);
  }
  int flag = 0;
  EXPECT_TRUE(LoadCredentials(file.c_str(), "lower", &flag, nullptr, 0));  // the flag alone
}

TEST_F(CredentialsFile, PasswordThatDoesNotFitTheBufferIsNotCopied) {
  SaveCredentials(file.c_str(), "srv", 1, "secret");
  char exact[6] = "xxxxx", roomy[7] = "xxxxxx";
  int flag = 0;
  EXPECT_TRUE(LoadCredentials(file.c_str(), "srv", &flag, exact, sizeof exact));
  EXPECT_STREQ(exact, "");
  EXPECT_TRUE(LoadCredentials(file.c_str(), "srv", &flag, roomy, sizeof roomy));
  EXPECT_STREQ(roomy, "secret");
}

TEST_F(CredentialsFile, LongestPasswordsReadBackWhole) {
  // The value is read back up to 511 characters: 255 bytes, the longest password held.
  std::string longest(300, 'p');
  SaveCredentials(file.c_str(), "srv", 1, longest.c_str());
  EXPECT_EQ(Value("credentials", "srv_pass").size(), 510u);
  std::vector<char> password(300);
  int flag = 0;
  EXPECT_TRUE(LoadCredentials(file.c_str(), "srv", &flag, password.data(), password.size()));
  EXPECT_EQ(std::string(password.data()), std::string(255, 'p'));
}

TEST_F(CredentialsFile, EmptyPasswordKeepsTheOneRememberedBefore) {
  SaveCredentials(file.c_str(), "srv", 1, "secret");
  SaveCredentials(file.c_str(), "srv", 0, "");
  EXPECT_EQ(Value("credentials", "srv"), "0");
  EXPECT_EQ(Value("credentials", "srv_pass"), "D47A01A22EE1");
  int flag = 5;
  char password[32];
  EXPECT_FALSE(LoadCredentials(file.c_str(), "srv", &flag, password, sizeof password));
  EXPECT_EQ(flag, 5);
}

TEST_F(CredentialsFile, EmptyHostWritesNothing) {
  SaveCredentials(file.c_str(), "", 1, "secret");
  SaveCredentials(file.c_str(), nullptr, 1, "secret");
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(CredentialsFile, SavedHostComesFirstInTheRecentList) {
  StoreRecent(3);
  SaveCredentials(file.c_str(), "h2", 0, nullptr);
  EXPECT_EQ(Recent(), (std::vector<std::string>{"h2", "h0", "h1"}));
  SaveCredentials(file.c_str(), "new", 0, nullptr);
  EXPECT_EQ(Recent(), (std::vector<std::string>{"new", "h2", "h0", "h1"}));
  SaveCredentials(file.c_str(), "new", 0, nullptr);
  EXPECT_EQ(Recent(), (std::vector<std::string>{"new", "h2", "h0", "h1"}));
}

TEST_F(CredentialsFile, RecentListShrinksToTwentyAndRepeatsGo) {
  StoreRecent(25);
  // A repeat of h3 further down the list goes as well.
  OpenIniFile(file.c_str())->WriteString("recent", "host24", "h3");
  SaveCredentials(file.c_str(), "h3", 0, nullptr);
  std::vector<std::string> expected = {"h3", "h0", "h1", "h2"};
  for (int i = 4; i < 20; i++) expected.push_back("h" + std::to_string(i));
  EXPECT_EQ(Recent(20), expected);
  // The entries past the twentieth are gone from the file, not just unread.
  EXPECT_EQ(Recent(), expected);
  EXPECT_EQ(Value("recent", "host20"), "<none>");
  EXPECT_EQ(Value("recent", "host24"), "<none>");
}

TEST_F(CredentialsFile, LoadRecentHostsStopsAtAGapOrTheMaximum) {
  WriteFile("[recent]\r\nhost0=a\r\nhost1=b\r\nhost2=\r\nhost3=d\r\n");
  EXPECT_EQ(Recent(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Recent(1), (std::vector<std::string>{"a"}));
  std::vector<std::string> hosts = {"old"};
  LoadRecentHosts((dir / "missing.ini").string().c_str(), &hosts, 20);
  EXPECT_TRUE(hosts.empty());
}

TEST(CredentialsFilePath, UnderTheApplicationDataFolderOrHere) {
  char path[kCredentialsPathSize];
  FormatCredentialsFilePath("C:\\Users\\kim\\AppData\\Roaming", path);
  EXPECT_STREQ(path, "C:\\Users\\kim\\AppData\\Roaming\\Quillmar\\raroze-zez32\\credentials.ini");
  FormatCredentialsFilePath("", path);
  EXPECT_STREQ(path, "credentials.ini");
  FormatCredentialsFilePath(nullptr, path);
  EXPECT_STREQ(path, "credentials.ini");
  std::string longFolder(300, 'f');
  FormatCredentialsFilePath(longFolder.c_str(), path);
  EXPECT_EQ(std::string(path).size(), kCredentialsPathSize - 1);
}

}  // namespace
