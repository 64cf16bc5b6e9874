// Plain cut text on the wire and the conversions between the wire and the Windows
// clipboard: line ends both ways, UTF-16 to UTF-8 and back with every kind of bad input.
#include <gtest/gtest.h>

#include <string>

#include "session/CutText.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CutText, ClientCutTextCarriesTheLengthInFrontOfTheText) {
  EXPECT_EQ(cuttext::ClientCutText("a\nb", 3), (Bytes{6, 0, 0, 0, 0, 0, 0, 3, 'a', '\n', 'b'}));
  EXPECT_EQ(cuttext::ClientCutText("", 0), (Bytes{6, 0, 0, 0, 0, 0, 0, 0}));
  const std::uint8_t flags[4] = {0x02, 0, 0, 0x0F};
  EXPECT_EQ(cuttext::ClientCutTextExtended(flags, 4), (Bytes{6, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFC, 2, 0, 0, 15}));
}

TEST(CutText, HeaderLengthsAndTheirPayloads) {
  struct Case {
    std::uint32_t field;
    std::int32_t length;
    std::uint64_t payload;
  } cases[] = {{5, 5, 5},
               {0, 0, 0},
               {0xFFFFFFFA, -6, 6},
               {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},
               // The most negative length announces 2 GiB, not a negative count.
               {0x80000000, INT32_MIN, 0x80000000ull}};
  for (const Case& c : cases) {
    const std::uint8_t h[8] = {3, 0, 0, 0, std::uint8_t(c.field >> 24), std::uint8_t(c.field >> 16),
                               std::uint8_t(c.field >> 8), std::uint8_t(c.field)};
    EXPECT_EQ(cuttext::HeaderLength(h), c.length) << c.field;
    EXPECT_EQ(cuttext::PayloadSize(c.length), c.payload) << c.field;
  }
}

TEST(CutText, LineEndsBetweenTheWireAndTheClipboard) {
  struct Case {
    std::string wire, local;
  } toLocal[] = {{"a\nb", "a\r\nb"}, {"\n\n", "\r\n\r\n"}, {"", ""}, {"no line end", "no line end"}};
  for (const Case& c : toLocal) EXPECT_EQ(cuttext::ToLocalLineEnds(c.wire.data(), c.wire.size()), c.local);
  // The clipboard keeps text up to its first zero byte.
  EXPECT_EQ(cuttext::ToLocalLineEnds("a\nb\0c\n", 6), "a\r\nb");

  // Two one-letter lines go to the server as 3 bytes.
  EXPECT_EQ(cuttext::RemoveCarriageReturns("a\r\nb", 4), "a\nb");
  EXPECT_EQ(cuttext::RemoveCarriageReturns("\r\r\rx\r", 5), "x");
}

TEST(CutText, Utf16ToUtf8) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"plain", "plain"},
      {u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},                 // a surrogate pair
      {std::u16string(1, char16_t(0xD83D)) + u"x", "\xef\xbf\xbdx"},  // high surrogate alone
      {std::u16string(1, char16_t(0xDE00)), "\xef\xbf\xbd"},          // low surrogate alone
      {std::u16string(u"ab\0cd", 5), "ab"},                          // ends at the zero unit
  };
  for (const Case& c : cases) EXPECT_EQ(cuttext::Utf16ToUtf8(c.in.data(), c.in.size()), c.out);
  // A high surrogate in the last unit does not look past the end.
  const char16_t cut[2] = {u'a', 0xD800};
  EXPECT_EQ(cuttext::Utf16ToUtf8(cut, 2), "a\xef\xbf\xbd");
}

TEST(CutText, Utf8ToUtf16ReplacesWhatIsNotUtf8) {
  const std::u16string r(1, char16_t(0xFFFD));
  struct Case {
    const char* name;
    std::string in;
    std::u16string out;
  } cases[] = {
      {"ascii", "abc", u"abc"},
      {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", u"\u00e9\u20ac\U0001F600"},
      {"stray continuation byte", "a\x80z", u"a" + r + u"z"},
      {"overlong slash", "\xc0\xaf", r + r},
      {"overlong three-byte form", "\xe0\x80\xaf", r + r + r},
      {"encoded surrogate", "\xed\xa0\x80", r + r + r},
      {"above U+10FFFF", "\xf4\x90\x80\x80", r + r + r + r},
      {"invalid lead bytes", "\xfe\xff", r + r},
      {"three-byte form cut short before a letter", "\xe2\x82z", r + u"z"},
      {"cut short at the end", "ab\xe2\x82", u"ab" + r},
      {"ends at the zero byte", std::string("hi\0there", 8), u"hi"},
      {"largest code point", "\xf4\x8f\xbf\xbf", u"\U0010FFFF"},
  };
  for (const Case& c : cases) EXPECT_EQ(cuttext::Utf8ToUtf16(c.in.data(), c.in.size()), c.out) << c.name;
}

TEST(CutText, UnicodeRoundTrip) {
  std::u16string all;
  for (char32_t c : {U'a', U'\u00ff', U'\u0800', U'\uFFFC', U'\U00010000', U'\U0010FFFF'}) {
    if (c >= 0x10000) {
      all += char16_t(0xD800 + ((c - 0x10000) >> 10));
      all += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      all += char16_t(c);
    }
  }
  const std::string utf8 = cuttext::Utf16ToUtf8(all.data(), all.size());
  EXPECT_EQ(cuttext::Utf8ToUtf16(utf8.data(), utf8.size()), all);
}

}  // namespace
