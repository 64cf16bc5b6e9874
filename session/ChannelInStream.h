// The session's input as plain bytes while a channel or an encryption plug-in deciphers
// it, for the decoders. Every refill asks the session for exactly the bytes its reader
// wants, so nothing beyond them is taken from the channel: the session reads the next
// message itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rdr/InStream.h"

namespace rdr {

class ChannelInStream : public InStream {
public:
  // read(arg, buffer, n): exactly n plain bytes, or throws.
  using ReadFn = void (*)(void* arg, void* buffer, std::size_t n);

  ChannelInStream(ReadFn read, void* arg, std::size_t bufferSize = 16384);

  void ReadBytes(void* data, std::size_t len) override;
  std::size_t Pos() override { return offset_ + static_cast<std::size_t>(ptr_ - buf_.data()); }
  // Forgets what is buffered (a new connection).
  void Clear() { ptr_ = end_ = buf_.data(); }

protected:
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override;

private:
  ReadFn read_;
  void* arg_;
  std::vector<std::uint8_t> buf_;
  std::size_t offset_ = 0;  // bytes consumed before buf_
};

}  // namespace rdr
