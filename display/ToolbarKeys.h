// The toolbar's custom key: the value the custom-key dialog returns (a keysym with the
// modifier bits of its check boxes) and the KeyEvents it sends.
#pragma once

#include <cstdint>
#include <vector>

#include "display/FrameCommands.h"

namespace toolbarkeys {

constexpr std::uint32_t kWithControl = 0x20000000;     // box 1033: Control_R held
constexpr std::uint32_t kWithAlt = 0x40000000;         // box 1035: Alt_L held
constexpr std::uint32_t kWithAltControl = 0x80000000;  // box 1030: Alt_R and Control_R held

// The dialog's result for the typed text and the three boxes: the keysym as an unsigned
// decimal number with the boxes' bits, or 0 when the text is not such a number. A number
// that would reach into the modifier bits (or 0) is refused too, since its own bits would
// be taken for boxes and a different key would be sent.
std::uint32_t CustomKeyValue(const char* text, bool control, bool alt, bool altControl);

// The KeyEvents for a dialog result, in order (empty for 0). Alt decides before
// Alt+Control, which decides before Control.
std::vector<framecmd::KeyStep> CustomKeySteps(std::uint32_t value);

}  // namespace toolbarkeys
