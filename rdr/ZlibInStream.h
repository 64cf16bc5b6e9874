#pragma once

#include "rdr/DecompressingInStream.h"

typedef struct z_stream_s z_stream;

namespace rdr {

class ZlibInStream : public DecompressingInStream {
public:
  explicit ZlibInStream(std::size_t bufferSize = 16384);
  ~ZlibInStream() override;

protected:
  void Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
            std::size_t* consumed, std::size_t* produced) override;
  void RestartDecoder() override;

private:
  z_stream* zs_;
};

}  // namespace rdr
