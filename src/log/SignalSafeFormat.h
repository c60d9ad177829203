// A fixed buffer that formats text without allocation or locks, for lines
// written from signal handlers. Text beyond the capacity is cut.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelpd::log {

class SignalSafeFormat {
 public:
  SignalSafeFormat(char* buf, size_t capacity) : buf_(buf), cap_(capacity) {}

  SignalSafeFormat& Text(const char* s);
  SignalSafeFormat& Bytes(const char* s, size_t n);
  SignalSafeFormat& Char(char c);
  SignalSafeFormat& Unsigned(uint64_t v);
  // Upper-case hexadecimal, at least min_digits digits ("%04X").
  SignalSafeFormat& Hex(uint64_t v, int min_digits);
  // Decimal with leading zeros to width digits ("%02d").
  SignalSafeFormat& Padded(uint64_t v, int width);
  // A pointer as printf's "%p" writes it: "(nil)" or "0x" and lower-case hex.
  SignalSafeFormat& Pointer(const void* p);

  const char* data() const { return buf_; }
  size_t size() const { return len_; }

 private:
  char* buf_;
  size_t cap_;
  size_t len_ = 0;
};

}  // namespace kelpd::log
