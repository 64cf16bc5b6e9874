// The ZRLE family's zlib stream as an rdr in-stream: the tiles are read from it as from
// any stream, and its bytes come from a StreamDecompressor (the one inflate the decoders
// use, see StreamDecompressor.h). It keeps the server's stream from rectangle to rectangle
// and reports what rdr::ZlibInStream reports.
#pragma once

#include "decoders/StreamDecompressor.h"
#include "rdr/DecompressingInStream.h"

namespace dec {

class InflatingInStream : public rdr::DecompressingInStream {
public:
  // A larger buffer than rdr::ZlibInStream's 16 KiB: fewer, longer inflate calls, and most
  // of each decoded straight into it rather than through ISA-L's own window.
  static constexpr std::size_t kBufferSize = 128 * 1024;
  InflatingInStream() : DecompressingInStream(kBufferSize, "ZlibInStream") {}

protected:
  void Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen, std::size_t* consumed,
            std::size_t* produced) override;
  void RestartDecoder() override { inflate_.Reset(false); }

private:
  StreamDecompressor inflate_;
};

}  // namespace dec
