#include "BenchStreams.h"

#include <cstdio>  // jpeglib.h needs FILE first
#include <cstdlib>

#include <jpeglib.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <algorithm>
#include <map>

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

namespace {

class Writer {
public:
  explicit Writer(Stream& s) : s_(s) {}
  void u8(unsigned v) { s_.bytes.push_back(static_cast<std::uint8_t>(v)); }
  void u16(unsigned v) {
    u8(v >> 8);
    u8(v & 255);
  }
  void u32(std::uint32_t v) {
    u16(v >> 16);
    u16(v & 0xFFFF);
  }
  void px(std::uint32_t v, int bpp) {
    for (int i = 0; i < bpp; i++) u8(v >> (8 * i) & 255);
  }
  // A FramebufferUpdate header; the count is patched by EndUpdate.
  void BeginUpdate() {
    u8(0);
    u8(0);
    countAt_ = s_.bytes.size();
    u16(0);
    count_ = 0;
  }
  void Rect(int x, int y, int w, int h, std::int32_t enc) {
    u16(x), u16(y), u16(w), u16(h), u32(static_cast<std::uint32_t>(enc));
    count_++;
    s_.rects++;
    s_.pixels += static_cast<std::uint64_t>(w) * h;
  }
  void EndUpdate() {
    s_.bytes[countAt_] = static_cast<std::uint8_t>(count_ >> 8);
    s_.bytes[countAt_ + 1] = static_cast<std::uint8_t>(count_);
  }
  void End() { u8(2); }  // Bell: the end of the recording

private:
  Stream& s_;
  std::size_t countAt_ = 0;
  unsigned count_ = 0;
};

struct Sub {
  int x, y, w, h;
  std::uint32_t colour;
};

std::uint32_t MostFrequent(const Image& im, int x0, int y0, int w, int h) {
  std::map<std::uint32_t, int> counts;
  for (int y = y0; y < y0 + h; y++)
    for (int x = x0; x < x0 + w; x++) counts[im.At(x, y)]++;
  return std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
}

// Greedy cover of the non-background pixels of an area by solid rectangles: a run along
// the row, extended down while the rows below repeat it. Stops after `limit` rectangles.
std::vector<Sub> Cover(const Image& im, int x0, int y0, int w, int h, std::uint32_t bg, std::size_t limit) {
  std::vector<Sub> subs;
  std::vector<std::uint8_t> done(static_cast<std::size_t>(w) * h, 0);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      if (done[y * w + x]) continue;
      std::uint32_t c = im.At(x0 + x, y0 + y);
      if (c == bg) continue;
      int rw = 1;
      while (x + rw < w && !done[y * w + x + rw] && im.At(x0 + x + rw, y0 + y) == c) rw++;
      int rh = 1;
      for (; y + rh < h; rh++) {
        bool same = true;
        for (int i = 0; i < rw && same; i++)
          same = !done[(y + rh) * w + x + i] && im.At(x0 + x + i, y0 + y + rh) == c;
        if (!same) break;
      }
      for (int yy = 0; yy < rh; yy++)
        for (int i = 0; i < rw; i++) done[(y + yy) * w + x + i] = 1;
      subs.push_back({x, y, rw, rh, c});
      if (subs.size() > limit) return subs;
    }
  return subs;
}

template <class F>
void ForEachBand(const Image& im, int bw, int bh, F f) {
  for (int y = 0; y < im.height; y += bh)
    for (int x = 0; x < im.width; x += bw) f(x, y, std::min(bw, im.width - x), std::min(bh, im.height - y));
}

void RreRect(Writer& out, const Image& im, int x, int y, int w, int h, bool compact) {
  const std::uint32_t bg = MostFrequent(im, x, y, w, h);
  std::vector<Sub> subs = Cover(im, x, y, w, h, bg, SIZE_MAX);
  out.Rect(x, y, w, h, compact ? 4 : 2);
  out.u32(static_cast<std::uint32_t>(subs.size()));
  out.px(bg, im.bpp);
  for (const Sub& s : subs) {
    out.px(s.colour, im.bpp);
    if (compact) {
      out.u8(s.x), out.u8(s.y), out.u8(s.w), out.u8(s.h);
    } else {
      out.u16(s.x), out.u16(s.y), out.u16(s.w), out.u16(s.h);
    }
  }
}

