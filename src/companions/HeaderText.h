// Work on the raw text of a message as a sender hands it over: finding the
// header section and its logical lines, splitting address lists, bringing the
// text into the form of a queued mail file, and the header questions the
// auto-responder asks of a read mail.
//
// Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CMail;

namespace kelpd::companions {

// One logical header line of a raw text: its name, its value (continuation
// lines joined with a single space, trimmed) and the bytes [begin, end) it
// covers, line ends of every physical line included.
struct RawHeader {
  std::string name;
  std::string value;
  size_t begin = 0;
  size_t end = 0;
};

// The header section at the start of text: logical lines of the form
// "name: value" (name of printable bytes other than ':' and blank), each
// possibly followed by lines that begin with a space or a TAB. It ends at an
// empty line or at the first line that is no header line. body_start receives
// the offset of that line (the empty line, the first body line, or the end).
// A header line longer than kMaxRawHeaderBytes ends the section as well.
constexpr size_t kMaxRawHeaderBytes = 1 << 20;
std::vector<RawHeader> ScanHeaderSection(std::string_view text, size_t* body_start);

// The addresses of an address-list value ("To", "Cc", "Bcc" or a command-line
// argument): split at commas outside quotes, comments and angle brackets,
// group names ("friends: a@x, b@y;") dropped, each element reduced to a bare
// address by NormalizeAddress. Empty elements are skipped.
std::vector<std::string> SplitAddressList(std::string_view value);

// The text as a queued mail file holds it: zero bytes dropped, every line end
// CR LF, every line that holds a single "." doubled to "..", and a final CR LF
// when the text does not end in one (an empty text stays empty).
std::string ToQueuedForm(std::string_view text);

// A header value for a header field, unfolded (CR and LF dropped): unchanged
// when it is then printable ASCII, otherwise one RFC 2047 encoded word per up
// to 45 bytes ("=?UTF-8?B?...?="), the words separated by a folding CR LF TAB.
std::string EncodeHeaderValue(std::string_view value);

// Whether any byte of text has the high bit set.
bool HasEightBit(std::string_view text);

// The value of the first header line named name (without regard to case)
// that the mail kept among its other header lines; empty when absent.
std::string OtherHeader(const CMail& mail, std::string_view name);
// Whether the mail kept an other header line whose name begins with prefix.
bool HasOtherHeaderWithPrefix(const CMail& mail, std::string_view prefix);

// "Precedence" of "bulk", "list" or "junk" (without regard to case).
bool IsMarkedBulk(const CMail& mail);

}  // namespace kelpd::companions
