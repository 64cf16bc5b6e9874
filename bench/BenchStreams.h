// Recorded-style update streams for the decoder benchmark: synthetic screen contents
// (desktop, windows with text, icons, a photo) encoded by a small server-side encoder
// for each simple encoding, framed as FramebufferUpdate messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A screen in the session pixel format: one value per pixel, bpp 1, 2 or 4.
struct Image {
  int width = 0, height = 0, bpp = 4;
  std::vector<std::uint32_t> px;
  std::uint32_t At(int x, int y) const { return px[static_cast<std::size_t>(y) * width + x]; }
};

// Screen number `frame` of a sequence: the same desktop with windows moved and text changed.
Image MakeScreen(int width, int height, int bpp, int frame);

struct Stream {
  std::string name;
  std::vector<std::uint8_t> bytes;  // FramebufferUpdate messages, then one Bell (type 2)
  std::uint64_t pixels = 0;         // pixels covered by decoded rectangles
  std::uint64_t rects = 0;
  std::uint64_t payload = 0;        // raw pixel bytes carried (Raw only)
};

// Every frame of `screens` as one FramebufferUpdate in the encoding, cut into rectangles
// the way servers cut them (bands for Raw, RRE and Hextile, small tiles for CoRRE).
Stream EncodeRaw(const std::vector<Image>& screens);
Stream EncodeRRE(const std::vector<Image>& screens);
Stream EncodeCoRRE(const std::vector<Image>& screens);
Stream EncodeHextile(const std::vector<Image>& screens);
// Window moves: each update copies a few large areas within the screen (overlapping).
Stream EncodeCopyRect(int width, int height, int updates);

}  // namespace bench
