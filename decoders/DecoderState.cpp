#include "decoders/DecoderState.h"

#include "rdr/Exception.h"

DecoderState::DecoderState(FramebufferHost& h) : host(h), cursor(h), receive("bufsize expanded to %d\n") {}

void DecoderState::Reset() {}

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
