#include "companions/AutoReply.h"

#include <algorithm>
#include <cerrno>

#include "base/Paths.h"
#include "base/Text.h"
#include "companions/FailureNotice.h"
#include "companions/HeaderText.h"
#include "companions/QueueFile.h"
#include "companions/SysExits.h"
#include "config/ConfigMap.h"
#include "mail/Address.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"

namespace text = kelpd::text;

namespace kelpd::companions {

namespace {

constexpr char kProgram[] = "autoresp.exe";
constexpr size_t kMaxTemplateBytes = size_t{1} << 20;
constexpr size_t kMaxLedgerBytes = size_t{4} << 20;
constexpr size_t kMaxOriginalBytes = size_t{512} << 20;
// How long a run waits for another run on the same mailbox.
constexpr int kLedgerLockWaitMs = 60 * 1000;

std::string BaseNameOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// RFC 3834 names these local parts as belonging to lists and mail systems.
bool IsListOrSystemAddress(const std::string& address) {
  const std::string local = text::ToLowerCopy(GetLocalPart(address));
  return local == "mailer-daemon" || local == "listserv" || local == "majordomo" ||
         local.compare(0, 6, "owner-") == 0 ||
         (local.size() > 8 && local.compare(local.size() - 8, 8, "-request") == 0);
}

}  // namespace

ReplyTemplate ParseReplyTemplate(std::string_view bytes) {
  ReplyTemplate t;
  std::string_view rest = bytes;
  if (text::StartsWithNoCase(bytes, "Subject:")) {
    const size_t lf = bytes.find('\n');
    std::string_view line =
        bytes.substr(8, lf == std::string_view::npos ? std::string_view::npos : lf - 8);
    t.subject = text::Trim(line);
    rest = lf == std::string_view::npos ? std::string_view() : bytes.substr(lf + 1);
  }
  t.text = ToQueuedForm(rest);
  return t;
}

std::string NoReplyReason(const CMail& mail, const std::string& own_address) {
  const std::string& sender = mail.GetSender();
  if (sender.empty()) return "the mail has the null sender";
  if (IsListOrSystemAddress(sender)) return "the sender is a list or mail system address";
  if (text::EqualsNoCase(sender, own_address)) return "the mail came from the mailbox itself";
  if (IsMarkedBulk(mail)) return "the mail is marked bulk, list or junk";
  if (HasOtherHeaderWithPrefix(mail, "List-")) return "the mail came through a mailing list";
  const std::string auto_submitted = OtherHeader(mail, "Auto-Submitted");
  if (!auto_submitted.empty()) {
    const std::string keyword = text::Trim(auto_submitted.substr(0, auto_submitted.find(';')));
    if (!text::EqualsNoCase(keyword, "no")) return "the mail is auto-submitted";
  }
  return std::string();
}

void ReplyLedger::Parse(std::string_view data, time_t now) {
  entries_.clear();
  size_t pos = 0;
  while (pos < data.size()) {
    size_t lf = data.find('\n', pos);
    if (lf == std::string_view::npos) lf = data.size();
    const std::string line = text::Trim(data.substr(pos, lf - pos));
    pos = lf + 1;
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0) continue;
    bool digits = true;
    for (size_t i = 0; i < space; ++i) digits &= text::IsDigit(static_cast<unsigned char>(line[i]));
    if (!digits || space > 18) continue;
    const time_t when = static_cast<time_t>(std::stoll(line.substr(0, space)));
    const std::string address =
        text::ToLowerCopy(text::Trim(std::string_view(line).substr(space + 1)));
    if (address.empty() || when <= now - kReplyInterval || when > now + kReplyInterval) continue;
    entries_.push_back(Entry{when, address});
  }
}

bool ReplyLedger::RepliedRecently(const std::string& address, time_t now) const {
  const std::string key = text::ToLowerCopy(address);
  for (const Entry& e : entries_)
    if (e.address == key && e.when > now - kReplyInterval && e.when <= now + kReplyInterval)
      return true;
  return false;
}

void ReplyLedger::Record(const std::string& address, time_t now) {
  const std::string key = text::ToLowerCopy(address);
  std::erase_if(entries_, [&](const Entry& e) { return e.address == key; });
  entries_.push_back(Entry{now, key});
}

std::string ReplyLedger::Serialize() const {
  std::vector<Entry> kept = entries_;
  std::stable_sort(kept.begin(), kept.end(),
                   [](const Entry& a, const Entry& b) { return a.when > b.when; });
  if (kept.size() > kMaxEntries) kept.resize(kMaxEntries);
  std::string out;
  for (const Entry& e : kept)
    out += std::to_string(static_cast<long long>(e.when)) + " " + e.address + "\n";
  return out;
}

