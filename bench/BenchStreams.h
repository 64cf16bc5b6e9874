// The benchmark's screens and the streams it decodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A screen in the session pixel format: one value per pixel, bpp 1, 2 or 4 (the 32-bit
// screens hold red << 16 | green << 8 | blue).
struct Image {
  int width = 0, height = 0, bpp = 4;
  std::vector<std::uint32_t> px;
  std::uint32_t At(int x, int y) const { return px[static_cast<std::size_t>(y) * width + x]; }
};

// Screen number `frame` of a sequence: a desktop with icons, windows of text (with
// anti-aliased edges), one window with a photo-like picture, a task bar; windows are moved
// and text changed from frame to frame.
Image MakeScreen(int width, int height, int bpp, int frame);

// One compressed block of a stream, for timing its codec alone.
struct Block {
  enum Kind { Zlib, Jpeg, Lzo } kind = Zlib;
  int stream = 0;                  // which of the encoding's persistent streams (Tight: 0-3)
  bool reset = false;              // that stream starts afresh with this block (Tight)
  std::vector<std::uint8_t> data;
  std::size_t plainBytes = 0;      // what it decompresses to (0: as much as it holds)
  int width = 0, height = 0;       // JPEG
};

// A rectangle of a stream whose pixels a decoder writes into the framebuffer.
struct PixelRect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct Stream {
  std::string server;               // who encoded it
  std::string name;                 // "Raw", "Tight+JPEG", ...
  int encoding = 0;
  int bytesPerPixel = 4;
  int quality = -1;                 // quality level the server was offered (-1: none)
  bool lossless = true;
  bool moves = false;               // window drags
  std::vector<std::uint8_t> bytes;  // FramebufferUpdate messages, then one Bell (type 2)
  std::uint64_t updates = 0;
  std::vector<Block> blocks;        // compressed blocks in stream order (codec streams)
  std::vector<PixelRect> writes;    // rectangles of pixels the decoder writes (JPEG images'
                                    // pixels are written by the codec, CopyRect's moved)
};

}  // namespace bench
