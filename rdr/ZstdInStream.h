#pragma once

#include "rdr/DecompressingInStream.h"

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

namespace rdr {

class ZstdInStream : public DecompressingInStream {
public:
  explicit ZstdInStream(std::size_t bufferSize = 16384);
  ~ZstdInStream() override;

protected:
  void Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
            std::size_t* consumed, std::size_t* produced) override;
  void RestartDecoder() override;

private:
  static std::size_t BufferSizeFor(std::size_t requested);
  ZSTD_DCtx* dctx_ = nullptr;
};

}  // namespace rdr
