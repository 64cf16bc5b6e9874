// Writes into a buffer of its own that grows as needed.
#pragma once

#include "rdr/OutStream.h"

namespace rdr {

class MemOutStream : public OutStream {
public:
  explicit MemOutStream(std::size_t initialSize = 1024);
  ~MemOutStream() override;
  MemOutStream(const MemOutStream&) = delete;
  MemOutStream& operator=(const MemOutStream&) = delete;

  std::size_t Length() override { return static_cast<std::size_t>(ptr_ - start_); }
  std::size_t Capacity() const { return static_cast<std::size_t>(end_ - start_); }
  const std::uint8_t* Data() const { return start_; }
  void Clear() { ptr_ = start_; }

protected:
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override;

private:
  std::uint8_t* start_;
};

}  // namespace rdr
