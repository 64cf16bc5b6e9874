// Buffered input stream. Readers look at the bytes between ptr_ and end_ and call
// Overrun() when they need more; subclasses refill the buffer there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rdr {

class InStream {
public:
  virtual ~InStream() = default;

  // Reads exactly len bytes (throws when the stream cannot deliver them).
  virtual void ReadBytes(void* data, std::size_t len);

  // Bytes delivered since the stream began.
  virtual std::size_t Pos() = 0;

  // Makes at least itemSize bytes available; returns how many whole items of that
  // size are buffered now, at most nItems.
  std::size_t Check(std::size_t itemSize, std::size_t nItems = 1) {
    std::size_t avail = static_cast<std::size_t>(end_ - ptr_);
    if (avail < itemSize) return Overrun(itemSize, nItems);
    avail /= itemSize;
    return avail < nItems ? avail : nItems;
  }

  std::uint8_t ReadU8() {
    Check(1);
    return *ptr_++;
  }
  std::uint16_t ReadU16() {
    Check(2);
    std::uint16_t v = static_cast<std::uint16_t>((ptr_[0] << 8) | ptr_[1]);
    ptr_ += 2;
    return v;
  }
  std::uint32_t ReadU32() {
    Check(4);
    std::uint32_t v = (std::uint32_t(ptr_[0]) << 24) | (std::uint32_t(ptr_[1]) << 16) |
                      (std::uint32_t(ptr_[2]) << 8) | std::uint32_t(ptr_[3]);
    ptr_ += 4;
    return v;
  }
  std::int32_t ReadS32() { return static_cast<std::int32_t>(ReadU32()); }

  // Skips len bytes.
  void Skip(std::size_t len);

  // Direct access to the buffered bytes, for decoders that parse in place.
  const std::uint8_t* GetPtr() const { return ptr_; }
  const std::uint8_t* GetEnd() const { return end_; }
  std::size_t Avail() const { return static_cast<std::size_t>(end_ - ptr_); }
  void SetPtr(const std::uint8_t* p) { ptr_ = p; }

protected:
  virtual std::size_t Overrun(std::size_t itemSize, std::size_t nItems) = 0;

  const std::uint8_t* ptr_ = nullptr;
  const std::uint8_t* end_ = nullptr;
};

}  // namespace rdr
