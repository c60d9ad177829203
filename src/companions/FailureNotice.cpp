#include "companions/FailureNotice.h"

#include <cerrno>
#include <vector>

#include "companions/HeaderText.h"
#include "companions/QueueFile.h"
#include "companions/SysExits.h"
#include "config/ConfigMap.h"
#include "config/Text.h"
#include "mail/Address.h"
#include "mail/ByteSource.h"
#include "platform/AtomicFile.h"
#include "platform/FileLock.h"

namespace text = kelpd::text;

namespace kelpd::companions {

namespace {

constexpr char kProgram[] = "autoresp.exe";
constexpr size_t kMaxReportBytes = size_t{4} << 20;
constexpr size_t kMaxReturnedBytes = size_t{512} << 20;

// Reads the whole source, at most max_bytes of it.
bool ReadAll(CByteSource& source, size_t max_bytes, std::string& out) {
  if (source.Size() < 0 || static_cast<uint64_t>(source.Size()) > max_bytes) return false;
  out.resize(static_cast<size_t>(source.Size()));
  size_t done = 0;
  while (done < out.size()) {
    const int64_t n =
        source.ReadAt(static_cast<int64_t>(done), out.data() + done, out.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return done == static_cast<size_t>(source.Size());
}

std::string WithoutEnvelopeLines(std::string_view raw, size_t* body_start) {
  const std::vector<RawHeader> headers = ScanHeaderSection(raw, body_start);
  std::string out;
  for (const RawHeader& h : headers) {
    if (text::EqualsNoCase(h.name, "X-Envelope-From") ||
        text::EqualsNoCase(h.name, "X-Envelope-To") ||
        text::EqualsNoCase(h.name, "Envelope-From") || text::EqualsNoCase(h.name, "Envelope-To"))
      continue;
    out.append(raw.substr(h.begin, h.end - h.begin));
  }
  *body_start = out.size();
  out.append(raw.substr(headers.empty() ? 0 : headers.back().end));
  return out;
}

std::string MakeBoundary(std::string_view a, std::string_view b) {
  for (;;) {
    // NewQueueFileName carries 64 random bits; a clash with the content is
    // checked all the same.
    std::string name = NewQueueFileName();
    for (char& c : name)
      if (c == '.') c = '_';
    std::string boundary = "=_notice_" + name;
    const std::string marker = "--" + boundary;
    if (a.find(marker) == std::string_view::npos && b.find(marker) == std::string_view::npos)
      return boundary;
  }
}

bool RemoveIfPresent(const std::string& path, platform::FileError& err) {
  if (platform::RemoveFile(path, err)) return true;
  return err.cause == 2;  // already gone
}

}  // namespace

ReadResult ReadMailFile(const std::string& path, size_t max_bytes, CMail& mail, std::string& raw,
                        platform::FileError& err) {
  platform::NamedLock lock(CMail::LockNameOf(path));
  switch (LockMailFile(lock, err)) {
    case MailLockResult::kAcquired:
      break;
    case MailLockResult::kFailed:
      return ReadResult::kFailed;
    case MailLockResult::kTimeout:
      return ReadResult::kLockTimeout;
  }
  CFileSource file;
  if (!file.Open(path, err)) return ReadResult::kFailed;
  if (file.Size() <= 2) return ReadResult::kFailed;
  if (!ReadAll(file, max_bytes, raw)) {
    err = platform::FileError::FromErrno(file.error() != 0 ? file.error() : EFBIG);
    return ReadResult::kFailed;
  }
  CMemorySource source(raw);
  return mail.ReadFrom(source, false) ? ReadResult::kRead : ReadResult::kFailed;
}

bool ReadFailureReport(const std::string& path, FailureReport& report) {
  CFileSource file;
  platform::FileError err;
  std::string raw;
  if (!file.Open(path, err) || !ReadAll(file, kMaxReportBytes, raw)) return false;
  // The report was written in text mode: a transcript command line that
  // already ended in CR LF ends in CR CR LF there.
  std::string clean;
  clean.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 2 < raw.size() && raw[i + 1] == '\r' && raw[i + 2] == '\n') continue;
    clean += raw[i];
  }
  CMail parsed;
  CMemorySource source(clean);
  if (!parsed.ReadFrom(source, false)) return false;
  report.from_name = parsed.m_strFromName;
  report.from_address = parsed.m_strFromAddress;
  report.subject = parsed.GetSubject();
  report.content_type = parsed.m_strContentType;
  report.text = std::string(parsed.BodyView());
  return true;
}

FailureReport DefaultFailureReport(const CMail& returned, const std::string& postmaster) {
  FailureReport report;
  report.from_name = "Mail Delivery Subsystem";
  report.from_address = postmaster;
  report.subject = "Returned mail: see transcript for details";
  report.content_type = "text/plain";
  report.text = "Your message could not be delivered to the following recipients:\r\n\r\n";
  for (const std::string& r : returned.m_recipients) report.text += "\t" + r + "\r\n";
  return report;
}

CMail BuildFailureNotice(std::string_view raw, const FailureReport& report,
                         const std::string& recipient, const std::string& postmaster,
                         const std::string& host, Attachment attach) {
  CMail notice;
  notice.m_recipients.AddTail(recipient);  // the envelope sender stays null
  notice.m_strTo = "<" + recipient + ">";
  if (report.from_address.empty()) {
    notice.m_strFromName = "Mail Delivery Subsystem";
    notice.SetFromAddress(postmaster);
  } else {
    notice.m_strFromName = report.from_name;
    notice.SetFromAddress(report.from_address);
  }
  notice.m_strSubject = EncodeHeaderValue(
      report.subject.empty() ? "Returned mail: see transcript for details" : report.subject);
  notice.m_strMessageID = NewMessageId(host);
  notice.m_strMimeVersion = "1.0";
  notice.m_otherHeaders.AddTail("Auto-Submitted: auto-replied");

  std::string report_text = ToQueuedForm(report.text);
  const std::string text_type = report.content_type.empty() ? "text/plain" : report.content_type;
  const char* text_encoding = HasEightBit(report_text) ? "8bit" : "7bit";

  if (attach == Attachment::kNone) {
    notice.m_strContentType = text_type;
    notice.m_strContentTransferEncoding = text_encoding;
    notice.SetBody(report_text);
    return notice;
  }

  size_t body_start = 0;
  std::string returned = WithoutEnvelopeLines(ToQueuedForm(raw), &body_start);
  if (attach == Attachment::kHeader) returned.resize(body_start);
  const std::string boundary = MakeBoundary(report_text, returned);
  const std::string sep = "--" + boundary + "\r\n";
  std::string body = "This is a MIME-encapsulated message.\r\n\r\n";
  body += sep;
  body += "Content-Type: " + text_type + "\r\n";
  body += "Content-Description: Notification\r\n";
  body += std::string("Content-Transfer-Encoding: ") + text_encoding + "\r\n\r\n";
  body += report_text;
  body += sep;
  if (attach == Attachment::kFull) {
    body += "Content-Type: message/rfc822\r\n";
    body += "Content-Description: Undelivered Message\r\n";
  } else {
    body += "Content-Type: text/rfc822-headers\r\n";
    body += "Content-Description: Undelivered Message Headers\r\n";
  }
  body += std::string("Content-Transfer-Encoding: ") + (HasEightBit(returned) ? "8bit" : "7bit") +
          "\r\n\r\n";
  body += returned;
  if (returned.size() < 2 || returned.compare(returned.size() - 2, 2, "\r\n") != 0) body += "\r\n";
  body += "--" + boundary + "--\r\n";
  notice.m_strContentType = "multipart/mixed; boundary=\"" + boundary + "\"";
  notice.SetBody(body);
  return notice;
}

int ReadOriginalMail(const std::string& path, size_t max_bytes, CMail& mail, std::string& raw,
                     ProgramOutput& output) {
  platform::FileError err;
  switch (ReadMailFile(path, max_bytes, mail, raw, err)) {
    case ReadResult::kRead:
      return 0;
    case ReadResult::kLockTimeout:
      output.err += std::string(kProgram) + ": the lock of \"" + path + "\" stayed busy\n";
      return kExitTempFail;
    default:
      output.err += std::string(kProgram) + ": could not read \"" + path +
                    "\" (cause=" + std::to_string(err.cause) +
                    " error=" + std::to_string(err.error) + ")\n";
      return kExitNoInput;
  }
}

int ReturnMail(const AutorespOptions& options, ProgramOutput& output) {
  CMail mail;
  std::string raw;
  if (int code = ReadOriginalMail(options.mail, kMaxReturnedBytes, mail, raw, output)) return code;
  platform::FileError err;

  // A notice never goes to the null sender (it would answer a notice) nor,
  // when asked, for mail sent in bulk; the mail is done with all the same.
  std::string skip;
  if (mail.GetSender().empty()) {
    skip = "the returned mail has the null sender";
  } else if (options.ignore_bulk && IsMarkedBulk(mail)) {
    skip = "the returned mail is marked bulk";
  }
  const std::string recipient = options.to.empty() ? mail.GetSender() : options.to;

  std::string queued;
  if (skip.empty()) {
    CConfigMap config;
    const std::string config_path = ConfigFilePath(kConfigFileName);
    if (!config.Load(config_path)) {
      output.err +=
          std::string(kProgram) + ": could not load configuration \"" + config_path + "\"\n";
      return kExitConfig;
    }
    const std::string queue_dir = QueueDirOf(config);
    if (!IsDirectory(queue_dir)) {
      output.err += std::string(kProgram) + ": queue directory \"" + queue_dir +
                    "\" is missing or no directory\n";
      return kExitCantCreat;
    }
    const std::string host = LocalHostName(config);
    const std::string postmaster =
        config.GetString("Postmaster.From", config.GetString("Postmaster", "postmaster@" + host));
    FailureReport report;
    if (!ReadFailureReport(options.templ, report)) report = DefaultFailureReport(mail, postmaster);
    const CMail notice =
        BuildFailureNotice(raw, report, recipient, postmaster, host, options.attach);
    std::string text;
    if (!notice.BuildText(text, EnvelopeHeaders)) {
      output.err += std::string(kProgram) + ": out of memory\n";
      return kExitSoftware;
    }
    switch (QueueText(queue_dir, text, queued, err)) {
      case QueueWriteResult::kWritten:
        break;
      case QueueWriteResult::kLockTimeout:
        output.err += std::string(kProgram) + ": the lock of \"" + queued + "\" stayed busy\n";
        return kExitTempFail;
      default:
        output.err += std::string(kProgram) + ": could not write \"" + queued +
                      "\": " + platform::ErrnoText(err.error) + "\n";
        return kExitIoErr;
    }
  }

  // The notice is safely queued (or none is due): unless asked to keep them
  // for a second run, the mail and its report go.
  int code = kExitOk;
  if (!options.keep) {
    platform::NamedLock lock(CMail::LockNameOf(options.mail));
    const bool locked = lock.Lock(CMail::LockWaitMs()) == platform::LockResult::kAcquired;
    if (!locked || !RemoveIfPresent(options.mail, err)) {
      output.err += std::string(kProgram) + ": could not remove \"" + options.mail + "\"\n";
      code = locked ? kExitIoErr : kExitTempFail;
    }
    lock.Unlock();
    if (!RemoveIfPresent(options.templ, err)) {
      output.err += std::string(kProgram) + ": could not remove \"" + options.templ + "\"\n";
      code = kExitIoErr;
    }
  }
  if (!options.silent) {
    if (skip.empty()) {
      output.out += "failure notice for <" + recipient + "> queued as " + queued + "\n";
    } else {
      output.out += "no failure notice: " + skip + "\n";
    }
  }
  return code;
}

}  // namespace kelpd::companions
