// The cache bitmap and the cache and rectangle-list pseudo-encodings: 0xFFFF0000 (swap one
// area with the cache), 0xFFFF0007 (a zlib-compressed list of areas to swap), 0xFFFF0008 /
// 0xFFFF000A (a zlib / zstd list of areas with their pixels, through the Zlib stream) and
// 0xFFFF0009 (the same list as one LZO1X block).
//
// The cache bitmap belongs to the connection and is made with the framebuffer bitmap when
// the connection's "EnableCache" option is on (Framebuffer::cache); without it every cache
// operation does nothing. List blocks are always consumed whole, whatever is refused.
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "app/Log.h"
#include "decoders/Decoders.h"
#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"
#include "rdr/Exception.h"

namespace dec {

void ClearCache(const Framebuffer& fb) {
  if (fb.cache && fb.Writable()) std::memset(fb.cache, 0, fb.stride * static_cast<std::size_t>(fb.height));
}

void SaveRectToCache(DecoderState& st, int x, int y, int w, int h) {
  FramebufferLock lock(st.host);
  const Framebuffer& fb = lock.fb();
  CopyRectBetweenBitmaps(fb, fb.bits, fb.cache, x, y, w, h);
}

void SwapRectWithCache(DecoderState& st, int x, int y, int w, int h) {
  FramebufferLock lock(st.host);
  const Framebuffer& fb = lock.fb();
  SwapRectBetweenBitmaps(fb, fb.bits, fb.cache, x, y, w, h);
}

namespace {

// Entry fields of the lists, u16 big-endian.
inline int U16At(const std::uint8_t* p) { return p[0] << 8 | p[1]; }

// The 12-byte entries with their pixels, as far as they lie within [data, data + len):
// each is declared to the soft cursor, saved to the cache (unless `lzo`), drawn when its
// flag is 0 and added to the update region. LZO lists end at the first entry outside the
// framebuffer.
void WalkPixelList(DecoderState& st, const std::uint8_t* data, std::size_t len, std::uint64_t count, bool lzo) {
  const int bpp = st.Snapshot().bytesPerPixel;
  std::size_t pos = 0;
  for (std::uint64_t i = 0; i < count && len - pos >= 12; i++) {
    const std::uint8_t* e = data + pos;
    const int x = U16At(e), y = U16At(e + 2), w = U16At(e + 4), h = U16At(e + 6);
    const bool withPixels = e[8] == 0 && e[9] == 0 && e[10] == 0 && e[11] == 0;
    const std::uint64_t pixelBytes = withPixels ? static_cast<std::uint64_t>(w) * h * bpp : 0;
    if (pixelBytes > len - pos - 12) break;
    if (lzo) {
      FramebufferLock lock(st.host);
      if (!IsRectInFramebuffer(lock.fb(), x, y, w, h)) break;
    }
    st.cursor.LockArea(x, y, w, h);
    if (!lzo) SaveRectToCache(st, x, y, w, h);
    if (withPixels) {
      FramebufferLock lock(st.host);
      CopyPixelRect(lock.fb(), x, y, w, h, bpp, e + 12);
    }
    st.host.AddRectToUpdateRegion(x, y, w, h);
    pos += 12 + static_cast<std::size_t>(pixelBytes);
  }
}

// Raw size of a list block: width x 65,535 + y.
std::uint64_t RawSize(const RectHeader& r) { return static_cast<std::uint64_t>(r.w) * 65535u + r.y; }

}  // namespace

void DecodeCacheRect(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  in.ReadU16();  // not used
  SwapRectWithCache(st, r.x, r.y, r.w, r.h);
}

void DecodeCacheZipList(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const std::uint64_t n = r.x;
  const std::uint32_t length = in.ReadU32();
  const std::uint8_t* data = ReadSpan(in, length, st.receive);
  const std::uint64_t room = n * 8 + n * 8 / 100 + 8;
  std::uint8_t* out = st.zlibBuffer.Ensure(room);
  uLongf produced = static_cast<uLongf>(room);
  if (uncompress(out, &produced, data, length) != Z_OK) return;
  for (std::uint64_t i = 0; i < n && (i + 1) * 8 <= produced; i++) {
    const std::uint8_t* e = out + i * 8;
    const int x = U16At(e), y = U16At(e + 2), w = U16At(e + 4), h = U16At(e + 6);
    st.cursor.LockArea(x, y, w, h);
    SwapRectWithCache(st, x, y, w, h);
    st.host.AddRectToUpdateRegion(x, y, w, h);
  }
}

void DecodeZipRectList(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const bool zstd = r.encoding == rfbenc::kZstdRectList;
  const std::uint64_t n = r.x, raw = RawSize(r);
  const std::uint32_t length = in.ReadU32();
  const std::uint8_t* data = ReadSpan(in, length, st.receive);
  // Output beyond what a work buffer may hold is decompressed and dropped: the stream has to
  // take the whole block to stay in step with the server.
  const std::uint64_t room = std::min<std::uint64_t>(raw, GrowBuffer::kMaxRequest - 500);
  std::uint8_t* out = st.zlibBuffer.Ensure(room + 500);
  const StreamDecompressor::BlockResult res =
      st.zlibStream.DecompressBlock(data, length, out, static_cast<std::size_t>(room), zstd);
  if (res.result == StreamDecompressor::kError)
    throw rdr::Exception(zstd ? "zstd rectangle list: corrupt data, the compression stream is lost"
                              : "zlib rectangle list: corrupt data, the compression stream is lost");
  if (res.result != StreamDecompressor::kOk || n == 0) return;
  WalkPixelList(st, out, res.produced, n, false);
}

void DecodeLzoRectList(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  static const bool lzoReady = lzo_init() == LZO_E_OK;
  const std::uint64_t n = r.x, raw = RawSize(r);
  const std::uint32_t length = in.ReadU32();
  // A block refused by its limits is still consumed, so that the next message parses.
  if (raw > 106000000 || raw + 500 > GrowBuffer::kMaxRequest || n > 25000 || length > raw) {
    in.Skip(length);
    return;
  }
  const std::uint8_t* data = ReadSpan(in, length, st.receive);
  std::uint8_t* out = st.zlibBuffer.Ensure(raw + 500);
  lzo_uint produced = static_cast<lzo_uint>(raw + 500);
  if (!lzoReady || lzo1x_decompress_safe(data, length, out, &produced, nullptr) != LZO_E_OK || n == 0) return;
  WalkPixelList(st, out, produced, n, true);
}

}  // namespace dec
