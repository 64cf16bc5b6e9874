#include "tests/unit/security/SecretTrace.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KEB_TRACE_HEAP 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEB_TRACE_HEAP 0
#endif
#endif
#ifndef KEB_TRACE_HEAP
#define KEB_TRACE_HEAP 1
#endif

namespace secrettrace {
namespace {

// The stack searched below the caller.
constexpr std::size_t kDeadStack = 96 * 1024;

std::atomic<bool> g_watching{false};
std::atomic<int> g_found{0};
std::mutex g_lock;  // guards g_secrets against Start and Stop
std::vector<std::string>* g_secrets = nullptr;

bool Holds(const unsigned char* p, std::size_t n, const std::vector<std::string>& secrets) {
  for (const std::string& s : secrets) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    if (n >= s.size() && std::search(p, p + n, b, b + s.size()) != p + n) return true;
  }
  return false;
}

}  // namespace

#if KEB_TRACE_HEAP
// Each block carries its size in front of it.
constexpr std::size_t kHeader = 16;

void* Allocate(std::size_t n) {
  void* p = std::malloc(n + kHeader);
  if (!p) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = n;
  return static_cast<unsigned char*>(p) + kHeader;
}

void Release(void* block) {
  if (!block) return;
  unsigned char* p = static_cast<unsigned char*>(block) - kHeader;
  if (g_watching.load()) {
    std::lock_guard<std::mutex> g(g_lock);
    if (g_secrets && Holds(static_cast<unsigned char*>(block), *reinterpret_cast<std::size_t*>(p), *g_secrets))
      g_found++;
  }
  std::free(p);
}
#endif

bool Available() { return KEB_TRACE_HEAP != 0; }

void Start(const std::vector<std::string>& secrets) {
  auto* copy = new std::vector<std::string>(secrets);
  {
    std::lock_guard<std::mutex> g(g_lock);
    g_secrets = copy;
  }
  g_found = 0;
  g_watching = true;
}

int Stop() {
  g_watching = false;
  std::vector<std::string>* old;
  {
    std::lock_guard<std::mutex> g(g_lock);
    old = g_secrets;
    g_secrets = nullptr;
  }
  delete old;
  return g_found.load();
}

__attribute__((noinline)) void ClearDeadStack() {
  volatile unsigned char area[kDeadStack];
  for (std::size_t i = 0; i < kDeadStack; i++) area[i] = 0;
}

__attribute__((noinline)) bool DeadStackHolds(const std::vector<std::string>& secrets) {
  volatile unsigned char area[kDeadStack];
  // Read as it is: what the frames that returned left there.
  static unsigned char copy[kDeadStack];
  for (std::size_t i = 0; i < kDeadStack; i++) copy[i] = area[i];
  return Holds(copy, kDeadStack, secrets);
}

__attribute__((noinline)) std::string LeftBehind(const std::vector<std::string>& secrets,
                                                const std::function<void()>& calls) {
  ClearDeadStack();
  Start(secrets);
  calls();
  const int blocks = Stop();
  const bool stack = DeadStackHolds(secrets);
  std::string where;
  if (blocks) where = std::to_string(blocks) + " freed blocks";
  if (stack) where += std::string(where.empty() ? "" : ", ") + "the stack";
  return where;
}

}  // namespace secrettrace

#if KEB_TRACE_HEAP
void* operator new(std::size_t n) { return secrettrace::Allocate(n); }
void* operator new[](std::size_t n) { return secrettrace::Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return secrettrace::Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return secrettrace::Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { secrettrace::Release(p); }
void operator delete[](void* p) noexcept { secrettrace::Release(p); }
void operator delete(void* p, std::size_t) noexcept { secrettrace::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { secrettrace::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { secrettrace::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { secrettrace::Release(p); }
#endif