void HextileRect(Writer& out, const Image& im, int x0, int y0, int w, int h) {
  out.Rect(x0, y0, w, h, 5);
  const int bpp = im.bpp;
  bool haveBg = false, haveFg = false;
  std::uint32_t bg = 0, fg = 0;
  for (int ty = y0; ty < y0 + h; ty += 16)
    for (int tx = x0; tx < x0 + w; tx += 16) {
      const int tw = std::min(16, x0 + w - tx), th = std::min(16, y0 + h - ty);
      std::map<std::uint32_t, int> counts;
      for (int y = ty; y < ty + th; y++)
        for (int x = tx; x < tx + tw; x++) counts[im.At(x, y)]++;
      const std::uint32_t tileBg =
          std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
      const std::size_t rawSize = static_cast<std::size_t>(tw) * th * bpp;
      std::vector<Sub> subs;
      if (counts.size() > 1) subs = Cover(im, tx, ty, tw, th, tileBg, 255);
      const bool mono = counts.size() == 2;
      const std::size_t subSize = 1 + subs.size() * (mono ? 2 : bpp + 2) + bpp * (mono ? 2 : 1);
      if (subs.size() > 255 || (counts.size() > 1 && subSize >= rawSize)) {
        out.u8(1);
        for (int y = ty; y < ty + th; y++)
          for (int x = tx; x < tx + tw; x++) out.px(im.At(x, y), bpp);
        haveBg = haveFg = false;  // a raw tile leaves both undefined for the next one
        continue;
      }
      unsigned sub = 0;
      const bool newBg = !haveBg || bg != tileBg;
      if (newBg) sub |= 2;
      std::uint32_t tileFg = mono ? subs[0].colour : 0;
      const bool newFg = mono && (!haveFg || fg != tileFg);
      if (newFg) sub |= 4;
      if (!subs.empty()) sub |= 8;
      if (!subs.empty() && !mono) sub |= 16;
      out.u8(sub);
      if (newBg) out.px(tileBg, bpp);
      if (newFg) out.px(tileFg, bpp);
      bg = tileBg, haveBg = true;
      if (mono) fg = tileFg, haveFg = true;
      if (!subs.empty()) {
        out.u8(static_cast<unsigned>(subs.size()));
        for (const Sub& s : subs) {
          if (!mono) out.px(s.colour, bpp);
          out.u8(static_cast<unsigned>(s.x << 4 | s.y));
          out.u8(static_cast<unsigned>((s.w - 1) << 4 | (s.h - 1)));
        }
        if (!mono) haveFg = false;  // coloured subrects change the foreground
      }
    }
}

}  // namespace

namespace {

// Every screen as one update, cut into bw x bh rectangles, each written by encode.
template <class F>
Stream EncodeScreens(const char* name, const std::vector<Image>& screens, int bw, int bh, F encode) {
  Stream s;
  s.name = name;
  Writer out(s);
  for (const Image& im : screens) {
    out.BeginUpdate();
    ForEachBand(im, std::min(bw, im.width), bh, [&](int x, int y, int w, int h) { encode(out, im, x, y, w, h); });
    out.EndUpdate();
  }
  out.End();
  return s;
}

}  // namespace

Stream EncodeRaw(const std::vector<Image>& screens) {
  std::uint64_t payload = 0;
  Stream s = EncodeScreens("Raw", screens, 1 << 16, 64, [&](Writer& out, const Image& im, int x, int y, int w, int h) {
    out.Rect(x, y, w, h, 0);
    for (int yy = y; yy < y + h; yy++)
      for (int xx = x; xx < x + w; xx++) out.px(im.At(xx, yy), im.bpp);
    payload += static_cast<std::uint64_t>(w) * h * im.bpp;
  });
  s.payload = payload;
  return s;
}

Stream EncodeRRE(const std::vector<Image>& screens) {
  return EncodeScreens("RRE", screens, 1 << 16, 128, [](Writer& out, const Image& im, int x, int y, int w, int h) {
    RreRect(out, im, x, y, w, h, false);
  });
}

Stream EncodeCoRRE(const std::vector<Image>& screens) {
  return EncodeScreens("CoRRE", screens, 64, 64, [](Writer& out, const Image& im, int x, int y, int w, int h) {
    RreRect(out, im, x, y, w, h, true);
  });
}

