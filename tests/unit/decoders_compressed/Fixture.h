// A memory framebuffer with an optional cache bitmap, and a fixture that decodes
// rectangles from bytes and checks they were consumed exactly.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../decoders/MemoryFramebuffer.h"
#include "decoders/Decoders.h"
#include "rdr/MemInStream.h"

// The connection's bitmap and, when built with the cache on, its cache bitmap of the same
// geometry (every byte 7 to begin with).
class CachedFramebuffer : public MemoryFramebuffer {
public:
  CachedFramebuffer(int w, int h, const PixelFormat& pf, bool withCache) : MemoryFramebuffer(w, h, pf) {
    if (withCache) cache_.assign(Framebuffer::StrideFor(w, pf.BytesPerPixel()) * static_cast<std::size_t>(h), 7);
  }
  Framebuffer CurrentFramebuffer() override {
    Framebuffer f = MemoryFramebuffer::CurrentFramebuffer();
    f.cache = cache_.empty() ? nullptr : cache_.data();
    return f;
  }
  std::uint32_t CachePixel(int x, int y) const {
    std::uint32_t v = 0;
    std::memcpy(&v, cache_.data() + y * fb().stride + x * fb().bytesPerPixel, fb().bytesPerPixel);
    return v;
  }
  std::vector<std::uint8_t>& CacheBytes() { return cache_; }

private:
  std::vector<std::uint8_t> cache_;
};

inline std::uint32_t MaskFor(int bpp) { return bpp == 4 ? 0xFFFFFFFFu : (1u << (8 * bpp)) - 1; }

class DecoderFixture {
protected:
  void Make(int w, int h, const PixelFormat& pf, bool withCache = false) {
    st.reset();
    m = std::make_unique<CachedFramebuffer>(w, h, pf, withCache);
    st = std::make_unique<DecoderState>(*m);
  }
  // Decodes one rectangle from the bytes followed by a sentinel and checks that exactly
  // its bytes were read and the lock was left.
  void Decode(const std::vector<std::uint8_t>& data, const RectHeader& r) {
    std::vector<std::uint8_t> b = data;
    b.push_back(0x5A);
    rdr::MemInStream in(b.data(), b.size());
    ASSERT_TRUE(dec::DecodeRectangle(*st, in, r));
    EXPECT_EQ(in.Pos(), data.size());
    EXPECT_EQ(m->LockDepth(), 0);
  }
  int bpp() const { return m->fb().bytesPerPixel; }

  std::unique_ptr<CachedFramebuffer> m;
  std::unique_ptr<DecoderState> st;
};
