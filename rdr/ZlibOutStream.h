// Compresses everything written to it into an underlying OutStream.
#pragma once

#include "rdr/OutStream.h"

typedef struct z_stream_s z_stream;

namespace rdr {

class ZlibOutStream : public OutStream {
public:
  ZlibOutStream(OutStream* under, std::size_t bufferSize = 16384, int level = 6);
  // Flushes what is still buffered (errors are swallowed: a destructor never throws).
  ~ZlibOutStream() override;
  ZlibOutStream(const ZlibOutStream&) = delete;
  ZlibOutStream& operator=(const ZlibOutStream&) = delete;

  void SetUnderlying(OutStream* under) { under_ = under; }
  std::size_t Length() override { return offset_ + static_cast<std::size_t>(ptr_ - start_); }
  void Flush() override;

protected:
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override;

private:
  // Compresses the buffered bytes into the underlying stream.
  void Deflate(int flush);

  OutStream* under_;
  std::size_t bufSize_;
  std::uint8_t* start_;
  z_stream* zs_;
  std::size_t offset_ = 0;
};

}  // namespace rdr
