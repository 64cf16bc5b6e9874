// The ini rules the options code relies on. The same table runs natively against the
// portable implementation and, in the Windows build, against the real profile functions
// and the portable implementation side by side, so that the two cannot drift apart.
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "OptionsTestSupport.h"
#include "app/PortableIni.h"

namespace {

using opttest::ScratchDir;

struct Impl {
  const char* name;
  std::function<std::unique_ptr<IniStore>(const char*)> open;
};

void PrintTo(const Impl& impl, std::ostream* os) { *os << impl.name; }

std::vector<Impl> Impls() {
  std::vector<Impl> v;
  v.push_back({"platform", [](const char* p) { return OpenIniFile(p); }});
#ifdef _WIN32
  v.push_back({"portable", [](const char* p) { return std::unique_ptr<IniStore>(new PortableIniFile(p)); }});
#endif
  return v;
}

class IniRules : public ::testing::TestWithParam<Impl> {
protected:
  std::unique_ptr<IniStore> Open(const std::string& path) { return GetParam().open(path.c_str()); }
  ScratchDir dir;
};

const char kFile[] =
    "; a comment line\r\n"
    "[Options]\r\n"
    "  a = 12abc  \r\n"
    "neg=-5\r\n"
    "plus=  +7\r\n"
    "hex=0x10\r\n"
    "HEXUP=0X10\r\n"
    "bin=0b101\r\n"
    "oct=0o17\r\n"
    "neghex=-0x10\r\n"
    "signblank=- 5\r\n"
    "empty=\r\n"
    "blank=  \t \r\n"
    "novalue\r\n"
    "dq=\"quoted\"\r\n"
    "sq='sq'\r\n"
    "emptyq=\"\"\r\n"
    "numq=\"5\"\r\n"
    "mixed='\"a\"'\r\n"
    "unbalanced=\"open\r\n"
    "inner= \" spaced \" \r\n"
    "trailing= 5 ; not a comment\r\n"
    "big=99999999999\r\n"
    "over=2147483648\r\n"
    "under=-2147483649\r\n"
    "allones=4294967295\r\n"
    "dash=-\r\n"
    "word=abc\r\n"
    "long=0123456789012345678901234567890123456789\r\n"
    " spaced key = spaced value\r\n"
    ";hidden=commented\r\n"
    "#hash=hash\r\n"
    "eq==eq\r\n"
    "tab=\t9\r\n"
    "dup=first\r\n"
    "DUP=second\r\n"
    "eof=5\x1a\r\n"
    "\x1cseps=1\r\n"
    "ctl=\x1e" "3\x1d\r\n"
    "[other]\r\n"
    "p=1\r\n"
    "[OPTIONS]\r\n"
    "second=not seen\r\n"
    "  [ spaced ]  \r\n"
    "sp=1\r\n"
    "[nobracket\r\n"
    "nb=2\r\n"
    "[tail] junk\r\n"
    "tl=3\r\n";

struct Case {
  const char* section;
  const char* key;
  const char* text;  // GetString with default "DEF" and room for 63 characters
  int number;        // GetInt with default 777
};

const Case kCases[] = {
    {"options", "a", "12abc", 12},
    {"OPTIONS", "A", "12abc", 12},
    {"options", "neg", "-5", -5},
    {"options", "plus", "+7", 7},
    {"options", "hex", "0x10", 16},
    {"options", "HEXUP", "0X10", 0},
    {"options", "bin", "0b101", 5},
    {"options", "oct", "0o17", 15},
    {"options", "neghex", "-0x10", -16},
    {"options", "signblank", "- 5", 0},
    {"options", "empty", "", 777},
    {"options", "blank", "", 777},
    {"options", "novalue", "DEF", 777},
    {"options", "dq", "quoted", 0},
    {"options", "sq", "sq", 0},
    {"options", "emptyq", "", 777},
    {"options", "numq", "5", 5},
    {"options", "mixed", "\"a\"", 0},
    {"options", "unbalanced", "\"open", 0},
    {"options", "inner", " spaced ", 0},
    {"options", "trailing", "5 ; not a comment", 5},
    {"options", "big", "99999999999", 1215752191},
    {"options", "over", "2147483648", -2147483647 - 1},
    {"options", "under", "-2147483649", 2147483647},
    {"options", "allones", "4294967295", -1},
    {"options", "dash", "-", 0},
    {"options", "word", "abc", 0},
    {"options", "long", "0123456789012345678901234567890123456789", -1103563954},  // 29 digits count
    {"options", "spaced key", "spaced value", 0},
    {"options", "hidden", "DEF", 777},
    {"options", ";hidden", "commented", 0},
    {"options", "#hash", "hash", 0},
    {"options", "eq", "=eq", 0},
    {"options", "tab", "9", 9},
    {"options", "dup", "first", 0},
    {"options", "eof", "5", 5},
    {"options", "seps", "DEF", 777},         // control characters other than blanks stay
    {"options", "ctl", "\x1e" "3\x1d", 3},
    {"options", "p", "DEF", 777},
    {"options", "second", "DEF", 777},
    {"other", "p", "1", 1},
    {"spaced", "sp", "1", 1},
    {" spaced ", "sp", "1", 1},
    {"spaced", "nb", "2", 2},
    {"nobracket", "nb", "DEF", 777},
    {"tail", "tl", "3", 3},
    {"missing", "a", "DEF", 777},
    {"options", "missing", "DEF", 777},
};

TEST_P(IniRules, ReadsValuesAsTheProfileFunctionsDo) {
  std::string path = dir.Write(kFile);
  auto ini = Open(path);
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("[") + c.section + "] " + c.key);
    char buf[64];
    int n = ini->GetString(c.section, c.key, "DEF", buf, sizeof buf);
    EXPECT_EQ(std::string(buf), c.text);
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.text)));
    EXPECT_EQ(ini->GetInt(c.section, c.key, 777), c.number);
  }
}