Stream EncodeHextile(const std::vector<Image>& screens) {
  return EncodeScreens("Hextile", screens, 1 << 16, 128, HextileRect);
}

Stream EncodeCopyRect(int width, int height, int updates) {
  Stream s;
  s.name = "CopyRect";
  Writer out(s);
  Rng rng(99);
  const int w = width / 3, h = height / 3;
  for (int u = 0; u < updates; u++) {
    out.BeginUpdate();
    for (int i = 0; i < 4; i++) {
      // A window dragged by a few pixels (overlapping source), sometimes along one row.
      int sx = 20 + rng.Below(width - w - 40), sy = 20 + rng.Below(height - h - 40);
      int dx = rng.Below(33) - 16, dy = (i == 3) ? 0 : rng.Below(33) - 16;
      out.Rect(sx + dx, sy + dy, w, h, 1);
      out.u16(sx), out.u16(sy);
    }
    out.EndUpdate();
  }
  out.End();
  return s;
}

}  // namespace bench

// ---- Tight and Opalo ----

namespace bench {

namespace {

class TightServer {
public:
  explicit TightServer(int jpegQuality) : quality_(jpegQuality) {
    for (z_stream& z : zs_) {
      z = z_stream{};
      deflateInit(&z, 6);
    }
  }
  ~TightServer() {
    for (z_stream& z : zs_) deflateEnd(&z);
  }

  std::vector<Block> blocks;  // in stream order

