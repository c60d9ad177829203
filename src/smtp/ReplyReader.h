// Assembles one SMTP reply from the bytes of successive receives.
//
// The reply text (every line, each ending in "\n") is kept whole however the
// bytes arrive. A line ends at CR, LF or CR LF; empty lines are left out of
// the text. After each receive the reply is complete when its last line has
// no '-' in its fourth position and the text starts with a number. A hostile
// or broken server is held to bounds: a line over kMaxLineLength bytes, more
// than kMaxReplyLength bytes received or more than kMaxReplyLines lines ends
// the reply with kTooLong; every byte and every line counts, empty ones
// included. Not thread-safe; one reader per connection.
#pragma once

#include <cstddef>
#include <string>

namespace kelpd::smtp {

class ReplyReader {
 public:
  static constexpr size_t kMaxLineLength = 4096;
  static constexpr size_t kMaxReplyLength = 65536;
  static constexpr size_t kMaxReplyLines = 1000;

  enum class Status { kNeedMore, kComplete, kTooLong };

  // Starts a new reply: empties the text, the partial line and the code.
  void Begin();
  // Takes the bytes of one receive. Bytes after the end of a complete reply
  // in the same receive are dropped (no pipelining).
  Status Feed(const char* data, size_t len);

  const std::string& reply() const { return reply_; }
  // The last complete line, with its "\n"; empty before the first line.
  const std::string& last_line() const { return last_line_; }
  // The leading decimal number of the reply, saturated at 999999; 0 without one.
  int code() const { return code_; }

 private:
  std::string reply_;
  std::string partial_;
  std::string last_line_;
  size_t lines_ = 0;     // line ends seen, empty lines included
  size_t received_ = 0;  // bytes fed since Begin
  bool after_cr_ = false;
  int code_ = 0;
};

// The leading decimal number of text (no sign, no white space), saturated at
// 999999; 0 when text does not start with a digit.
int LeadingReplyCode(const std::string& text);

}  // namespace kelpd::smtp
