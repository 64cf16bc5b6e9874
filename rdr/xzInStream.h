#pragma once

#include "rdr/DecompressingInStream.h"

namespace rdr {

class xzInStream : public DecompressingInStream {
public:
  // The decoder refuses streams that would need more than this much memory.
  static constexpr std::uint64_t kMemoryLimit = 256ull << 20;

  explicit xzInStream(std::size_t bufferSize = 65536);
  ~xzInStream() override;

protected:
  void Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
            std::size_t* consumed, std::size_t* produced) override;
  void RestartDecoder() override;

private:
  void EndDecoder();
  void* strm_ = nullptr;  // lzma_stream, created on first use
};

}  // namespace rdr
