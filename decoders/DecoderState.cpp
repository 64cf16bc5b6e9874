#include "decoders/DecoderState.h"

#include "rdr/Exception.h"

DecoderState::DecoderState(FramebufferHost& h)
    : host(h),
      cursor(h),
      receive("bufsize expanded to %d\n"),
      zlibBuffer("zlibbufsize expanded to %d\n", "Insufficient memory to allocate zlib buffer.") {}

void DecoderState::Reset() {
  for (StreamDecompressor& s : tightStreams) s.ResetAll();
  zlibStream.ResetAll();
  zlibHexRawStream.ResetAll();
  zlibHexEncodedStream.ResetAll();
  jpeg.Reset();
  zlibHexBg = zlibHexFg = 0;
  zrle.Reset();
}

Framebuffer DecoderState::Snapshot() {
  Framebuffer fb;
  {
    FramebufferLock lock(host);
    fb = lock.fb();
  }
  if (fb.bytesPerPixel != fb.format.BytesPerPixel() || !fb.format.IsValid())
    throw rdr::Exception("framebuffer pixel format cannot be decoded");
  return fb;
}
