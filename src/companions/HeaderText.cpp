#include "companions/HeaderText.h"

#include "base/Text.h"
#include "mail/Address.h"
#include "mail/Encodings.h"
#include "mail/Mail.h"

namespace text = kelpd::text;

namespace kelpd::companions {

namespace {

// The end of the physical line that starts at pos (just past its LF, or the
// end of text), and the length of its content without the line end.
size_t LineEnd(std::string_view s, size_t pos, size_t* content_len) {
  size_t lf = s.find('\n', pos);
  size_t end = lf == std::string_view::npos ? s.size() : lf + 1;
  size_t content_end = lf == std::string_view::npos ? s.size() : lf;
  if (content_end > pos && s[content_end - 1] == '\r') --content_end;
  *content_len = content_end - pos;
  return end;
}

bool IsFieldNameByte(unsigned char c) { return c > 32 && c < 127 && c != ':'; }

// The length of "name" when line begins with a field name and a colon (blanks
// allowed before the colon), else 0.
size_t FieldNameLength(std::string_view line) {
  size_t n = 0;
  while (n < line.size() && IsFieldNameByte(static_cast<unsigned char>(line[n]))) ++n;
  if (n == 0) return 0;
  size_t colon = n;
  while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
  return colon < line.size() && line[colon] == ':' ? n : 0;
}

}  // namespace

std::vector<RawHeader> ScanHeaderSection(std::string_view s, size_t* body_start) {
  std::vector<RawHeader> headers;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t len = 0;
    size_t next = LineEnd(s, pos, &len);
    std::string_view line = s.substr(pos, len);
    const size_t name_len = FieldNameLength(line);
    if (name_len == 0) break;  // the empty line, or the body without one
    RawHeader h;
    h.name.assign(line.substr(0, name_len));
    h.begin = pos;
    std::string value = text::Trim(line.substr(line.find(':') + 1));
    bool too_long = false;
    while (next < s.size() && (s[next] == ' ' || s[next] == '\t')) {
      size_t cont_len = 0;
      size_t after = LineEnd(s, next, &cont_len);
      std::string piece = text::Trim(s.substr(next, cont_len));
      if (!piece.empty()) {
        if (!value.empty()) value += ' ';
        value += piece;
      }
      next = after;
      if (next - h.begin > kMaxRawHeaderBytes) {
        too_long = true;
        break;
      }
    }
    if (too_long || next - h.begin > kMaxRawHeaderBytes) break;
    h.value = std::move(value);
    h.end = next;
    headers.push_back(std::move(h));
    pos = next;
  }
  if (body_start != nullptr) *body_start = headers.empty() ? 0 : headers.back().end;
  return headers;
}

std::vector<std::string> SplitAddressList(std::string_view value) {
  std::vector<std::string> out;
  std::string element;
  bool quoted = false;
  int comment = 0;
  bool angle = false;
  auto flush = [&] {
    std::string address = NormalizeAddress(element);
    if (!address.empty()) out.push_back(std::move(address));
    element.clear();
  };
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted) {
      element += c;
      if (c == '\\' && i + 1 < value.size()) {
        element += value[++i];
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (comment > 0) {
      // Comments are dropped: NormalizeAddress would cut at their "(" and an
      // address after them would be lost.
      if (c == '\\' && i + 1 < value.size()) {
        ++i;
      } else if (c == '(') {
        ++comment;
      } else if (c == ')') {
        --comment;
      }
      continue;
    }
    switch (c) {
      case '"':
        quoted = true;
        element += c;
        break;
      case '(':
        comment = 1;
        break;
      case '<':
        angle = true;
        element += c;
        break;
      case '>':
        angle = false;
        element += c;
        break;
      case ':':
        // A group name ends here; what came before is no address.
        if (angle) {
          element += c;
        } else {
          element.clear();
        }
        break;
      case ',':
      case ';':
        if (angle) {
          element += c;
        } else {
          flush();
        }
        break;
      default:
        element += c;
    }
  }
  flush();
  return out;
}

std::string ToQueuedForm(std::string_view input) {
  if (input.empty()) return std::string();
  CMessagePart part;
  if (!part.SetBody(input)) return std::string();
  part.NormalizeBody();
  std::string out(part.BodyView());
  if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) {
    // The text ended inside a line: the line is closed, and a closing line of
    // a single dot gets doubled like every other.
    const size_t line_start = out.rfind("\r\n");
    const size_t from = line_start == std::string::npos ? 0 : line_start + 2;
    if (out.compare(from, std::string::npos, ".") == 0) out += '.';
    out += "\r\n";
  }
  return out;
}

bool HasEightBit(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

std::string EncodeHeaderValue(std::string_view value) {
  // A value read from a folded header holds CR LF before each continuation;
  // unfolded, it is one line, and any other CR or LF must not reach the header.
  std::string clean;
  clean.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' || value[i] == '\n') continue;
    clean += value[i];
  }
  bool plain = true;
  for (char c : clean) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x80 || (u < 32 && c != '\t') || u == 127) plain = false;
  }
  if (plain) return clean;
  // Encoded words of at most 45 bytes (60 Base64 characters) stay well inside
  // a header line. A word may split a multi-byte character; readers join
  // adjacent words before decoding.
  std::string out;
  for (size_t i = 0; i < clean.size(); i += 45) {
    if (!out.empty()) out += "\r\n\t";
    const std::string_view chunk = std::string_view(clean).substr(i, 45);
    out += "=?UTF-8?B?" +
           Base64EncodeBuffer(chunk.data(), static_cast<int64_t>(chunk.size()), true) + "?=";
  }
  return out;
}

std::string OtherHeader(const CMail& mail, std::string_view name) {
  for (const std::string& line : mail.m_otherHeaders) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (text::EqualsNoCase(text::Trim(std::string_view(line).substr(0, colon)), name))
      return text::Trim(std::string_view(line).substr(colon + 1));
  }
  return std::string();
}

bool HasOtherHeaderWithPrefix(const CMail& mail, std::string_view prefix) {
  for (const std::string& line : mail.m_otherHeaders)
    if (text::StartsWithNoCase(line, prefix)) return true;
  return false;
}

bool IsMarkedBulk(const CMail& mail) {
  const std::string p = text::Trim(mail.m_strPrecedence);
  return text::EqualsNoCase(p, "bulk") || text::EqualsNoCase(p, "list") ||
         text::EqualsNoCase(p, "junk");
}

}  // namespace kelpd::companions
