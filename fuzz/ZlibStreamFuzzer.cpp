#include "StreamFuzz.h"
#include "rdr/ZlibInStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzDecompressingStream<rdr::ZlibInStream>(data, size);
}
