// Access to the next n bytes of a stream without copying them when the stream already
// holds them, for decoders that parse small records in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoders/GrowBuffer.h"
#include "rdr/InStream.h"

namespace dec {

// Reads n bytes into dst. Small blocks go through the stream's own buffer, whose refills
// take as much as the source has ready, so that the records that follow are read from
// memory; a socket stream would otherwise fetch a partly buffered block with a read of
// its own, a system call for each rectangle. Large blocks are read the stream's way
// (straight into dst).
inline void ReadBlock(rdr::InStream& in, std::uint8_t* dst, std::size_t n) {
  constexpr std::size_t kBufferedMax = 16 * 1024;
  if (n <= kBufferedMax)
    in.rdr::InStream::ReadBytes(dst, n);
  else
    in.ReadBytes(dst, n);
}

// Returns a pointer to the next n bytes and consumes them: in the stream's own buffer
// when they are all there, else read into scratch (at least n bytes). The pointer is
// valid until the next read from the stream.
inline const std::uint8_t* ReadSpan(rdr::InStream& in, std::size_t n, std::uint8_t* scratch) {
  if (in.Avail() >= n) {
    const std::uint8_t* p = in.GetPtr();
    in.SetPtr(p + n);
    return p;
  }
  ReadBlock(in, scratch, n);
  return scratch;
}

// The same with a work buffer that grows only when the bytes have to be copied.
inline const std::uint8_t* ReadSpan(rdr::InStream& in, std::size_t n, GrowBuffer& scratch) {
  if (in.Avail() >= n) {
    const std::uint8_t* p = in.GetPtr();
    in.SetPtr(p + n);
    return p;
  }
  std::uint8_t* buf = scratch.Ensure(n);
  ReadBlock(in, buf, n);
  return buf;
}

}  // namespace dec
