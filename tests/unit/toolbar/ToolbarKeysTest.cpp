// The toolbar's custom key: what the dialog's text and boxes give, and the KeyEvents sent.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "display/ToolbarKeys.h"

using framecmd::KeyStep;
using namespace toolbarkeys;

namespace {

constexpr std::uint32_t kEscape = 0xFF1B, kAltL = 0xFFE9, kAltR = 0xFFEA, kControlR = 0xFFE4;

struct ValueCase {
  const char* text;
  bool control, alt, altControl;
  std::uint32_t want;
};

TEST(CustomKey, DialogValue) {
  const ValueCase cases[] = {
      {"65307", false, false, false, 65307},
      {" 97 ", true, false, false, 97 | kWithControl},
      {"97", false, true, false, 97 | kWithAlt},
      {"65307", false, false, true, 65307 | kWithAltControl},
      {"97", true, true, true, 97 | kWithControl | kWithAlt | kWithAltControl},
      {"0x61", false, false, false, 0},        // hexadecimal is not taken
      {"", true, false, false, 0},             // nothing typed: no key, whatever the boxes
      {"abc", false, false, false, 0},
      {"-5", false, false, false, 0},
      {"12a", false, false, false, 0},
      {"0", false, false, false, 0},
      {"536870911", false, false, false, 536870911},  // the largest keysym the bits leave
      {"536870912", false, false, false, 0},  // would be read as the Control box
      {"4294967296", false, false, false, 0},  // beyond 32 bits
      {"99999999999999999999999", false, false, false, 0},
  };
  for (const ValueCase& c : cases)
    EXPECT_EQ(CustomKeyValue(c.text, c.control, c.alt, c.altControl), c.want) << '"' << c.text << '"';
  EXPECT_EQ(CustomKeyValue(nullptr, true, true, true), 0u);
}

struct StepsCase {
  std::uint32_t value;
  std::vector<KeyStep> want;
};

TEST(CustomKey, KeyEvents) {
  const StepsCase cases[] = {
      {0, {}},
      {kEscape, {{kEscape, true}, {kEscape, false}}},
      {kEscape | kWithControl, {{kControlR, true}, {kEscape, true}, {kEscape, false}, {kControlR, false}}},
      {kEscape | kWithAlt, {{kAltL, true}, {kEscape, true}, {kEscape, false}, {kAltL, false}}},
      {kEscape | kWithAltControl,
       {{kAltR, true}, {kControlR, true}, {kEscape, true}, {kEscape, false}, {kAltR, false}, {kControlR, false}}},
      // Alt decides over the others, Alt+Control over Control; the keysym carries no box bits.
      {kEscape | kWithAlt | kWithAltControl | kWithControl,
       {{kAltL, true}, {kEscape, true}, {kEscape, false}, {kAltL, false}}},
      {kEscape | kWithAltControl | kWithControl,
       {{kAltR, true}, {kControlR, true}, {kEscape, true}, {kEscape, false}, {kAltR, false}, {kControlR, false}}},
  };
  for (const StepsCase& c : cases) EXPECT_EQ(CustomKeySteps(c.value), c.want) << std::hex << c.value;
}

}  // namespace
