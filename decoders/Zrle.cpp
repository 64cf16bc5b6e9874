// The ZRLE family: ZRLE (16), ZYWRLE (17), ZSTDRLE (28), ZSTDYWRLE (29), XZ (18), XZYW (19).
// One tile format (64 x 64 tiles: solid, packed palette, plain or palette runs, raw) over
// three kinds of persistent stream; the wavelet encodings may code a tile's content as
// ZYWRLE coefficients. One template covers every compact-pixel form and stream kind.
#include "decoders/Zrle.h"

#include <algorithm>
#include <cstdio>

#include "app/Log.h"
#include "decoders/Decoders.h"
#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"
#include "rdr/Exception.h"

namespace dec {

namespace {

constexpr int kTile = ZrleState::kTileSize;

// Compact pixels: how many bytes travel per pixel and where they go in the pixel.
// kWave picks the wavelet synthesis (0: the form never carries wavelet coefficients).
struct Cpixel8 {
  using P = std::uint8_t;
  static constexpr int kBytes = 1, kWave = 0;
  static P Get(const std::uint8_t* p) { return p[0]; }
};
struct Cpixel15 {
  using P = std::uint16_t;
  static constexpr int kBytes = 2, kWave = 15;
  static P Get(const std::uint8_t* p) { return static_cast<P>(p[0] | p[1] << 8); }
};
struct Cpixel16 {
  using P = std::uint16_t;
  static constexpr int kBytes = 2, kWave = 16;
  static P Get(const std::uint8_t* p) { return static_cast<P>(p[0] | p[1] << 8); }
};
struct Cpixel24Low {
  using P = std::uint32_t;
  static constexpr int kBytes = 3, kWave = 32;
  static P Get(const std::uint8_t* p) { return p[0] | p[1] << 8 | static_cast<P>(p[2]) << 16; }
  static P FromWord(std::uint32_t w) { return w & 0xFFFFFF; }  // the bytes p[0..3] little-endian
};
struct Cpixel24High {
  using P = std::uint32_t;
  static constexpr int kBytes = 3, kWave = 32;
  static P Get(const std::uint8_t* p) { return static_cast<P>(p[0]) << 8 | static_cast<P>(p[1]) << 16 | static_cast<P>(p[2]) << 24; }
  static P FromWord(std::uint32_t w) { return w << 8; }
};
struct Cpixel32 {
  using P = std::uint32_t;
  static constexpr int kBytes = 4, kWave = 32;
  static P Get(const std::uint8_t* p) { return LoadPixel<P>(p); }
};

enum class Form { k8, k15, k16, k24Low, k24High, k32 };

Form PickForm(const PixelFormat& pf) {
  if (pf.bitsPerPixel == 8) return Form::k8;
  if (pf.bitsPerPixel == 16) return pf.greenMax < 32 ? Form::k15 : Form::k16;
  auto fits = [](unsigned max, unsigned shift, std::uint64_t limit) {
    return (static_cast<std::uint64_t>(max) << shift) <= limit;
  };
  const bool low24 = fits(pf.redMax, pf.redShift, 0xFFFFFF) && fits(pf.greenMax, pf.greenShift, 0xFFFFFF) &&
                     fits(pf.blueMax, pf.blueShift, 0xFFFFFF);
  const bool high24 = pf.redShift >= 8 && pf.greenShift >= 8 && pf.blueShift >= 8;
  if (low24) return pf.bigEndian ? Form::k24High : Form::k24Low;
  if (high24) return pf.bigEndian ? Form::k24Low : Form::k24High;
  return Form::k32;
}

// A run length: 1 + the following bytes, each 255 meaning another follows. Saturates at
// `limit` (the pixels left in the tile); the bytes are consumed whatever their sum.
template <class S>
inline int ReadRunLength(S& in, int limit) {
  int len = 1;
  unsigned b;
  do {
    b = in.ReadU8();
    len += static_cast<int>(b);
    if (len > limit) len = limit;
  } while (b == 255);
  return len;
}

template <class C, class S>
inline typename C::P ReadCpixel(S& in) {
  in.Check(C::kBytes);
  const std::uint8_t* p = in.GetPtr();
  in.SetPtr(p + C::kBytes);
  return C::Get(p);
}

// count compact pixels into dst, straight from the stream's buffer.
template <class C, class S>
void ReadCpixels(S& in, typename C::P* dst, std::size_t count) {
  while (count > 0) {
    const std::size_t n = in.Check(C::kBytes, count);
    const std::uint8_t* p = in.GetPtr();
    if constexpr (C::kBytes == sizeof(typename C::P)) {
      std::memcpy(dst, p, n * C::kBytes);
    } else {
      std::size_t i = 0;
      if constexpr (C::kBytes == 3)  // four-byte loads; the last pixel's would pass the span's end
        for (; i + 1 < n; i++) dst[i] = C::FromWord(LoadPixel<std::uint32_t>(p + i * 3));
      for (; i < n; i++) dst[i] = C::Get(p + i * C::kBytes);
    }
    in.SetPtr(p + n * C::kBytes);
    dst += n;
    count -= n;
  }
}

// What ReadTile found.
enum class Tile { kPixels, kSolid, kCorrupt };

// Reads one tile into tile (tw x th, packed). kCorrupt: a palette index lies outside the
// palette; the tile's data are still consumed, but its content is not known. kSolid: the
// tile is one colour, left in *solid and not written to the buffer (unless it carries
// wavelet coefficients). *wavelet is set when the tile carries wavelet coefficients.
template <class C, class S>
Tile ReadTile(S& in, typename C::P* tile, int tw, int th, int level, bool* wavelet, typename C::P* solid) {
  using P = typename C::P;
  const int n = tw * th;
  for (;;) {
    const unsigned sub = in.ReadU8();
    const unsigned paletteSize = sub & 127;
    P palette[128];
    ReadCpixels<C>(in, palette, paletteSize);
    if (paletteSize == 1) {
      *solid = palette[0];
      if (!*wavelet) return Tile::kSolid;
      FillPixels<P>(tile, static_cast<std::size_t>(n), palette[0]);
      return Tile::kPixels;
    }
    if (sub & 128) {
      if (paletteSize == 0) {  // plain runs
        for (int i = 0; i < n;) {
          const P v = ReadCpixel<C>(in);
          const int run = ReadRunLength(in, n - i);
          FillPixels<P>(tile + i, static_cast<std::size_t>(run), v);
          i += run;
        }
        return Tile::kPixels;
      }
      bool ok = true;  // palette runs
      for (int i = 0; i < n;) {
        const unsigned b = in.ReadU8();
        const unsigned index = b & 127;
        const int run = (b & 128) ? ReadRunLength(in, n - i) : 1;
        if (index >= paletteSize) {
          ok = false;
        } else {
          FillPixels<P>(tile + i, static_cast<std::size_t>(run), palette[index]);
        }
        i += run;
      }
      return ok ? Tile::kPixels : Tile::kCorrupt;
    }
    if (paletteSize == 0) {
      if (C::kWave && level > 0 && !*wavelet) {
        *wavelet = true;  // the coefficients follow as a tile of their own
        continue;
      }
      ReadCpixels<C>(in, tile, static_cast<std::size_t>(n));
      return Tile::kPixels;
    }
    // Packed palette indices, each row starting on a byte.
    const int bits = paletteSize == 2 ? 1 : paletteSize <= 4 ? 2 : paletteSize <= 16 ? 4 : 8;
    const std::size_t rowBytes = (static_cast<std::size_t>(tw) * bits + 7) / 8;
    const unsigned mask = (1u << bits) - 1;
    std::uint8_t scratch[kTile];
    bool ok = true;
    for (int y = 0; y < th; y++) {
      const std::uint8_t* row = ReadSpan(in, rowBytes, scratch);
      P* dst = tile + y * tw;
      int shift = 8;
      unsigned byte = 0;
      for (int x = 0; x < tw; x++) {
        if (shift == 8) {
          byte = *row++;
          shift = 0;
        }
        shift += bits;
        const unsigned index = (byte >> (8 - shift)) & mask;
        if (index >= paletteSize) {
          ok = false;
          continue;
        }
        dst[x] = palette[index];
      }
    }
    return ok ? Tile::kPixels : Tile::kCorrupt;
  }
}

template <class C>
void Synthesize(typename C::P* tile, int tw, int th, int level, std::uint8_t* work) {
  if constexpr (C::kWave == 15)
    ZywrleSynthesize15(tile, tile, tw, th, tw, level, work);
  else if constexpr (C::kWave == 16)
    ZywrleSynthesize16(tile, tile, tw, th, tw, level, work);
  else if constexpr (C::kWave == 32)
    ZywrleSynthesize32(tile, tile, tw, th, tw, level, work);
}

// Decodes the tiles of one w x h area at (x0, y0) from `in`, drawing tile by tile: each
// tile is read and synthesised first, then copied into the bitmap under the lock.
template <class C, class S>
void DecodeTiles(DecoderState& st, S& in, int x0, int y0, int w, int h, int level) {
  using P = typename C::P;
  P* tile = reinterpret_cast<P*>(st.zrle.tile);
  for (int ty = 0; ty < h; ty += kTile) {
    const int th = std::min(kTile, h - ty);
    for (int tx = 0; tx < w; tx += kTile) {
      const int tw = std::min(kTile, w - tx);
      bool wavelet = false;
      P solid = 0;
      const Tile kind = ReadTile<C>(in, tile, tw, th, level, &wavelet, &solid);
      if (kind == Tile::kCorrupt) {
        kebLog.Print(0, "ZRLE: palette index outside the palette, tile at %d,%d not drawn\n", x0 + tx, y0 + ty);
        continue;
      }
      if (wavelet) Synthesize<C>(tile, tw, th, level, st.zrle.wavelet);
      FramebufferLock lock(st.host);
      const Framebuffer& fb = lock.fb();
      if (!CanWrite(fb, sizeof(P), x0, y0, w, h)) continue;
      if (kind == Tile::kSolid)  // straight into the bitmap: no pass through the tile buffer
        FillRectUnchecked<P>(fb.At(x0 + tx, y0 + ty), fb.stride, tw, th, solid);
      else
        CopyPixelRect(fb, x0 + tx, y0 + ty, tw, th, sizeof(P), reinterpret_cast<const std::uint8_t*>(tile));
      if (st.rectanglesReceived < 4) st.host.InvalidateScreenRect(0, 0, fb.width, fb.height);
    }
  }
}

template <class S>
void DecodeTilesAnyForm(DecoderState& st, S& in, int x, int y, int w, int h, int level) {
  switch (PickForm(st.Snapshot().format)) {
    case Form::k8: DecodeTiles<Cpixel8>(st, in, x, y, w, h, level); break;
    case Form::k15: DecodeTiles<Cpixel15>(st, in, x, y, w, h, level); break;
    case Form::k16: DecodeTiles<Cpixel16>(st, in, x, y, w, h, level); break;
    case Form::k24Low: DecodeTiles<Cpixel24Low>(st, in, x, y, w, h, level); break;
    case Form::k24High: DecodeTiles<Cpixel24High>(st, in, x, y, w, h, level); break;
    case Form::k32: DecodeTiles<Cpixel32>(st, in, x, y, w, h, level); break;
  }
}

// Runs body with the stream attached to `in` for `length` compressed bytes. A stream
// error is reported and thrown on; the stream is detached on every way out.
template <class S, class Body>
void WithStream(S& zs, rdr::InStream& in, std::uint64_t length, Body body) {
  zs.SetUnderlying(&in, length);
  try {
    body();
  } catch (rdr::Exception& e) {
    std::fprintf(stderr, "ZRLE decoder exception: %s\n", e.str());
    zs.ResetDecompressor();  // out of step with the server now
    throw;
  } catch (...) {
    zs.ResetDecompressor();
    throw;
  }
}

}  // namespace

int ZywrleLevel(int quality) {
  if (quality < 0) return 1;
  if (quality <= 2) return 3;
  if (quality > 5) return 1;
  return 2;
}

void DecodeZrle(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const bool wavelet = r.encoding == rfbenc::kZYWRLE || r.encoding == rfbenc::kZSTDYWRLE;
  const bool zstd = r.encoding == rfbenc::kZSTDRLE || r.encoding == rfbenc::kZSTDYWRLE;
  const int level = wavelet ? ZywrleLevel(st.quality) : 0;
  const std::uint32_t length = in.ReadU32();
  auto run = [&](auto& zs) {
    WithStream(zs, in, length, [&] {
      DecodeTilesAnyForm(st, zs, r.x, r.y, r.w, r.h, level);
      zs.Reset();  // whatever the tiles left of the length is decompressed away
    });
  };
  if (zstd)
    run(st.zrle.zstd);
  else
    run(st.zrle.zlib);
}

std::uint64_t XzSubRectangleCount(const RectHeader& r) {
  const long long count = static_cast<std::int16_t>(r.x) * 65536LL + r.y;
  return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

void DecodeXz(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const long long length = static_cast<std::int16_t>(r.w) * 65536LL + r.h;
  if (length < 0 || static_cast<std::uint64_t>(length) > GrowBuffer::kMaxRequest) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "XZ: compressed length %lld out of range", length);
    throw rdr::Exception(msg);
  }
  const std::uint64_t n = XzSubRectangleCount(r);
  rdr::xzInStream& xz = st.zrle.xz;
  WithStream(xz, in, static_cast<std::uint64_t>(length), [&] {
    std::uint8_t* headers = st.receive.Ensure(n * 8);
    xz.ReadBytes(headers, static_cast<std::size_t>(n * 8));
    for (std::uint64_t i = 0; i < n; i++) {
      const std::uint8_t* h = headers + i * 8;
      const int x = h[0] << 8 | h[1], y = h[2] << 8 | h[3], w = h[4] << 8 | h[5], hh = h[6] << 8 | h[7];
      const int level = r.encoding == rfbenc::kXZYW ? ZywrleLevel(st.quality) : 0;
      st.cursor.LockArea(x, y, w, hh);
      SaveRectToCache(st, x, y, w, hh);
      DecodeTilesAnyForm(st, xz, x, y, w, hh, level);
      st.host.AddRectToUpdateRegion(x, y, w, hh);
      st.host.InvalidateScreenRect(x, y, w, hh);
      st.cursor.UnlockScreen();
    }
    xz.Reset();  // bytes of the length that the sub-rectangles did not need
  });
  // The update reader counted the header as one rectangle.
  st.rectanglesReceived = n > 0 ? st.rectanglesReceived + n - 1 : st.rectanglesReceived - (st.rectanglesReceived > 0);
}

}  // namespace dec
