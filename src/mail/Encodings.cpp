#include "mail/Encodings.h"

#include <cstdio>
#include <cstring>

#include "base/Text.h"

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr int kGroupsPerLine = 18;  // 72 characters

// The value of a Base64 character; 0 for a byte outside the alphabet.
unsigned Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

}  // namespace

std::string Base64EncodeString(const char* text, bool noLineBreaks) {
  if (text == nullptr) return std::string();
  return Base64EncodeBuffer(text, static_cast<int64_t>(std::strlen(text)), noLineBreaks);
}

std::string Base64EncodeBuffer(const void* bytes, int64_t length, bool noLineBreaks) {
  std::string out;
  if (bytes == nullptr || length < 1) return out;
  const auto* p = static_cast<const unsigned char*>(bytes);
  const uint64_t n = static_cast<uint64_t>(length);
  out.reserve(n / 3 * 4 + 4 + (noLineBreaks ? 0 : n / 54 + 1));
  uint64_t i = 0;
  int groups = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
    if (!noLineBreaks && ++groups == kGroupsPerLine) {
      out += '\n';
      groups = 0;
    }
  }
  if (n - i == 2) {
    unsigned v = (p[i] << 16) | (p[i + 1] << 8);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += '=';
  } else if (n - i == 1) {
    unsigned v = p[i] << 16;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += "==";
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  size_t pos = 0;
  const size_t n = text.size();
  for (;;) {
    unsigned char group[4];
    int have = 0;
    while (have < 4) {
      while (pos < n && kelpd::text::IsSpace(static_cast<unsigned char>(text[pos]))) ++pos;
      if (pos >= n) break;
      group[have++] = static_cast<unsigned char>(text[pos++]);
    }
    if (have == 0) break;
    if (have < 4) {
      std::fputs("Premature EOF while decoding Base64-String!\n", stderr);
      break;
    }
    unsigned v = (Base64Value(group[0]) << 18) | (Base64Value(group[1]) << 12) |
                 (Base64Value(group[2]) << 6) | Base64Value(group[3]);
    out += static_cast<char>((v >> 16) & 0xFF);
    if (group[2] != '=') {
      out += static_cast<char>((v >> 8) & 0xFF);
      if (group[3] != '=') out += static_cast<char>(v & 0xFF);
    }
  }
  return out;
}

std::string Base32EncodeNumber(uint64_t value, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += kBase32Alphabet[value & 31];
    value >>= 5;
  }
  return out;
}

std::string XtextEncode(const char* text) {
  std::string out;
  if (text == nullptr) return out;
  static const char kHex[] = "0123456789ABCDEF";
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= '!' && c <= '~' && c != '+' && c != '=') {
      out += static_cast<char>(c);
    } else {
      out += '+';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}
