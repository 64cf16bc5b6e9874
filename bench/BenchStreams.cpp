#include "BenchStreams.h"

#include <algorithm>

namespace bench {

namespace {

struct Rng {
  std::uint64_t s;
  explicit Rng(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<std::uint32_t>(s >> 11);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }
};

std::uint32_t Rgb(int bpp, int r, int g, int b) {
  r = std::clamp(r, 0, 255), g = std::clamp(g, 0, 255), b = std::clamp(b, 0, 255);
  switch (bpp) {
    case 1: return static_cast<std::uint32_t>((r >> 5) | (g >> 5) << 3 | (b >> 6) << 6);
    case 2: return static_cast<std::uint32_t>((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
    default: return static_cast<std::uint32_t>(r << 16 | g << 8 | b);
  }
}

void FillRect(Image& im, int x, int y, int w, int h, std::uint32_t v) {
  for (int yy = std::max(y, 0); yy < std::min(y + h, im.height); yy++)
    for (int xx = std::max(x, 0); xx < std::min(x + w, im.width); xx++) im.px[yy * im.width + xx] = v;
}

void Put(Image& im, int x, int y, std::uint32_t v) {
  if (x >= 0 && y >= 0 && x < im.width && y < im.height) im.px[y * im.width + x] = v;
}

// 96 glyph-like patterns of 7 x 12 cells: a few strokes, like text at screen sizes.
struct Font {
  std::uint16_t rows[96][12];
  Font() {
    Rng rng(7);
    for (auto& g : rows) {
      for (auto& r : g) r = 0;
      int strokes = 2 + rng.Below(3);
      for (int s = 0; s < strokes; s++) {
        if (rng.Below(2)) {  // vertical stroke
          int x = 1 + rng.Below(5), y0 = 2 + rng.Below(3), y1 = 7 + rng.Below(3);
          for (int y = y0; y <= y1; y++) g[y] |= static_cast<std::uint16_t>(1 << x);
        } else {  // horizontal stroke
          int y = 2 + rng.Below(8), x0 = rng.Below(3), x1 = 3 + rng.Below(4);
          for (int x = x0; x <= x1; x++) g[y] |= static_cast<std::uint16_t>(1 << x);
        }
      }
    }
  }
};

void Text(Image& im, Rng& rng, int x, int y, int w, int h, std::uint32_t ink, std::uint32_t aa) {
  static const Font font;
  for (int ly = y; ly + 12 <= y + h; ly += 16) {
    if (rng.Below(6) == 0) continue;  // blank line
    int len = (w / 7) * (3 + rng.Below(7)) / 10;
    for (int c = 0; c < len; c++) {
      int ch = rng.Below(96);
      if (ch < 12) continue;  // a space
      for (int gy = 0; gy < 12; gy++)
        for (int gx = 0; gx < 7; gx++)
          if (font.rows[ch][gy] >> gx & 1) {
            Put(im, x + c * 7 + gx, ly + gy, ink);
            if (gx + 1 < 7 && !(font.rows[ch][gy] >> (gx + 1) & 1) && rng.Below(3) == 0)
              Put(im, x + c * 7 + gx + 1, ly + gy, aa);
          }
    }
  }
}

void Photo(Image& im, Rng& rng, int x0, int y0, int w, int h) {
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      int r = 120 + (x * 90) / w - (y * 40) / h + rng.Below(24);
      int g = 80 + (y * 120) / h + rng.Below(24);
      int b = 160 - (x * 60) / w + ((x / 9 + y / 7) % 5) * 8 + rng.Below(24);
      Put(im, x0 + x, y0 + y, Rgb(im.bpp, r, g, b));
    }
}

void Window(Image& im, Rng& rng, int x, int y, int w, int h, bool photo) {
  const int bpp = im.bpp;
  FillRect(im, x, y, w, h, Rgb(bpp, 60, 60, 60));  // border
  for (int i = 0; i < w - 2; i += 4)  // title bar: a stepped gradient
    FillRect(im, x + 1 + i, y + 1, 4, 24, Rgb(bpp, 30 + i * 60 / w, 70 + i * 80 / w, 160 + i * 60 / w));
  Text(im, rng, x + 8, y + 7, std::min(w / 2, 300), 12, Rgb(bpp, 255, 255, 255), Rgb(bpp, 150, 170, 210));
  FillRect(im, x + 1, y + 26, w - 2, h - 27, Rgb(bpp, 255, 255, 255));
  FillRect(im, x + 1, y + 26, w - 2, 22, Rgb(bpp, 236, 236, 236));  // tool bar
  for (int i = 0; i < 8; i++) FillRect(im, x + 6 + i * 26, y + 29, 18, 16, Rgb(bpp, 80 + i * 20, 120, 200 - i * 15));
  if (photo) {
    Photo(im, rng, x + 12, y + 56, w - 24, h - 68);
  } else {
    Text(im, rng, x + 10, y + 56, w - 20, h - 64, Rgb(bpp, 0, 0, 0), Rgb(bpp, 128, 128, 128));
  }
}

}  // namespace

Image MakeScreen(int width, int height, int bpp, int frame) {
  Image im;
  im.width = width, im.height = height, im.bpp = bpp;
  im.px.assign(static_cast<std::size_t>(width) * height, 0);
  Rng rng(static_cast<std::uint64_t>(frame) + 1);
  for (int y = 0; y < height; y += 8) FillRect(im, 0, y, width, 8, Rgb(bpp, 20, 90 + y * 60 / height, 110));
  for (int i = 0; i < 8; i++) {  // desktop icons
    Rng icon(100 + i);
    for (int yy = 0; yy < 48; yy += 4)
      for (int xx = 0; xx < 48; xx += 4)
        FillRect(im, 20 + xx, 20 + i * 80 + yy, 4, 4, Rgb(bpp, icon.Below(256), icon.Below(256), icon.Below(256)));
  }
  const int windows = 5;
  for (int i = 0; i < windows; i++) {
    int w = width / 3 + rng.Below(width / 4), h = height / 3 + rng.Below(height / 4);
    int x = 100 + rng.Below(std::max(1, width - w - 120)), y = 10 + rng.Below(std::max(1, height - h - 60));
    Window(im, rng, x, y, w, h, i == 2);
  }
  FillRect(im, 0, height - 40, width, 40, Rgb(bpp, 40, 40, 48));  // task bar
  for (int i = 0; i < 12; i++) FillRect(im, 60 + i * 44, height - 34, 28, 28, Rgb(bpp, 200 - i * 12, 90 + i * 10, 60));
  return im;
}

}  // namespace bench
