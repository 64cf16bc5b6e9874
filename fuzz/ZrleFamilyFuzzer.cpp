// ZRLE, ZYWRLE, ZSTDRLE, ZSTDYWRLE, XZ and XZYW through their persistent streams, at every
// compact-pixel form and wavelet level (see CompressedFuzz.h).
#include "fuzz/CompressedFuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kebLog.SetLevel(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::int32_t family[] = {rfbenc::kZRLE,    rfbenc::kZYWRLE, rfbenc::kZSTDRLE,
                                        rfbenc::kZSTDYWRLE, rfbenc::kXZ,   rfbenc::kXZYW};
  return fuzzc::Run(data, size, family, 6);
}
