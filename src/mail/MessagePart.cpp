#include "mail/MessagePart.h"

#include <cstring>
#include <new>

#include "base/Text.h"
#include "log/Log.h"

namespace text = kelpd::text;

namespace {

constexpr char kSource[] = "Common\\MessagePart";

std::unique_ptr<char[]> Allocate(int64_t length) {
  if (length <= 0) return nullptr;
  if (static_cast<uint64_t>(length) > SIZE_MAX) return nullptr;
  return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(length)]);
}

// A text of at least two characters in double quotes loses them.
std::string Unquote(const std::string& s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// The text behind key in value up to the first ";" behind it, found in the
// lower-case copy; false when key does not occur.
bool Parameter(const std::string& value, const std::string& lower, const char* key,
               std::string& out) {
  size_t pos = lower.find(key);
  if (pos == std::string::npos) return false;
  pos += std::strlen(key);
  size_t end = value.find(';', pos);
  out = Unquote(value.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
  return true;
}

}  // namespace

CMessagePart::CMessagePart(const CMessagePart& other)
    : m_strContentType(other.m_strContentType),
      m_strBoundary(other.m_strBoundary),
      m_strCharset(other.m_strCharset),
      m_strName(other.m_strName),
      m_strContentTransferEncoding(other.m_strContentTransferEncoding),
      m_strContentLanguage(other.m_strContentLanguage),
      m_strContentDisposition(other.m_strContentDisposition),
      m_strContentDescription(other.m_strContentDescription),
      m_otherHeaders(other.m_otherHeaders) {
  SetBody(other.BodyView());
}

CMessagePart& CMessagePart::operator=(const CMessagePart& other) {
  if (this == &other) return *this;
  m_strContentType = other.m_strContentType;
  m_strBoundary = other.m_strBoundary;
  m_strCharset = other.m_strCharset;
  m_strName = other.m_strName;
  m_strContentTransferEncoding = other.m_strContentTransferEncoding;
  m_strContentLanguage = other.m_strContentLanguage;
  m_strContentDisposition = other.m_strContentDisposition;
  m_strContentDescription = other.m_strContentDescription;
  m_otherHeaders = other.m_otherHeaders;
  SetBody(other.BodyView());
  return *this;
}

bool CMessagePart::OnHeader(const std::string& name, const std::string& value) {
  if (text::EqualsNoCase(name, "Content-Type")) {
    ParseContentType(value);
  } else if (text::EqualsNoCase(name, "Content-Transfer-Encoding")) {
    m_strContentTransferEncoding = value;
  } else if (text::EqualsNoCase(name, "Content-Language")) {
    m_strContentLanguage = value;
  } else if (text::EqualsNoCase(name, "Content-Disposition")) {
    m_strContentDisposition = value;
  } else if (text::EqualsNoCase(name, "Content-Description")) {
    m_strContentDescription = value;
  } else {
    m_otherHeaders.AddTail(name + ": " + value);
  }
  return true;
}

void CMessagePart::ParseContentType(const std::string& value) {
  m_strContentType = value;
  const std::string lower = text::ToLowerCopy(value);
  std::string param;
  if (lower.find("multipart") != std::string::npos) {
    if (Parameter(value, lower, "boundary=", param)) m_strBoundary = param;
    return;
  }
  if (Parameter(value, lower, "name=", param)) m_strName = param;
  if (Parameter(value, lower, "charset=", param)) m_strCharset = param;
}

bool CMessagePart::SetBody(std::string_view bytes) {
  m_pBody.reset();
  m_nBodyLength = 0;
  if (bytes.empty()) return true;
  std::unique_ptr<char[]> body = Allocate(static_cast<int64_t>(bytes.size()));
  if (!body) return false;
  std::memcpy(body.get(), bytes.data(), bytes.size());
  AdoptBody(std::move(body), static_cast<int64_t>(bytes.size()));
  return true;
}

void CMessagePart::AdoptBody(std::unique_ptr<char[]> body, int64_t length) {
  m_pBody = std::move(body);
  m_nBodyLength = m_pBody ? length : 0;
}

void CMessagePart::NormalizeBody() {
  if (!m_pBody || m_nBodyLength <= 0) return;

  // Zero bytes and lone line-end characters.
  {
    const char* b = m_pBody.get();
    const int64_t n = m_nBodyLength;
    int64_t zeros = 0, lone = 0;
    for (int64_t i = 0; i < n; ++i) {
      const char c = b[i];
      if (c == '\0')
        ++zeros;
      else if (c == '\r' && (i + 1 == n || b[i + 1] != '\n'))
        ++lone;
      else if (c == '\n' && (i == 0 || b[i - 1] != '\r'))
        ++lone;
    }
    if (zeros > 0 || lone > 0) {
      const int64_t length = n + lone - zeros;
      std::unique_ptr<char[]> out = Allocate(length);
      if (!out && length > 0) {
        Error(MainLog(), "insufficient memory in %s:%d", kSource, __LINE__);
      } else {
        char* o = out.get();
        for (int64_t i = 0; i < n; ++i) {
          const char c = b[i];
          if (c == '\0') continue;
          if ((c == '\r' && (i + 1 == n || b[i + 1] != '\n')) ||
              (c == '\n' && (i == 0 || b[i - 1] != '\r'))) {
            *o++ = '\r';
            *o++ = '\n';
          } else {
            *o++ = c;
          }
        }
        AdoptBody(std::move(out), length);
      }
    }
  }

  // Lines that hold a single dot: a dot with a line start before it (the
  // start of the body or CR LF) and a line end behind it (CR LF or the end).
  if (!m_pBody) return;
  const char* b = m_pBody.get();
  const int64_t n = m_nBodyLength;
  auto lone_dot = [b, n](int64_t i) {
    return b[i] == '.' && (i == 0 || (i >= 2 && b[i - 2] == '\r' && b[i - 1] == '\n')) &&
           (i + 1 == n || (i + 2 < n && b[i + 1] == '\r' && b[i + 2] == '\n'));
  };
  int64_t dots = 0;
  for (int64_t i = 0; i < n; ++i)
    if (lone_dot(i)) ++dots;
  if (dots == 0) return;
  std::unique_ptr<char[]> out = Allocate(n + dots);
  if (!out) {
    Error(MainLog(), "insufficient memory in %s:%d", kSource, __LINE__);
    return;
  }
  char* o = out.get();
  for (int64_t i = 0; i < n; ++i) {
    if (lone_dot(i)) *o++ = '.';
    *o++ = b[i];
  }
  AdoptBody(std::move(out), n + dots);
}
