// Opalo (9): the rectangle's pixels as one LZO1X block.
// Opalo2 (10): the rectangle as one JPEG image, decoded straight into the session format.
// Both carry a u32 big-endian length and that many bytes, decode the whole rectangle into
// the decompression-output buffer and draw it only when decoding succeeded.
#include <lzo/lzo1x.h>

#include "decoders/Decoders.h"
#include "decoders/InSpan.h"
#include "decoders/PixelOps.h"

namespace dec {

namespace {

bool LzoReady() {
  static const bool ready = lzo_init() == LZO_E_OK;
  return ready;
}

// The rectangle's data: the length and the bytes, in the stream's buffer or copied into
// the receive buffer. A length above the receive buffer's cap ends the connection
// (ErrorException) before anything is read.
const std::uint8_t* ReadBlock(DecoderState& st, rdr::InStream& in, std::uint32_t* len) {
  *len = in.ReadU32();
  if (*len > GrowBuffer::kMaxRequest) st.receive.Ensure(*len);  // throws
  return ReadSpan(in, *len, st.receive);
}

void DrawPacked(DecoderState& st, const RectHeader& r, const Framebuffer& was, const std::uint8_t* src,
                std::size_t srcBytes) {
  FramebufferLock lock(st.host);
  const Framebuffer& fb = lock.fb();
  if (fb.format == was.format) CopyPixelRectChecked(fb, r.x, r.y, r.w, r.h, fb.bytesPerPixel, src, srcBytes);
}

}  // namespace

void DecodeOpalo(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const Framebuffer fb = st.Snapshot();
  const std::uint64_t n = std::uint64_t(r.w) * r.h * fb.bytesPerPixel;
  // Room for the whole rectangle and a little more, so that a block that decompresses
  // to more than the rectangle is seen as such (checked before reading the data).
  std::uint8_t* out = st.zlibBuffer.Ensure(n + 500);
  std::uint32_t len;
  const std::uint8_t* data = ReadBlock(st, in, &len);
  if (!LzoReady()) return;
  lzo_uint produced = static_cast<lzo_uint>(n + 500);
  if (lzo1x_decompress_safe(data, len, out, &produced, nullptr) != LZO_E_OK) return;  // drawn only on success
  DrawPacked(st, r, fb, out, produced);
}

void DecodeOpalo2(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  const Framebuffer fb = st.Snapshot();
  const std::uint64_t n = std::uint64_t(r.w) * r.h * fb.bytesPerPixel;
  std::uint8_t* out = st.zlibBuffer.Ensure(n);
  std::uint32_t len;
  const std::uint8_t* data = ReadBlock(st, in, &len);
  if (!IsRectInFramebuffer(fb, r.x, r.y, r.w, r.h)) return;  // not drawn: no need to decode
  // A corrupt, truncated or mismatched image is not drawn.
  if (st.jpeg.Decode(data, len, r.w, r.h, fb.format, true, out, std::size_t(r.w) * fb.bytesPerPixel,
                     static_cast<std::size_t>(n)) !=
      JpegDecoder::Result::Ok)
    return;
  DrawPacked(st, r, fb, out, static_cast<std::size_t>(n));
}

}  // namespace dec
