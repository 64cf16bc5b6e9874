// The Unicode-to-keysym maps: Latin-1 and control characters, Unicode keysyms, the
// legacy keysyms of each script, and the correspondence checked against the X keysym
// definitions of the system (keysymdef.h) where they are installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "FakeLayout.h"
#include "display/KeySyms.h"

namespace kbdtest {
namespace {

struct Mapping {
  std::uint16_t ucs;
  std::uint32_t keysym;
};

class UnicodeToKeysym : public ::testing::Test {
protected:
  FakeLayout layout = UsLayout();
  KeyMap keyMap{layout};
};

TEST_F(UnicodeToKeysym, Latin1AndControlCharacters) {
  const Mapping cases[] = {
      {0x20, 0x20},          {'a', 'a'},           {0x7E, 0x7E},          {0xA0, 0xA0},          {0xE9, 0xE9},
      {0xFF, 0xFF},          {0x00, keysyms::kNone}, {0x1F, keysyms::kNone}, {0x7F, keysyms::kNone},
      {0x9F, keysyms::kNone},
  };
  for (bool unicode : {true, false}) {
    keyMap.SetUnicodeKeysyms(unicode);
    for (const Mapping& m : cases) EXPECT_EQ(keyMap.UnicodeToKeysym(m.ucs), m.keysym) << std::hex << m.ucs;
  }
}

TEST_F(UnicodeToKeysym, UnicodeKeysymsAboveLatin1) {
  const Mapping cases[] = {{0x100, 0x01000100}, {0x416, 0x01000416}, {0x20AC, 0x010020AC}, {0xFFFD, 0x0100FFFD},
                           {0xD800, keysyms::kNone}, {0xDFFF, keysyms::kNone}};
  for (const Mapping& m : cases) EXPECT_EQ(keyMap.UnicodeToKeysym(m.ucs), m.keysym) << std::hex << m.ucs;
}

TEST_F(UnicodeToKeysym, LegacyKeysymsOfEachBlock) {
  keyMap.SetUnicodeKeysyms(false);
  const Mapping cases[] = {
      {0x0104, 0x1A1},     {0x0138, 0x3A2},     {0x0152, 0x13BC},    {0x0192, 0x8F6},   // Latin Extended-A/B
      {0x03A9, 0x7D9},     {0x03C2, 0x7F3},     {0x0390, 0x7B6},                        // Greek
      {0x0416, 0x6F6},     {0x0436, 0x6D6},     {0x0491, 0x6AD},     {0x0401, 0x6B3},   // Cyrillic
      {0x0531, 0x1000531}, {0x0587, 0x1000587},                                         // Armenian
      {0x05D0, 0xCE0},     {0x05EA, 0xCFA},                                             // Hebrew
      {0x060C, 0x5AC},     {0x0621, 0x5C1},     {0x0652, 0x5F2},                        // Arabic
      {0x0E01, 0xDA1},     {0x0E3F, 0xDDF},     {0x0E59, 0xDF9},                        // Thai
      {0x10D0, 0x10010D0},                                                              // Georgian
      {0x11A8, 0xED4},     {0x11F9, 0xEFA},                                             // Hangul Jamo
      {0x1E02, 0x1001E02}, {0x1EF9, 0x1001EF9},                                         // Latin Extended Additional
      {0x2013, 0xAAA},     {0x2017, 0xCDF},     {0x203E, 0x47E},     {0x201E, 0xAFE},   // General Punctuation
      {0x20AC, 0x20AC},    {0x20A9, 0x10020A9},                                          // Currency
      {0x3001, 0x4A4},     {0x300C, 0x4A2},                                             // CJK punctuation
      {0x30A2, 0x4B1},     {0x30F3, 0x4DD},                                             // Katakana
      {0x2116, 0x6B0},     {0x02D8, 0x1A2},     {0x2190, 0x8FB},     {0x2592, 0x9E1},   // general map
      {0x3131, 0xEA1},     {0x309B, 0x4DE},
  };
  for (const Mapping& m : cases) EXPECT_EQ(keyMap.UnicodeToKeysym(m.ucs), m.keysym) << std::hex << m.ucs;
}

TEST_F(UnicodeToKeysym, MissingCharactersGiveNothing) {
  keyMap.SetUnicodeKeysyms(false);
  for (std::uint16_t ucs : {0x0250, 0x04FF, 0x0600, 0x05FF, 0x0E7F, 0x1100, 0x1E00, 0x206F, 0x20CF, 0x303F, 0x30A0,
                            0x4E00, 0xFFFD})
    EXPECT_EQ(keyMap.UnicodeToKeysym(ucs), keysyms::kNone) << std::hex << ucs;
}

TEST(KeysymTables, RunsAreOrderedAndDoNotOverlap) {
  std::uint32_t next = 0;
  std::set<std::uint16_t> seen;
  for (std::size_t i = 0; i < keysyms::keysymToUcsSize; ++i) {
    const keysyms::KeysymRun& r = keysyms::keysymToUcs[i];
    ASSERT_GE(r.keysym, next) << i;
    ASSERT_GT(r.count, 0) << i;
    next = r.keysym + r.count;
    // Every character above Latin-1, given by one keysym only.
    for (unsigned k = 0; k < r.count; ++k) {
      EXPECT_GE(r.ucs + k, 0x100u) << std::hex << r.keysym + k;
      EXPECT_TRUE(seen.insert(static_cast<std::uint16_t>(r.ucs + k)).second) << std::hex << r.ucs + k;
    }
  }
}

// keysymdef.h as published: "#define XK_name 0xNNNN /* U+XXXX NAME */". A U+ value in
// parentheses is only a look-alike and is not an exact correspondence.
std::map<std::uint32_t, std::uint16_t> ReadKeysymDef(const char* path) {
  std::map<std::uint32_t, std::uint16_t> exact;
  FILE* f = std::fopen(path, "r");
  if (!f) return exact;
  char line[512];
  while (std::fgets(line, sizeof line, f)) {
    char name[128];
    unsigned keysym = 0, ucs = 0;
    if (std::sscanf(line, "#define XK_%127s 0x%x /* U+%x", name, &keysym, &ucs) == 3 && ucs <= 0xFFFF)
      exact.emplace(keysym, static_cast<std::uint16_t>(ucs));
  }
  std::fclose(f);
  return exact;
}

TEST(KeysymTables, AgreeWithTheInstalledKeysymDefinitions) {
  auto exact = ReadKeysymDef("/usr/include/X11/keysymdef.h");
  if (exact.empty()) GTEST_SKIP() << "keysymdef.h not installed";
  std::set<std::uint32_t> ours;
  for (std::size_t i = 0; i < keysyms::keysymToUcsSize; ++i) {
    const keysyms::KeysymRun& r = keysyms::keysymToUcs[i];
    for (unsigned k = 0; k < r.count; ++k) {
      const std::uint32_t keysym = r.keysym + k;
      ours.insert(keysym);
      auto it = exact.find(keysym);
      // The Hangul keysyms carry no U+ value there.
      if (it == exact.end() && keysym >= 0xEA1 && keysym <= 0xEFF) continue;
      ASSERT_NE(it, exact.end()) << std::hex << keysym << " is not an exact keysym";
      EXPECT_EQ(it->second, r.ucs + k) << std::hex << keysym;
    }
  }
  // Every legacy keysym of a character above Latin-1 is in the table.
  for (const auto& e : exact) {
    if (e.first >= keysyms::kUnicodeBase || e.first < 0x100 || e.first >= 0xFD00 || e.second < 0x100) continue;
    EXPECT_TRUE(ours.count(e.first)) << std::hex << e.first << " -> U+" << e.second << " missing";
  }
}

TEST(KeysymTables, RowCounts) {
  EXPECT_EQ(keysyms::keyMapSize, 97u);
  EXPECT_EQ(keysyms::deadKeyMapSize, 9u);
  EXPECT_EQ(keysyms::asciiKeyMapSize, 84u);
}

}  // namespace
}  // namespace kbdtest
