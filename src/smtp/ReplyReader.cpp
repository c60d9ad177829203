#include "smtp/ReplyReader.h"

#include "base/Text.h"

namespace kelpd::smtp {

int LeadingReplyCode(const std::string& text) {
  int code = 0;
  for (char c : text) {
    if (!text::IsDigit(static_cast<unsigned char>(c))) break;
    code = code * 10 + (c - '0');
    if (code > 999999) code = 999999;  // a run of digits must not overflow
  }
  return code;
}

void ReplyReader::Begin() {
  reply_.clear();
  partial_.clear();
  last_line_.clear();
  lines_ = 0;
  received_ = 0;
  after_cr_ = false;
  code_ = 0;
}

ReplyReader::Status ReplyReader::Feed(const char* data, size_t len) {
  // Bytes that make no text (empty lines) count as well: a server must not
  // keep a reply open for ever with them.
  received_ += len;
  if (received_ > kMaxReplyLength) return Status::kTooLong;
  for (size_t i = 0; i < len; ++i) {
    char c = data[i];
    if (c == '\r' || c == '\n') {
      // CR LF is one line end; a lone CR or LF is one too.
      const bool pair = c == '\n' && after_cr_;
      after_cr_ = c == '\r';
      if (!pair && ++lines_ > kMaxReplyLines) return Status::kTooLong;
      if (partial_.empty()) continue;
      last_line_ = partial_ + "\n";
      partial_.clear();
      reply_ += last_line_;
      continue;
    }
    after_cr_ = false;
    partial_ += c;
    // a line that never ends would grow without end
    if (partial_.size() > kMaxLineLength) return Status::kTooLong;
  }
  if (last_line_.empty()) return Status::kNeedMore;
  // A line shorter than four bytes has no continuation mark: it is a last line.
  if (last_line_.size() > 4 && last_line_[3] == '-') return Status::kNeedMore;
  code_ = LeadingReplyCode(reply_);
  // A reply without a leading number is not a reply: keep reading.
  if (code_ == 0) return Status::kNeedMore;
  return Status::kComplete;
}

}  // namespace kelpd::smtp
