#include "rdr/ZlibOutStream.h"

#include <zlib.h>

#include <cstdio>

#include "rdr/Exception.h"

namespace rdr {

ZlibOutStream::ZlibOutStream(OutStream* under, std::size_t bufferSize, int level)
    : under_(under), bufSize_(bufferSize ? bufferSize : 16384) {
  zs_ = new z_stream();
  if (deflateInit(zs_, level) != Z_OK) {
    delete zs_;
    throw Exception("ZlibOutStream: deflateInit failed");
  }
  start_ = new std::uint8_t[bufSize_];
  ptr_ = start_;
  end_ = start_ + bufSize_;
}

ZlibOutStream::~ZlibOutStream() {
  try {
    Flush();
  } catch (...) {
  }
  deflateEnd(zs_);
  delete zs_;
  delete[] start_;
}

void ZlibOutStream::Deflate(int flush) {
  zs_->next_in = start_;
  zs_->avail_in = static_cast<uInt>(ptr_ - start_);
  for (;;) {
    under_->Check(1);
    std::uint8_t* out = under_->GetPtr();
    uInt room = static_cast<uInt>(under_->GetEnd() - out);
    zs_->next_out = out;
    zs_->avail_out = room;
    int rc = deflate(zs_, flush);
    under_->SetPtr(zs_->next_out);
    if (rc != Z_OK && rc != Z_BUF_ERROR) throw Exception("ZlibOutStream: deflate failed");
    // Go on while the output space was filled: deflate may hold more.
    if (zs_->avail_out != 0 && (flush == Z_NO_FLUSH || zs_->avail_in == 0)) break;
  }
  std::size_t consumed = static_cast<std::size_t>(zs_->next_in - start_);
  std::size_t left = static_cast<std::size_t>(ptr_ - start_) - consumed;
  if (left) {
    std::fputs("z out buf not full, but in data not consumed\n", stderr);
    std::memmove(start_, zs_->next_in, left);
  }
  offset_ += consumed;
  ptr_ = start_ + left;
}

std::size_t ZlibOutStream::Overrun(std::size_t itemSize, std::size_t nItems) {
  if (itemSize > bufSize_) throw Exception("ZlibOutStream overrun: max itemSize exceeded");
  while (static_cast<std::size_t>(end_ - ptr_) < itemSize) Deflate(Z_NO_FLUSH);
  std::size_t items = static_cast<std::size_t>(end_ - ptr_) / itemSize;
  return items < nItems ? items : nItems;
}

void ZlibOutStream::Flush() { Deflate(Z_SYNC_FLUSH); }

}  // namespace rdr
