#include "security/Credentials.h"

int AuthPasswordLimit(int type) {
  static const int kLimits[kAuthDialogTypes] = {32, 8, 32, 8, 256, 128};
  return type >= 0 && type < kAuthDialogTypes ? kLimits[type] : 0;
}

void CopySecretText(char* out, std::size_t most, const char* text) {
  std::size_t n = 0;
  while (text && n < most && text[n]) n++;
  for (std::size_t i = 0; i < n; i++) out[i] = text[i];
  out[n] = '\0';
}
