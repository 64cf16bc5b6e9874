// The decoder dispatch for one rectangle of a FramebufferUpdate.
#include "decoders/Decoders.h"

namespace dec {

namespace {
bool DecodeAreaList(DecoderState& st, rdr::InStream& in, const RectHeader& r,
                    void (*decode)(DecoderState&, rdr::InStream&, const RectHeader&)) {
  decode(st, in, r);
  st.cursor.UnlockScreen();
  return true;
}
}  // namespace

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
    case rfbenc::kZlib:
    case rfbenc::kZSTD: decode = DecodeZlib; break;
    case rfbenc::kZlibHex:
    case rfbenc::kZstdHex: decode = DecodeZlibHex; break;
    case rfbenc::kZRLE:
    case rfbenc::kZYWRLE:
    case rfbenc::kZSTDRLE:
    case rfbenc::kZSTDYWRLE: decode = DecodeZrle; break;
    case rfbenc::kCache: decode = DecodeCacheRect; break;
    // The header of these is no area: they declare and report their areas themselves.
    case rfbenc::kXZ:
    case rfbenc::kXZYW: DecodeXz(st, in, r); return true;
    case rfbenc::kCacheZipList: decode = DecodeCacheZipList; return DecodeAreaList(st, in, r, decode);
    case rfbenc::kZlibRectList:
    case rfbenc::kZstdRectList: decode = DecodeZipRectList; return DecodeAreaList(st, in, r, decode);
    case rfbenc::kLzoRectList: decode = DecodeLzoRectList; return DecodeAreaList(st, in, r, decode);
    default: return false;
  }
  st.cursor.LockArea(r.x, r.y, r.w, r.h);
  // With the cache on, the area a decoder is about to overwrite is kept, so that the
  // server can bring it back (CopyRect, Opalo and Opalo2 keep nothing).
  if (r.encoding != rfbenc::kCopyRect && r.encoding != rfbenc::kOpalo && r.encoding != rfbenc::kOpalo2 &&
      r.encoding != rfbenc::kCache)
    SaveRectToCache(st, r.x, r.y, r.w, r.h);
  decode(st, in, r);
  st.host.AddRectToUpdateRegion(r.x, r.y, r.w, r.h);
  st.cursor.UnlockScreen();
  return true;
}

}  // namespace dec
