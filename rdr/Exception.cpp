#include "rdr/Exception.h"

#include <cstdio>
#include <cstring>

#include "rdr/Sys.h"

namespace rdr {

Exception::Exception(const char* message, const char* type) { SetText(type, message); }

void Exception::SetText(const char* type, const char* message) {
  // type, then ": " and the message when there is one; cut at 255 characters.
  std::size_t n = 0;
  auto append = [&](const char* s) {
    while (s && *s && n < sizeof text_ - 1) text_[n++] = *s++;
  };
  append(type);
  if (message && *message) {
    append(": ");
    append(message);
  }
  text_[n] = '\0';
}

SystemException::SystemException(const char* call, int e) : Exception(nullptr), err(e) {
  char sys[160];
  SystemErrorText(e, sys, sizeof sys);
  char msg[256];
  std::snprintf(msg, sizeof msg, "%s: %s (%d)", call ? call : "", sys, e);
  msg[sizeof msg - 1] = '\0';
  SetText("rdr::SystemException", msg);
}

}  // namespace rdr
