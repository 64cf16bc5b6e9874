#include "session/ProtocolVersion.h"

namespace rfbversion {

static bool Digits3(const std::uint8_t* p, int* v) {
  int n = 0;
  for (int i = 0; i < 3; i++) {
    if (p[i] < '0' || p[i] > '9') return false;
    n = n * 10 + (p[i] - '0');
  }
  *v = n;
  return true;
}

bool Parse(const std::uint8_t t[kBytes], int* major, int* minor) {
  if (t[0] != 'R' || t[1] != 'F' || t[2] != 'B' || t[3] != ' ' || t[7] != '.' || t[11] != '\n') return false;
  return Digits3(t + 4, major) && Digits3(t + 8, minor);
}

void Format(int major, int minor, std::uint8_t out[kBytes]) {
  auto put3 = [](std::uint8_t* p, int v) {
    unsigned u = static_cast<unsigned>(v < 0 ? -v : v) % 1000u;
    p[0] = static_cast<std::uint8_t>('0' + u / 100);
    p[1] = static_cast<std::uint8_t>('0' + u / 10 % 10);
    p[2] = static_cast<std::uint8_t>('0' + u % 10);
  };
  out[0] = 'R';
  out[1] = 'F';
  out[2] = 'B';
  out[3] = ' ';
  put3(out + 4, major);
  out[7] = '.';
  put3(out + 8, minor);
  out[11] = '\n';
}

Decision Decide(int major, int minor) {
  Decision d{major, minor, minor, false, false, false, false, false};
  switch (minor) {
    case 4:
    case 14:
      d.serverExtA = d.serverExtB = true;
      break;
    case 6:
    case 16:
    case 18:
      d.serverExtB = true;
      break;
    case 7:
    case 8:
      break;
    default:
      if (major == 3 && minor == 3) {
        d.legacy33 = true;
      } else if (major == 3 && minor < 3) {
        d.belowThree = true;
      } else {
        d.answerMajor = 3;
        d.answerMinor = 8;
        d.sessionMinor = 8;
      }
      return d;
  }
  if (minor >= 14) {
    d.extraText = true;
    d.sessionMinor = minor - 10;
  }
  return d;
}

}  // namespace rfbversion
