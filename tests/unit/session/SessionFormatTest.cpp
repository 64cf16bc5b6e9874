#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/KEBOptions.h"
#include "session/SessionFormat.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Encs = std::vector<std::int32_t>;

constexpr std::int32_t E(std::uint32_t v) { return static_cast<std::int32_t>(v); }

PixelFormat FromBytes(const Bytes& b) { return PixelFormat::FromWire(b.data()); }

Bytes SetPixelFormatFor(int mode, const PixelFormat& server) {
  const char* line = nullptr;
  PixelFormat pf = sessionformat::Select(mode, server, &line);
  std::uint8_t m[20];
  sessionformat::SetPixelFormatMessage(pf, m);
  return Bytes(m, m + 20);
}

const Bytes kServer888 = {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0};

// SetPixelFormat as sent in each colour mode (server: 32-bit true colour).
TEST(SessionFormat, SetPixelFormatPerColourMode) {
  struct Case {
    int mode;
    Bytes body;  // the 16 bytes after type and padding
  } cases[] = {
      {0, {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0}},
      {1, {8, 8, 0, 1, 0, 7, 0, 7, 0, 3, 0, 3, 6, 0, 0, 0}},
      {2, {8, 6, 0, 1, 0, 3, 0, 3, 0, 3, 4, 2, 0, 0, 0, 0}},
      {3, {8, 3, 0, 1, 0, 1, 0, 1, 0, 1, 2, 1, 0, 0, 0, 0}},
      {4, {8, 8, 0, 1, 0, 7, 0, 7, 0, 3, 0, 3, 6, 1, 0, 0}},
      {5, {8, 6, 0, 1, 0, 3, 0, 3, 0, 3, 4, 2, 0, 1, 0, 0}},
      {6, {8, 3, 0, 1, 0, 1, 0, 1, 0, 1, 2, 1, 0, 1, 0, 0}},
      // Out of range: full colour, as mode 0.
      {7, {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0}},
      {-1, {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0}},
      {255, {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    Bytes expect = {0, 0, 0, 0};
    expect.insert(expect.end(), c.body.begin(), c.body.end());
    EXPECT_EQ(SetPixelFormatFor(c.mode, FromBytes(kServer888)), expect);
  }
}

// Mode 0 by the server's own format.
TEST(SessionFormat, FullColourFollowsTheServer) {
  struct Case {
    const char* what;
    Bytes server;
    Bytes body;
  } cases[] = {
      {"16-bit big-endian: kept, little-endian", {16, 16, 1, 1, 0, 31, 0, 63, 0, 31, 11, 5, 0, 0, 0, 0},
       {16, 16, 0, 1, 0, 31, 0, 63, 0, 31, 11, 5, 0, 0, 0, 0}},
      {"8-bit bgr233: kept", {8, 8, 0, 1, 0, 7, 0, 7, 0, 3, 0, 3, 6, 0, 0, 0}, {8, 8, 0, 1, 0, 7, 0, 7, 0, 3, 0, 3, 6, 0, 0, 0}},
      {"24 bits per pixel: 32-bit", {24, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0},
       {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 0, 8, 16, 0, 0, 0}},
      {"colour map: 16-bit", {8, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {16, 16, 0, 1, 0, 63, 0, 31, 0, 31, 0, 6, 11, 0, 0, 0}},
      {"unusable true colour (zero maximum): 32-bit default", {32, 24, 0, 1, 0, 0, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0},
       {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 0, 8, 16, 0, 0, 0}},
      {"field beyond the pixel: 32-bit default", {16, 16, 0, 1, 0, 255, 0, 63, 0, 31, 11, 5, 0, 0, 0, 0},
       {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 0, 8, 16, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes expect = {0, 0, 0, 0};
    expect.insert(expect.end(), c.body.begin(), c.body.end());
    EXPECT_EQ(SetPixelFormatFor(0, FromBytes(c.server)), expect);
  }
}

// The fixed tail every SetEncodings ends with (no cache, no plug-in, no gii).
const Encs kTail = {E(0xFFFF000B), E(0xFFFFFF20), E(0xFFFFFF21), E(0xFFFFFECC), E(0xFFFF8000), E(0xFFFF8001),
                    E(0xFFFF8004), E(0xFFFF8002), E(0xFFFF8003), E(0xFFFF8005), E(0xC0A1E5CE)};

Encs Concat(Encs a, const Encs& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void AllOff(KEBOptions& o) {
  for (bool& u : o.m_use_encoding) u = false;
  o.m_PreferredEncodings.clear();
  o.m_cursorshape = false;
  o.m_compresslevelGiven = false;
  o.m_qualityGiven = false;
  o.m_EnableZstd = false;
}

TEST(SessionFormat, DefaultEncodingList) {
  KEBOptions o;
  sessionformat::EncodingList l = sessionformat::Build(o, {});
  Encs expect = {16, 29, 27, 26, 25, 19, 18, 17, 10, 9, 8, 7, 6, 5, 4, 2, 1, 0,
                 E(0xFFFFFF06), E(0xFFFFFF11), E(0xFFFFFF18), E(0xFFFFFFE8)};
  EXPECT_EQ(l.encodings, Concat(expect, kTail));
  EXPECT_FALSE(l.has17);  // only the preferred list counts
  // Opalo2 in the preferred list became ZRLE in the shared options too.
  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{16});
}

TEST(SessionFormat, SecurityType17KeepsOpalo2) {
  KEBOptions o;
  AllOff(o);
  o.m_PreferredEncodings = {10};
  sessionformat::EncodingContext ctx;
  ctx.securityType17 = true;
  EXPECT_EQ(sessionformat::Build(o, ctx).encodings, Concat({10}, kTail));
  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{10});
}

TEST(SessionFormat, EverythingOffStillAnnouncesThePseudoEncodings) {
  KEBOptions o;
  AllOff(o);
  std::vector<std::uint8_t> msg = sessionformat::SetEncodingsMessage(sessionformat::Build(o, {}).encodings);
  ASSERT_EQ(msg.size(), 4 + 4 * kTail.size());
  EXPECT_EQ(msg[0], 2);
  EXPECT_EQ(msg[1], 0);
  EXPECT_EQ(msg[2], 0);
  EXPECT_EQ(msg[3], kTail.size());
  const std::uint8_t first[4] = {0xFF, 0xFF, 0x00, 0x0B};
  EXPECT_EQ(0, std::memcmp(&msg[4], first, 4));
}

TEST(SessionFormat, ZstdCounterpartGoesInFrontOfTheFirstPreferred) {
  struct Case {
    int preferred;
    bool zstd;
    Encs head;
  } cases[] = {
      {6, true, {25, 6}}, {7, true, {26, 7}}, {8, true, {27, 8}}, {17, true, {29, 17}},
      {5, true, {5}},     {16, true, {16}},   {6, false, {6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.preferred);
    KEBOptions o;
    AllOff(o);
    o.m_PreferredEncodings = {c.preferred};
    o.m_EnableZstd = c.zstd;
    sessionformat::EncodingList l = sessionformat::Build(o, {});
    EXPECT_EQ(l.encodings, Concat(c.head, kTail));
    EXPECT_EQ(l.has17, c.preferred == 17);
  }
}

TEST(SessionFormat, EnabledEncodingsFollowThePreferredOnesFromHighToLow) {
  KEBOptions o;
  AllOff(o);
  o.m_PreferredEncodings = {6};
  o.m_EnableZstd = true;
  o.m_use_encoding[6] = o.m_use_encoding[25] = o.m_use_encoding[0] = o.m_use_encoding[19] = true;
  sessionformat::EncodingList l = sessionformat::Build(o, {});
  EXPECT_EQ(l.encodings, Concat({25, 6, 19, 0}, kTail));
  EXPECT_FALSE(l.has19);  // 19 came from use_encoding, not from the preferred list
}

TEST(SessionFormat, CompressionLevelOnlyWithACompressingEncoding) {
  struct Case {
    std::vector<int> enabled;
    bool given;
    int level;
    bool expectLevel;
  } cases[] = {
      {{6}, true, 6, true},  {{7}, true, 0, true},   {{8}, true, 9, true},  {{18}, true, 3, true},
      {{19}, true, 1, true}, {{5, 16, 0}, true, 6, false}, {{6}, false, 6, false},
  };
  for (const auto& c : cases) {
    KEBOptions o;
    AllOff(o);
    for (int e : c.enabled) o.m_use_encoding[e] = true;
    o.m_compresslevelGiven = c.given;
    o.m_compresslevel = c.level;
    Encs l = sessionformat::Build(o, {}).encodings;
    bool found = std::find(l.begin(), l.end(), E(0xFFFFFF00 + c.level)) != l.end();
    EXPECT_EQ(found, c.expectLevel) << c.enabled[0] << " level " << c.level;
  }
}

TEST(SessionFormat, CursorQualityCacheAndGii) {
  KEBOptions o;
  AllOff(o);
  o.m_cursorshape = true;
  o.m_qualityGiven = true;
  o.m_quality = 3;
  o.m_EnableCache = true;
  o.m_GiiEnable = true;
  Encs expect = {E(0xFFFFFF11), E(0xFFFFFF18), E(0xFFFFFFE3), E(0xFFFF000B), E(0xFFFFFF20), E(0xFFFFFF21),
                 E(0xFFFFFECC), E(0xFFFF0001), E(0xFFFF8000), E(0xFFFF8001), E(0xFFFF8004), E(0xFFFF8002),
                 E(0xFFFF8003), E(0xFFFF8005), E(0xC0A1E5CE), E(0xFFFFFECF)};
  EXPECT_EQ(sessionformat::Build(o, {}).encodings, expect);

  o.m_noremotecursor = true;
  Encs l = sessionformat::Build(o, {}).encodings;
  EXPECT_EQ(l[0], E(0xFFFFFF11));
  EXPECT_EQ(l[1], E(0xFFFFFFE3));
}

TEST(SessionFormat, QuickOptionPresets) {
  struct Case {
    int quick;
    int preferred, mode;
    bool autoDetect, cache, qualityKept;
  } cases[] = {
      {1, 5, 0, true, false, true},  {2, 5, 0, false, false, true}, {3, 16, 1, false, false, true},
      {4, 16, 2, false, true, true}, {5, 16, 3, false, true, false}, {7, 9, 0, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quick);
    KEBOptions o;
    o.m_QuickOption = c.quick;
    o.m_Use8Bit = 6;
    o.m_autoDetect = !c.autoDetect;
    o.m_EnableCache = !c.cache;
    sessionformat::ApplyQuickOption(o);
    EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{c.preferred});
    EXPECT_EQ(o.m_Use8Bit, c.mode);
    EXPECT_EQ(o.m_autoDetect, c.autoDetect);
    EXPECT_EQ(o.m_EnableCache, c.cache);
    EXPECT_EQ(o.m_qualityGiven, c.qualityKept);
    EXPECT_EQ(o.m_use_encoding[1], c.quick != 7);
    EXPECT_EQ(o.m_cursorshape, c.quick != 7);
    EXPECT_EQ(o.m_noremotecursor, c.quick == 7);
  }
  // 8, the page's "Custom": only the automatic choice goes off; the encodings, colours
  // and cache stay as the user set them.
  KEBOptions custom;
  custom.m_QuickOption = 8;
  custom.m_PreferredEncodings = {6};
  custom.m_Use8Bit = 4;
  custom.m_autoDetect = true;
  custom.m_EnableCache = true;
  sessionformat::ApplyQuickOption(custom);
  EXPECT_FALSE(custom.m_autoDetect);
  EXPECT_EQ(custom.m_PreferredEncodings, std::vector<int>{6});
  EXPECT_EQ(custom.m_Use8Bit, 4);
  EXPECT_TRUE(custom.m_EnableCache);
  EXPECT_TRUE(custom.m_cursorshape);
  // Numbers without a preset (from the command line or an options file) change nothing.
  for (int other : {0, 6, 9, -1}) {
    SCOPED_TRACE(other);
    KEBOptions o, before;
    o.m_QuickOption = other;
    o.m_Use8Bit = 4;
    o.m_autoDetect = true;
    sessionformat::ApplyQuickOption(o);
    EXPECT_EQ(o.m_Use8Bit, 4);
    EXPECT_TRUE(o.m_autoDetect);
    EXPECT_EQ(o.m_PreferredEncodings, before.m_PreferredEncodings);
  }
}

// Preset 7 names Opalo, and Opalo stays Opalo on the wire: unlike Opalo2, the encoding
// list does not trade it for ZRLE when the session is not of security type 17.
TEST(SessionFormat, OpaloPresetReachesTheServer) {
  KEBOptions o;
  o.m_QuickOption = 7;
  sessionformat::ApplyQuickOption(o);
  EXPECT_EQ(sessionformat::Build(o, {}).encodings.at(0), 9);
  o.m_PreferredEncodings = {10};
  EXPECT_EQ(sessionformat::Build(o, {}).encodings.at(0), 16);
}

}  // namespace
