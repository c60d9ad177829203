// CMessagePart: one MIME entity as the service keeps it: the content fields,
// the header lines no level of the mail recognises (verbatim, in reading
// order) and the body as one block of bytes. The lowest level of the header
// dispatch of CMail over CMessage over CMessagePart. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/StringListEx.h"

class CMessagePart {
 public:
  CMessagePart() = default;
  // Copies every field and the body into a buffer of its own; a body that
  // can't be allocated leaves the copy with length 0.
  CMessagePart(const CMessagePart& other);
  CMessagePart& operator=(const CMessagePart& other);
  virtual ~CMessagePart() = default;

  // Stores one header line: "Content-Type" is parsed, the other content
  // fields are stored unchanged, any other name goes to m_otherHeaders as
  // "%s: %s". Names are compared without regard to case. Returns true.
  virtual bool OnHeader(const std::string& name, const std::string& value);

  // The body bytes (null when there are none) and their number.
  const char* GetBody() const { return m_pBody.get(); }
  int64_t GetBodyLength() const { return m_nBodyLength; }
  std::string_view BodyView() const {
    return m_pBody ? std::string_view(m_pBody.get(), static_cast<size_t>(m_nBodyLength))
                   : std::string_view();
  }
  // Replaces the body with a copy of bytes; false (body empty) when it can't be
  // allocated.
  bool SetBody(std::string_view bytes);
  // Takes an allocated buffer of length bytes as the body.
  void AdoptBody(std::unique_ptr<char[]> body, int64_t length);

  // The normalisation of a body read from a file, in linear time: zero bytes
  // are dropped, a lone CR or LF becomes CR LF, and every line that holds a
  // single "." (the first and the last line included) becomes "..", so that
  // the body can never end the SMTP data early. On allocation failure the
  // step is logged and skipped.
  void NormalizeBody();

  std::string m_strContentType;
  std::string m_strBoundary;
  std::string m_strCharset;
  std::string m_strName;
  std::string m_strContentTransferEncoding;
  std::string m_strContentLanguage;
  std::string m_strContentDisposition;
  std::string m_strContentDescription;
  CStringListEx m_otherHeaders;

 protected:
  void ParseContentType(const std::string& value);

  std::unique_ptr<char[]> m_pBody;
  int64_t m_nBodyLength = 0;
};
