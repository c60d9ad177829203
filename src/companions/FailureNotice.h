// The failure notice of a given-up mail: a delivery status notification
// (multipart/report) with the failure report the delivery thread left beside
// the mail ("<mail>.err") as its readable part, the facts of that report in
// machine-readable form, and the mail or its header attached.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "companions/Autoresp.h"
#include "mail/Mail.h"
#include "platform/Errors.h"

namespace kelpd::companions {

enum class ReadResult { kRead, kLockTimeout, kFailed };

// Reads a mail file under its named lock: its bytes into raw (at most
// max_bytes) and the mail parsed from them. A file of two bytes or fewer
// fails like an unreadable one (err clear).
ReadResult ReadMailFile(const std::string& path, size_t max_bytes, CMail& mail, std::string& raw,
                        platform::FileResult& err);

// ReadMailFile for autoresp.exe: on failure writes the reason to output.err
// and returns the exit code (lock busy: temporary failure; else no input);
// returns 0 when the mail was read.
int ReadOriginalMail(const std::string& path, size_t max_bytes, CMail& mail, std::string& raw,
                     ProgramOutput& output);

// What the notice takes from the failure report.
struct FailureReport {
  std::string from_name;
  std::string from_address;
  std::string subject;
  std::string content_type;
  std::string text;  // CR LF line ends
  // The recipients that failed, for a report whose text does not name them
  // in the delivery thread's form.
  std::vector<std::string> recipients;
};

// What the machine-readable part states, read from a report's text: the
// arrival line, the addresses under the "fatal errors" heading, whether the
// failure was permanent, the host talked to and the server's last reply line
// (empty when the session ended on something else, such as a socket error).
struct DeliveryFacts {
  std::string arrival_date;
  std::vector<std::string> recipients;
  bool permanent = true;
  std::string remote_mta;
  std::string reply;
};
DeliveryFacts ReadDeliveryFacts(std::string_view report_text);

// The status code of a failure: the enhanced code the reply carries when its
// class matches the reply's, else the reply's class with ".0.0", else 5.0.0
// or 4.0.0 as permanent says.
std::string StatusOfReply(std::string_view reply, bool permanent);

// Reads the report file (a small mail in text form). False when it can't be
// read; the report's doubled CR before LF (transcript lines) becomes one.
bool ReadFailureReport(const std::string& path, FailureReport& report);

// A report for when the file is missing: sender postmaster, a short text
// naming the mail's recipients.
FailureReport DefaultFailureReport(const CMail& returned, const std::string& postmaster);

// The notice as a mail: null envelope sender, one recipient, From the report's
// sender (postmaster when it has none), the report's subject, and as body a
// multipart/report of the report text, a message/delivery-status part
// (Reporting-MTA host) and, unless Attachment::kNone, the returned mail
// (message/rfc822) or its header section (text/rfc822-headers). raw is the
// returned mail file's bytes; its envelope lines are left out of the
// attachment.
CMail BuildFailureNotice(std::string_view raw, const FailureReport& report,
                         const std::string& recipient, const std::string& postmaster,
                         const std::string& host, Attachment attach);

// The return-mail mode of the program.
int ReturnMail(const AutorespOptions& options, ProgramOutput& output);

}  // namespace kelpd::companions
