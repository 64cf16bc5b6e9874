#include "session/ChannelInStream.h"

#include <cstring>

#include "rdr/Exception.h"

namespace rdr {

ChannelInStream::ChannelInStream(ReadFn read, void* arg, std::size_t bufferSize)
    : read_(read), arg_(arg), buf_(bufferSize) {
  ptr_ = end_ = buf_.data();
}

void ChannelInStream::ReadBytes(void* data, std::size_t len) {
  std::uint8_t* out = static_cast<std::uint8_t*>(data);
  const std::size_t n = len < Avail() ? len : Avail();
  std::memcpy(out, ptr_, n);
  ptr_ += n;
  if (n == len) return;
  // The rest straight into the caller's memory.
  read_(arg_, out + n, len - n);
  offset_ += len - n;
}

std::size_t ChannelInStream::Overrun(std::size_t itemSize, std::size_t nItems) {
  if (itemSize > buf_.size()) throw Exception("ChannelInStream overrun: max itemSize exceeded");
  const std::size_t kept = Avail();
  offset_ += static_cast<std::size_t>(ptr_ - buf_.data());
  std::memmove(buf_.data(), ptr_, kept);
  std::size_t want = itemSize * nItems;
  if (nItems != 0 && want / nItems != itemSize) want = buf_.size();  // overflow
  if (want > buf_.size()) want = buf_.size() - buf_.size() % itemSize;
  if (want < itemSize) want = itemSize;
  read_(arg_, buf_.data() + kept, want - kept);
  ptr_ = buf_.data();
  end_ = buf_.data() + want;
  const std::size_t items = want / itemSize;
  return items < nItems ? items : nItems;
}

}  // namespace rdr
