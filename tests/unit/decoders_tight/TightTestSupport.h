// Server-side helpers for the Tight, Opalo and Opalo2 tests: pixel formats, images of
// colour components, the expected pixels (component x 255 / maximum, then x (maximum +
// 1) >> 8 into its field), a Tight rectangle writer, and JPEG encoding and reference
// decoding through libjpeg.
#pragma once

#include <cstdio>  // before jpeglib.h

#include <jpeglib.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/decoders/MemoryFramebuffer.h"
#include "tests/unit/decoders_compressed/Compressors.h"

namespace tighttest {

inline PixelFormat Make(int bpp, int depth, int rmax, int gmax, int bmax, int rs, int gs, int bs, bool be = false) {
  PixelFormat pf;
  pf.bitsPerPixel = static_cast<std::uint8_t>(bpp);
  pf.depth = static_cast<std::uint8_t>(depth);
  pf.bigEndian = be;
  pf.redMax = static_cast<std::uint16_t>(rmax), pf.greenMax = static_cast<std::uint16_t>(gmax),
  pf.blueMax = static_cast<std::uint16_t>(bmax);
  pf.redShift = static_cast<std::uint8_t>(rs), pf.greenShift = static_cast<std::uint8_t>(gs),
  pf.blueShift = static_cast<std::uint8_t>(bs);
  return pf;
}

struct NamedFormat {
  const char* name;
  PixelFormat pf;
};

// Tight's forms: 24-bit mode (depth 24, maxima 255), whole-pixel forms with maxima of
// 2^k - 1 up to 255 and above.
inline std::vector<NamedFormat> TightFormatList() {
  return {
      {"rgb888", Make(32, 24, 255, 255, 255, 16, 8, 0)},
      {"bgr888", Make(32, 24, 255, 255, 255, 0, 8, 16)},
      {"depth32", Make(32, 32, 255, 255, 255, 24, 16, 8)},
      {"rgb30", Make(32, 30, 1023, 1023, 1023, 20, 10, 0)},
      {"rgb565", Make(16, 16, 31, 63, 31, 11, 5, 0)},
      {"rgb555", Make(16, 15, 31, 31, 31, 10, 5, 0)},
      {"bgr233", Make(8, 8, 7, 7, 3, 0, 3, 6)},
      {"rgb111", Make(8, 3, 1, 1, 1, 2, 1, 0)},
  };
}

// An image as colour components within the format's maxima.
struct Image {
  int w = 0, h = 0;
  std::vector<unsigned> c;  // r, g, b per pixel
  unsigned At(int x, int y, int i) const { return c[(static_cast<std::size_t>(y) * w + x) * 3 + i]; }
};

// A repeatable image with smooth areas, edges and noise, within the given maxima.
inline Image MakeImage(int w, int h, unsigned rmax, unsigned gmax, unsigned bmax, unsigned seed) {
  Image im;
  im.w = w, im.h = h;
  im.c.resize(static_cast<std::size_t>(w) * h * 3);
  std::uint32_t s = seed * 2654435761u + 1;
  const unsigned max[3] = {rmax, gmax, bmax};
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int i = 0; i < 3; i++) {
        s = s * 1103515245u + 12345u;
        unsigned v = (x * (3 + i) + y * (5 - i)) % (max[i] + 1);
        if ((x / 7 + y / 5) % 4 == 0) v = (s >> 16) % (max[i] + 1);
        im.c[(static_cast<std::size_t>(y) * w + x) * 3 + i] = v;
      }
  return im;
}

inline std::uint32_t Field(unsigned c, unsigned max, unsigned shift) {
  return static_cast<std::uint32_t>(c) << shift & (static_cast<std::uint32_t>(max) << shift);
}

// The session pixel with these components (no conversion).
inline std::uint32_t PixelOf(const PixelFormat& pf, unsigned r, unsigned g, unsigned b) {
  return Field(r, pf.redMax, pf.redShift) | Field(g, pf.greenMax, pf.greenShift) |
         Field(b, pf.blueMax, pf.blueShift);
}

// What the viewer stores for a component that travelled as a component of `max`.
inline std::uint32_t Converted(unsigned c, unsigned max, unsigned shift) {
  const unsigned c8 = c * 255u / max;
  return ((c8 * (max + 1u)) >> 8) << shift;
}
inline std::uint32_t Expected(const PixelFormat& pf, unsigned r, unsigned g, unsigned b) {
  return Converted(r, pf.redMax, pf.redShift) | Converted(g, pf.greenMax, pf.greenShift) |
         Converted(b, pf.blueMax, pf.blueShift);
}
// For 8-bit red, green and blue (fills and JPEG output).
inline std::uint32_t Expected8(const PixelFormat& pf, unsigned r, unsigned g, unsigned b) {
  auto f = [](unsigned c, unsigned max, unsigned shift) { return ((c * (max + 1u)) >> 8) << shift; };
  return f(r, pf.redMax, pf.redShift) | f(g, pf.greenMax, pf.greenShift) | f(b, pf.blueMax, pf.blueShift);
}

