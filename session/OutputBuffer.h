// The buffered output path of a connection: every byte sent to the server goes through
// one 2904-byte buffer. Full blocks are sent as soon as they fill; the rest waits for the
// next unqueued write or flush. The caller holds the connection's send lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "rdr/Sys.h"

// Where the output buffer's bytes go: the connection's socket, or a test double.
class ByteSink {
public:
  // Sends up to len bytes; the number sent, or 0 / negative on failure.
  virtual long Send(const std::uint8_t* data, std::size_t len) = 0;
  // Waits for room to send: >0 ready, 0 timed out, <0 error.
  virtual int WaitWritable(int timeoutMs) = 0;
  // The error number of the last failure, and its text.
  virtual int LastError() = 0;
  // Called after a failed or timed-out send: ends the connection both ways so that the
  // reader sees it too and takes the connection-loss road.
  virtual void Shutdown() = 0;

protected:
  ~ByteSink() = default;
};

// A ByteSink over a socket handle that its owner may replace or invalidate at any time.
class SocketSink : public ByteSink {
public:
  explicit SocketSink(const std::atomic<rdr::SocketHandle>& sock) : sock_(sock) {}
  long Send(const std::uint8_t* data, std::size_t len) override;
  int WaitWritable(int timeoutMs) override;
  int LastError() override;
  void Shutdown() override;

private:
  const std::atomic<rdr::SocketHandle>& sock_;
  int lastError_ = 0;
};

class OutputBuffer {
public:
  static constexpr std::size_t kSize = 2904;

  explicit OutputBuffer(ByteSink& sink) : sink_(sink) {}
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // Appends len bytes. Full blocks go out at once; unless queue is set, everything
  // buffered is sent before returning. timed: each send first waits at most timeoutSec
  // seconds for the socket to accept data. False after a failed send (logged, the sink
  // shut down, the buffer emptied: nothing of a dead connection is kept), and from then
  // on without trying or logging again, until Reset: the connection is gone, and each of
  // the requests and events still on their way would only add a line to the log.
  bool Write(const std::uint8_t* data, std::size_t len, bool queue, bool timed, int timeoutSec);

  // Sends full 2904-byte blocks while the buffered bytes and the new ones make one,
  // advancing data/len past what went into the buffer. False after a failed send.
  bool SendFullBlocks(const std::uint8_t*& data, std::size_t& len, bool timed, int timeoutSec);

  // Waits at most `seconds` for writability, then sends: 0 when the wait timed out, -1
  // on a wait error, else the sink's result.
  long SendWithTimeout(const std::uint8_t* data, std::size_t len, int seconds);

  // Drops what is buffered (the connection is being closed or replaced).
  void Clear() { count_ = 0; }
  // A new connection: empty, and sending again.
  void Reset() {
    count_ = 0;
    failed_ = false;
  }
  // A send failed since the last Reset.
  bool Failed() const { return failed_; }
  std::size_t Buffered() const { return count_; }
  std::uint64_t TotalSent() const { return total_.load(); }
  // Milliseconds (monotonic clock) of the last send; 0 before the first.
  std::uint64_t LastSendMs() const { return lastSendMs_.load(); }

private:
  long SendOnce(const std::uint8_t* data, std::size_t len, bool timed, int timeoutSec);
  void Fail(long result, bool timed, int timeoutSec);

  ByteSink& sink_;
  std::uint8_t buf_[kSize];
  std::size_t count_ = 0;
  bool failed_ = false;
  std::atomic<std::uint64_t> total_{0};
  std::atomic<std::uint64_t> lastSendMs_{0};
};
