#include "security/Secret.h"

#include <cstring>

namespace {
// Called through a volatile pointer, so the compiler cannot prove the zeros unread and
// leave the call out.
void* (*volatile g_zero)(void*, int, std::size_t) = std::memset;
}  // namespace

void SecureWipe(void* p, std::size_t n) {
  if (p && n) g_zero(p, 0, n);
}
