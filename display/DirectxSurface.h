// The platform-free part of presenting the framebuffer through Direct3D: which surface
// format a session can live in, the layout of each format, the session format that goes
// with a surface, how the surface is locked for the decoders when devices get lost or
// reset, and whether what the window shows is the surface. The Win32 ViewerDirectxClass
// supplies the device operations through DirectxDevice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoders/PixelFormat.h"

namespace directx {

enum class SurfaceFormat { Unknown, X8R8G8B8, A8R8G8B8, X1R5G5B5, A1R5G5B5, R5G6B5 };

struct SurfaceLayout {
  int bitsPerPixel = 0;  // 0: the framebuffer cannot live in this format
  int depth = 0;
  std::uint32_t redMask = 0, greenMask = 0, blueMask = 0;
  int redShift = 0, greenShift = 0, blueShift = 0;
};

SurfaceLayout LayoutOf(SurfaceFormat format);

// The back-buffer and surface format for a session of bitsPerPixel with that red shift on
// a display of displayFormat: the display's own at 32 bits per pixel, R5G6B5 or X1R5G5B5
// for a 16-bit session whose red shift is 11 or 10. Unknown: Direct3D is not used.
SurfaceFormat FormatForSession(int bitsPerPixel, int redShift, SurfaceFormat displayFormat);

// The session format whose pixels mean what the surface's mean: the session's, with the
// surface's channel sizes and shifts, little-endian, true colour.
PixelFormat FormatOfSurface(const PixelFormat& session, const SurfaceLayout& layout);

// Whether two formats give every pixel value the same colour (size, byte order, channel
// sizes and places); depth and padding do not matter.
bool SamePixelMeaning(const PixelFormat& a, const PixelFormat& b);

// What locking needs of the device. Calls come with the Direct3D object's lock held.
class DirectxDevice {
public:
  enum class Cooperation { Ok, Lost, DriverError, NotReset };
  virtual Cooperation TestCooperativeLevel() = 0;
  virtual bool ResetDevice() = 0;
  // The whole surface, its contents kept (the decoders update it piece by piece); null on
  // failure.
  virtual void* LockWholeSurface(int* pitch) = 0;
  virtual bool HaveDeviceAndSurface() = 0;
  // Releases everything and creates device and surface again as last created.
  virtual bool Recreate() = 0;
  // The viewer window is being painted (presenting from the surface).
  virtual bool Painting() = 0;
  virtual void Sleep(int ms) = 0;

protected:
  ~DirectxDevice() = default;
};

struct SurfaceState {
  bool deviceLost = true;
  bool surfaceLocked = false;
  int pitch = 0;             // bytes per row of the last lock
  void* bits = nullptr;      // the bits of the last lock
  bool recreated = false;    // set when LockForUpdate made a new device and surface
};

// One attempt: the device's state is checked (a lost device waits 250 ms, a device that
// wants a reset is reset), then the surface is locked. Null when the surface cannot be
// locked now.
void* LockSurface(DirectxDevice& device, SurfaceState& state);

// Before the decoders write: the surface bits, locking it when it is not locked (then
// `previous` is stale) and making device and surface again when they are missing or will
// not lock. Null when there is nothing to write into; a new surface sets state.recreated
// (its contents are gone).
void* LockForUpdate(DirectxDevice& device, SurfaceState& state, void* previous);

// ---- Whether the window shows the surface ----

// The surface as the decoders left it (its layout tells the colours).
struct SurfaceImage {
  const std::uint8_t* bits = nullptr;
  int width = 0, height = 0;
  std::size_t pitch = 0;
  SurfaceLayout layout;
};

// What the window shows, read back as 32-bit pixels in memory order blue, green, red, x
// (a top-down 32-bit DIB): the whole client area, over which the surface is stretched.
struct ShownImage {
  const std::uint8_t* bits = nullptr;
  int width = 0, height = 0;
  std::size_t stride = 0;
};

// A part of the window, in its client coordinates: left and top inside, right and bottom
// outside.
struct Area {
  int left = 0, top = 0, right = 0, bottom = 0;
};

enum class Verdict { Matches, Differs, Inconclusive };

struct PresentationCheck {
  Verdict verdict = Verdict::Inconclusive;
  int samples = 0;  // points of the window that told something
  int matching = 0;
  bool unreadable = false;  // the window's picture could not be read at all (Differs)
  // Nothing was read: other windows hide most of the device window, or it is hidden,
  // minimised or not wholly on the screen, so what it shows now proves nothing either
  // way (Inconclusive).
  bool covered = false;
};

// Compares the window with the surface at a grid of points. Whatever filter stretched the
// surface, a shown pixel lies within the colours of the surface pixels under it (with a
// margin for rounding); points whose surface neighbourhood spans a wide range of colours
// tell little and are left out, and so are points in the `hidden` areas (other windows
// over it: what shows there is not the window's). Matches with at
// least 90 % of the telling points inside, Differs below that, Inconclusive with fewer
// than 16 telling points.
PresentationCheck ComparePresentation(const SurfaceImage& surface, const ShownImage& shown,
                                      const Area* hidden = nullptr, int hiddenCount = 0);

constexpr int kPaintWaitRounds = 300;  // x 2 ms
constexpr int kLockTries = 21;
constexpr int kLostDeviceSleepMs = 250;
constexpr int kGiveUpSleepMs = 1500;

}  // namespace directx
