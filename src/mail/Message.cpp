#include "mail/Message.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "base/Text.h"
#include "config/Settings.h"
#include "log/Log.h"
#include "mail/Address.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"

namespace text = kelpd::text;
namespace platform = kelpd::platform;

namespace {

constexpr char kSource[] = "Common\\Message";

// Buffered line reading over a byte source.
class LineReader {
 public:
  enum Result { kLine, kEof, kTooLong, kError };

  // The buffer is no larger than the source: most mails are a few kilobytes,
  // and neither a 64 KB allocation nor clearing it is needed to read them.
  explicit LineReader(CByteSource& src)
      : src_(src),
        size_(static_cast<size_t>(std::clamp<int64_t>(src.Size(), 1, kBufferBytes))),
        buf_(new char[size_]) {}

  // Offset of the next unread byte.
  int64_t offset() const { return buf_offset_ + static_cast<int64_t>(pos_); }

  // Reads up to and including the next LF (not stored in line), or to the end
  // of the source. kTooLong when more than max bytes come before the LF.
  Result ReadLine(std::string& line, size_t max) {
    line.clear();
    bool any = false;
    for (;;) {
      if (pos_ == len_) {
        Result r = Fill();
        if (r == kError) return kError;
        if (r == kEof) return any ? kLine : kEof;
      }
      any = true;
      const char* start = buf_.get() + pos_;
      const void* lf = std::memchr(start, '\n', len_ - pos_);
      size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) : len_ - pos_;
      if (line.size() + take > max) return kTooLong;
      line.append(start, take);
      pos_ += take;
      if (lf) {
        ++pos_;
        return kLine;
      }
    }
  }

  // Copies what the buffer holds of the bytes from offset on into out (at
  // most len); returns the count, 0 when offset is outside the buffer.
  size_t CopyBuffered(int64_t offset, char* out, size_t len) const {
    if (offset < buf_offset_ || offset >= buf_offset_ + static_cast<int64_t>(len_)) return 0;
    const size_t from = static_cast<size_t>(offset - buf_offset_);
    const size_t n = std::min(len, len_ - from);
    std::memcpy(out, buf_.get() + from, n);
    return n;
  }

  // The next byte, or -1 at the end (or on a read error, reported by the
  // next ReadLine).
  int Peek() {
    if (pos_ == len_ && Fill() != kLine) return -1;
    return static_cast<unsigned char>(buf_[pos_]);
  }

 private:
  Result Fill() {
    buf_offset_ += static_cast<int64_t>(len_);
    pos_ = len_ = 0;
    int64_t n = src_.ReadAt(buf_offset_, buf_.get(), size_);
    if (n < 0) return kError;
    if (n == 0) return kEof;
    len_ = static_cast<size_t>(n);
    return kLine;
  }

  static constexpr int64_t kBufferBytes = 64 * 1024;

  CByteSource& src_;
  size_t size_;
  std::unique_ptr<char[]> buf_;
  int64_t buf_offset_ = 0;
  size_t pos_ = 0;
  size_t len_ = 0;
};

// A CR inside a header line becomes a blank and a NUL byte is dropped: a
// receiver might read the one as a line end and the other as the end of the
// text, and so see a header line the sender hid inside another. (A LF always
// ends the line here, as it does in the body.)
void CleanHeaderLine(std::string& line) {
  size_t out = 0;
  for (const char c : line) {
    if (c == '\0') continue;
    line[out++] = c == '\r' ? ' ' : c;
  }
  line.resize(out);
}

}  // namespace

CMessage::CMessage()
    : m_tCreated(platform::Now()), m_strDate(platform::FormatMailDate(platform::LocalTimeNow())) {}

CMessage::CMessage(const CMessage& other)
    : CMessagePart(other),
      m_tCreated(platform::Now()),
      m_strFromAddress(other.m_strFromAddress),
      m_strFromName(other.m_strFromName),
      m_strMessageID(other.m_strMessageID),
      m_strSubject(other.m_strSubject),
      m_strDate(other.m_strDate),
      m_strOrganization(other.m_strOrganization),
      m_strReferences(other.m_strReferences),
      m_strMimeVersion(other.m_strMimeVersion) {}

