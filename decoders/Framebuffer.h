// What the decoders see of a connection's framebuffer bitmap, and the small interface
// through which they reach it. The connection implements FramebufferHost (a DIB section
// in the Win32 shell, plain memory in tests); decoders cross it once per rectangle or per
// strip of rows, never per pixel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoders/PixelFormat.h"

// One snapshot of the bitmap's geometry. Valid only while the framebuffer lock is held:
// a resize or a new pixel format replaces the bitmap between two locks.
struct Framebuffer {
  std::uint8_t* bits = nullptr;   // top-down rows; null while there is no bitmap (writes are skipped)
  std::uint8_t* cache = nullptr;  // the cache bitmap (same geometry) when the cache is on, else null
  int width = 0;                  // pixels
  int height = 0;
  std::size_t stride = 0;  // bytes from one row to the next, at least width * bytesPerPixel
  int bytesPerPixel = 4;   // 1, 2 or 4: format.BytesPerPixel()
  PixelFormat format;

  // Rows are 4-byte aligned: width * bytes per pixel rounded up to a multiple of 4.
  static std::size_t StrideFor(int width, int bytesPerPixel) {
    return (static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerPixel) + 3) & ~std::size_t(3);
  }

  // Whether pixels may be written: a bitmap exists and its geometry is consistent.
  bool Writable() const {
    return bits != nullptr && (bytesPerPixel == 1 || bytesPerPixel == 2 || bytesPerPixel == 4) && width >= 0 &&
           height >= 0 && stride >= static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerPixel);
  }

  std::uint8_t* At(int x, int y) const {
    return bits + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * bytesPerPixel;
  }
};

// Implemented by each connection.
class FramebufferHost {
public:
  // The framebuffer lock. It must be re-entrant: the soft cursor takes it again inside
  // decoders that already hold it.
  virtual void LockFramebuffer() = 0;
  virtual void UnlockFramebuffer() = 0;

  // The bitmap as it is now. Call only with the lock held.
  virtual Framebuffer CurrentFramebuffer() = 0;

  // A rectangle (framebuffer coordinates) changed and is to be invalidated after the
  // update; the connection converts it to window coordinates (scaling, scrolling) and
  // ignores it when it presents through Direct3D.
  virtual void AddRectToUpdateRegion(int x, int y, int w, int h) = 0;

  // Repaint this rectangle (framebuffer coordinates) now, without erasing; used by the soft
  // cursor. A no-op when the connection presents through Direct3D.
  virtual void InvalidateScreenRect(int x, int y, int w, int h) = 0;

protected:
  ~FramebufferHost() = default;
};

// Holds the framebuffer lock for a scope and the bitmap as seen under it.
class FramebufferLock {
public:
  explicit FramebufferLock(FramebufferHost& host) : host_(host) {
    host_.LockFramebuffer();
    try {
      fb_ = host_.CurrentFramebuffer();
    } catch (...) {
      host_.UnlockFramebuffer();
      throw;
    }
  }
  ~FramebufferLock() { host_.UnlockFramebuffer(); }
  FramebufferLock(const FramebufferLock&) = delete;
  FramebufferLock& operator=(const FramebufferLock&) = delete;

  const Framebuffer& fb() const { return fb_; }

private:
  FramebufferHost& host_;
  Framebuffer fb_;
};
