#include "net/SocketException.h"

#include <cstring>

#include "net/ErrorTexts.h"

bool CSocketException::GetErrorMessage(char* buf, unsigned size, unsigned* helpContext) const {
  (void)helpContext;
  if (buf == nullptr || size == 0) return true;
  std::string text = kelpd::net::SocketErrorText(m_nError);
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buf, text.data(), n);
  std::memset(buf + n, 0, size - n);
  return true;
}

std::string CSocketException::GetErrorText() const {
  char buf[128];
  if (!GetErrorMessage(buf, sizeof buf)) return "unknown error: unable to produce error message";
  return buf;
}
