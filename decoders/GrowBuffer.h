// A work buffer that grows on demand (receive buffer, decompression output, file-transfer
// chunks...). A request for n bytes gives at least n + 1 bytes: when n is not smaller than
// the current size the buffer is replaced by one of n + 256 bytes (old contents dropped).
// Requests above 100 MiB, and failed allocations, throw ErrorException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class GrowBuffer {
public:
  static constexpr std::uint64_t kMaxRequest = 100ull * 1024 * 1024;
  static constexpr std::size_t kSlack = 256;

  // logFormat: logged at level 4 with the new size after each growth ("bufsize expanded
  // to %d\n"), or nullptr. failureText: the text of the ErrorException thrown on overflow;
  // nullptr means the interface text "Insufficient memory to allocate network buffer.".
  explicit GrowBuffer(const char* logFormat = nullptr, const char* failureText = nullptr)
      : logFormat_(logFormat), failureText_(failureText) {}
  GrowBuffer(const GrowBuffer&) = delete;
  GrowBuffer& operator=(const GrowBuffer&) = delete;

  // Makes room for n bytes and returns the buffer.
  std::uint8_t* Ensure(std::uint64_t n) {
    if (n < size_ && n <= kMaxRequest) return data_.get();
    return Grow(n);
  }

  std::uint8_t* Data() const { return data_.get(); }
  std::size_t Size() const { return size_; }
  void Free() {
    data_.reset();
    size_ = 0;
  }

private:
  std::uint8_t* Grow(std::uint64_t n);

  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  const char* logFormat_;
  const char* failureText_;
};
