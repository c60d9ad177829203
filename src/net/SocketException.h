// CSocketException: a failure of a network connection, carrying a socket error
// number (10000 and up, mapped from errno by the socket layer, or one of the
// numbers the socket layer sets itself: 10053 for a wait that ran out, 11001 for
// a host that does not resolve, ...). Thrown by value and caught by const&,
// close to where it arises. The failure report writer for a socket error
// belongs to the SMTP layer, which knows the report format; it takes the
// exception (or m_nError) and may be added there without changing this class.
#pragma once

#include <string>

class CSocketException {
 public:
  explicit CSocketException(int error) : m_nError(error) {}
  virtual ~CSocketException() = default;
  CSocketException(const CSocketException&) = default;
  CSocketException& operator=(const CSocketException&) = default;

  // Fills buf with the zero-terminated text for m_nError, cut to size - 1 bytes,
  // and zeroes the rest of buf. helpContext is ignored. Always returns true.
  virtual bool GetErrorMessage(char* buf, unsigned size, unsigned* helpContext = nullptr) const;

  // The text GetErrorMessage gives in a 128-byte buffer.
  std::string GetErrorText() const;

  int m_nError;
};
