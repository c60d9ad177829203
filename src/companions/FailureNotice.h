// The failure notice of a given-up mail: the failure report the delivery
// thread left beside the mail ("<mail>.err"), sent to the mail's sender, with
// the mail or its header attached.
#pragma once

#include <string>
#include <string_view>

#include "companions/Autoresp.h"
#include "mail/Mail.h"
#include "platform/Errors.h"

namespace kelpd::companions {

enum class ReadResult { kRead, kLockTimeout, kFailed };

// Reads a mail file under its named lock: its bytes into raw (at most
// max_bytes) and the mail parsed from them. A file of two bytes or fewer
// fails like an unreadable one (err clear).
ReadResult ReadMailFile(const std::string& path, size_t max_bytes, CMail& mail, std::string& raw,
                        platform::FileError& err);

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
};

// Reads the report file (a small mail in text form). False when it can't be
// read; the report's doubled CR before LF (transcript lines) becomes one.
bool ReadFailureReport(const std::string& path, FailureReport& report);

// A report for when the file is missing: sender postmaster, a short text
// naming the mail's recipients.
FailureReport DefaultFailureReport(const CMail& returned, const std::string& postmaster);

// The notice as a mail: null envelope sender, one recipient, From the report's
// sender (postmaster when it has none), the report's subject, and as body the
// report text alone (Attachment::kNone) or a multipart/mixed of the report
// text and the returned mail (message/rfc822) or its header section
// (text/rfc822-headers). raw is the returned mail file's bytes; its envelope
// lines are left out of the attachment.
CMail BuildFailureNotice(std::string_view raw, const FailureReport& report,
                         const std::string& recipient, const std::string& postmaster,
                         const std::string& host, Attachment attach);

// The return-mail mode of the program.
int ReturnMail(const AutorespOptions& options, ProgramOutput& output);

}  // namespace kelpd::companions
