#include "session/SessionFormat.h"

#include <algorithm>

#include "app/KEBOptions.h"
#include "decoders/RectHeader.h"

namespace sessionformat {

namespace {

PixelFormat Make(int bpp, int depth, int rmax, int gmax, int bmax, int rsh, int gsh, int bsh, int grey) {
  PixelFormat pf;
  pf.bitsPerPixel = static_cast<std::uint8_t>(bpp);
  pf.depth = static_cast<std::uint8_t>(depth);
  pf.bigEndian = 0;
  pf.trueColour = 1;
  pf.redMax = static_cast<std::uint16_t>(rmax);
  pf.greenMax = static_cast<std::uint16_t>(gmax);
  pf.blueMax = static_cast<std::uint16_t>(bmax);
  pf.redShift = static_cast<std::uint8_t>(rsh);
  pf.greenShift = static_cast<std::uint8_t>(gsh);
  pf.blueShift = static_cast<std::uint8_t>(bsh);
  pf.greyscale = static_cast<std::uint8_t>(grey);
  return pf;
}

// Pseudo-encodings announced after the real ones.
constexpr std::int32_t kCompressLevel0 = static_cast<std::int32_t>(0xFFFFFF00);
constexpr std::int32_t kQualityLevel0 = static_cast<std::int32_t>(0xFFFFFFE0);
constexpr std::uint32_t kFixedTail[] = {0xFFFF000B, 0xFFFFFF20, 0xFFFFFF21, 0xFFFFFECC};
constexpr std::uint32_t kCacheEncoding = 0xFFFF0001;
constexpr std::uint32_t kServerExtensions[] = {0xFFFF8000, 0xFFFF8001, 0xFFFF8004, 0xFFFF8002,
                                               0xFFFF8003, 0xFFFF8005, 0xC0A1E5CE};
constexpr std::uint32_t kPluginInterfaces = 0xC0A1E5CF;
constexpr std::uint32_t kGii = 0xFFFFFECF;

bool Contains(const std::vector<std::int32_t>& v, std::int32_t e) { return std::find(v.begin(), v.end(), e) != v.end(); }

}  // namespace

PixelFormat Select(int colourMode, const PixelFormat& server, const char** logLine) {
  static const char k8bit[] = "Requesting 8-bit truecolour\n";
  *logLine = nullptr;
  // A mode the options file or an older version left out of range means full colour.
  if (colourMode < 0 || colourMode > 6) colourMode = 0;
  switch (colourMode) {
    case 1: *logLine = k8bit; return Make(8, 8, 7, 7, 3, 0, 3, 6, 0);
    case 2: *logLine = k8bit; return Make(8, 6, 3, 3, 3, 4, 2, 0, 0);
    case 3: *logLine = k8bit; return Make(8, 3, 1, 1, 1, 2, 1, 0, 0);
    case 4: *logLine = k8bit; return Make(8, 8, 7, 7, 3, 0, 3, 6, 1);
    case 5: *logLine = k8bit; return Make(8, 6, 3, 3, 3, 4, 2, 0, 1);
    case 6: *logLine = k8bit; return Make(8, 3, 1, 1, 1, 2, 1, 0, 1);
    default: break;
  }
  if (!server.trueColour) {
    *logLine = "Requesting 16-bit truecolour\n";
    return Make(16, 16, 63, 31, 31, 0, 6, 11, 0);
  }
  if (server.bitsPerPixel == 8 || server.bitsPerPixel == 16 || server.bitsPerPixel == 32) {
    // The server's own format, little-endian. It came from the network: a format the
    // decoders cannot work with is replaced by the 32-bit default.
    PixelFormat pf = PixelFormat::Sanitize(server);
    pf.bigEndian = 0;
    return pf;
  }
  *logLine = "Requesting 32-bit truecolour\n";
  return Make(32, 24, 255, 255, 255, 0, 8, 16, 0);
}

EncodingList Build(KEBOptions& opts, const EncodingContext& ctx) {
  if (!ctx.securityType17) {
    for (int& e : opts.m_PreferredEncodings)
      if (e == rfbenc::kOpalo2) e = rfbenc::kZRLE;
  }
  std::vector<std::int32_t> list(opts.m_PreferredEncodings.begin(), opts.m_PreferredEncodings.end());
  if (opts.m_EnableZstd && !list.empty()) {
    std::int32_t zstd = 0;
    switch (list.front()) {
      case rfbenc::kZlib: zstd = rfbenc::kZSTD; break;
      case rfbenc::kTight: zstd = rfbenc::kTightZstd; break;
      case rfbenc::kZlibHex: zstd = rfbenc::kZstdHex; break;
      case rfbenc::kZYWRLE: zstd = rfbenc::kZSTDYWRLE; break;
      default: break;
    }
    if (zstd) list.insert(list.begin(), zstd);
  }
  EncodingList out;
  out.has17 = Contains(list, rfbenc::kZYWRLE);
  out.has19 = Contains(list, rfbenc::kXZYW);
  for (int i = KEBOptions::kEncodingCount - 1; i >= 0; i--)
    if (opts.m_use_encoding[i] && !Contains(list, i)) list.push_back(i);

  bool compressible = false;
  for (std::int32_t e : list)
    if (e == rfbenc::kZlib || e == rfbenc::kTight || e == rfbenc::kZlibHex || e == rfbenc::kXZ || e == rfbenc::kXZYW)
      compressible = true;
  if (compressible && opts.m_compresslevelGiven && opts.m_compresslevel >= 0 && opts.m_compresslevel <= 9)
    list.push_back(kCompressLevel0 + opts.m_compresslevel);
  if (opts.m_cursorshape) {
    list.push_back(rfbenc::kRichCursor);
    if (!opts.m_noremotecursor) list.push_back(rfbenc::kPointerPos);
  }
  if (opts.m_qualityGiven && opts.m_quality >= 0 && opts.m_quality <= 9) list.push_back(kQualityLevel0 + opts.m_quality);
  for (std::uint32_t e : kFixedTail) list.push_back(static_cast<std::int32_t>(e));
  if (opts.m_EnableCache) list.push_back(static_cast<std::int32_t>(kCacheEncoding));
  for (std::uint32_t e : kServerExtensions) list.push_back(static_cast<std::int32_t>(e));
  if (ctx.pluginInterfaces) list.push_back(static_cast<std::int32_t>(kPluginInterfaces));
  if (opts.m_GiiEnable) list.push_back(static_cast<std::int32_t>(kGii));
  out.encodings = std::move(list);
  return out;
}

std::vector<std::uint8_t> SetEncodingsMessage(const std::vector<std::int32_t>& encodings) {
  // The count travels in 16 bits; the list built above has at most about 60 entries.
  std::size_t n = std::min<std::size_t>(encodings.size(), 0xFFFF);
  std::vector<std::uint8_t> m(4 + 4 * n);
  m[0] = 2;
  m[1] = 0;
  m[2] = static_cast<std::uint8_t>(n >> 8);
  m[3] = static_cast<std::uint8_t>(n);
  for (std::size_t i = 0; i < n; i++) {
    std::uint32_t e = static_cast<std::uint32_t>(encodings[i]);
    m[4 + 4 * i] = static_cast<std::uint8_t>(e >> 24);
    m[5 + 4 * i] = static_cast<std::uint8_t>(e >> 16);
    m[6 + 4 * i] = static_cast<std::uint8_t>(e >> 8);
    m[7 + 4 * i] = static_cast<std::uint8_t>(e);
  }
  return m;
}

void SetPixelFormatMessage(const PixelFormat& pf, std::uint8_t out[20]) {
  out[0] = 0;
  out[1] = out[2] = out[3] = 0;
  pf.ToWire(out + 4);
}

namespace {

constexpr int kUnchanged = -1;

// The presets of the "Quick enc" page. Preset 8 is the page's own "Custom" choice (and
// what switching "autoDetect" off on the Encoders page makes of the choice): the encodings
// stay as the user set them, only the automatic choice is off.
struct QuickPreset {
  int quick;
  int preferred;   // the one preferred encoding, or kUnchanged
  int colourMode;  // "8bit", or kUnchanged
  int autoDetect;  // 0 or 1
  int cache;       // "EnableCache" 0 or 1, or kUnchanged
  bool qualityOff;
  bool opaloSettings;  // CopyRect off; the server draws the cursor into the picture
};

constexpr QuickPreset kQuickPresets[] = {
    {1, rfbenc::kHextile, 0, 1, 0, false, false},
    {2, rfbenc::kHextile, 0, 0, 0, false, false},
    {3, rfbenc::kZRLE, 1, 0, 0, false, false},
    {4, rfbenc::kZRLE, 2, 0, 1, false, false},
    {5, rfbenc::kZRLE, 3, 0, 1, true, false},
    {7, rfbenc::kOpalo, 0, 0, 0, false, true},
    {8, kUnchanged, kUnchanged, 0, kUnchanged, false, false},
};

}  // namespace

void ApplyQuickOption(KEBOptions& o) {
  for (const QuickPreset& p : kQuickPresets) {
    if (p.quick != o.m_QuickOption) continue;
    if (p.preferred != kUnchanged) o.m_PreferredEncodings.assign(1, p.preferred);
    if (p.colourMode != kUnchanged) o.m_Use8Bit = p.colourMode;
    o.m_autoDetect = p.autoDetect != 0;
    if (p.cache != kUnchanged) o.m_EnableCache = p.cache != 0;
    if (p.qualityOff) o.m_qualityGiven = false;
    if (p.opaloSettings) {
      o.m_use_encoding[rfbenc::kCopyRect] = false;
      o.m_cursorshape = false;
      o.m_noremotecursor = true;
    }
    return;
  }
}

}  // namespace sessionformat
