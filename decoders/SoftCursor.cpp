#include "decoders/SoftCursor.h"

#include <algorithm>

#include "decoders/PixelOps.h"

namespace {

template <class P>
void DrawMasked(const Framebuffer& fb, int left, int top, int vx, int vy, int vw, int vh, int cursorWidth,
                const std::uint32_t* pixels, const std::uint8_t* mask) {
  for (int r = 0; r < vh; r++) {
    int cy = vy + r - top;  // row inside the cursor
    std::size_t base = static_cast<std::size_t>(cy) * cursorWidth + (vx - left);
    P* dst = reinterpret_cast<P*>(fb.At(vx, vy + r));
    for (int i = 0; i < vw; i++)
      if (mask[base + i]) dst[i] = static_cast<P>(pixels[base + i]);
  }
}

}  // namespace

SoftCursor::Area SoftCursor::CursorRect() const {
  Area a;
  a.x = posX_ - hotX_;
  a.y = posY_ - hotY_;
  a.w = width_;
  a.h = height_;
  return a;
}

SoftCursor::Area SoftCursor::VisiblePart(const Framebuffer& fb) const {
  Area c = CursorRect();
  long long x0 = std::max<long long>(c.x, 0), y0 = std::max<long long>(c.y, 0);
  long long x1 = std::min<long long>(static_cast<long long>(c.x) + c.w, fb.width);
  long long y1 = std::min<long long>(static_cast<long long>(c.y) + c.h, fb.height);
  Area v;
  if (x1 <= x0 || y1 <= y0) return v;  // wholly outside: empty
  v.x = static_cast<int>(x0);
  v.y = static_cast<int>(y0);
  v.w = static_cast<int>(x1 - x0);
  v.h = static_cast<int>(y1 - y0);
  return v;
}

bool SoftCursor::OverlapsLockedArea() const {
  Area c = CursorRect();
  long long cx1 = static_cast<long long>(c.x) + c.w, cy1 = static_cast<long long>(c.y) + c.h;
  long long lx1 = static_cast<long long>(locked_.x) + locked_.w, ly1 = static_cast<long long>(locked_.y) + locked_.h;
  return c.x < lx1 && locked_.x < cx1 && c.y < ly1 && locked_.y < cy1;
}

void SoftCursor::Save(const Framebuffer& fb) {
  saved_ = false;
  Area v = VisiblePart(fb);
  if (!fb.Writable() || v.w == 0) return;
  saveUnder_.resize(static_cast<std::size_t>(v.w) * v.h * fb.bytesPerPixel);
  dec::CopyBitmapToPacked(fb, v.x, v.y, v.w, v.h, saveUnder_.data());
  saved_ = true;
  savedArea_ = v;
  savedBits_ = fb.bits;
  savedWidth_ = fb.width;
  savedHeight_ = fb.height;
  savedBpp_ = fb.bytesPerPixel;
  savedStride_ = fb.stride;
}

void SoftCursor::Restore(const Framebuffer& fb) {
  if (!saved_) return;
  saved_ = false;
  // Pixels saved from a bitmap that has since been replaced are not written back.
  if (fb.bits != savedBits_ || fb.width != savedWidth_ || fb.height != savedHeight_ ||
      fb.bytesPerPixel != savedBpp_ || fb.stride != savedStride_)
    return;
  const Area& a = savedArea_;
  dec::CopyPixelRect(fb, a.x, a.y, a.w, a.h, savedBpp_, saveUnder_.data());
  host_.InvalidateScreenRect(a.x, a.y, a.w, a.h);
}

