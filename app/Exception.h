// The viewer's own error objects. Each knows how to tell the user about itself.
#pragma once

class Exception {
public:
  // number 0 means "none" and is kept as -1.
  explicit Exception(const char* message = nullptr, int number = 0);
  Exception(const Exception& other);
  Exception& operator=(const Exception& other);
  virtual ~Exception();

  virtual void Report() const = 0;

  const char* Message() const { return m_info; }
  int Number() const { return m_error_num; }

protected:
  char* m_info;
  int m_error_num;
};

// Reports nothing: the user cancelled.
class QuietException : public Exception {
public:
  explicit QuietException(const char* message = nullptr, int number = 0) : Exception(message, number) {}
  void Report() const override {}
};

class WarningException : public Exception {
public:
  explicit WarningException(const char* message = nullptr, int number = 0, bool close = true)
      : Exception(message, number), m_close(close) {}
  void Report() const override;
  bool m_close;  // whether the connection is to be closed
};

class ErrorException : public Exception {
public:
  explicit ErrorException(const char* message = nullptr, int number = 0) : Exception(message, number) {}
  void Report() const override;
};

// Shows the information dialog with the message, the error number, the product version
// and the build time, modally. Never throws.
void ShowExceptionDialog(const char* message, int number);
