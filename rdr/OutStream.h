// Buffered output stream with big-endian writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rdr {

class OutStream {
public:
  virtual ~OutStream() = default;

  virtual void WriteBytes(const void* data, std::size_t len);
  // Bytes written so far.
  virtual std::size_t Length() = 0;
  virtual void Flush() {}

  std::size_t Check(std::size_t itemSize, std::size_t nItems = 1) {
    std::size_t room = static_cast<std::size_t>(end_ - ptr_);
    if (room < itemSize) return Overrun(itemSize, nItems);
    room /= itemSize;
    return room < nItems ? room : nItems;
  }

  void WriteU8(std::uint8_t v) {
    Check(1);
    *ptr_++ = v;
  }
  void WriteU16(std::uint16_t v) {
    Check(2);
    ptr_[0] = std::uint8_t(v >> 8);
    ptr_[1] = std::uint8_t(v);
    ptr_ += 2;
  }
  void WriteU32(std::uint32_t v) {
    Check(4);
    ptr_[0] = std::uint8_t(v >> 24);
    ptr_[1] = std::uint8_t(v >> 16);
    ptr_[2] = std::uint8_t(v >> 8);
    ptr_[3] = std::uint8_t(v);
    ptr_ += 4;
  }
  void WriteS32(std::int32_t v) { WriteU32(static_cast<std::uint32_t>(v)); }
  void Pad(std::size_t n) {
    while (n-- > 0) WriteU8(0);
  }

  std::uint8_t* GetPtr() { return ptr_; }
  std::uint8_t* GetEnd() { return end_; }
  void SetPtr(std::uint8_t* p) { ptr_ = p; }

protected:
  // Makes room for at least itemSize bytes; returns how many whole items fit now.
  virtual std::size_t Overrun(std::size_t itemSize, std::size_t nItems) = 0;

  std::uint8_t* ptr_ = nullptr;
  std::uint8_t* end_ = nullptr;
};

}  // namespace rdr