CMessage& CMessage::operator=(const CMessage& other) {
  if (this == &other) return *this;
  CMessagePart::operator=(other);
  m_tCreated = platform::Now();
  m_strFromAddress = other.m_strFromAddress;
  m_strFromName = other.m_strFromName;
  m_strMessageID = other.m_strMessageID;
  m_strSubject = other.m_strSubject;
  m_strDate = other.m_strDate;
  m_strOrganization = other.m_strOrganization;
  m_strReferences = other.m_strReferences;
  m_strMimeVersion = other.m_strMimeVersion;
  return *this;
}

bool CMessage::OnHeader(const std::string& name, const std::string& value) {
  if (text::EqualsNoCase(name, "Message-ID")) {
    m_strMessageID = NormalizeAddress(value);
  } else if (text::EqualsNoCase(name, "From")) {
    ParseFrom(value);
  } else if (text::EqualsNoCase(name, "Organization")) {
    m_strOrganization = value;
  } else if (text::EqualsNoCase(name, "Subject")) {
    m_strSubject = value;
  } else if (text::EqualsNoCase(name, "Date")) {
    m_strDate = value;
  } else if (text::EqualsNoCase(name, "MIME-Version")) {
    m_strMimeVersion = value;
  } else if (text::EqualsNoCase(name, "References")) {
    m_strReferences = value;
  } else {
    return CMessagePart::OnHeader(name, value);
  }
  return true;
}

void CMessage::ParseFrom(const std::string& value) {
  const size_t lt = value.find('<');
  const size_t gt = value.rfind('>');
  if (lt == std::string::npos || gt == std::string::npos) {
    const size_t space = value.find(' ');
    if (space == std::string::npos) {
      m_strFromAddress = value;
      return;
    }
    m_strFromAddress = value.substr(0, space);
    const size_t open = value.find('(');
    const size_t close = value.rfind(')');
    if (open != std::string::npos && close != std::string::npos) {
      m_strFromName = close > open ? value.substr(open + 1, close - open - 1) : std::string();
    }
    return;
  }
  m_strFromAddress = gt > lt ? value.substr(lt + 1, gt - lt - 1) : std::string();
  const size_t q1 = value.find('"');
  if (q1 != std::string::npos) {
    const size_t q2 = value.rfind('"');
    m_strFromName = q2 > q1 ? value.substr(q1 + 1, q2 - q1 - 1) : std::string();
  } else {
    m_strFromName = text::TrimRight(std::string_view(value).substr(0, lt));
  }
}

