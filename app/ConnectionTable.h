// The application's table of open connections: 128 slots, used entries always packed
// at the front, guarded by one lock.
#pragma once

#include <mutex>

template <typename T, int N = 128>
class ConnectionTable {
public:
  static constexpr int kSlots = N;
  enum class Removed { NotFound, SomeLeft, NowEmpty };

  // Stores c in the first free slot; false when every slot is used.
  bool Register(T* c) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& slot : slots_) {
      if (!slot) {
        slot = c;
        return true;
      }
    }
    return false;
  }

  // Removes c and moves the following entries one place down.
  Removed Deregister(T* c) {
    std::lock_guard<std::mutex> g(lock_);
    int i = 0;
    while (i < N && slots_[i] != c) i++;
    if (i == N || c == nullptr) return Removed::NotFound;
    for (; i < N - 1 && slots_[i]; i++) slots_[i] = slots_[i + 1];
    slots_[N - 1] = nullptr;
    return slots_[0] ? Removed::SomeLeft : Removed::NowEmpty;
  }

  T* At(int i) const {
    std::lock_guard<std::mutex> g(lock_);
    return i >= 0 && i < N ? slots_[i] : nullptr;
  }

  int Count() const {
    std::lock_guard<std::mutex> g(lock_);
    int n = 0;
    while (n < N && slots_[n]) n++;
    return n;
  }

  bool Contains(const T* c) const {
    std::lock_guard<std::mutex> g(lock_);
    for (auto* s : slots_)
      if (s && s == c) return true;
    return false;
  }

private:
  mutable std::mutex lock_;
  T* slots_[N] = {};
};
