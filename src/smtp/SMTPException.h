// The failures that the SMTP dialogue or the routing decides. The class says
// what the delivery does next: a CSMTPTemporaryException means "try the next
// host, retry later", a CSMTPPermanentException "stop and return the mail".
// Connection failures are CSocketException (net/SocketException.h); their
// failure report is WriteSocketReport of smtp/FailureReport.h.
//
// Thrown by value, caught by const& close to where they arise. An exception
// object belongs to the thread that throws and catches it.
#pragma once

#include <string>

#include "config/StringListEx.h"

class CSMTPException {
 public:
  // Every line of lines is copied, in order (a copy of the session transcript).
  explicit CSMTPException(const CStringListEx& lines) : m_lstLines(lines) {}
  // The list gets this one line.
  explicit CSMTPException(const std::string& line) { m_lstLines.AddTail(line); }
  virtual ~CSMTPException() = default;
  CSMTPException(const CSMTPException&) = default;
  CSMTPException& operator=(const CSMTPException&) = default;

  const CStringListEx& GetLines() const { return m_lstLines; }
  // The line the delivery log quotes: the last one; empty when there is none.
  std::string GetLastLine() const {
    return m_lstLines.IsEmpty() ? std::string() : m_lstLines.GetTail();
  }

  // Writes the failure report "<mailFile>.err" beside the mail file so that it
  // appears whole, replacing an earlier one. host is null when the failure
  // happened before any host was tried. A file error is written to standard
  // error and swallowed: the delivery goes on regardless.
  virtual void WriteReport(const std::string& mailFile, const char* host,
                           const std::string& recipient) const = 0;
  // Whether the mail is returned (true) or tried again later (false).
  virtual bool IsPermanent() const = 0;

  CStringListEx m_lstLines;
};

class CSMTPTemporaryException : public CSMTPException {
 public:
  using CSMTPException::CSMTPException;
  // The report with the heading "continuous fatal errors".
  void WriteReport(const std::string& mailFile, const char* host,
                   const std::string& recipient) const override;
  bool IsPermanent() const override { return false; }
};

class CSMTPPermanentException : public CSMTPException {
 public:
  using CSMTPException::CSMTPException;
  // The report with the heading "permanent fatal errors".
  void WriteReport(const std::string& mailFile, const char* host,
                   const std::string& recipient) const override;
  bool IsPermanent() const override { return true; }
};

namespace kelpd::smtp {

// Raises the failure that a refused reply stands for: a 4xx code is
// temporary, any other code permanent. lines is the transcript to carry.
[[noreturn]] void ThrowForReply(int code, const CStringListEx& lines);

}  // namespace kelpd::smtp
