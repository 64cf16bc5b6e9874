// Reads a memory block it does not own.
#pragma once

#include "rdr/Exception.h"
#include "rdr/InStream.h"

namespace rdr {

class MemInStream : public InStream {
public:
  MemInStream(const void* data, std::size_t len) : start_(static_cast<const std::uint8_t*>(data)) {
    ptr_ = start_;
    end_ = start_ + len;
  }
  std::size_t Pos() override { return static_cast<std::size_t>(ptr_ - start_); }

protected:
  std::size_t Overrun(std::size_t, std::size_t) override { throw EndOfStream("overrun"); }

private:
  const std::uint8_t* start_;
};

}  // namespace rdr
