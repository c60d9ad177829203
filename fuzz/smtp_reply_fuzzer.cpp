// Fuzzes the handling of what an SMTP server sends: the bounded reply reader
// fed in receives of varying size (the first byte of the input sets them),
// the classification of the code, and the Received-value parsing of the
// failure report. Crashes, sanitizer reports and broken bounds are findings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "smtp/FailureReport.h"
#include "smtp/ReplyReader.h"
#include "smtp/SMTPException.h"

using kelpd::smtp::ReplyReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t chunk = (data[0] % 64) + 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  size_t len = size - 1;

  ReplyReader reader;
  reader.Begin();
  for (size_t off = 0; off < len; off += chunk) {
    size_t n = len - off < chunk ? len - off : chunk;
    ReplyReader::Status status = reader.Feed(bytes + off, n);
    // The bounds hold whatever the server sends.
    if (reader.reply().size() > ReplyReader::kMaxReplyLength + ReplyReader::kMaxLineLength + 1)
      std::abort();
    if (status == ReplyReader::Status::kTooLong) break;
    if (status == ReplyReader::Status::kComplete) {
      int code = reader.code();
      if (code <= 0 || code > 999999 || reader.last_line().empty() || reader.reply().back() != '\n')
        std::abort();
      try {
        kelpd::smtp::ThrowForReply(code, CStringListEx());
      } catch (const CSMTPTemporaryException&) {
        if (code < 400 || code > 499) std::abort();
      } catch (const CSMTPPermanentException&) {
        if (code >= 400 && code <= 499) std::abort();
      }
      reader.Begin();
    }
  }

  std::string text(bytes, len);
  if (auto arrival = kelpd::smtp::ArrivalFromReceived(text)) {
    if (arrival->host.size() > text.size() || arrival->date.size() > text.size()) std::abort();
  }
  return 0;
}
