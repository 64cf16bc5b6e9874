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

// One compressed block of a stream, kept for timing its codec alone.
struct Block {
  enum Kind { Zlib, Jpeg, Lzo, Zstd, Xz } kind = Zlib;
  int stream = 0;                  // Tight's stream number (Zlib)
  std::vector<std::uint8_t> data;
  std::size_t plainBytes = 0;      // what it decompresses to (JPEG: width x height x 4)
  int width = 0, height = 0;       // JPEG
};

struct Stream {
  std::string name;
  std::vector<std::uint8_t> bytes;  // FramebufferUpdate messages, then one Bell (type 2)
  std::uint64_t pixels = 0;         // pixels covered by decoded rectangles
  std::uint64_t rects = 0;
  std::uint64_t payload = 0;        // raw pixel bytes carried (Raw only)
  std::vector<Block> blocks;        // compressed blocks in stream order (Tight, Opalo)
  int quality = -1;                 // the viewer's "quality" option it was made for (ZYWRLE level)
  bool libvncclient = true;         // libvncclient decodes the encoding
};

// Every frame of `screens` as one FramebufferUpdate in the encoding, cut into rectangles
// the way servers cut them (bands for Raw, RRE and Hextile, small tiles for CoRRE).
Stream EncodeRaw(const std::vector<Image>& screens);
Stream EncodeRRE(const std::vector<Image>& screens);
Stream EncodeCoRRE(const std::vector<Image>& screens);
Stream EncodeHextile(const std::vector<Image>& screens);
// Window moves: each update copies a few large areas within the screen (overlapping).
Stream EncodeCopyRect(int width, int height, int updates);
// Tight as a server sends it: rectangles of at most 64K pixels, solid ones filled, those of
// up to 16 colours through the palette filter, the rest through the copy filter or, with
// a JPEG quality (32 bits per pixel only), as JPEG images; streams 0 (copy), 1 (two
// colours) and 2 (palette) at zlib level 6.
Stream EncodeTight(const std::vector<Image>& screens, int jpegQuality = 0);
// Opalo: bands of the screen as LZO1X-1 blocks.
Stream EncodeOpalo(const std::vector<Image>& screens);

}  // namespace bench