void SoftCursor::Draw(const Framebuffer& fb) {
  Area v = VisiblePart(fb);
  if (!fb.Writable() || v.w == 0) return;
  if (fb.format != pixelFormat_) {
    // The bitmap changed format since the shape arrived: carry the colours over.
    for (auto& p : pixels_) {
      std::uint32_t rgb = dec::PixelToRgb(pixelFormat_, p);
      p = dec::RgbToPixel(fb.format, rgb & 255, (rgb >> 8) & 255, (rgb >> 16) & 255);
    }
    pixelFormat_ = fb.format;
  }
  Area c = CursorRect();
  switch (fb.bytesPerPixel) {
    case 1: DrawMasked<std::uint8_t>(fb, c.x, c.y, v.x, v.y, v.w, v.h, width_, pixels_.data(), mask_.data()); break;
    case 2: DrawMasked<std::uint16_t>(fb, c.x, c.y, v.x, v.y, v.w, v.h, width_, pixels_.data(), mask_.data()); break;
    default: DrawMasked<std::uint32_t>(fb, c.x, c.y, v.x, v.y, v.w, v.h, width_, pixels_.data(), mask_.data()); break;
  }
  host_.InvalidateScreenRect(v.x, v.y, v.w, v.h);
}

void SoftCursor::Lift(const Framebuffer& fb) {
  if (shown_) Restore(fb);
  shown_ = false;
}

void SoftCursor::Show(const Framebuffer& fb) {
  Save(fb);
  Draw(fb);
  shown_ = true;
}

void SoftCursor::LockArea(int x, int y, int w, int h) {
  FramebufferLock lock(host_);
  if (!present_) return;
  if (!lockedValid_) {
    locked_ = Area{x, y, w, h};
    lockedValid_ = true;
  } else {
    long long x0 = std::min(locked_.x, x), y0 = std::min(locked_.y, y);
    long long x1 = std::max<long long>(static_cast<long long>(locked_.x) + locked_.w, static_cast<long long>(x) + w);
    long long y1 = std::max<long long>(static_cast<long long>(locked_.y) + locked_.h, static_cast<long long>(y) + h);
    locked_ = Area{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(std::min<long long>(x1 - x0, INT32_MAX)),
                   static_cast<int>(std::min<long long>(y1 - y0, INT32_MAX))};
  }
  if (shown_ && OverlapsLockedArea()) Lift(lock.fb());
}

void SoftCursor::UnlockScreen() {
  FramebufferLock lock(host_);
  if (present_ && !shown_) Show(lock.fb());
  lockedValid_ = false;
}

void SoftCursor::Move(int x, int y) {
  FramebufferLock lock(host_);
  if (present_ && shown_) Lift(lock.fb());
  posX_ = x;
  posY_ = y;
  if (present_ && (!lockedValid_ || !OverlapsLockedArea())) Show(lock.fb());
}

void SoftCursor::SetShape(int w, int h, int hotX, int hotY, std::vector<std::uint32_t> pixels,
                          std::vector<std::uint8_t> mask, const PixelFormat& format) {
  FramebufferLock lock(host_);
  Lift(lock.fb());
  present_ = false;
  pixels_.clear();
  mask_.clear();
  saveUnder_.clear();
  saveUnder_.shrink_to_fit();
  std::size_t n = static_cast<std::size_t>(w > 0 ? w : 0) * static_cast<std::size_t>(h > 0 ? h : 0);
  if (n == 0 || pixels.size() < n || mask.size() < n) {
    width_ = height_ = 0;
    pixels_.shrink_to_fit();
    mask_.shrink_to_fit();
    return;
  }
  width_ = w;
  height_ = h;
  hotX_ = std::min(std::max(hotX, 0), w - 1);
  hotY_ = std::min(std::max(hotY, 0), h - 1);
  pixels_ = std::move(pixels);
  mask_ = std::move(mask);
  pixelFormat_ = format;
  saveUnder_.reserve(n * 4);
  present_ = true;
  lockedValid_ = false;
  Show(lock.fb());
}

void SoftCursor::Clear() { SetShape(0, 0, 0, 0, {}, {}, PixelFormat()); }

void SoftCursor::FramebufferRebuilt() {
  FramebufferLock lock(host_);
  saved_ = false;
  shown_ = false;
}
