// CMessage: the message level of a mail (From, Message-ID, Subject, Date and
// the like) over CMessagePart, with the reading of the header section and
// body and the writing of a whole mail. CMail (Mail.h) adds the envelope.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "config/StringListEx.h"
#include "mail/ByteSource.h"
#include "mail/MessagePart.h"
#include "platform/Errors.h"

namespace kelpd::platform {
class StagedFiles;
}

// Which lines come first when a mail is written.
enum HeaderKind : int {
  PlainHeaders = 0,      // none
  EnvelopeHeaders = 1,   // "X-Envelope-From" and "X-Envelope-To" (with recipients)
  ReturnPathHeader = 2,  // "Return-Path: <%s>"
};

class CMessage : public CMessagePart {
 public:
  // Limits that keep a hostile header section from exhausting memory. A
  // logical header line (with its continuations) longer than
  // kMaxHeaderLineBytes, or a header line beyond the kMaxHeaderLines-th, ends
  // the header section: from the start of that line on, the rest of the file
  // is kept as the body, so nothing is lost and the mail can still be
  // delivered or moved aside whole.
  static constexpr size_t kMaxHeaderLineBytes = 1 << 20;
  static constexpr int kMaxHeaderLines = 100000;

  // Stamps the creation time and a Date of the present local time.
  CMessage();
  // Copies every field; the copy's creation time is the time of copying.
  CMessage(const CMessage& other);
  CMessage& operator=(const CMessage& other);

  // "Message-ID" (normalised), "From" (ParseFrom), "Organization", "Subject",
  // "Date", "MIME-Version", "References"; anything else goes on to
  // CMessagePart.
  bool OnHeader(const std::string& name, const std::string& value) override;

  // Reads the header section (each logical line trimmed, continuation lines
  // joined with "\r\n\t", split at the first ":" and handed to OnHeader; lines
  // without ":" are ignored) and, unless headersOnly, the body: the rest of the
  // source, or all of it when no header line was taken. The body is then
  // normalised. Returns false when the source can't be read or the body can't
  // be allocated (logged).
  virtual bool ReadFrom(CByteSource& file, bool headersOnly);

  // Appends the header lines for kind, in the order they are written.
  virtual void WriteHeaderLines(CStringListEx& lines, int kind) const = 0;

  // Writes header lines, a blank line and the body (without a trailing
  // "\r\n.\r\n") so that path appears whole; createNew fails with EEXIST on an
  // existing file instead of replacing it. Logs and returns false on failure
  // (an existing file under createNew fails without a log line).
  virtual bool WriteTo(const std::string& path, int kind, bool createNew,
                       kelpd::platform::FileResult& fileError);
  // The same as a new file of dir without a name yet, added to files (the
  // caller names it once the group is synced). Logs and returns false on
  // failure.
  bool StageIn(kelpd::platform::StagedFiles& files, const std::string& dir, int kind,
               kelpd::platform::FileResult& fileError) const;

  virtual void SetFromAddress(const std::string& address) { m_strFromAddress = address; }
  // Splits a From value into address and display name.
  virtual void ParseFrom(const std::string& value);

  // The header text for kind: every line with "\r\n", then one more "\r\n".
  std::string BuildHeaderText(int kind) const;
  // The body as written: without a trailing "\r\n.\r\n".
  std::string_view BodyForWriting() const;
  // BuildHeaderText into header; false (logged) when memory runs out.
  bool HeaderForWriting(int kind, std::string& header) const;

  const std::string& GetSubject() const { return m_strSubject; }
  const std::string& GetMessageID() const { return m_strMessageID; }

  time_t m_tCreated = 0;
  std::string m_strFromAddress;
  std::string m_strFromName;
  std::string m_strMessageID;
  std::string m_strSubject;
  std::string m_strDate;
  std::string m_strOrganization;
  std::string m_strReferences;
  std::string m_strMimeVersion;
};
