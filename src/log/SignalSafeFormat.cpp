#include "log/SignalSafeFormat.h"

namespace kelpd::log {

SignalSafeFormat& SignalSafeFormat::Char(char c) {
  if (len_ < cap_) buf_[len_++] = c;
  return *this;
}

SignalSafeFormat& SignalSafeFormat::Bytes(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) Char(s[i]);
  return *this;
}

SignalSafeFormat& SignalSafeFormat::Text(const char* s) {
  if (s == nullptr) return *this;
  while (*s) Char(*s++);
  return *this;
}

SignalSafeFormat& SignalSafeFormat::Padded(uint64_t v, int width) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < 24);
  for (int i = n; i < width; ++i) Char('0');
  while (n > 0) Char(digits[--n]);
  return *this;
}

SignalSafeFormat& SignalSafeFormat::Unsigned(uint64_t v) { return Padded(v, 1); }

SignalSafeFormat& SignalSafeFormat::Hex(uint64_t v, int min_digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  char digits[20];
  int n = 0;
  do {
    digits[n++] = kDigits[v & 0xF];
    v >>= 4;
  } while (v != 0 && n < 20);
  for (int i = n; i < min_digits; ++i) Char('0');
  while (n > 0) Char(digits[--n]);
  return *this;
}

SignalSafeFormat& SignalSafeFormat::Pointer(const void* p) {
  if (p == nullptr) return Text("(nil)");
  static const char kDigits[] = "0123456789abcdef";
  uint64_t v = reinterpret_cast<uintptr_t>(p);
  char digits[20];
  int n = 0;
  do {
    digits[n++] = kDigits[v & 0xF];
    v >>= 4;
  } while (v != 0 && n < 20);
  Text("0x");
  while (n > 0) Char(digits[--n]);
  return *this;
}

}  // namespace kelpd::log
