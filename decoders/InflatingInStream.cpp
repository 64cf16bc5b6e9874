#include "decoders/InflatingInStream.h"

#include "rdr/Exception.h"

namespace dec {

void InflatingInStream::Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
                             std::size_t* consumed, std::size_t* produced) {
  std::size_t availIn = inLen, availOut = outLen;
  if (inflate_.Decompress(&availIn, &availOut, in, out, false) == StreamDecompressor::kError)
    throw rdr::Exception("ZlibInStream: inflate failed");
  // After the server's stream has ended nothing more is consumed or produced, which the
  // frame reports as a stream that makes no progress.
  *consumed = inLen - availIn;
  *produced = outLen - availOut;
}

}  // namespace dec
