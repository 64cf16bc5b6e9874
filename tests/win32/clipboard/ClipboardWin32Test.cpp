// The Windows clipboard as the extended clipboard reads and writes it: every format comes
// back as it was put, and a reading never holds more than one provide message may carry.
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "session/ExtendedClipboard.h"

namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

// Puts raw blocks on the clipboard: (format, bytes) pairs.
void PutRaw(const std::vector<std::pair<UINT, std::vector<std::uint8_t>>>& blocks) {
  ASSERT_TRUE(OpenClipboard(nullptr));
  ASSERT_TRUE(EmptyClipboard());
  for (const auto& b : blocks) {
    HGLOBAL g = GlobalAlloc(GMEM_MOVEABLE, b.second.size());
    ASSERT_NE(g, nullptr);
    std::memcpy(GlobalLock(g), b.second.data(), b.second.size());
    GlobalUnlock(g);
    ASSERT_NE(SetClipboardData(b.first, g), nullptr);
  }
  CloseClipboard();
}

UINT Rtf() { return RegisterClipboardFormatA("Rich Text Format"); }
UINT Html() { return RegisterClipboardFormatA("HTML Format"); }

TEST(WindowsClipboard, FormatsComeBackAsTheyWerePut) {
  ClipboardContent put;
  put.data[0] = Bytes(std::string("gr\xC3\xBC\xC3\x9F" "e\r\nzwei \xE2\x82\xAC") + std::string(1, 0));
  put.data[1] = Bytes("{\\rtf1 x}");
  put.data[2] = Bytes("Version:0.9\r\n<b>x</b>");
  put.UpdateChecksum();
  ASSERT_TRUE(put.SetLocalClipboard(nullptr));

  ClipboardContent read;
  ASSERT_TRUE(read.ReadLocalClipboard(nullptr));
  EXPECT_EQ(read.data[0], put.data[0]);
  EXPECT_EQ(read.checksum, put.checksum);
  EXPECT_EQ(read.checksum, crc32(0, put.data[0].data(), static_cast<uInt>(put.data[0].size())));
  // Blocks come back whole; the bytes put lead them.
  for (int i = 1; i <= 2; i++) {
    ASSERT_GE(read.data[i].size(), put.data[i].size()) << i;
    EXPECT_EQ(0, std::memcmp(read.data[i].data(), put.data[i].data(), put.data[i].size())) << i;
  }
}

TEST(WindowsClipboard, ReadingHoldsNoMoreThanOneMessageCarries) {
  // Text "abc" takes 4 bytes (with its zero), RTF 10: HTML has what is left of the budget.
  const std::uint64_t left = extclip::kMaxProvidedBytes - 4 - 10;
  struct Case {
    std::uint64_t htmlSize;
    bool htmlRead;
  } cases[] = {{left, true}, {left + 1, false}};
  for (const Case& c : cases) {
    std::vector<std::uint8_t> text = {'a', 0, 'b', 0, 'c', 0, 0, 0};
    PutRaw({{CF_UNICODETEXT, text},
            {Rtf(), std::vector<std::uint8_t>(10, 'r')},
            {Html(), std::vector<std::uint8_t>(static_cast<std::size_t>(c.htmlSize), 'h')}});
    ClipboardContent read;
    ASSERT_TRUE(read.ReadLocalClipboard(nullptr));
    EXPECT_EQ(read.data[0], Bytes(std::string("abc", 4))) << c.htmlSize;
    EXPECT_EQ(read.data[1].size(), 10u) << c.htmlSize;
    EXPECT_EQ(read.data[2].size(), c.htmlRead ? c.htmlSize : 0) << c.htmlSize;
  }
  // The emptied clipboard leaves nothing behind for other tests.
  PutRaw({});
}

}  // namespace
