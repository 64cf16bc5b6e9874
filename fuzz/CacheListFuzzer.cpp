// The cache and rectangle-list encodings, with and without a cache bitmap, with Zlib and
// ZSTD rectangles sharing the Zlib stream (see CompressedFuzz.h).
#include "fuzz/CompressedFuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kebLog.SetLevel(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::int32_t family[] = {rfbenc::kCache,     rfbenc::kCacheZipList, rfbenc::kZlibRectList,
                                        rfbenc::kLzoRectList, rfbenc::kZstdRectList, rfbenc::kZlib,
                                        rfbenc::kZSTD,      rfbenc::kRaw};
  return fuzzc::Run(data, size, family, 8);
}
