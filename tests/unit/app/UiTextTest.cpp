// The texts of the string table as the program reads them: every text the code can ask
// for lies in a range that is loaded and comes back whole; ids outside have none.
#include <gtest/gtest.h>

#include <string>

#include "app/UiText.h"

namespace {

// A text added to the table beyond the loaded ranges would be asked for and found empty;
// a text cut to a buffer's size would be shown cut.
TEST(UiText, EveryTextOfTheTableFromTheFirstLoadedIdIsLoadedWhole) {
  LoadBuiltinUiTexts();
  int checked = 0;
  for (int id = kUiTextFirst; id <= 0xFFFF; id++) {
    const char* builtin = BuiltinUiText(id);
    if (!builtin) continue;
    SCOPED_TRACE(id);
    EXPECT_TRUE((id >= kUiTextFirst && id <= kUiTextLast) || (id >= kHandshakeTextFirst && id <= kHandshakeTextLast));
    EXPECT_STREQ(UiText(id), builtin);
    checked++;
  }
  EXPECT_GT(checked, 0);
}

TEST(UiText, AStoredTextIsReadBackWholeAndIdsOutsideTheRangesHaveNone) {
  const std::string long_text(3000, 'x');
  SetUiText(kUiTextLast, long_text.c_str());
  EXPECT_EQ(UiText(kUiTextLast), long_text);
  SetUiText(kHandshakeTextFirst, "first of the handshake");
  EXPECT_STREQ(UiText(kHandshakeTextFirst), "first of the handshake");
  for (int id : {kUiTextFirst - 1, kUiTextLast + 1, kHandshakeTextFirst - 1, kHandshakeTextLast + 1}) {
    SetUiText(id, "kept nowhere");
    EXPECT_STREQ(UiText(id), "") << id;
  }
  SetUiText(kUiTextLast, BuiltinUiText(kUiTextLast));
  SetUiText(kHandshakeTextFirst, BuiltinUiText(kHandshakeTextFirst));
}

}  // namespace
