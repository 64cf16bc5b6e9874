#include "rdr/FdInStream.h"

#include <algorithm>
#include <cstdio>

#include "rdr/Exception.h"

namespace rdr {

FdInStream::FdInStream(SocketHandle s, int timeoutMs, std::size_t bufferSize)
    : sock_(s), timeoutMs_(timeoutMs), bufSize_(bufferSize ? bufferSize : 8192) {
  start_ = new std::uint8_t[bufSize_];
  ptr_ = end_ = start_;
}

FdInStream::~FdInStream() { delete[] start_; }

std::size_t FdInStream::Pos() { return offset_ + static_cast<std::size_t>(ptr_ - start_); }

void FdInStream::Clear() {
  offset_ += static_cast<std::size_t>(ptr_ - start_);
  ptr_ = end_ = start_;
  pending_.clear();
  pendingPos_ = 0;
  injectedEnd_ = 0;
}

void FdInStream::ReadBytes(void* data, std::size_t len) {
  if (!directRead_ && len < 1024) {
    InStream::ReadBytes(data, len);
    return;
  }
  std::uint8_t* out = static_cast<std::uint8_t*>(data);
  std::size_t n = std::min(len, Avail());
  std::memcpy(out, ptr_, n);
  ptr_ += n;
  out += n;
  len -= n;
  while (len > 0) {
    // ReadSome serves an injected block before the socket, so the order holds here too.
    // The length is known: the socket may deliver the whole rest in one read.
    std::size_t got = ReadSome(out, len, true);
    offset_ += got;
    out += got;
    len -= got;
  }
}

std::size_t FdInStream::Overrun(std::size_t itemSize, std::size_t nItems) {
  if (itemSize > bufSize_) throw Exception("FdInStream overrun: max itemSize exceeded");

  std::size_t unread = static_cast<std::size_t>(end_ - ptr_);
  if (ptr_ != start_) {
    offset_ += static_cast<std::size_t>(ptr_ - start_);
    std::memmove(start_, ptr_, unread);
    ptr_ = start_;
    end_ = start_ + unread;
  }
  std::uint8_t* fill = start_ + unread;
  std::uint8_t* limit = start_ + bufSize_;
  while (static_cast<std::size_t>(fill - start_) < itemSize) {
    fill += ReadSome(fill, static_cast<std::size_t>(limit - fill));
    end_ = fill;
  }
  std::size_t items = static_cast<std::size_t>(end_ - ptr_) / itemSize;
  return items < nItems ? items : nItems;
}

int FdInStream::WaitForData(int timeoutMs) {
  for (;;) {
    int r = WaitReadable(sock_, timeoutMs);
    if (r < 0 && IsInterrupted(LastSocketError())) {
      std::fputs("select returned EINTR\n", stderr);
      continue;
    }
    return r;
  }
}

std::size_t FdInStream::ReadSome(std::uint8_t* dest, std::size_t space, bool all) {
  readCalls_++;
  if (InjectionActive()) {
    std::size_t n = std::min(space, pending_.size() - pendingPos_);
    std::memcpy(dest, pending_.data() + pendingPos_, n);
    pendingPos_ += n;
    if (pendingPos_ >= pending_.size()) {
      pending_.clear();
      pending_.shrink_to_fit();
      pendingPos_ = 0;
    }
    return n;
  }

  std::uint64_t before = timing_ ? GetTimeMicroseconds() : 0;

  // Without a time-out and without a block callback the poll would decide nothing: the
  // read blocks either way, so the system call is saved on the hot path. A read that
  // waits for a whole block is only right there too: the time-out and the callback look
  // at each piece as it comes.
  const bool polled = timeoutMs_ > 0 || blockCallback_;
  if (polled) {
    int r = WaitForData(timeoutMs_);
    if (r < 0) throw SystemException("select", LastSocketError());
    if (r == 0) {
      if (timeoutMs_ > 0) throw TimedOut();
      blockCallback_(blockArg_);
    }
  }

  long n;
  for (;;) {
    n = all && !polled ? SocketRecvAll(sock_, dest, space) : SocketRecv(sock_, dest, space);
    if (n > 0) break;
    if (n == 0) throw EndOfStream("read");
    int err = LastSocketError();
    if (IsInterrupted(err)) {
      std::fputs("read returned EINTR\n", stderr);
      continue;
    }
    throw SystemException("read", err);
  }

  if (timing_) {
    std::uint64_t elapsedUs = GetTimeMicroseconds() - before;
    std::uint64_t bytes = static_cast<std::uint64_t>(n);
    std::uint64_t kbits = bytes / 125;
    std::uint64_t t = elapsedUs / 100;
    t = std::min(t, kbits * 1000);
    t = std::max(t, bytes / 500);
    timedKbits_ += kbits;
    timeWaited_ += t;
  }
  return static_cast<std::size_t>(n);
}

void FdInStream::StartTiming() {
  timing_ = true;
  if (timeWaited_ > 10000) {
    timedKbits_ = timedKbits_ * 10000 / timeWaited_;
    timeWaited_ = 10000;
  }
}

void FdInStream::StopTiming() {
  timing_ = false;
  if (timeWaited_ < timedKbits_ / 2) timeWaited_ = timedKbits_ / 2;
}

std::uint32_t FdInStream::KbitsPerSecond() const {
  if (timeWaited_ == 0) return 0;
  std::uint64_t r = timedKbits_ * 10000 / timeWaited_;
  return r > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(r);
}

void FdInStream::InjectData(std::size_t len, const void* data) {
  if (InjectionActive()) throw Exception("FdInStream: injection while another is being served");
  const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
  std::size_t unread = Avail();
  pending_.reserve(len + unread);
  pending_.assign(in, in + len);
  pending_.insert(pending_.end(), ptr_, end_);
  pendingPos_ = 0;
  // The displaced bytes now live in pending_ and are counted when they are read from there.
  offset_ += static_cast<std::size_t>(ptr_ - start_);
  ptr_ = end_ = start_;
  injectedEnd_ = offset_ + len;
}

int FdInStream::DiscardAndPoll() {
  offset_ += static_cast<std::size_t>(ptr_ - start_);
  ptr_ = end_ = start_;
  return WaitForData(500);
}

}  // namespace rdr
