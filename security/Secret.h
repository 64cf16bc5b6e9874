// Secret bytes in memory (passwords, keys, key schedules): wiped where they are no longer
// needed, in a way the compiler cannot leave out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

// Overwrites n bytes at p with zeros.
void SecureWipe(void* p, std::size_t n);

// An allocator that wipes what it lets go of: a vector of secret bytes leaves no copy
// behind when it grows or goes.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept {
    SecureWipe(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const noexcept {
    return false;
  }
};
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// A text buffer of a fixed size, zero-filled, that wipes itself when it goes.
class SecretText {
public:
  explicit SecretText(std::size_t size) : m_data(new char[size ? size : 1]()), m_size(size ? size : 1) {}
  ~SecretText() { Wipe(); }
  SecretText(SecretText&& other) noexcept : m_data(std::move(other.m_data)), m_size(other.m_size) {
    other.m_size = 0;
  }
  SecretText& operator=(SecretText&& other) noexcept {
    if (this != &other) {
      Wipe();
      m_data = std::move(other.m_data);
      m_size = other.m_size;
      other.m_size = 0;
    }
    return *this;
  }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  char* data() { return m_data.get(); }
  const char* c_str() const { return m_data.get(); }
  std::size_t size() const { return m_size; }
  void Wipe() {
    if (m_data) SecureWipe(m_data.get(), m_size);
  }

private:
  std::unique_ptr<char[]> m_data;
  std::size_t m_size;
};