CMail BuildAutoReply(const CMail& original, const ReplyTemplate& templ,
                     const std::string& own_address, const std::string& host) {
  CMail reply;
  const std::string& to = original.GetSender();
  reply.m_recipients.AddTail(to);  // the envelope sender stays null
  reply.m_strTo = "<" + to + ">";
  reply.SetFromAddress(own_address);
  std::string subject = templ.subject;
  if (subject.empty()) {
    subject = original.GetSubject().empty() ? "Automatic reply" : "Auto: " + original.GetSubject();
  }
  reply.m_strSubject = EncodeHeaderValue(subject);
  reply.m_strMessageID = NewMessageId(host);
  if (!original.GetMessageID().empty()) {
    const std::string id = "<" + original.GetMessageID() + ">";
    reply.m_strInReplyTo = id;
    reply.m_strReferences =
        original.m_strReferences.empty() ? id : original.m_strReferences + " " + id;
  }
  reply.m_strMimeVersion = "1.0";
  const bool eight_bit = HasEightBit(templ.text);
  reply.m_strContentType = eight_bit ? "text/plain; charset=utf-8" : "text/plain; charset=us-ascii";
  reply.m_strContentTransferEncoding = eight_bit ? "8bit" : "7bit";
  reply.m_otherHeaders.AddTail("Auto-Submitted: auto-replied");
  reply.SetBody(templ.text);
  return reply;
}

int AutoReply(const AutorespOptions& options, ProgramOutput& output) {
  CMail mail;
  std::string raw;
  if (int code = ReadOriginalMail(options.mail, kMaxOriginalBytes, mail, raw, output)) return code;
  raw.clear();

  // The configuration only names this host; without it the host name serves.
  CConfigMap config;
  (void)config.Load(ConfigFilePath(kConfigFileName));
  const std::string host = LocalHostName(config);
  const std::string mailbox = platform::DirectoryOf(options.mail);

  // The mailbox's own address: the envelope recipient of the stored copy,
  // else the first address of its To, else the mailbox's name at this host.
  std::string own = mail.GetFirstRecipient();
  if (own.empty()) {
    const std::vector<std::string> to = SplitAddressList(mail.m_strTo);
    own = to.empty() ? BaseNameOf(mailbox) + "@" + host : to.front();
  }

  const std::string reason = NoReplyReason(mail, own);
  if (!reason.empty()) {
    if (!options.silent) output.out += "no reply: " + reason + "\n";
    return kExitOk;
  }

  std::string template_bytes;
  platform::FileResult read =
      platform::ReadWholeFile(options.templ, kMaxTemplateBytes, template_bytes);
  if (!read.ok()) {
    output.err += std::string(kProgram) + ": could not read the template \"" + options.templ +
                  "\": " + platform::ErrnoText(read.error()) + "\n";
    return kExitNoInput;
  }
  const ReplyTemplate templ = ParseReplyTemplate(template_bytes);

  // Check, reply and record under one lock, so that two deliveries to the
  // same mailbox running side by side send one reply between them.
  platform::NamedLock lock("autoresp:" + mailbox);
  if (lock.Lock(kLedgerLockWaitMs) != platform::LockResult::kAcquired) {
    output.err += std::string(kProgram) + ": the reply list of \"" + mailbox + "\" stayed busy\n";
    return kExitTempFail;
  }
  const std::string ledger_path = MakePath(mailbox, kReplyLedgerName);
  const time_t now = platform::Now();
  ReplyLedger ledger;
  std::string ledger_text;
  read = platform::ReadWholeFile(ledger_path, kMaxLedgerBytes, ledger_text);
  if (read.ok()) {
    ledger.Parse(ledger_text, now);
  } else if (!read.Is(platform::kFileCauseNotFound)) {
    // Without the list we can't know who got a reply today; none is better
    // than a second one.
    output.err += std::string(kProgram) + ": could not read \"" + ledger_path +
                  "\": " + platform::ErrnoText(read.error()) + "\n";
    return kExitIoErr;
  }
  if (ledger.RepliedRecently(mail.GetSender(), now)) {
    if (!options.silent) output.out += "no reply: <" + mail.GetSender() + "> got one today\n";
    return kExitOk;
  }

  const CMail reply = BuildAutoReply(mail, templ, own, host);
  std::string text;
  if (!reply.BuildText(text, EnvelopeHeaders)) {
    output.err += std::string(kProgram) + ": out of memory\n";
    return kExitSoftware;
  }
  platform::FileResult err;
  switch (WriteQueueFile(options.output, text, err)) {
    case QueueWriteResult::kWritten:
      break;
    case QueueWriteResult::kLockTimeout:
      output.err +=
          std::string(kProgram) + ": the lock of \"" + options.output + "\" stayed busy\n";
      return kExitTempFail;
    case QueueWriteResult::kExists:
      output.err += std::string(kProgram) + ": \"" + options.output + "\" exists already\n";
      return kExitCantCreat;
    default:
      output.err += std::string(kProgram) + ": could not write \"" + options.output +
                    "\": " + platform::ErrnoText(err.error()) + "\n";
      return kExitIoErr;
  }

  ledger.Record(mail.GetSender(), now);
  const platform::FileResult written =
      platform::WriteFileWhole(ledger_path, {ledger.Serialize()}, {.replace = true});
  if (!written.ok()) {
    output.err += std::string(kProgram) + ": could not write \"" + ledger_path +
                  "\": " + platform::ErrnoText(written.error()) + "\n";
    return kExitIoErr;
  }
  if (!options.silent)
    output.out += "reply to <" + mail.GetSender() + "> written to " + options.output + "\n";
  return kExitOk;
}

}  // namespace kelpd::companions
