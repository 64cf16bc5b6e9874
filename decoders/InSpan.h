// Access to the next n bytes of a stream without copying them when the stream already
// holds them, for decoders that parse small records in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoders/GrowBuffer.h"
#include "rdr/InStream.h"

namespace dec {

// Returns a pointer to the next n bytes and consumes them: in the stream's own buffer
// when they are all there, else read into scratch (at least n bytes). The pointer is
// valid until the next read from the stream.
inline const std::uint8_t* ReadSpan(rdr::InStream& in, std::size_t n, std::uint8_t* scratch) {
  if (in.Avail() >= n) {
    const std::uint8_t* p = in.GetPtr();
    in.SetPtr(p + n);
    return p;
  }
  in.ReadBytes(scratch, n);
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
  in.ReadBytes(buf, n);
  return buf;
}

}  // namespace dec
