#include "StreamFuzz.h"
#include "rdr/ZstdInStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzDecompressingStream<rdr::ZstdInStream>(data, size);
}