TEST_P(IniRules, ShortBufferCutsTheValue) {
  std::string path = dir.Write("[o]\nv=0123456789\nq=\"quoted\"\n");
  auto ini = Open(path);
  char buf[16];
  EXPECT_EQ(ini->GetString("o", "v", "", buf, 5), 4);
  EXPECT_STREQ(buf, "0123");
  // Quotes are dropped only when the whole quoted value fits.
  EXPECT_EQ(ini->GetString("o", "q", "", buf, 8), 6);
  EXPECT_STREQ(buf, "quoted");
  EXPECT_EQ(ini->GetString("o", "q", "", buf, 5), 4);
  EXPECT_STREQ(buf, "quot");
}

TEST_P(IniRules, DefaultLosesTrailingBlanks) {
  std::string path = dir.Write("[o]\n");
  auto ini = Open(path);
  char buf[32];
  ini->GetString("o", "absent", "abc  ", buf, sizeof buf);
  EXPECT_STREQ(buf, "abc");
  ini->GetString("o", "absent", "", buf, sizeof buf);
  EXPECT_STREQ(buf, "");
}

TEST_P(IniRules, LineEndingsAndMarks) {
  const std::string withNul = std::string("[o]\nz=ab\0cd\n", 12);
  const std::pair<std::string, const char*> files[] = {
      {"[o]\nv=1\n", "1"},                      // LF only
      {"[o]\r\nv=2\r\n", "2"},                  // CR LF
      {"[o]\rv=3\r", "3"},                      // CR only
      {"\xEF\xBB\xBF[o]\nv=4\n", "4"},          // UTF-8 byte-order mark
      {"v=0\n[o]\nv=5", "5"},                   // keys before any section; no final line break
  };
  for (const auto& [content, want] : files) {
    SCOPED_TRACE(content);
    auto ini = Open(dir.Write(content));
    char buf[16];
    ini->GetString("o", "v", "DEF", buf, sizeof buf);
    EXPECT_STREQ(buf, want);
  }
  auto ini = Open(dir.Write(withNul));
  char buf[16];
  ini->GetString("o", "z", "DEF", buf, sizeof buf);
  EXPECT_STREQ(buf, "ab");
}

TEST_P(IniRules, MissingFileGivesDefaults) {
  auto ini = Open(dir.NewPath());
  char buf[16];
  EXPECT_EQ(ini->GetString("options", "a", "x", buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "x");
  EXPECT_EQ(ini->GetInt("options", "a", -3), -3);
}

TEST_P(IniRules, WritingCreatesTheFileAndSection) {
  std::string path = dir.NewPath();
  auto ini = Open(path);
  ASSERT_TRUE(ini->WriteString("options", "key", "value"));
  ASSERT_TRUE(ini->WriteInt("options", "n", -42));
  EXPECT_EQ(opttest::ReadAll(path), "[options]\r\nkey=value\r\nn=-42\r\n");
}

TEST_P(IniRules, WritingReplacesInPlaceAndKeepsTheRest) {
  std::string path = dir.Write(
      "[connection]\r\nhost=a\r\n[Options]\r\nKey=old\r\nother=1\r\n[fingerprint]\r\nh:1=ff\r\n");
  auto ini = Open(path);
  ASSERT_TRUE(ini->WriteString("OPTIONS", "key", "new"));
  ASSERT_TRUE(ini->WriteString("options", "added", "  padded  "));
  ASSERT_TRUE(ini->WriteString("thumbprint", "x", "1"));
  auto again = Open(path);  // a fresh reader sees the same
  char buf[32];
  const std::pair<const char*, const char*> want[] = {
      {"connection|host", "a"},  {"options|key", "new"},   {"options|other", "1"},
      {"options|added", "padded"}, {"fingerprint|h:1", "ff"}, {"thumbprint|x", "1"},
  };
  for (const auto& [where, value] : want) {
    std::string w = where;
    std::string section = w.substr(0, w.find('|')), key = w.substr(w.find('|') + 1);
    again->GetString(section.c_str(), key.c_str(), "DEF", buf, sizeof buf);
    EXPECT_STREQ(buf, value) << where;
  }
  // The replaced key stays where it was, before "other", and the new one follows it.
  std::string text = opttest::ReadAll(path);
  EXPECT_LT(text.find("Key=new"), text.find("other=1")) << text;
  EXPECT_LT(text.find("other=1"), text.find("added=padded")) << text;
  EXPECT_LT(text.find("added=padded"), text.find("[fingerprint]")) << text;
}

INSTANTIATE_TEST_SUITE_P(Ini, IniRules, ::testing::ValuesIn(Impls()),
                         [](const ::testing::TestParamInfo<Impl>& info) { return std::string(info.param.name); });

}  // namespace
