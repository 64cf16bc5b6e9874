#include "security/Secret.h"

void SecureWipe(void* p, std::size_t n) {
  volatile unsigned char* b = static_cast<volatile unsigned char*>(p);
  while (n--) *b++ = 0;
}
