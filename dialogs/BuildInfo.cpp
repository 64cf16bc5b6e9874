#include "dialogs/BuildInfo.h"

#include <cstdio>
#include <cstring>

std::string FormatBuildDateTime(const char* date, const char* time) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  char month[4] = "";
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (date) std::sscanf(date, "%3s %d %d", month, &day, &year);
  if (time) std::sscanf(time, "%d:%d:%d", &hour, &minute, &second);
  const char* found = month[0] ? std::strstr(kMonths, month) : nullptr;
  // Only a whole month name counts ("anF" is no month).
  const int monthNumber = found && (found - kMonths) % 3 == 0 ? static_cast<int>(found - kMonths) / 3 + 1 : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, monthNumber, day, hour, minute, second);
  return text;
}

std::string BuildDateTime() { return FormatBuildDateTime(__DATE__, __TIME__); }

int InformationNumber(const char* message, int number) {
  if (!message) return number;
  if (std::strcmp(message, "Your connection has been rejected.") == 0) return 1000;
  if (std::strcmp(message, "Local loop-back connections are disabled.") == 0) return 1001;
  return number;
}
