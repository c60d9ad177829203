// The auto-reply of a mailbox: one reply to the sender of a delivered mail,
// written as a queued mail file, following RFC 3834: never to the null sender
// or to list and system addresses, never to mail marked bulk, list or
// auto-submitted, and to one sender at most once a day per mailbox. The
// senders replied to are remembered in the file "autoresp.sent" of the
// mailbox directory, under a named lock of our own (not the account lock,
// which the service may hold while it waits for us).
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "companions/Autoresp.h"
#include "mail/Mail.h"

namespace kelpd::companions {

constexpr char kReplyLedgerName[] = "autoresp.sent";
constexpr time_t kReplyInterval = 24 * 60 * 60;

struct ReplyTemplate {
  std::string subject;  // empty: the template has no "Subject:" line
  std::string text;     // CR LF line ends
};

// A template: when its first line begins with "Subject:" (without regard to
// case), that line gives the subject and the rest is the text; otherwise all
// of it is the text.
ReplyTemplate ParseReplyTemplate(std::string_view bytes);

// Why the sender of mail gets no reply (empty when it may get one).
// own_address is the mailbox's address: nobody replies to himself.
std::string NoReplyReason(const CMail& mail, const std::string& own_address);

// The senders one mailbox replied to, with the time of each reply.
class ReplyLedger {
 public:
  // Reads the ledger's text; lines "<seconds> <address>", others skipped.
  // Entries older than kReplyInterval (or from the far future) are dropped.
  void Parse(std::string_view text, time_t now);
  // Whether address (compared without regard to case) got a reply within
  // kReplyInterval before now.
  bool RepliedRecently(const std::string& address, time_t now) const;
  void Record(const std::string& address, time_t now);
  // The text to write back, at most kMaxEntries newest entries.
  std::string Serialize() const;

  static constexpr size_t kMaxEntries = 10000;

 private:
  struct Entry {
    time_t when;
    std::string address;  // lower case
  };
  std::vector<Entry> entries_;
};

// The reply: null envelope sender, to the original's sender, From own_address,
// "Auto-Submitted: auto-replied", "In-Reply-To" and "References" of the
// original, the template's subject (else "Auto: " and the original's subject)
// and text.
CMail BuildAutoReply(const CMail& original, const ReplyTemplate& templ,
                     const std::string& own_address, const std::string& host);

// The auto-reply mode of the program (output path in options.output).
int AutoReply(const AutorespOptions& options, ProgramOutput& output);

}  // namespace kelpd::companions