inline bool Is24BitMode(const PixelFormat& pf) {
  return pf.depth == 24 && pf.redMax == 255 && pf.greenMax == 255 && pf.blueMax == 255;
}

// One pixel as Tight sends it: 3 bytes in 24-bit mode, else the session pixel.
inline void PutPixel(Buf& out, const PixelFormat& pf, unsigned r, unsigned g, unsigned b) {
  if (Is24BitMode(pf)) {
    out.push_back(static_cast<std::uint8_t>(r));
    out.push_back(static_cast<std::uint8_t>(g));
    out.push_back(static_cast<std::uint8_t>(b));
    return;
  }
  const std::uint32_t v = PixelOf(pf, r, g, b);
  for (int i = 0; i < pf.bitsPerPixel / 8; i++) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline Buf CompactLength(std::uint32_t n) {
  Buf b;
  b.push_back(static_cast<std::uint8_t>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
  if (n > 0x7F) {
    b.push_back(static_cast<std::uint8_t>(((n >> 7) & 0x7F) | (n > 0x3FFF ? 0x80 : 0)));
    if (n > 0x3FFF) b.push_back(static_cast<std::uint8_t>(n >> 14));
  }
  return b;
}

// Server side of Tight: four persistent streams (zlib or zstd), basic rectangles with each
// filter, fills and JPEG rectangles.
class TightWriter {
public:
  TightWriter(const PixelFormat& pf, bool zstd) : pf_(pf), zstd_(zstd) {
    for (auto& s : streams_) s = std::make_unique<Compressor>(zstd ? Kind::Zstd : Kind::Zlib);
  }

  // Restarts stream i on the server side and returns the control bit that tells the viewer.
  unsigned Reset(int i) {
    streams_[i] = std::make_unique<Compressor>(zstd_ ? Kind::Zstd : Kind::Zlib);
    return 1u << i;
  }

  // filter: 0 copy, 1 palette, 2 gradient; -1 copy without the filter byte.
  Buf Basic(const Image& im, int filter, int stream = 0, unsigned resets = 0) {
    Buf out;
    out.push_back(static_cast<std::uint8_t>(((filter >= 0 ? 4u : 0u) | stream) << 4 | resets));
    if (filter >= 0) out.push_back(static_cast<std::uint8_t>(filter));
    Buf rows;
    if (filter == 1) {
      std::vector<std::uint64_t> colours;
      for (int i = 0; i < im.w * im.h; i++) {
        const std::uint64_t key = Key(im, i);
        std::size_t k = 0;
        while (k < colours.size() && colours[k] != key) k++;
        if (k == colours.size()) colours.push_back(key);
      }
      if (colours.size() < 2 || colours.size() > 256) std::abort();
      out.push_back(static_cast<std::uint8_t>(colours.size() - 1));
      for (std::uint64_t k : colours)
        PutPixel(out, pf_, static_cast<unsigned>(k & 0xFFFF), static_cast<unsigned>(k >> 16 & 0xFFFF),
                 static_cast<unsigned>(k >> 32));
      for (int y = 0; y < im.h; y++) {
        if (colours.size() == 2) {
          std::uint8_t acc = 0;
          int bits = 0;
          for (int x = 0; x < im.w; x++) {
            const int i = y * im.w + x;
            const std::uint64_t key = Key(im, i);
            acc = static_cast<std::uint8_t>(acc << 1 | (key == colours[1] ? 1 : 0));
            if (++bits == 8) rows.push_back(acc), acc = 0, bits = 0;
          }
          if (bits) rows.push_back(static_cast<std::uint8_t>(acc << (8 - bits)));
        } else {
          for (int x = 0; x < im.w; x++) {
            const int i = y * im.w + x;
            const std::uint64_t key = Key(im, i);
            std::size_t k = 0;
            while (colours[k] != key) k++;
            rows.push_back(static_cast<std::uint8_t>(k));
          }
        }
      }
    } else if (filter == 2) {
      const unsigned max[3] = {Is24BitMode(pf_) ? 255u : pf_.redMax, Is24BitMode(pf_) ? 255u : pf_.greenMax,
                               Is24BitMode(pf_) ? 255u : pf_.blueMax};
      for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++) {
          unsigned d[3];
          for (int i = 0; i < 3; i++) {
            const int left = x > 0 ? static_cast<int>(im.At(x - 1, y, i)) : 0;
            const int up = y > 0 ? static_cast<int>(im.At(x, y - 1, i)) : 0;
            const int ul = x > 0 && y > 0 ? static_cast<int>(im.At(x - 1, y - 1, i)) : 0;
            int pred = left + up - ul;
            pred = pred < 0 ? 0 : pred > static_cast<int>(max[i]) ? static_cast<int>(max[i]) : pred;
            d[i] = (im.At(x, y, i) - static_cast<unsigned>(pred)) & max[i];
          }
          PutPixel(rows, pf_, d[0], d[1], d[2]);
        }
    } else {
      for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++) PutPixel(rows, pf_, im.At(x, y, 0), im.At(x, y, 1), im.At(x, y, 2));
    }
    if (rows.size() < 12) {
      out.insert(out.end(), rows.begin(), rows.end());
    } else {
      Buf z = streams_[stream]->Block(rows);
      Buf len = CompactLength(static_cast<std::uint32_t>(z.size()));
      out.insert(out.end(), len.begin(), len.end());
      out.insert(out.end(), z.begin(), z.end());
    }
    return out;
  }

  Buf Fill(unsigned r, unsigned g, unsigned b, unsigned resets = 0) {
    Buf out{static_cast<std::uint8_t>(0x80 | resets)};
    PutPixel(out, pf_, r, g, b);
    return out;
  }

  static Buf Jpeg(const Buf& jpeg) {
    Buf out{0x90};
    Buf len = CompactLength(static_cast<std::uint32_t>(jpeg.size()));
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), jpeg.begin(), jpeg.end());
    return out;
  }

