// Reads a socket through a buffer. Large reads go straight into the caller's memory.
// Data injected by the caller (InjectData) is served before anything still buffered
// and before the socket.
#pragma once

#include <cstdint>
#include <vector>

#include "rdr/InStream.h"
#include "rdr/Sys.h"

namespace rdr {

class FdInStream : public InStream {
public:
  using BlockCallback = void (*)(void* arg);

  // timeoutMs 0: poll, call the block callback when nothing is there, then block.
  // timeoutMs > 0: wait at most that long for each read, else throw TimedOut.
  explicit FdInStream(SocketHandle s, int timeoutMs = 0, std::size_t bufferSize = 8192);
  ~FdInStream() override;
  FdInStream(const FdInStream&) = delete;
  FdInStream& operator=(const FdInStream&) = delete;

  void ReadBytes(void* data, std::size_t len) override;
  std::size_t Pos() override;

  SocketHandle GetSocket() const { return sock_; }
  void SetSocket(SocketHandle s) { sock_ = s; }
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }
  int GetTimeout() const { return timeoutMs_; }
  void SetBlockCallback(BlockCallback cb, void* arg) {
    blockCallback_ = cb;
    blockArg_ = arg;
  }
  // Every read bypasses the buffer while set.
  void SetDirectRead(bool on) { directRead_ = on; }
  // Reads from the socket (or the injected block) so far: what a larger buffer saves.
  std::uint64_t ReadCalls() const { return readCalls_; }

  void StartTiming();
  void StopTiming();
  std::uint32_t KbitsPerSecond() const;
  std::uint64_t TimeWaited() const { return timeWaited_; }

  // Serves len bytes of data before anything else; the bytes already buffered follow,
  // then the socket. Injecting while an earlier block is still being served throws.
  void InjectData(std::size_t len, const void* data);
  bool InjectionActive() const { return pendingPos_ < pending_.size(); }
  // Bytes of the injected block itself (not of those it displaced) the reader has still to
  // take: a caller that injected plain bytes reads the displaced ones as they came.
  std::size_t InjectedLeft() {
    const std::size_t pos = Pos();
    return injectedEnd_ > pos ? injectedEnd_ - pos : 0;
  }

  // Drops every buffered byte and waits up to 500 ms for more data; returns the wait's result.
  int DiscardAndPoll();

  // Forgets everything buffered or injected (a new socket after a reconnect).
  void Clear();

protected:
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override;

private:
  // One read into [dest, dest + space): from the injected block, else from the socket.
  // With `all` the caller wants exactly `space` bytes, so the socket read may wait for
  // all of them at once.
  std::size_t ReadSome(std::uint8_t* dest, std::size_t space, bool all = false);
  int WaitForData(int timeoutMs);

  SocketHandle sock_;
  int timeoutMs_;
  BlockCallback blockCallback_ = nullptr;
  void* blockArg_ = nullptr;
  bool timing_ = false;
  std::uint64_t timeWaited_ = 5;  // in units of 100 microseconds
  std::uint64_t timedKbits_ = 0;
  std::size_t bufSize_;
  std::uint8_t* start_;
  bool directRead_ = false;
  std::vector<std::uint8_t> pending_;  // injected block followed by the bytes it displaced
  std::size_t pendingPos_ = 0;
  std::size_t offset_ = 0;  // bytes consumed before start_
  std::size_t injectedEnd_ = 0;  // the stream position where the injected block ends
  std::uint64_t readCalls_ = 0;
};

}  // namespace rdr
