#include "session/OutputBuffer.h"

#include <cstring>

#include "app/Log.h"

long SocketSink::Send(const std::uint8_t* data, std::size_t len) {
  rdr::SocketHandle s = sock_.load();
  if (s == rdr::kInvalidSocket) {
    lastError_ = 0;
    return -1;
  }
  for (;;) {
    long n = rdr::SocketSend(s, data, len);
    if (n < 0) {
      lastError_ = rdr::LastSocketError();
      if (rdr::IsInterrupted(lastError_)) continue;
    }
    return n;
  }
}

int SocketSink::WaitWritable(int timeoutMs) {
  rdr::SocketHandle s = sock_.load();
  if (s == rdr::kInvalidSocket) {
    lastError_ = 0;
    return -1;
  }
  int r = rdr::WaitWritable(s, timeoutMs);
  if (r < 0) lastError_ = rdr::LastSocketError();
  return r;
}

int SocketSink::LastError() { return lastError_; }

void SocketSink::Shutdown() {
  rdr::SocketHandle s = sock_.load();
  if (s != rdr::kInvalidSocket) rdr::SocketShutdown(s);
}

long OutputBuffer::SendWithTimeout(const std::uint8_t* data, std::size_t len, int seconds) {
  int r = sink_.WaitWritable(seconds < 0 ? 0 : seconds * 1000);
  if (r == 0) return 0;
  if (r < 0) return -1;
  return sink_.Send(data, len);
}

long OutputBuffer::SendOnce(const std::uint8_t* data, std::size_t len, bool timed, int timeoutSec) {
  lastSendMs_ = rdr::GetTimeMicroseconds() / 1000;
  return timed ? SendWithTimeout(data, len, timeoutSec) : sink_.Send(data, len);
}

void OutputBuffer::Fail(long result, bool timed, int timeoutSec) {
  if (timed && result == 0) {
    kebLog.Print(1, "Send timed out: the server took no data for %d s\n", timeoutSec);
  } else {
    int err = sink_.LastError();
    char text[256];
    rdr::SystemErrorText(err, text, sizeof text);
    kebLog.Print(1, "Socket error %d: %s\n", err, text);
  }
  // The connection cannot carry the rest of this stream any more: whatever is buffered
  // is dropped, and the socket is shut down so that the reader ends too.
  count_ = 0;
  failed_ = true;
  sink_.Shutdown();
}

bool OutputBuffer::SendFullBlocks(const std::uint8_t*& data, std::size_t& len, bool timed, int timeoutSec) {
  while (count_ + len >= kSize) {
    std::size_t take = kSize - count_;
    std::memcpy(buf_ + count_, data, take);
    data += take;
    len -= take;
    count_ = kSize;
    long n = SendOnce(buf_, kSize, timed, timeoutSec);
    if (n <= 0) {
      Fail(n, timed, timeoutSec);
      return false;
    }
    std::size_t sent = static_cast<std::size_t>(n) > kSize ? kSize : static_cast<std::size_t>(n);
    total_ += sent;
    std::memmove(buf_, buf_ + sent, kSize - sent);
    count_ = kSize - sent;
  }
  return true;
}

bool OutputBuffer::Write(const std::uint8_t* data, std::size_t len, bool queue, bool timed, int timeoutSec) {
  if (failed_) return false;
  if (len > 0 && !SendFullBlocks(data, len, timed, timeoutSec)) return false;
  // What is left is smaller than the free space: SendFullBlocks sent until it was.
  if (len > 0) {
    std::memcpy(buf_ + count_, data, len);
    count_ += len;
  }
  if (queue) return true;
  while (count_ > 0) {
    long n = SendOnce(buf_, count_, timed, timeoutSec);
    if (n <= 0) {
      Fail(n, timed, timeoutSec);
      return false;
    }
    std::size_t sent = static_cast<std::size_t>(n) > count_ ? count_ : static_cast<std::size_t>(n);
    total_ += sent;
    std::memmove(buf_, buf_ + sent, count_ - sent);
    count_ -= sent;
  }
  return true;
}
