#include "smtp/SMTPException.h"

#include "smtp/FailureReport.h"

void CSMTPTemporaryException::WriteReport(const std::string& mailFile, const char* host,
                                          const std::string& recipient) const {
  kelpd::smtp::WriteSmtpReport(kelpd::smtp::ReportKind::kTemporary, m_lstLines, mailFile, host,
                               recipient);
}

void CSMTPPermanentException::WriteReport(const std::string& mailFile, const char* host,
                                          const std::string& recipient) const {
  kelpd::smtp::WriteSmtpReport(kelpd::smtp::ReportKind::kPermanent, m_lstLines, mailFile, host,
                               recipient);
}

namespace kelpd::smtp {

void ThrowForReply(int code, const CStringListEx& lines) {
  if (code >= 400 && code <= 499) throw CSMTPTemporaryException(lines);
  throw CSMTPPermanentException(lines);
}

}  // namespace kelpd::smtp
