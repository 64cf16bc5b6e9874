#include "rdr/OutStream.h"

namespace rdr {

void OutStream::WriteBytes(const void* data, std::size_t len) {
  const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
  while (len > 0) {
    std::size_t n = Check(1, len);
    std::memcpy(ptr_, in, n);
    ptr_ += n;
    in += n;
    len -= n;
  }
}

}  // namespace rdr
