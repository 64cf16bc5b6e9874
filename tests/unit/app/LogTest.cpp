#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "app/Exception.h"
#include "app/Log.h"

namespace {

std::string TempPath(const char* name) {
  const char* dir = std::getenv("KEB_BINARY_DIR");
  // Run by hand, the binary writes into the system's temporary folder, not the caller's.
  if (dir) return std::string(dir) + "/" + name;
  return ::testing::TempDir() + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(Log, LevelDecidesWhatIsWritten) {
  std::string path = TempPath("log_level.txt");
  {
    Log log;
    log.SetFile(path.c_str(), false);
    log.Print(3, "hidden %d\n", 3);
    log.Print(0, "level %d\n", 0);
    log.Print(-1, "always\n");
    log.SetLevel(3);
    log.Print(3, "now %s\n", "shown");
    log.Print(4, "still hidden\n");
  }
  EXPECT_EQ(ReadAll(path), "level 0\nalways\nnow shown\n");
}

TEST(Log, LongMessageIsCutAt1023Characters) {
  std::string path = TempPath("log_long.txt");
  {
    Log log;
    log.SetFile(path.c_str(), false);
    std::string big(2000, 'a');
    log.Print(0, "%s", big.c_str());
  }
  EXPECT_EQ(ReadAll(path), std::string(1023, 'a'));
}

TEST(Log, SecondRunReplacesTheFile) {
  std::string path = TempPath("log_twice.txt");
  for (const char* run : {"first\n", "second\n"}) {
    Log log;
    log.SetFile(path.c_str(), false);
    log.Print(0, "%s", run);
  }
  EXPECT_EQ(ReadAll(path), "second\n");
  {
    Log log;
    log.SetFile(path.c_str(), true);
    log.Print(0, "third\n");
  }
  EXPECT_EQ(ReadAll(path), "second\nthird\n");
}

TEST(Log, UnopenableFileFallsBackToTheDebugger) {
  Log log(Log::ToFile);
  log.SetFile(TempPath("no/such/dir/log.txt").c_str(), false);
  EXPECT_EQ(log.GetMode(), Log::ToDebug);
}

TEST(Log, FormatTerminatesACutBuffer) {
  char buf[8];
  std::memset(buf, 'z', sizeof buf);
  auto fmt = [&](const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    int n = Log::Format(buf, sizeof buf, f, ap);
    va_end(ap);
    return n;
  };
  EXPECT_EQ(fmt("%s", "0123456789"), 7);
  EXPECT_STREQ(buf, "0123456");
}

TEST(ExceptionFamily, NumberZeroBecomesMinusOneAndCopiesOwnTheirText) {
  ErrorException e("disk on fire", 0);
  EXPECT_EQ(e.Number(), -1);
  EXPECT_EQ(WarningException("w", 7).Number(), 7);
  ErrorException* copy = new ErrorException(e);
  EXPECT_NE(copy->Message(), e.Message());
  EXPECT_STREQ(copy->Message(), "disk on fire");
  delete copy;  // frees only its own text
  EXPECT_STREQ(e.Message(), "disk on fire");
  QuietException q("cancelled");
  q.Report();  // shows nothing
  WarningException w("w", 0, false);
  WarningException w2 = w;
  EXPECT_FALSE(w2.m_close);
}

}  // namespace
