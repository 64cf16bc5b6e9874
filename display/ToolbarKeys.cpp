#include "display/ToolbarKeys.h"

#include <cctype>

namespace toolbarkeys {

namespace {
constexpr std::uint32_t kAltL = 0xFFE9, kAltR = 0xFFEA, kControlR = 0xFFE4;
constexpr std::uint32_t kModifierBits = kWithControl | kWithAlt | kWithAltControl;
}  // namespace

std::uint32_t CustomKeyValue(const char* text, bool control, bool alt, bool altControl) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  if (!std::isdigit(static_cast<unsigned char>(*text))) return 0;
  std::uint64_t key = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    key = key * 10 + static_cast<std::uint64_t>(*text - '0');
    if (key & ~static_cast<std::uint64_t>(~kModifierBits)) return 0;  // too large for a keysym
  }
  while (*text == ' ' || *text == '\t') ++text;
  if (*text || key == 0) return 0;
  std::uint32_t value = static_cast<std::uint32_t>(key);
  if (control) value |= kWithControl;
  if (alt) value |= kWithAlt;
  if (altControl) value |= kWithAltControl;
  return value;
}

std::vector<framecmd::KeyStep> CustomKeySteps(std::uint32_t value) {
  if (value == 0) return {};
  // Only the keysym goes out: the bits of the boxes not deciding are not part of it.
  if (value & kWithAlt) {
    const std::uint32_t k = value & ~kModifierBits;
    return {{kAltL, true}, {k, true}, {k, false}, {kAltL, false}};
  }
  if (value & kWithAltControl) {
    const std::uint32_t k = value & ~kModifierBits;
    return {{kAltR, true}, {kControlR, true}, {k, true}, {k, false}, {kAltR, false}, {kControlR, false}};
  }
  if (value & kWithControl) {
    const std::uint32_t k = value & ~kModifierBits;
    return {{kControlR, true}, {k, true}, {k, false}, {kControlR, false}};
  }
  return {{value, true}, {value, false}};
}

}  // namespace toolbarkeys
