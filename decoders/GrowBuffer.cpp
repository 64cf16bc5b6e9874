#include "decoders/GrowBuffer.h"

#include <new>

#include "app/Exception.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"

std::uint8_t* GrowBuffer::Grow(std::uint64_t n) {
  const char* failure = failureText_ ? failureText_ : UiText(IDS_NO_MEMORY_NETBUF);
  if (n > kMaxRequest) throw ErrorException(failure);
  std::size_t newSize = static_cast<std::size_t>(n) + kSlack;
  std::uint8_t* p = new (std::nothrow) std::uint8_t[newSize];
  if (!p) throw ErrorException(failure);
  data_.reset(p);
  size_ = newSize;
  if (logFormat_) kebLog.Print(4, logFormat_, static_cast<int>(size_));
  return p;
}
