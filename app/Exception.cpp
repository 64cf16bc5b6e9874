#include "app/Exception.h"

#include <cstring>

#include "app/UserInterface.h"

static char* CopyText(const char* text) {
  if (!text) text = "";
  std::size_t n = std::strlen(text) + 1;
  char* copy = new char[n];  // throws std::bad_alloc: construction fails
  std::memcpy(copy, text, n);
  return copy;
}

Exception::Exception(const char* message, int number)
    : m_info(CopyText(message)), m_error_num(number == 0 ? -1 : number) {}

Exception::Exception(const Exception& other)
    : m_info(CopyText(other.m_info)), m_error_num(other.m_error_num) {}

Exception& Exception::operator=(const Exception& other) {
  if (this != &other) {
    char* copy = CopyText(other.m_info);
    delete[] m_info;
    m_info = copy;
    m_error_num = other.m_error_num;
  }
  return *this;
}

Exception::~Exception() { delete[] m_info; }

void ShowExceptionDialog(const char* message, int number) { UI().ShowReport(message, number); }

void WarningException::Report() const { ShowExceptionDialog(m_info, m_error_num); }
void ErrorException::Report() const { ShowExceptionDialog(m_info, m_error_num); }
