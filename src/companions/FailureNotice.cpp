#include "companions/FailureNotice.h"

#include <cerrno>
#include <vector>

#include "base/Text.h"
#include "companions/HeaderText.h"
#include "companions/QueueFile.h"
#include "companions/SysExits.h"
#include "config/ConfigMap.h"
#include "config/Settings.h"
#include "mail/Address.h"
#include "mail/ByteSource.h"
#include "platform/FileLock.h"
#include "platform/Files.h"

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

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "250 text", "550-text" or a bare "421": a line of a server's reply.
bool IsReplyLine(std::string_view line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
         (line.size() == 3 || line[3] == ' ' || line[3] == '-');
}

// A field value from outside: printable ASCII only, within a line's bounds.
std::string FieldText(std::string_view value) {
  constexpr size_t kMaxField = 900;
  std::string out;
  for (char c : value.substr(0, kMaxField)) {
    const auto u = static_cast<unsigned char>(c);
    out += u == '\t' ? ' ' : (u < 0x20 || u > 0x7e) ? '?' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// The digits of one part of an enhanced status code: 1 to 3 of them.
size_t CodePart(std::string_view s, size_t at) {
  size_t n = 0;
  while (at + n < s.size() && n < 4 && IsDigit(s[at + n])) ++n;
  return n >= 1 && n <= 3 ? n : 0;
}

std::string DeliveryStatusPart(const DeliveryFacts& facts, const std::string& host) {
  std::string out = "Reporting-MTA: dns; " + FieldText(host) + "\r\n";
  if (!facts.arrival_date.empty()) out += "Arrival-Date: " + FieldText(facts.arrival_date) + "\r\n";
  const std::string status = StatusOfReply(facts.reply, facts.permanent);
  for (const std::string& recipient : facts.recipients) {
    out += "\r\nFinal-Recipient: rfc822; " + FieldText(recipient) + "\r\n";
    out += "Action: failed\r\nStatus: " + status + "\r\n";
    if (!facts.remote_mta.empty())
      out += "Remote-MTA: dns; " + FieldText(facts.remote_mta) + "\r\n";
    if (!facts.reply.empty()) out += "Diagnostic-Code: smtp; " + FieldText(facts.reply) + "\r\n";
  }
  return out;
}

bool RemoveIfPresent(const std::string& path, platform::FileResult& err) {
  err = platform::RemoveFile(path);
  return err.ok() || err.Is(platform::kFileCauseNotFound);  // already gone
}

}  // namespace

ReadResult ReadMailFile(const std::string& path, size_t max_bytes, CMail& mail, std::string& raw,
                        platform::FileResult& err) {
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
  err = file.Open(path);
  if (!err.ok()) return ReadResult::kFailed;
  if (file.Size() <= 2) return ReadResult::kFailed;
  if (!ReadAll(file, max_bytes, raw)) {
    err = platform::FileResult::FromErrno(file.error() != 0 ? file.error() : EFBIG);
    return ReadResult::kFailed;
  }
  CMemorySource source(raw);
  return mail.ReadFrom(source, false) ? ReadResult::kRead : ReadResult::kFailed;
}

bool ReadFailureReport(const std::string& path, FailureReport& report) {
  CFileSource file;
  std::string raw;
  if (!file.Open(path).ok() || !ReadAll(file, kMaxReportBytes, raw)) return false;
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

DeliveryFacts ReadDeliveryFacts(std::string_view text) {
  DeliveryFacts facts;
  enum class Section { kHead, kRecipients, kTranscript } section = Section::kHead;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    constexpr std::string_view kArrival = "The original message was received at ";
    constexpr std::string_view kTalking = ".... while talking to ";
    if (line.find("----- The following addresses had ") != std::string_view::npos) {
      facts.permanent = line.find("permanent") != std::string_view::npos;
      section = Section::kRecipients;
    } else if (line.find("----- Transcript of session follows -----") != std::string_view::npos) {
      section = Section::kTranscript;
    } else if (section == Section::kHead && StartsWith(line, kArrival)) {
      facts.arrival_date = line.substr(kArrival.size());
    } else if (section == Section::kRecipients) {
      // The addresses stand alone on their lines; a reason line is indented.
      if (!line.empty() && line[0] != '\t' && line[0] != ' ')
        facts.recipients.push_back(NormalizeAddress(std::string(line)));
    } else if (section == Section::kTranscript) {
      if (StartsWith(line, kTalking) && line.back() == ':') {
        facts.remote_mta = line.substr(kTalking.size(), line.size() - kTalking.size() - 1);
      } else if (StartsWith(line, "<<< ")) {
        facts.reply = line.substr(4);
      } else if (IsReplyLine(line)) {
        facts.reply = line;  // the further lines of a reply
      } else if (!line.empty()) {
        facts.reply.clear();  // a command, or the session ended on our side
      }
    }
  }
  return facts;
}

std::string StatusOfReply(std::string_view reply, bool permanent) {
  if (IsReplyLine(reply) && (reply[0] == '4' || reply[0] == '5')) {
    // "550 5.1.1 text": the class of the enhanced code must match the reply's.
    size_t at = 4;
    if (reply.size() > at + 1 && reply[at] == reply[0] && reply[at + 1] == '.') {
      const size_t a = CodePart(reply, at + 2);
      const size_t b = a != 0 && reply.size() > at + 2 + a && reply[at + 2 + a] == '.'
                           ? CodePart(reply, at + 3 + a)
                           : 0;
      const size_t stop = at + 3 + a + b;
      if (b != 0 && (stop == reply.size() || reply[stop] == ' '))
        return std::string(reply.substr(at, stop - at));
    }
    return std::string(1, reply[0]) + ".0.0";
  }
  return permanent ? "5.0.0" : "4.0.0";
}

FailureReport DefaultFailureReport(const CMail& returned, const std::string& postmaster) {
  FailureReport report;
  report.from_name = "Mail Delivery Subsystem";
  report.from_address = postmaster;
  report.subject = "Returned mail: see transcript for details";
  report.content_type = "text/plain";
  report.text = "Your message could not be delivered to the following recipients:\r\n\r\n";
  for (const std::string& r : returned.m_recipients) {
    report.text += "\t" + r + "\r\n";
    report.recipients.push_back(NormalizeAddress(r));
  }
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

  DeliveryFacts facts = ReadDeliveryFacts(report.text);
  if (facts.recipients.empty()) facts.recipients = report.recipients;
  const std::string status = DeliveryStatusPart(facts, host);

  size_t body_start = 0;
  std::string returned;
  if (attach != Attachment::kNone) {
    returned = WithoutEnvelopeLines(ToQueuedForm(raw), &body_start);
    if (attach == Attachment::kHeader) returned.resize(body_start);
  }
  const std::string boundary = MakeBoundary(report_text, returned);
  const std::string sep = "--" + boundary + "\r\n";
  const auto ends_line = [](const std::string& s) {
    return s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0;
  };
  std::string body = "This is a MIME-encapsulated message.\r\n\r\n";
  body += sep;
  body += "Content-Type: " + text_type + "\r\n";
  body += "Content-Description: Notification\r\n";
  body += std::string("Content-Transfer-Encoding: ") + text_encoding + "\r\n\r\n";
  body += report_text;
  if (!ends_line(report_text)) body += "\r\n";
  body += sep;
  body += "Content-Type: message/delivery-status\r\n";
  body += "Content-Description: Delivery report\r\n\r\n";
  body += status;
  if (attach != Attachment::kNone) {
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
    if (!ends_line(returned)) body += "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  notice.m_strContentType =
      "multipart/report; report-type=delivery-status; boundary=\"" + boundary + "\"";
  notice.SetBody(body);
  return notice;
}

int ReadOriginalMail(const std::string& path, size_t max_bytes, CMail& mail, std::string& raw,
                     ProgramOutput& output) {
  platform::FileResult err;
  switch (ReadMailFile(path, max_bytes, mail, raw, err)) {
    case ReadResult::kRead:
      return 0;
    case ReadResult::kLockTimeout:
      output.err += std::string(kProgram) + ": the lock of \"" + path + "\" stayed busy\n";
      return kExitTempFail;
    default:
      output.err += std::string(kProgram) + ": could not read \"" + path +
                    "\" (cause=" + std::to_string(err.cause()) +
                    " error=" + std::to_string(err.error()) + ")\n";
      return kExitNoInput;
  }
}

int ReturnMail(const AutorespOptions& options, ProgramOutput& output) {
  CMail mail;
  std::string raw;
  if (int code = ReadOriginalMail(options.mail, kMaxReturnedBytes, mail, raw, output)) return code;
  platform::FileResult err;

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
    std::string postmaster = kelpd::config::LoadSettings(config).bounce.report_sender;
    if (postmaster.empty()) postmaster = "postmaster@" + host;
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
                      "\": " + platform::ErrnoText(err.error()) + "\n";
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
