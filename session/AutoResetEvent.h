// An auto-reset event: Set wakes one waiter (or the next one to wait), which resets it.
// The connection keeps two: the connection thread sets both when it ends, and closing
// the socket or destroying the connection waits a bounded time for one of them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class AutoResetEvent {
public:
  explicit AutoResetEvent(bool signalled = false) : signalled_(signalled) {}
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void Set() {
    {
      std::lock_guard<std::mutex> g(m_);
      signalled_ = true;
    }
    cv_.notify_one();
  }

  void Reset() {
    std::lock_guard<std::mutex> g(m_);
    signalled_ = false;
  }

  // Waits at most timeoutMs (negative: without limit). True when the event was set; the
  // event is then reset.
  bool Wait(int timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    if (timeoutMs < 0) {
      cv_.wait(g, [this] { return signalled_; });
    } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
      return false;
    }
    signalled_ = false;
    return true;
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_;
};
