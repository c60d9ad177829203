#include "mail/Address.h"

#include <cstring>

#include "base/Text.h"

namespace text = kelpd::text;

std::string NormalizeAddress(const std::string& value) {
  const size_t start = value.rfind('<');  // npos stands for -1
  size_t end = value.find('>');
  if (end == std::string::npos) end = value.find('(');
  if (end == std::string::npos) end = value.size();
  const size_t from = start == std::string::npos ? 0 : start + 1;
  std::string inner;
  if (start == std::string::npos || end > start) {
    if (end > from) inner = text::Trim(std::string_view(value).substr(from, end - from));
  }
  std::string out;
  out.reserve(inner.size());
  for (char c : inner) {
    if (c == '"' || c == '\'' || c == '<' || c == '>') continue;
    out += c;
  }
  size_t at = out.find('@');
  if (at != std::string::npos) {
    for (size_t i = at; i < out.size(); ++i) out[i] = text::ToLower(out[i]);
  }
  return out;
}

const char* GetDomainPart(const char* address) {
  if (address == nullptr || *address == '\0') return nullptr;
  const char* at = std::strchr(address, '@');
  return at == nullptr ? nullptr : at + 1;
}

std::string GetLocalPart(const char* address) {
  if (address == nullptr) return std::string();
  const char* at = std::strchr(address, '@');
  return at == nullptr ? std::string(address) : std::string(address, at);
}

namespace {

bool IsSpecial1(unsigned char c) { return c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c); }
bool IsSpecial2(unsigned char c) { return IsSpecial1(c) || c == '[' || c == ']'; }

}  // namespace

bool IsValidAddress(const char* address) {
  if (address == nullptr || *address == '\0') return false;
  enum State { L0, L1, D0, D1, D2 } state = L0;
  for (const char* p = address; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool local_word = text::IsAlnum(c) || IsSpecial1(c);
    const bool domain_word = text::IsAlnum(c) || IsSpecial2(c);
    switch (state) {
      case L0:
        if (!local_word) return false;
        state = L1;
        break;
      case L1:
        if (local_word) break;
        if (c == '.')
          state = L0;
        else if (c == '@')
          state = D0;
        else
          return false;
        break;
      case D0:
      case D2:
        if (!domain_word) return false;
        state = D1;
        break;
      case D1:
        if (domain_word) break;
        if (c == '.')
          state = D2;
        else
          return false;
        break;
    }
  }
  return state == L1 || state == D1;
}
