#include "smtp/ReplyReader.h"

#include "config/Text.h"

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
  code_ = 0;
}

ReplyReader::Status ReplyReader::Feed(const char* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    char c = data[i];
    if (c == '\r' || c == '\n') {
      if (partial_.empty()) continue;
      last_line_ = partial_ + "\n";
      partial_.clear();
      reply_ += last_line_;
      // an endless run of "250-" lines would grow the reply without end
      if (++lines_ > kMaxReplyLines || reply_.size() > kMaxReplyLength) return Status::kTooLong;
      continue;
    }
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
