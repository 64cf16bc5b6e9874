// The recent-host list and the window placement per host, over a real options file (the
// profile functions under Wine, the portable ini natively).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/IniStore.h"
#include "dialogs/MRU.h"
#include "tests/unit/options/OptionsTestSupport.h"

namespace {

using opttest::ReadAll;
using opttest::ScratchDir;

const char kKey[] = "Software\\WEM\\KEBviewer\\MRU";

// The 35 letters in the order they are handed out.
const std::string kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ\\]^_`{|}~";

class MRUTest : public ::testing::Test {
protected:
  std::unique_ptr<MRU> Open() { return std::make_unique<MRU>(kKey, 98, path.c_str()); }
  std::vector<std::string> Items(MRU& mru) {
    std::vector<std::string> items;
    char buf[MRU::kItemCapacity];
    for (int i = 0; i < mru.NumItems(); ++i) {
      mru.GetItem(i, buf, sizeof buf);
      items.push_back(buf);
    }
    return items;
  }
  std::string Value(const char* section, const char* key) {
    char buf[300];
    OpenIniFile(path.c_str())->GetString(section, key, "(absent)", buf, sizeof buf);
    return buf;
  }

  ScratchDir dir;
  std::string path = dir.NewPath("options", ".keb");
};

TEST_F(MRUTest, NewListCreatesTheSectionAndAddsMostRecentFirst) {
  auto mru = Open();
  EXPECT_EQ(mru->NumItems(), 0);
  EXPECT_EQ(Value("connection", "index"), "");  // written, empty
  mru->AddItem("alpha");
  mru->AddItem("beta:1");
  mru->AddItem("gamma::6000");
  EXPECT_EQ(Items(*mru), (std::vector<std::string>{"gamma::6000", "beta:1", "alpha"}));
  EXPECT_EQ(Value("connection", "index"), "CBA");
  EXPECT_EQ(Value("connection", "A"), "alpha");
  // A second list over the same file sees the same.
  EXPECT_EQ(Items(*Open()), Items(*mru));
}

TEST_F(MRUTest, AddingAStoredTextMovesItToTheFrontWithoutASecondEntry) {
  auto mru = Open();
  for (const char* h : {"one", "two", "three"}) mru->AddItem(h);
  mru->AddItem("one");
  EXPECT_EQ(Items(*mru), (std::vector<std::string>{"one", "three", "two"}));
  EXPECT_EQ(mru->Index(), "ACB");
  // Case matters: "ONE" is another host text.
  mru->AddItem("ONE");
  EXPECT_EQ(mru->NumItems(), 4);
  EXPECT_EQ(Items(*mru)[0], "ONE");
  mru->AddItem("");  // ignored
  EXPECT_EQ(mru->NumItems(), 4);
}

TEST_F(MRUTest, ThirtyFiveLettersThenTheOldestEntryIsReplaced) {
  auto mru = Open();
  for (int i = 0; i < 35; ++i) mru->AddItem(("host" + std::to_string(i)).c_str());
  EXPECT_EQ(mru->NumItems(), 35);
  std::string used = mru->Index();
  std::reverse(used.begin(), used.end());
  EXPECT_EQ(used, kLetters);  // "[" and ";" skipped, no lower-case letters

  mru->AddItem("newest");
  EXPECT_EQ(mru->NumItems(), 35);
  auto items = Items(*mru);
  EXPECT_EQ(items.front(), "newest");
  EXPECT_EQ(mru->Index()[0], 'A');  // host0's letter, now holding the new text
  EXPECT_EQ(std::count(items.begin(), items.end(), "host0"), 0);
  EXPECT_EQ(items.back(), "host1");
}

TEST_F(MRUTest, RemovingShiftsTheRestAndFreesTheLetter) {
  auto mru = Open();
  for (const char* h : {"a1", "b2", "c3"}) mru->AddItem(h);  // index "CBA"
  mru->RemoveItemAt(0);
  EXPECT_EQ(Items(*mru), (std::vector<std::string>{"b2", "a1"}));
  EXPECT_EQ(Value("connection", "C"), "(absent)");  // the key is gone
  mru->AddItem("d4");
  EXPECT_EQ(mru->Index(), "CBA");  // C was free again
  mru->RemoveItemAt(7);            // past the end: nothing
  mru->RemoveItemAt(-1);
  EXPECT_EQ(mru->NumItems(), 3);
  mru->RemoveItem("a1");
  EXPECT_EQ(Items(*mru), (std::vector<std::string>{"d4", "b2"}));
  char buf[8] = "x";
  EXPECT_EQ(mru->GetItem(2, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
}

TEST_F(MRUTest, WindowPlacementPerHostText) {
  auto mru = Open();
  mru->SaveWindowPosition("srv:1", 10, -20, 800, 600);
  mru->SaveWindowPosition("odd]name=x", 1, 2, 3, 4);
  auto again = Open();
  EXPECT_EQ(again->ReadWindowX("srv:1"), 10);
  EXPECT_EQ(again->ReadWindowY("srv:1"), -20);
  EXPECT_EQ(again->ReadWindowW("srv:1"), 800);
  EXPECT_EQ(again->ReadWindowH("srv:1"), 600);
  EXPECT_EQ(again->ReadWindowW("odd]name=x"), 3);
  for (int v : {again->ReadWindowX("never"), again->ReadWindowY("never"), again->ReadWindowW("never"),
                again->ReadWindowH("never")})
    EXPECT_EQ(v, 0);
  // A host text with "]" or "=" is also an ordinary entry.
  again->AddItem("odd]name=x");
  EXPECT_EQ(Items(*again)[0], "odd]name=x");
}

// The options file can be edited or copied from elsewhere.
TEST_F(MRUTest, HostileIndexAndTextsStayInBounds) {
  opttest::ScratchDir d2;
  std::string hostile = "[connection]\r\nindex=AAb[;1zB" + std::string(300, 'C') + "\r\nA=first\r\nB=second\r\n"
                        "[srv]\r\nx=99999999999\r\ny=-99999999999\r\nw=12abc\r\n";
  std::ofstream(path, std::ios::binary) << hostile;
  auto mru = Open();
  // Every letter once, only usable ones: two positions never share one entry.
  EXPECT_EQ(mru->Index(), "ABC");
  EXPECT_EQ(Items(*mru), (std::vector<std::string>{"first", "second", ""}));
  mru->RemoveItemAt(0);
  EXPECT_EQ(Items(*mru), (std::vector<std::string>{"second", ""}));
  EXPECT_EQ(mru->ReadWindowX("srv"), 2147483647);
  EXPECT_EQ(mru->ReadWindowY("srv"), -2147483647 - 1);
  EXPECT_EQ(mru->ReadWindowW("srv"), 12);

  // A text cannot add lines of its own to the file.
  mru->AddItem("evil\r\n[connection]\r\nindex=Z");
  mru->SaveWindowPosition("evil\r\nsection", 1, 1, 1, 1);
  auto again = Open();
  EXPECT_EQ(Items(*again)[0], "evil");
  EXPECT_EQ(again->ReadWindowX("evil"), 1);
  EXPECT_EQ(ReadAll(path).find("index=Z"), std::string::npos);
}

}  // namespace
