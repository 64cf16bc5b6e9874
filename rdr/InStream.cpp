#include "rdr/InStream.h"

namespace rdr {

void InStream::ReadBytes(void* data, std::size_t len) {
  std::uint8_t* out = static_cast<std::uint8_t*>(data);
  while (len > 0) {
    std::size_t n = Check(1, len);
    std::memcpy(out, ptr_, n);
    ptr_ += n;
    out += n;
    len -= n;
  }
}

void InStream::Skip(std::size_t len) {
  while (len > 0) {
    std::size_t n = Check(1, len);
    ptr_ += n;
    len -= n;
  }
}

}  // namespace rdr
