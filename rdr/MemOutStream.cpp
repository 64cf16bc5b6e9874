#include "rdr/MemOutStream.h"

#include <new>

namespace rdr {

MemOutStream::MemOutStream(std::size_t initialSize) {
  if (initialSize == 0) initialSize = 1;
  start_ = new std::uint8_t[initialSize];
  ptr_ = start_;
  end_ = start_ + initialSize;
}

MemOutStream::~MemOutStream() { delete[] start_; }

std::size_t MemOutStream::Overrun(std::size_t itemSize, std::size_t nItems) {
  std::size_t used = Length();
  std::size_t size = Capacity();
  // Grow to the larger of twice the size and what this write needs.
  std::size_t needed = used + itemSize * nItems;
  if (nItems != 0 && (needed - used) / nItems != itemSize) throw std::bad_alloc();
  std::size_t newSize = size * 2 > needed ? size * 2 : needed;
  std::uint8_t* grown = new std::uint8_t[newSize];
  std::memcpy(grown, start_, used);
  delete[] start_;
  start_ = grown;
  ptr_ = start_ + used;
  end_ = start_ + newSize;
  return nItems;
}

}  // namespace rdr
