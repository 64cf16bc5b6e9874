#include "rdr/DecompressingInStream.h"

#include <cstdio>
#include <cstring>

#include "rdr/Exception.h"

namespace rdr {

// The buffer (up to 128 KiB) is made when the first block is read from: a connection holds
// a stream for every encoding family and most servers send one or two of them.
DecompressingInStream::DecompressingInStream(std::size_t bufferSize, const char* name)
    : name_(name), bufSize_(bufferSize), start_(nullptr) {
  ptr_ = end_ = start_;
}

std::uint8_t* DecompressingInStream::Buffer() {
  if (!start_) {
    start_ = new std::uint8_t[bufSize_];
    ptr_ = end_ = start_;
  }
  return start_;
}

DecompressingInStream::~DecompressingInStream() { delete[] start_; }

void DecompressingInStream::SetUnderlying(InStream* in, std::uint64_t compressedBytes) {
  under_ = in;
  bytesIn_ = compressedBytes;
  offset_ += static_cast<std::size_t>(ptr_ - start_);
  ptr_ = end_ = start_;
}

void DecompressingInStream::Reset() {
  offset_ += static_cast<std::size_t>(ptr_ - start_);
  ptr_ = end_ = start_;
  if (!under_) return;
  while (bytesIn_ > 0) DecompressOnce(Buffer(), bufSize_);
  under_ = nullptr;
}

void DecompressingInStream::ResetDecompressor() {
  offset_ += static_cast<std::size_t>(ptr_ - start_);
  ptr_ = end_ = start_;
  under_ = nullptr;
  bytesIn_ = 0;
  RestartDecoder();
}

std::size_t DecompressingInStream::DecompressOnce(std::uint8_t* out, std::size_t outLen) {
  const std::uint8_t* in = nullptr;
  std::size_t inLen = 0;
  if (bytesIn_ > 0) {
    under_->Check(1);
    inLen = under_->Avail();
    if (inLen > bytesIn_) inLen = static_cast<std::size_t>(bytesIn_);
    in = under_->GetPtr();
  }
  std::size_t consumed = 0, produced = 0;
  Step(in, inLen, out, outLen, &consumed, &produced);
  if (consumed > inLen) consumed = inLen;
  if (produced > outLen) produced = outLen;
  if (consumed) {
    under_->SetPtr(in + consumed);
    bytesIn_ -= consumed;
  }
  if (consumed == 0 && produced == 0) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "%s: %s", name_,
                  inLen == 0 ? "compressed data ended early" : "decompressor made no progress");
    throw Exception(msg);
  }
  return produced;
}

std::size_t DecompressingInStream::Overrun(std::size_t itemSize, std::size_t nItems) {
  if (itemSize > bufSize_) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "%s overrun: max itemSize exceeded", name_);
    throw Exception(msg);
  }
  if (!under_) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "%s overrun: no underlying stream", name_);
    throw Exception(msg);
  }
  Buffer();
  std::size_t unread = static_cast<std::size_t>(end_ - ptr_);
  if (ptr_ != start_) {
    offset_ += static_cast<std::size_t>(ptr_ - start_);
    std::memmove(start_, ptr_, unread);
    ptr_ = start_;
    end_ = start_ + unread;
  }
  std::uint8_t* limit = start_ + bufSize_;
  while (static_cast<std::size_t>(end_ - ptr_) < itemSize) {
    std::uint8_t* fill = const_cast<std::uint8_t*>(end_);
    end_ = fill + DecompressOnce(fill, static_cast<std::size_t>(limit - fill));
  }
  std::size_t items = static_cast<std::size_t>(end_ - ptr_) / itemSize;
  return items < nItems ? items : nItems;
}

}  // namespace rdr
