// The decoder dispatch for one rectangle of a FramebufferUpdate.
#include "decoders/Decoders.h"

namespace dec {

bool DecodeRectangle(DecoderState& st, rdr::InStream& in, const RectHeader& r) {
  void (*decode)(DecoderState&, rdr::InStream&, const RectHeader&);
  switch (r.encoding) {
    case rfbenc::kRaw: decode = DecodeRaw; break;
    case rfbenc::kCopyRect: decode = DecodeCopyRect; break;
    case rfbenc::kRRE: decode = DecodeRRE; break;
    case rfbenc::kCoRRE: decode = DecodeCoRRE; break;
    case rfbenc::kHextile: decode = DecodeHextile; break;
    case rfbenc::kTight: decode = DecodeTight; break;
    case rfbenc::kTightZstd: decode = DecodeTightZstd; break;
    case rfbenc::kOpalo: decode = DecodeOpalo; break;
    case rfbenc::kOpalo2: decode = DecodeOpalo2; break;
    default: return false;
  }
  st.cursor.LockArea(r.x, r.y, r.w, r.h);
  decode(st, in, r);
  st.host.AddRectToUpdateRegion(r.x, r.y, r.w, r.h);
  st.cursor.UnlockScreen();
  return true;
}

}  // namespace dec
