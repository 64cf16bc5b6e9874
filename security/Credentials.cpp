#include "security/Credentials.h"

int AuthPasswordLimit(int type) {
  static const int kLimits[kAuthDialogTypes] = {32, 8, 32, 8, 256, 128};
  return type >= 0 && type < kAuthDialogTypes ? kLimits[type] : 0;
}
