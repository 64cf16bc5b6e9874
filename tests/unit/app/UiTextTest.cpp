// The texts of the string table as the program reads them: each one whole, the handshake's
// block beside the main range, nothing for ids outside them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/UiText.h"
#include "resources/StringIds.h"

namespace {

TEST(UiText, EveryTextOfTheTableIsKeptWhole) {
  LoadBuiltinUiTexts();
  // Longer than the 64 bytes a text once had room for.
  const std::string configured = UiText(IDS_PLUGIN_NOT_CONFIGURED);
  EXPECT_EQ(configured, "The Plugin cannot be configured.\n\rPlease check its parameters and the password.");
  for (int id : {IDS_VERSION_READ_FAILED_PLUGIN, IDS_PROXY_INVALID, IDS_NO_SUPPORTED_AUTH, IDS_STATUS_ENCRYPTION}) {
    SCOPED_TRACE(id);
    ASSERT_NE(BuiltinUiText(id), nullptr);
    EXPECT_STREQ(UiText(id), BuiltinUiText(id));
  }
  EXPECT_GT(std::strlen(UiText(IDS_VERSION_READ_FAILED_PLUGIN)), 400u);
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