bool CMessage::ReadFrom(CByteSource& file, bool headersOnly) {
  LineReader reader(file);
  std::string line, next;
  bool taken = false;
  int lines = 0;
  int64_t body_offset = -1;  // set when a limit ends the header section
  for (;;) {
    const int64_t line_start = reader.offset();
    LineReader::Result r = reader.ReadLine(line, kMaxHeaderLineBytes);
    if (r == LineReader::kError) {
      Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d", kSource, __LINE__,
            platform::FileCauseFromErrno(file.error()), file.error());
      return false;
    }
    if (r == LineReader::kEof) break;
    bool too_long = r == LineReader::kTooLong;
    if (!too_long) {
      CleanHeaderLine(line);
      line = text::Trim(line);
      if (line.empty()) break;
    }
    while (!too_long) {
      int c = reader.Peek();
      if (c != ' ' && c != '\t') break;
      r = reader.ReadLine(next, kMaxHeaderLineBytes);
      if (r == LineReader::kError) {
        Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d", kSource, __LINE__,
              platform::FileCauseFromErrno(file.error()), file.error());
        return false;
      }
      if (r == LineReader::kTooLong) {
        too_long = true;
        break;
      }
      CleanHeaderLine(next);
      std::string folded = text::Trim(next);
      if (line.size() + 3 + folded.size() > kMaxHeaderLineBytes) {
        too_long = true;
        break;
      }
      line += "\r\n\t";
      line += folded;
    }
    if (too_long || lines >= kMaxHeaderLines) {
      Warning(MainLog(), "header section too large, the rest of the mail is kept as its body");
      body_offset = line_start;
      break;
    }
    ++lines;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    OnHeader(text::Trim(std::string_view(line).substr(0, colon)),
             text::Trim(std::string_view(line).substr(colon + 1)));
    taken = true;
  }
  if (headersOnly) return true;

  int64_t start = taken ? (body_offset >= 0 ? body_offset : reader.offset()) : 0;
  const int64_t size = file.Size();
  if (start > size) start = size;
  const int64_t length = size - start;
  std::unique_ptr<char[]> body;
  if (length > 0) {
    if (static_cast<uint64_t>(length) <= SIZE_MAX)
      body.reset(new (std::nothrow) char[static_cast<size_t>(length)]);
    if (!body) {
      Error(MainLog(), "insufficient memory in %s:%d", kSource, __LINE__);
      AdoptBody(nullptr, 0);
      return false;
    }
    // Most of a small mail is in the reader's buffer already.
    int64_t done =
        static_cast<int64_t>(reader.CopyBuffered(start, body.get(), static_cast<size_t>(length)));
    while (done < length) {
      const size_t chunk = static_cast<size_t>(std::min<int64_t>(length - done, 1 << 30));
      const int64_t n = file.ReadAt(start + done, body.get() + done, chunk);
      if (n <= 0) {
        // A read error, or a file that shrank while it was read.
        const int err = n < 0 ? file.error() : EIO;
        Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d", kSource, __LINE__,
              platform::FileCauseFromErrno(err), err);
        AdoptBody(nullptr, 0);
        return false;
      }
      done += n;
    }
  }
  AdoptBody(std::move(body), length);
  NormalizeBody();
  return true;
}

std::string CMessage::BuildHeaderText(int kind) const {
  CStringListEx lines;
  WriteHeaderLines(lines, kind);
  size_t total = 2;
  for (const std::string& l : lines) total += l.size() + 2;
  std::string out;
  out.reserve(total);
  for (const std::string& l : lines) {
    out += l;
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

std::string_view CMessage::BodyForWriting() const {
  std::string_view body = BodyView();
  if (body.size() >= 5 && body.ends_with("\r\n.\r\n")) body.remove_suffix(5);
  return body;
}

bool CMessage::HeaderForWriting(int kind, std::string& header) const {
  try {
    header = BuildHeaderText(kind);
  } catch (const std::bad_alloc&) {
    Error(MainLog(), "CMemoryException in %s:%d", kSource, __LINE__);
    return false;
  }
  return true;
}

bool CMessage::WriteTo(const std::string& path, int kind, bool createNew,
                       platform::FileResult& fileError) {
  std::string header;
  if (!HeaderForWriting(kind, header)) return false;
  fileError = platform::WriteFileWhole(
      path, {header, BodyForWriting()},
      {.replace = !createNew, .new_mode = static_cast<int>(kelpd::config::MailFileMode())});
  if (!fileError.ok()) {
    // An existing name under createNew is the caller's cue to pick another
    // one (the mailbox numbering), not a failure worth a log line.
    if (createNew && fileError.AlreadyExists()) return false;
    Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d", kSource, __LINE__,
          fileError.cause(), fileError.error());
    return false;
  }
  return true;
}

bool CMessage::StageIn(platform::StagedFiles& files, const std::string& dir, int kind,
                       platform::FileResult& fileError) const {
  std::string header;
  if (!HeaderForWriting(kind, header)) return false;
  fileError =
      files.Add(dir, {header, BodyForWriting()}, static_cast<int>(kelpd::config::MailFileMode()));
  if (!fileError.ok()) {
    Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d", kSource, __LINE__,
          fileError.cause(), fileError.error());
    return false;
  }
  return true;
}