private:
  static std::uint64_t Key(const Image& im, int i) {
    return im.c[i * 3] | static_cast<std::uint64_t>(im.c[i * 3 + 1]) << 16 | static_cast<std::uint64_t>(im.c[i * 3 + 2]) << 32;
  }

  PixelFormat pf_;
  bool zstd_;
  std::unique_ptr<Compressor> streams_[4];
};

// ---- JPEG through libjpeg (the server's encoder and a reference decoder) ----

// An 8-bit RGB image (r, g, b bytes per pixel).
struct Rgb {
  int w = 0, h = 0;
  std::vector<std::uint8_t> px;
};

inline Rgb PhotoLike(int w, int h, unsigned seed) {
  Rgb im;
  im.w = w, im.h = h;
  im.px.resize(static_cast<std::size_t>(w) * h * 3);
  std::uint32_t s = seed * 747796405u + 1;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      s = s * 1103515245u + 12345u;
      std::uint8_t* p = &im.px[(static_cast<std::size_t>(y) * w + x) * 3];
      p[0] = static_cast<std::uint8_t>((x * 255) / (w > 1 ? w - 1 : 1));
      p[1] = static_cast<std::uint8_t>((y * 255) / (h > 1 ? h - 1 : 1));
      p[2] = static_cast<std::uint8_t>(128 + 100 * std::sin((x + 2 * y) / 9.0) + (s >> 30));
    }
  return im;
}

inline Buf EncodeJpeg(const Rgb& im, int quality, bool grey = false) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = static_cast<JDIMENSION>(im.w);
  c.image_height = static_cast<JDIMENSION>(im.h);
  c.input_components = grey ? 1 : 3;
  c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(im.w) * 3);
  while (c.next_scanline < c.image_height) {
    const std::uint8_t* src = &im.px[static_cast<std::size_t>(c.next_scanline) * im.w * 3];
    if (grey)
      for (int x = 0; x < im.w; x++) row[x] = src[x * 3 + 1];
    else
      row.assign(src, src + static_cast<std::size_t>(im.w) * 3);
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&c, &p, 1);
  }
  jpeg_finish_compress(&c);
  Buf out(mem, mem + size);
  std::free(mem);
  jpeg_destroy_compress(&c);
  return out;
}

// The image as libjpeg decodes it to RGB with its default settings.
inline Rgb DecodeJpegReference(const Buf& data) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  Rgb im;
  im.w = static_cast<int>(d.output_width), im.h = static_cast<int>(d.output_height);
  im.px.resize(static_cast<std::size_t>(im.w) * im.h * 3);
  while (d.output_scanline < d.output_height) {
    JSAMPROW p = &im.px[static_cast<std::size_t>(d.output_scanline) * im.w * 3];
    jpeg_read_scanlines(&d, &p, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return im;
}

// Peak signal-to-noise ratio of two RGB images of the same size, in dB.
inline double Psnr(const Rgb& a, const Rgb& b) {
  double se = 0;
  for (std::size_t i = 0; i < a.px.size(); i++) {
    const double d = static_cast<double>(a.px[i]) - b.px[i];
    se += d * d;
  }
  if (se == 0) return 99;
  const double mse = se / static_cast<double>(a.px.size());
  return 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace tighttest
