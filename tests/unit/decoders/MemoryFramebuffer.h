// A connection's framebuffer in plain memory, for the decoder tests, the fuzzer and the
// benchmark: the bitmap, its lock (re-entrant, with its depth observable), and a record of
// the update region and of the screen invalidations.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "decoders/DecoderState.h"
#include "decoders/Framebuffer.h"
#include "decoders/RectHeader.h"
#include "rdr/Exception.h"
#include "rdr/InStream.h"

inline RectHeader Rect(int x, int y, int w, int h, std::int32_t encoding) {
  RectHeader r;
  r.x = static_cast<std::uint16_t>(x), r.y = static_cast<std::uint16_t>(y);
  r.w = static_cast<std::uint16_t>(w), r.h = static_cast<std::uint16_t>(h);
  r.encoding = encoding;
  return r;
}

struct TestRect {
  int x, y, w, h;
  bool operator==(const TestRect& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

inline PixelFormat Format8() {  // 8 bits, depth 8, 3/3/2 bits
  PixelFormat pf;
  pf.bitsPerPixel = 8;
  pf.depth = 8;
  pf.redMax = 7, pf.greenMax = 7, pf.blueMax = 3;
  pf.redShift = 0, pf.greenShift = 3, pf.blueShift = 6;
  return pf;
}

inline PixelFormat Format16() {  // 5-6-5
  PixelFormat pf;
  pf.bitsPerPixel = 16;
  pf.depth = 16;
  pf.redMax = 31, pf.greenMax = 63, pf.blueMax = 31;
  pf.redShift = 11, pf.greenShift = 5, pf.blueShift = 0;
  return pf;
}

inline PixelFormat Format32() { return PixelFormat::Default32(); }

inline PixelFormat FormatFor(int bpp) { return bpp == 1 ? Format8() : bpp == 2 ? Format16() : Format32(); }

class MemoryFramebuffer : public FramebufferHost {
public:
  MemoryFramebuffer(int width, int height, const PixelFormat& pf = Format32()) { Rebuild(width, height, pf); }

  // A new bitmap (every byte 128), as a resize or a new pixel format makes one.
  void Rebuild(int width, int height, const PixelFormat& pf) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    fb_.format = pf;
    fb_.bytesPerPixel = pf.BytesPerPixel();
    fb_.width = width;
    fb_.height = height;
    fb_.stride = Framebuffer::StrideFor(width, fb_.bytesPerPixel);
    // Exactly the bitmap's size, so that ASan sees a write past it; no bitmap when empty.
    storage_.assign(fb_.stride * static_cast<std::size_t>(height), 128);
    fb_.bits = storage_.empty() ? nullptr : storage_.data();
  }

  void LockFramebuffer() override {
    mutex_.lock();
    depth_++;
    if (onLock) onLock();
  }
  void UnlockFramebuffer() override {
    depth_--;
    mutex_.unlock();
  }
  Framebuffer CurrentFramebuffer() override { return fb_; }
  void AddRectToUpdateRegion(int x, int y, int w, int h) override { region.push_back({x, y, w, h}); }
  void InvalidateScreenRect(int x, int y, int w, int h) override { invalidated.push_back({x, y, w, h}); }

  int LockDepth() const { return depth_; }
  const Framebuffer& fb() const { return fb_; }

  std::uint32_t Pixel(int x, int y) const {
    std::uint32_t v = 0;
    std::memcpy(&v, fb_.At(x, y), fb_.bytesPerPixel);
    return v;
  }
  void SetPixel(int x, int y, std::uint32_t v) { std::memcpy(fb_.At(x, y), &v, fb_.bytesPerPixel); }
  void Fill(std::uint32_t v) {
    for (int y = 0; y < fb_.height; y++)
      for (int x = 0; x < fb_.width; x++) SetPixel(x, y, v);
  }
  // Every pixel as a 32-bit value, row by row.
  std::vector<std::uint32_t> Pixels() const {
    std::vector<std::uint32_t> v;
    for (int y = 0; y < fb_.height; y++)
      for (int x = 0; x < fb_.width; x++) v.push_back(Pixel(x, y));
    return v;
  }

  std::vector<TestRect> region, invalidated;
  std::function<void()> onLock;  // runs each time the lock is taken (lock held)

private:
  std::recursive_mutex mutex_;
  int depth_ = 0;
  Framebuffer fb_;
  std::vector<std::uint8_t> storage_;
};

// Serves a byte vector a few bytes at a time and counts the refills needed while the
// framebuffer lock is held: no decoder may wait for the network under the lock.
class TrickleInStream : public rdr::InStream {
public:
  TrickleInStream(const std::vector<std::uint8_t>& data, std::size_t chunk, const MemoryFramebuffer& fb)
      : begin_(data.data()), limit_(data.data() + data.size()), chunk_(chunk), fb_(fb) {
    ptr_ = end_ = begin_;
  }
  std::size_t Pos() override { return static_cast<std::size_t>(ptr_ - begin_); }
  int refillsUnderLock = 0;

protected:
  // Lets the window of visible bytes grow by one chunk (or to the item asked for).
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override {
    if (fb_.LockDepth() != 0) refillsUnderLock++;
    if (static_cast<std::size_t>(limit_ - ptr_) < itemSize) throw rdr::EndOfStream("overrun");
    const std::size_t avail = Avail(), left = static_cast<std::size_t>(limit_ - end_);
    end_ += std::min(left, std::max(chunk_, itemSize - avail));
    return std::min(nItems, Avail() / itemSize);
  }

private:
  const std::uint8_t* begin_;
  const std::uint8_t* limit_;
  std::size_t chunk_;
  const MemoryFramebuffer& fb_;
};

// Generates a long byte pattern without holding it in memory.
class PatternInStream : public rdr::InStream {
public:
  explicit PatternInStream(std::uint64_t len) : len_(len), buf_(1 << 16) { ptr_ = end_ = buf_.data(); }
  std::size_t Pos() override { return static_cast<std::size_t>(pos_) - Avail(); }
  static std::uint8_t At(std::uint64_t i) { return static_cast<std::uint8_t>((i * 7) ^ (i >> 12)); }

protected:
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override {
    std::size_t unread = Avail();
    std::memmove(buf_.data(), ptr_, unread);
    std::size_t n = std::min<std::uint64_t>(buf_.size() - unread, len_ - pos_);
    if (unread + n < itemSize) throw rdr::EndOfStream("overrun");
    for (std::size_t i = 0; i < n; i++) buf_[unread + i] = At(pos_ + i);
    pos_ += n;
    ptr_ = buf_.data();
    end_ = ptr_ + unread + n;
    return std::min(nItems, Avail() / itemSize);
  }

private:
  std::uint64_t len_, pos_ = 0;
  std::vector<std::uint8_t> buf_;
};

// Builds wire bytes.
class Bytes {
public:
  Bytes& u8(unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  Bytes& u16(unsigned v) { return u8(v >> 8).u8(v); }
  Bytes& u32(std::uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  // A pixel of bpp bytes, little-endian.
  Bytes& px(std::uint32_t v, int bpp) {
    for (int i = 0; i < bpp; i++) u8(v >> (8 * i));
    return *this;
  }
  Bytes& raw(const std::vector<std::uint8_t>& v) {
    b.insert(b.end(), v.begin(), v.end());
    return *this;
  }
  std::vector<std::uint8_t> b;
};
