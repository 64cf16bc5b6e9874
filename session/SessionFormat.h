// The pixel format a session asks the server for, and the ordered list of encodings it
// announces; both follow from the options alone (and from what the server offered).
#pragma once

#include <cstdint>
#include <vector>

#include "decoders/PixelFormat.h"

class KEBOptions;

namespace sessionformat {

// The format for a colour mode ("8bit" option, 0..6; any other value counts as 0) and the
// server's own format. *logLine gets the line to log, or nullptr.
PixelFormat Select(int colourMode, const PixelFormat& serverFormat, const char** logLine);

// What besides the options decides the encoding list.
struct EncodingContext {
  bool securityType17 = false;     // the session was authenticated with security type 17
  bool pluginInterfaces = false;   // an enabled plug-in in use offers per-connection interfaces
};

struct EncodingList {
  std::vector<std::int32_t> encodings;  // in the order sent
  bool has17 = false;                   // ZYWRLE is in the list
  bool has19 = false;                   // XZYW is in the list
};

// Builds the list from the options. Unless the session used security type 17, every Opalo2
// (10) in the preferred list becomes ZRLE (16), in the options too.
EncodingList Build(KEBOptions& opts, const EncodingContext& ctx);

// The SetEncodings message: type 2, padding, u16 count, count x s32 (big-endian).
std::vector<std::uint8_t> SetEncodingsMessage(const std::vector<std::int32_t>& encodings);

// The SetPixelFormat message: type 0, three padding bytes, the 16-byte format.
void SetPixelFormatMessage(const PixelFormat& pf, std::uint8_t out[20]);

// Sets the encoding options from one preset number (the "QuickOption" value: 1 to 5, 7
// and 8, the presets of the option pages' "Quick enc" page); other numbers change nothing.
void ApplyQuickOption(KEBOptions& opts);

}  // namespace sessionformat
