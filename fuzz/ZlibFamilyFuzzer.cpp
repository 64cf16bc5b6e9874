// Zlib, ZSTD, ZlibHex and ZstdHex through their persistent streams (see CompressedFuzz.h).
#include "fuzz/CompressedFuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kebLog.SetLevel(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::int32_t family[] = {rfbenc::kZlib, rfbenc::kZSTD, rfbenc::kZlibHex, rfbenc::kZstdHex};
  return fuzzc::Run(data, size, family, 4);
}
