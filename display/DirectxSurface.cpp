#include "display/DirectxSurface.h"

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
