#include "display/DirectxSurface.h"

#include <algorithm>
#include <cstring>

namespace directx {

namespace {

int LowestBit(std::uint32_t mask) {
  int shift = 0;
  while (mask && !(mask & 1)) {
    mask >>= 1;
    shift++;
  }
  return shift;
}

SurfaceLayout Make(int bpp, int depth, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
  SurfaceLayout l;
  l.bitsPerPixel = bpp;
  l.depth = depth;
  l.redMask = r;
  l.greenMask = g;
  l.blueMask = b;
  l.redShift = LowestBit(r);
  l.greenShift = LowestBit(g);
  l.blueShift = LowestBit(b);
  return l;
}

}  // namespace

SurfaceLayout LayoutOf(SurfaceFormat format) {
  switch (format) {
    case SurfaceFormat::X8R8G8B8:
    case SurfaceFormat::A8R8G8B8: return Make(32, 24, 0xFF0000, 0xFF00, 0xFF);
    case SurfaceFormat::X1R5G5B5:
    case SurfaceFormat::A1R5G5B5: return Make(16, 15, 0x7C00, 0x3E0, 0x1F);
    case SurfaceFormat::R5G6B5: return Make(16, 16, 0xF800, 0x7E0, 0x1F);
    case SurfaceFormat::Unknown: break;
  }
  return SurfaceLayout();
}

SurfaceFormat FormatForSession(int bitsPerPixel, int redShift, SurfaceFormat displayFormat) {
  if (bitsPerPixel == 32) return displayFormat;
  if (bitsPerPixel == 16) {
    if (redShift == 11) return SurfaceFormat::R5G6B5;
    if (redShift == 10) return SurfaceFormat::X1R5G5B5;
  }
  return SurfaceFormat::Unknown;
}

PixelFormat FormatOfSurface(const PixelFormat& session, const SurfaceLayout& layout) {
  PixelFormat f = session;
  f.bitsPerPixel = static_cast<std::uint8_t>(layout.bitsPerPixel);
  f.depth = static_cast<std::uint8_t>(layout.depth);
  f.bigEndian = 0;
  f.trueColour = 1;
  f.redShift = static_cast<std::uint8_t>(layout.redShift);
  f.greenShift = static_cast<std::uint8_t>(layout.greenShift);
  f.blueShift = static_cast<std::uint8_t>(layout.blueShift);
  f.redMax = static_cast<std::uint16_t>(layout.redMask >> layout.redShift);
  f.greenMax = static_cast<std::uint16_t>(layout.greenMask >> layout.greenShift);
  f.blueMax = static_cast<std::uint16_t>(layout.blueMask >> layout.blueShift);
  return f;
}

bool SamePixelMeaning(const PixelFormat& a, const PixelFormat& b) {
  if (a.bitsPerPixel != b.bitsPerPixel || a.trueColour != b.trueColour) return false;
  // One byte per pixel has no byte order.
  if (a.bitsPerPixel > 8 && a.bigEndian != b.bigEndian) return false;
  if (!a.trueColour) return true;
  return a.redMax == b.redMax && a.greenMax == b.greenMax && a.blueMax == b.blueMax && a.redShift == b.redShift &&
         a.greenShift == b.greenShift && a.blueShift == b.blueShift;
}

namespace {

struct Rgb {
  int c[3];
};

// One channel of a surface pixel widened to 0..255.
int Widen(std::uint32_t value, std::uint32_t mask, int shift) {
  const std::uint32_t max = mask >> shift;
  if (max == 0) return 0;
  return static_cast<int>((((value & mask) >> shift) * 255 + max / 2) / max);
}

Rgb SurfacePixel(const SurfaceImage& s, int x, int y) {
  const std::uint8_t* p = s.bits + static_cast<std::size_t>(y) * s.pitch;
  std::uint32_t v;
  if (s.layout.bitsPerPixel == 16) {
    std::uint16_t v16;
    std::memcpy(&v16, p + static_cast<std::size_t>(x) * 2, 2);
    v = v16;
  } else {
    std::memcpy(&v, p + static_cast<std::size_t>(x) * 4, 4);
  }
  const SurfaceLayout& l = s.layout;
  return Rgb{{Widen(v, l.redMask, l.redShift), Widen(v, l.greenMask, l.greenShift),
              Widen(v, l.blueMask, l.blueShift)}};
}

// The rounding a channel of few bits brings when it is widened once more by the display.
int Margin(std::uint32_t mask, int shift) {
  const std::uint32_t max = mask >> shift;
  return 4 + (max ? static_cast<int>(255 / (2 * max)) : 0);
}

// At most this many points across and down; a point whose surrounding surface colours
// spread wider than kWideSpread in a channel is left out.
constexpr int kGridSide = 48;
constexpr int kWideSpread = 48;
constexpr int kFewestSamples = 16;

}  // namespace

PresentationCheck ComparePresentation(const SurfaceImage& surface, const ShownImage& shown, const Area* hidden,
                                      int hiddenCount) {
  PresentationCheck r;
  const SurfaceLayout& l = surface.layout;
  if (!surface.bits || !shown.bits || surface.width <= 0 || surface.height <= 0 || shown.width <= 0 ||
      shown.height <= 0 || (l.bitsPerPixel != 16 && l.bitsPerPixel != 32) ||
      surface.pitch < static_cast<std::size_t>(surface.width) * (l.bitsPerPixel / 8) ||
      shown.stride < static_cast<std::size_t>(shown.width) * 4)
    return r;
  const int margin[3] = {Margin(l.redMask, l.redShift), Margin(l.greenMask, l.greenShift),
                         Margin(l.blueMask, l.blueShift)};
  // How many surface pixels one window pixel covers, each way, and so how far around the
  // point the filter may have looked.
  const int reachX = (surface.width + shown.width - 1) / shown.width / 2 + 1;
  const int reachY = (surface.height + shown.height - 1) / shown.height / 2 + 1;
  const int across = std::min(kGridSide, shown.width), down = std::min(kGridSide, shown.height);
  for (int j = 0; j < down; j++) {
    const int y = static_cast<int>((2LL * j + 1) * shown.height / (2LL * down));
    // The point's centre on the surface.
    const long long sy2 = (2LL * y + 1) * surface.height / shown.height - 1;  // twice the coordinate
    const int sy = static_cast<int>(std::clamp<long long>(sy2 / 2, 0, surface.height - 1));
    for (int i = 0; i < across; i++) {
      const int x = static_cast<int>((2LL * i + 1) * shown.width / (2LL * across));
      const long long sx2 = (2LL * x + 1) * surface.width / shown.width - 1;
      const int sx = static_cast<int>(std::clamp<long long>(sx2 / 2, 0, surface.width - 1));
      bool underOther = false;
      for (int k = 0; k < hiddenCount && !underOther; k++)
        underOther = x >= hidden[k].left && x < hidden[k].right && y >= hidden[k].top && y < hidden[k].bottom;
      if (underOther) continue;
      int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
      for (int yy = std::max(0, sy - reachY); yy <= std::min(surface.height - 1, sy + reachY); yy++)
        for (int xx = std::max(0, sx - reachX); xx <= std::min(surface.width - 1, sx + reachX); xx++) {
          const Rgb p = SurfacePixel(surface, xx, yy);
          for (int c = 0; c < 3; c++) {
            lo[c] = std::min(lo[c], p.c[c]);
            hi[c] = std::max(hi[c], p.c[c]);
          }
        }
      bool telling = true;
      for (int c = 0; c < 3; c++) telling = telling && hi[c] - lo[c] <= kWideSpread;
      if (!telling) continue;
      const std::uint8_t* q = shown.bits + static_cast<std::size_t>(y) * shown.stride + static_cast<std::size_t>(x) * 4;
      const int seen[3] = {q[2], q[1], q[0]};
      bool inside = true;
      for (int c = 0; c < 3; c++) inside = inside && seen[c] >= lo[c] - margin[c] && seen[c] <= hi[c] + margin[c];
      r.samples++;
      if (inside) r.matching++;
    }
  }
  if (r.samples < kFewestSamples)
    r.verdict = Verdict::Inconclusive;
  else
    r.verdict = r.matching * 10 >= r.samples * 9 ? Verdict::Matches : Verdict::Differs;
  return r;
}

void* LockSurface(DirectxDevice& device, SurfaceState& state) {
  switch (device.TestCooperativeLevel()) {
    case DirectxDevice::Cooperation::Lost:
      device.Sleep(kLostDeviceSleepMs);
      state.deviceLost = true;
      return nullptr;
    case DirectxDevice::Cooperation::DriverError: state.deviceLost = true; return nullptr;
    case DirectxDevice::Cooperation::NotReset:
      if (!device.ResetDevice()) {
        state.deviceLost = true;
        return nullptr;
      }
      break;
    case DirectxDevice::Cooperation::Ok: break;
  }
  int pitch = 0;
  void* bits = device.LockWholeSurface(&pitch);
  if (!bits) {
    state.deviceLost = true;
    return nullptr;
  }
  state.surfaceLocked = true;
  state.deviceLost = false;
  state.pitch = pitch;
  state.bits = bits;
  return bits;
}

void* LockForUpdate(DirectxDevice& device, SurfaceState& state, void* previous) {
  for (int i = 0; i < kPaintWaitRounds && device.Painting(); i++) device.Sleep(2);
  if (!device.HaveDeviceAndSurface()) {
    if (!device.Recreate()) return nullptr;
    // A new surface is not locked yet, whatever the old one was.
    state.recreated = true;
    state.surfaceLocked = false;
    state.bits = nullptr;
  }
  // Still locked since the last update: the bits are those of that lock (what the caller
  // kept, unless it lost them).
  if (state.surfaceLocked) return state.bits ? state.bits : previous;
  for (int i = 0; i < kLockTries; i++)
    if (void* bits = LockSurface(device, state)) return bits;
  device.Sleep(kGiveUpSleepMs);
  if (device.Recreate()) {
    state.recreated = true;
    state.surfaceLocked = false;
    state.bits = nullptr;
  }
  return nullptr;
}

}  // namespace directx
