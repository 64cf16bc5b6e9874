// Stream errors. Every failure of a stream is thrown as one of these; the text is
// "<type>: <message>" (or only the type), at most 255 characters.
#pragma once

namespace rdr {

class Exception {
public:
  explicit Exception(const char* message = nullptr, const char* type = "rdr::Exception");
  virtual ~Exception() = default;
  virtual const char* str() const { return text_; }

protected:
  void SetText(const char* type, const char* message);
  char text_[256];
};

class EndOfStream : public Exception {
public:
  explicit EndOfStream(const char* message = nullptr) : Exception(message, "rdr::EndOfStream") {}
};

class TimedOut : public Exception {
public:
  explicit TimedOut(const char* message = nullptr) : Exception(message, "rdr::TimedOut") {}
};

// A failed system call: "rdr::SystemException: <call>: <system text> (<number>)".
class SystemException : public Exception {
public:
  SystemException(const char* call, int err);
  int err;
};

}  // namespace rdr
