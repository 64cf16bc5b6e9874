#include "CodecTime.h"

#include <cstdio>  // jpeglib.h needs FILE first
#include <cstdlib>
#include <cstring>

#include <isa-l/igzip_lib.h>
#include <jpeglib.h>
#include <lzo/lzo1x.h>

#include <algorithm>
#include <vector>

#include "decoders/RectHeader.h"

namespace bench {

namespace {

[[noreturn]] void Die(const Stream& s, const char* what) {
  std::fprintf(stderr, "%s %s %d bpp: %s\n", s.server.c_str(), s.name.c_str(), s.bytesPerPixel * 8, what);
  std::exit(1);
}

class Walker {
public:
  explicit Walker(const Stream& s) : s_(s), b_(s.bytes) {}
  unsigned U8() { return Need(1), b_[p_++]; }
  unsigned U16() { return Need(2), p_ += 2, static_cast<unsigned>(b_[p_ - 2] << 8 | b_[p_ - 1]); }
  std::uint32_t U32() {
    const std::uint32_t hi = U16();
    return hi << 16 | U16();
  }
  std::uint32_t Compact() {
    unsigned b = U8();
    std::uint32_t len = b & 0x7F;
    if (b & 0x80) {
      b = U8();
      len |= (b & 0x7Fu) << 7;
      if (b & 0x80) len |= static_cast<std::uint32_t>(U8()) << 14;
    }
    return len;
  }
  void Skip(std::size_t n) { Need(n), p_ += n; }
  std::vector<std::uint8_t> Take(std::size_t n) {
    Need(n);
    p_ += n;
    return std::vector<std::uint8_t>(b_.begin() + static_cast<std::ptrdiff_t>(p_ - n),
                                     b_.begin() + static_cast<std::ptrdiff_t>(p_));
  }

private:
  void Need(std::size_t n) {
    if (b_.size() - p_ < n) Die(s_, "the recording ends in mid-rectangle");
  }
  const Stream& s_;
  const std::vector<std::uint8_t>& b_;
  std::size_t p_ = 0;
};

bool HasCodec(int encoding) {
  return encoding == rfbenc::kZlib || encoding == rfbenc::kTight || encoding == rfbenc::kOpalo ||
         encoding == rfbenc::kZRLE || encoding == rfbenc::kZYWRLE;
}

}  // namespace

std::vector<Block> CodecBlocks(const Stream& s, std::vector<PixelRect>* writes) {
  std::vector<Block> blocks;
  if (writes) writes->clear();
  if (!HasCodec(s.encoding)) return blocks;
  const int bpp = s.bytesPerPixel;
  const bool mode24 = bpp == 4;  // the benchmark's 32-bit format: depth 24, maxima 255
  bool resetDue[4] = {false, false, false, false};
  Walker in(s);
  while (in.U8() == 0) {
    in.Skip(1);
    const unsigned n = in.U16();
    for (unsigned i = 0; i < n; i++) {
      const int x = static_cast<int>(in.U16()), y = static_cast<int>(in.U16());
      const int w = static_cast<int>(in.U16()), h = static_cast<int>(in.U16());
      const std::int32_t enc = static_cast<std::int32_t>(in.U32());
      Block b;
      b.plainBytes = static_cast<std::size_t>(w) * h * bpp;
      // Every rectangle but a copy and a JPEG image (taken back below) is pixels the
      // decoder writes.
      if (writes && enc != rfbenc::kCopyRect) writes->push_back({x, y, w, h});
      if (enc == rfbenc::kRaw) {
        in.Skip(b.plainBytes);
        continue;
      }
      if (enc != s.encoding) Die(s, "a rectangle of another encoding");
      if (enc == rfbenc::kTight) {
        const unsigned control = in.U8();
        for (int k = 0; k < 4; k++) resetDue[k] |= (control >> k & 1) != 0;
        const unsigned kind = control >> 4;
        if (kind == 8) {
          in.Skip(mode24 ? 3 : bpp);
          continue;
        }
        if (kind == 9) {
          if (writes) writes->pop_back();
          b.kind = Block::Jpeg;
          b.width = w, b.height = h;
          b.plainBytes = static_cast<std::size_t>(w) * h * 4;
          b.data = in.Take(in.Compact());
          blocks.push_back(std::move(b));
          continue;
        }
        if (kind > 9) Die(s, "a bad Tight subencoding");
        unsigned filter = 0, bits = mode24 ? 24 : bpp * 8;
        if (kind & 4) filter = in.U8();
        if (filter == 1) {
          const unsigned colours = in.U8() + 1;
          in.Skip(colours * (mode24 ? 3 : bpp));
          bits = colours == 2 ? 1 : 8;
        }
        const std::size_t dataSize = (static_cast<std::size_t>(w) * bits + 7) / 8 * h;
        if (dataSize < 12) {
          in.Skip(dataSize);
          continue;
        }
        b.stream = static_cast<int>(kind & 3);
        b.reset = resetDue[b.stream];
        resetDue[b.stream] = false;
        b.plainBytes = dataSize;
        b.data = in.Take(in.Compact());
      } else {
        b.data = in.Take(in.U32());
        if (enc == rfbenc::kOpalo) b.kind = Block::Lzo;
        if (enc == rfbenc::kZRLE || enc == rfbenc::kZYWRLE) b.plainBytes = 0;  // tiles: as much as it holds
      }
      blocks.push_back(std::move(b));
    }
  }
  return blocks;
}

Times WriteTime(const Stream& s, std::uint8_t* fb, std::size_t stride) {
  static std::vector<std::uint8_t> row(1u << 16, 0x5A);
  const std::size_t bpp = static_cast<std::size_t>(s.bytesPerPixel);
  Stopwatch watch;
  for (const PixelRect& r : s.writes) {
    const std::size_t bytes = static_cast<std::size_t>(r.w) * bpp;
    if (bytes > row.size()) row.resize(bytes, 0x5A);
    std::uint8_t* at = fb + static_cast<std::size_t>(r.y) * stride + static_cast<std::size_t>(r.x) * bpp;
    for (int k = 0; k < r.h; k++, at += stride) std::memcpy(at, row.data(), bytes);
  }
  return watch.Elapsed();
}

Times CodecTime(const Stream& s) {
  static const bool lzoReady = lzo_init() == LZO_E_OK;
  static std::vector<std::uint8_t> out(64u << 20, 1);  // written once: no first touch in the timing
  // The decoders' inflate: ISA-L on raw deflate, the two zlib header bytes stepped over
  // (no checksum, as the decoders run it: the servers' streams never end).
  static inflate_state zs[4];
  bool started[4] = {false, false, false, false};
  jpeg_decompress_struct jd;
  jpeg_error_mgr err;
  jd.err = jpeg_std_error(&err);
  jpeg_create_decompress(&jd);
  std::vector<JSAMPROW> rows;
  bool ok = lzoReady;
  Stopwatch watch;
  for (const Block& b : s.blocks) {
    if (!ok) break;
    if (b.plainBytes > out.size()) return {-1, -1};
    switch (b.kind) {
      case Block::Zlib: {
        inflate_state& z = zs[b.stream];
        std::size_t skip = 0;
        if (b.reset || !started[b.stream]) {
          isal_inflate_init(&z);
          z.crc_flag = ISAL_DEFLATE;
          started[b.stream] = true;
          skip = 2;
        }
        if (b.data.size() < skip) return {-1, -1};
        z.next_in = const_cast<std::uint8_t*>(b.data.data()) + skip;
        z.avail_in = static_cast<std::uint32_t>(b.data.size() - skip);
        do {
          z.next_out = out.data();
          z.avail_out = static_cast<std::uint32_t>(b.plainBytes ? b.plainBytes : out.size());
          ok = isal_inflate(&z) == ISAL_DECOMP_OK;
        } while (ok && z.avail_in > 0 && z.avail_out == 0 && !b.plainBytes);
        ok = ok && z.avail_in == 0 && (!b.plainBytes || z.avail_out == 0);
        break;
      }
      case Block::Jpeg: {
        jpeg_mem_src(&jd, b.data.data(), static_cast<unsigned long>(b.data.size()));
        jpeg_read_header(&jd, TRUE);
        jd.out_color_space = JCS_EXT_BGRX;
        jpeg_start_decompress(&jd);
        rows.resize(jd.output_height);
        for (JDIMENSION r = 0; r < jd.output_height; r++) rows[r] = out.data() + std::size_t(r) * jd.output_width * 4;
        while (jd.output_scanline < jd.output_height)
          jpeg_read_scanlines(&jd, rows.data() + jd.output_scanline, jd.output_height - jd.output_scanline);
        jpeg_finish_decompress(&jd);
        break;
      }
      case Block::Lzo: {
        lzo_uint len = out.size();
        ok = lzo1x_decompress_safe(b.data.data(), b.data.size(), out.data(), &len, nullptr) == LZO_E_OK &&
             len == b.plainBytes;
        break;
      }
    }
  }
  Times t = watch.Elapsed();
  jpeg_destroy_decompress(&jd);
  return ok ? t : Times{-1, -1};
}

}  // namespace bench
