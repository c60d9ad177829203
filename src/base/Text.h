// Byte-string helpers with the "C" locale's character classes on unsigned
// bytes, whatever the process locale. Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace kelpd::text {

inline bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
inline bool IsLower(unsigned char c) { return c >= 'a' && c <= 'z'; }
inline bool IsAlpha(unsigned char c) { return IsUpper(c) || IsLower(c); }
inline bool IsAlnum(unsigned char c) { return IsAlpha(c) || IsDigit(c); }
inline char ToLower(char c) {
  return IsUpper(static_cast<unsigned char>(c)) ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char ToUpper(char c) {
  return IsLower(static_cast<unsigned char>(c)) ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string ToLowerCopy(std::string_view s);
// Case-insensitive ("C" locale) equality and substring search.
bool EqualsNoCase(std::string_view a, std::string_view b);
size_t FindNoCase(std::string_view haystack, std::string_view needle);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);

// Leading white space, optional sign, digits up to the first non-digit; 0
// without digits; saturates at the int range instead of overflowing.
int ParseIntPrefix(std::string_view s);

}  // namespace kelpd::text