  void Rect(Writer& out, const Image& im, int x0, int y0, int w, int h) {
    const int bpp = im.bpp;
    const bool mode24 = bpp == 4;  // the 32-bit format here has depth 24, maxima 255
    std::vector<std::uint32_t> colours;
    for (int y = y0; y < y0 + h && colours.size() <= 16; y++)
      for (int x = x0; x < x0 + w && colours.size() <= 16; x++) {
        const std::uint32_t v = im.At(x, y);
        if (std::find(colours.begin(), colours.end(), v) == colours.end()) colours.push_back(v);
      }
    out.Rect(x0, y0, w, h, 7);
    auto pixel = [&](std::vector<std::uint8_t>& b, std::uint32_t v) {
      if (mode24) {
        b.push_back(static_cast<std::uint8_t>(v >> 16)), b.push_back(static_cast<std::uint8_t>(v >> 8));
        b.push_back(static_cast<std::uint8_t>(v));
      } else {
        for (int i = 0; i < bpp; i++) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
      }
    };
    std::vector<std::uint8_t> head, rows;
    if (colours.size() == 1) {
      head.push_back(0x80);
      pixel(head, colours[0]);
      for (std::uint8_t b : head) out.u8(b);
      return;
    }
    int stream = 0;
    if (colours.size() <= 16) {
      stream = colours.size() == 2 ? 1 : 2;
      head = {static_cast<std::uint8_t>((4 | stream) << 4), 1, static_cast<std::uint8_t>(colours.size() - 1)};
      for (std::uint32_t c : colours) pixel(head, c);
      for (int y = y0; y < y0 + h; y++) {
        std::uint8_t acc = 0;
        int bits = 0;
        for (int x = x0; x < x0 + w; x++) {
          const auto idx = static_cast<std::uint8_t>(std::find(colours.begin(), colours.end(), im.At(x, y)) - colours.begin());
          if (colours.size() > 2) {
            rows.push_back(idx);
            continue;
          }
          acc = static_cast<std::uint8_t>(acc << 1 | idx);
          if (++bits == 8) rows.push_back(acc), acc = 0, bits = 0;
        }
        if (colours.size() == 2 && bits) rows.push_back(static_cast<std::uint8_t>(acc << (8 - bits)));
      }
    } else if (quality_ > 0 && mode24) {
      Jpeg(out, im, x0, y0, w, h);
      return;
    } else {
      head = {0x00};
      for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++) pixel(rows, im.At(x, y));
    }
    for (std::uint8_t b : head) out.u8(b);
    if (rows.size() < 12) {
      for (std::uint8_t b : rows) out.u8(b);
      return;
    }
    Block blk;
    blk.kind = Block::Zlib;
    blk.stream = stream;
    blk.plainBytes = rows.size();
    blk.data.resize(deflateBound(&zs_[stream], rows.size()) + 64);
    zs_[stream].next_in = rows.data();
    zs_[stream].avail_in = static_cast<uInt>(rows.size());
    zs_[stream].next_out = blk.data.data();
    zs_[stream].avail_out = static_cast<uInt>(blk.data.size());
    deflate(&zs_[stream], Z_SYNC_FLUSH);
    blk.data.resize(blk.data.size() - zs_[stream].avail_out);
    const std::size_t n = blk.data.size();
    out.u8(static_cast<unsigned>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
    if (n > 0x7F) {
      out.u8(static_cast<unsigned>(((n >> 7) & 0x7F) | (n > 0x3FFF ? 0x80 : 0)));
      if (n > 0x3FFF) out.u8(static_cast<unsigned>(n >> 14));
    }
    for (std::uint8_t b : blk.data) out.u8(b);
    blocks.push_back(std::move(blk));
  }

private:
  void Jpeg(Writer& out, const Image& im, int x0, int y0, int w, int h) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = static_cast<JDIMENSION>(w), c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 3, c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality_, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(w) * 3);
    for (int y = y0; y < y0 + h; y++) {
      for (int x = 0; x < w; x++) {
        const std::uint32_t v = im.At(x0 + x, y);
        row[x * 3] = static_cast<std::uint8_t>(v >> 16), row[x * 3 + 1] = static_cast<std::uint8_t>(v >> 8);
        row[x * 3 + 2] = static_cast<std::uint8_t>(v);
      }
      JSAMPROW p = row.data();
      jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    Block blk;
    blk.kind = Block::Jpeg;
    blk.data.assign(mem, mem + size);
    blk.width = w, blk.height = h;
    blk.plainBytes = static_cast<std::size_t>(w) * h * 4;
    std::free(mem);
    jpeg_destroy_compress(&c);
    out.u8(0x90);
    const std::size_t n = blk.data.size();
    out.u8(static_cast<unsigned>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
    if (n > 0x7F) {
      out.u8(static_cast<unsigned>(((n >> 7) & 0x7F) | (n > 0x3FFF ? 0x80 : 0)));
      if (n > 0x3FFF) out.u8(static_cast<unsigned>(n >> 14));
    }
    for (std::uint8_t b : blk.data) out.u8(b);
    blocks.push_back(std::move(blk));
  }

  int quality_;
  z_stream zs_[4];
};

}  // namespace

Stream EncodeTight(const std::vector<Image>& screens, int jpegQuality) {
  TightServer server(jpegQuality);
  Stream s = EncodeScreens(jpegQuality ? "Tight+JPEG" : "Tight", screens, 512, 128,
                           [&](Writer& out, const Image& im, int x, int y, int w, int h) {
                             server.Rect(out, im, x, y, w, h);
                           });
  s.blocks = std::move(server.blocks);
  return s;
}

Stream EncodeOpalo(const std::vector<Image>& screens) {
  static const bool ready = lzo_init() == LZO_E_OK;
  if (!ready) std::abort();
  std::vector<std::uint8_t> work(LZO1X_1_MEM_COMPRESS), raw, packed;
  std::vector<Block> blocks;
  Stream s = EncodeScreens("Opalo", screens, 1 << 16, 64, [&](Writer& out, const Image& im, int x, int y, int w, int h) {
    out.Rect(x, y, w, h, 9);
    raw.clear();
    for (int yy = y; yy < y + h; yy++)
      for (int xx = x; xx < x + w; xx++)
        for (int i = 0; i < im.bpp; i++) raw.push_back(static_cast<std::uint8_t>(im.At(xx, yy) >> (8 * i)));
    packed.resize(raw.size() + raw.size() / 16 + 64 + 3);
    lzo_uint len = packed.size();
    lzo1x_1_compress(raw.data(), raw.size(), packed.data(), &len, work.data());
    out.u32(static_cast<std::uint32_t>(len));
    for (lzo_uint i = 0; i < len; i++) out.u8(packed[i]);
    Block blk;
    blk.kind = Block::Lzo;
    blk.data.assign(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(len));
    blk.plainBytes = raw.size();
    blocks.push_back(std::move(blk));
  });
  s.blocks = std::move(blocks);
  return s;
}

}  // namespace bench
