// The extractor's name matching, ratios, extra-field times, security-descriptor checks and
// 8.3 names.
#include <gtest/gtest.h>

#include "tests/unit/zip/UnzipTestSupport.h"
#include "zip/UnzipContext.h"

using namespace ziptest;

namespace {

TEST(UnzipMatch, Patterns) {
  struct Case {
    const char* pattern;
    const char* name;
    bool ignoreCase;
    bool match;
  } cases[] = {
      {"*.txt", "a/b.txt", false, true},     {"*.txt", "a/b.txt.gz", false, false},
      {"[!a-c]x", "dx", false, true},        {"[!a-c]x", "bx", false, false},
      {"[^a-c]x", "ax", false, false},       {"[a-c]x", "cx", false, true},
      {"a\\*b", "a*b", false, true},         {"a\\*b", "axb", false, false},
      {"a?c", "abc", false, true},           {"a?c", "ac", false, false},
      {"[a-", "a", false, false},            {"[\\]]", "]", false, true},
      {"*", "", false, true},                {"", "", false, true},
      {"A*.TXT", "abc.txt", true, true},     {"A*.TXT", "abc.txt", false, false},
      {"\xC9t\xE9", "\xE9t\xC9", true, true},  // Latin-1 letters fold too
      {"\xD7", "\xF7", true, false},           // but not the multiplication sign
      {"*a*b*c*d*e*f*g*h*i*j*k", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(UnzipMatchWildcard(c.pattern, c.name, c.ignoreCase), c.match) << c.pattern << " vs " << c.name;
  EXPECT_TRUE(UnzipSpecHasPatternChars("x[1].zip"));
  EXPECT_TRUE(UnzipSpecHasPatternChars("*.zip"));
  EXPECT_FALSE(UnzipSpecHasPatternChars("a\\*.zip"));
  EXPECT_FALSE(UnzipSpecHasPatternChars("plain.zip"));
}

TEST(UnzipMatch, RatiosAndNames) {
  EXPECT_EQ(UnzipRatioPerMille(100, 110), -100);
  EXPECT_EQ(UnzipRatioPerMille(1000, 250), 750);
  EXPECT_EQ(UnzipRatioPerMille(3, 1), 667);
  EXPECT_EQ(UnzipRatioPerMille(0, 10), 0);
  EXPECT_EQ(UnzipRatioPerMille(4000000000u, 1000000000u), 750);
  char buf[16];
  EXPECT_STREQ(UnzipMethodName(8, 2, buf), "Defl:X");
  EXPECT_STREQ(UnzipMethodName(9, 6, buf), "Def64S");
  EXPECT_STREQ(UnzipMethodName(99, 0, buf), "Unk:099");
  EXPECT_EQ(UnzipPrintableName("a\tb\x1b"), "a^Ib^[");
  EXPECT_EQ(UnzipShortenToEightThree("long name+1.tar.gz"), "long nam.gz");
  EXPECT_EQ(UnzipShortenToEightThree("a.b.c"), "a_b.c");
  EXPECT_EQ(UnzipShortenToEightThree("noext[1]"), "noext_1_");
}

TEST(UnzipExtra, Times) {
  UnzipExtraTimes t;
  UnzipExtraIds ids;
  Bytes ut = TimeExtra(1600000000, true, 1600000100, true, 1500000000);
  EXPECT_EQ(UnzipParseExtraTimes(ut.data(), ut.size(), false, 0, &t, &ids), kTimeMod | kTimeAccess | kTimeCreation);
  EXPECT_EQ(t.modification, 1600000000);
  EXPECT_EQ(t.access, 1600000100);
  EXPECT_EQ(t.creation, 1500000000);
  // The central copy holds the modification time only.
  EXPECT_EQ(UnzipParseExtraTimes(ut.data(), ut.size(), true, 0, &t, &ids), kTimeMod);

  // An older Unix record with ids; the extended timestamp wins when both are there.
  Bytes ux;
  Put16(ux, 0x5855);
  Put16(ux, 12);
  Put32(ux, 1111);
  Put32(ux, 2222);
  Put16(ux, 1000);
  Put16(ux, 100);
  t = UnzipExtraTimes();
  EXPECT_EQ(UnzipParseExtraTimes(ux.data(), ux.size(), false, 0, &t, &ids), kTimeMod | kTimeAccess | kTimeIds);
  EXPECT_EQ(t.modification, 2222);
  EXPECT_EQ(ids.uid, 1000u);
  Bytes both = ux;
  both.insert(both.end(), ut.begin(), ut.end());
  EXPECT_TRUE(UnzipParseExtraTimes(both.data(), both.size(), false, 0, &t, &ids) & kTimeCreation);
  EXPECT_EQ(t.modification, 1600000000);

  // Records that claim more than there is are not read.
  Bytes cut = ut;
  cut[2] = 200;
  EXPECT_EQ(UnzipParseExtraTimes(cut.data(), cut.size(), false, 0, &t, &ids), 0);
  Bytes shortUt;
  Put16(shortUt, 0x5455);
  Put16(shortUt, 3);
  shortUt.insert(shortUt.end(), {7, 1, 2});
  EXPECT_EQ(UnzipParseExtraTimes(shortUt.data(), shortUt.size(), false, 0, &t, &ids), 0);
}

TEST(UnzipExtra, DescriptorChecks) {
  // Owner SID S-1-5-32-544 and an empty DACL.
  const Bytes good = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0,
                      1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,
                      2, 0, 8, 0, 0, 0, 0, 0};
  EXPECT_TRUE(UnzipDescriptorIsSound(good.data(), good.size()));
  struct Case {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } bad[] = {
      {"revision", 0, 2},        {"not self-relative", 3, 0x00}, {"owner past the end", 4, 200},
      {"SID revision", 20, 3},   {"SID sub-authorities", 21, 40}, {"ACL revision", 36, 9},
      {"ACL size", 38, 60},      {"ACE count", 40, 3},
  };
  for (const Case& c : bad) {
    Bytes b = good;
    b[c.at] = c.value;
    EXPECT_FALSE(UnzipDescriptorIsSound(b.data(), b.size())) << c.what;
  }
  EXPECT_FALSE(UnzipDescriptorIsSound(good.data(), 12));
}

TEST(UnzipExtra, VmsRecordsBecomeLines) {
  // A VMS text entry in variable-length records: u16 length, bytes, a pad after odd ones.
  Bytes records;
  for (const char* line : {"first", "even", ""}) {
    std::size_t n = std::strlen(line);
    Put16(records, static_cast<unsigned>(n));
    records.insert(records.end(), line, line + n);
    if (n & 1) records.push_back(0);
  }
  Bytes body;  // sub-record 4 holds the record format: 2, variable length
  Put16(body, 4);
  Put16(body, 1);
  body.push_back(2);
  Bytes extra;
  Put16(extra, 0x000C);
  Put16(extra, static_cast<unsigned>(4 + body.size()));
  Put32(extra, Crc(body));
  extra.insert(extra.end(), body.begin(), body.end());
  Archive a;
  Entry e;
  e.name = "vms.txt";
  e.data = records;
  e.hostSystem = 2;
  e.localExtra = extra;
  a.entries = {e};
  MemoryRun run(a.Build());
  run.options.textConversion = 2;
  EXPECT_EQ(run.Run(), kUnzipOk) << run.rec.output;
  EXPECT_EQ(run.Text("/out/vms.txt"), "first\r\neven\r\n\r\n");
}

TEST(UnzipVolume, ShortNamesAndLabels) {
  Archive a;
  a.entries.push_back(File("long folder name/a file.text", "x"));
  Entry label = File("LABEL", "");
  label.external = kZipAttrVolumeLabel;
  a.entries.push_back(label);
  MemoryRun run(a.Build());
  run.fs.volume.shortNamesOnly = true;
  run.options.quietLevel = 0;
  EXPECT_EQ(run.Run(), kUnzipOk);
  EXPECT_EQ(run.Text("/out/long_fol/a_file.tex"), "x");
  EXPECT_TRUE(run.rec.output.find("   skipping: LABEL                   volume label\n") != std::string::npos);
  EXPECT_FALSE(run.Has("/out/LABEL"));
}

}  // namespace
