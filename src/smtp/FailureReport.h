// The failure report: "<mail file>.err" beside a mail file that could not be
// delivered, a little mail in text form from the mail delivery subsystem that
// explains the latest failure and quotes the SMTP transcript. It is rewritten
// at every failed attempt; the auto-responder returns it with the mail once
// the mail is given up.
//
// Layout (each "\n" written becomes CR LF in the file, as the suite's readers
// of these reports expect, so a transcript command line, which ends in
// CR LF already, ends in CR CR LF):
//   X-Envelope-From: <>
//   From: "Mail Delivery Subsystem" <report sender>
//   Subject: Returned mail: see transcript for details
//   Content-Type: text/plain
//   (blank)
//   [The original message was received at <date>\nfrom <host>\nwith id <<id>>\n\n]
//   \t----- The following addresses had continuous|permanent fatal errors -----
//   <recipient>
//   SMTP failures:  (blank), "\t----- Transcript of session follows -----",
//                   [".... while talking to <host>:", (blank)], the failure's lines as they are
//   socket errors:  "\t(reason: <text>)", (blank), the transcript heading,
//                   ".... while talking to <host>:", (blank), "<text>"
//
// Thread-safe: each call works on its own objects; the configuration file is
// read into a private map for each report.
#pragma once

#include <optional>
#include <string>

#include "config/StringListEx.h"
#include "net/SocketException.h"

namespace kelpd::smtp {

enum class ReportKind { kTemporary, kPermanent };

// Where the mail entered the system, taken from a Received value.
struct Arrival {
  std::string date;  // after the last ';', its first character skipped
  std::string host;  // between the first '(' and the first ')' after it
};

// The arrival of one Received value; nothing when it lacks ';', '(' or a ')'
// after the '('.
std::optional<Arrival> ArrivalFromReceived(const std::string& received);

// The Received value an SMTP report takes its arrival line from: the first
// that contains "from ", else the last; nothing for an empty list.
std::optional<std::string> ChooseReceivedForSmtpReport(const CStringListEx& received);

// text with every LF written as CR LF (a CR before it is kept).
std::string ToTextMode(const std::string& text);

// The sender of reports: "Postmaster.From", else "Postmaster", of the
// configuration file "kelpd.cfg" in $MAILCONFIGDIR, loaded afresh; else
// "postmaster@<this machine's canonical name>" (the plain host name when that
// does not resolve, "unknown" when there is none).
std::string ReportSender();

// The report texts before text-mode conversion. host may be null (SMTP
// reports only); arrival is left out when null.
std::string BuildSmtpReport(ReportKind kind, const CStringListEx& lines, const char* host,
                            const std::string& recipient, const std::string& sender,
                            const Arrival* arrival, const std::string& message_id);
std::string BuildSocketReport(const std::string& error_text, const char* host,
                              const std::string& recipient, const std::string& sender,
                              const Arrival* arrival, const std::string& message_id);

// The writers: load the mail file's headers for the arrival line and the
// message id (a mail that can't be loaded gets a report without the arrival
// line and with an empty id), build the report and write "<mailFile>.err" so
// that it appears whole. A file error is written to standard error as
// "CFileException in <source>:<line>, file=<path> cause=<n> error=<errno>".
void WriteSmtpReport(ReportKind kind, const CStringListEx& lines, const std::string& mailFile,
                     const char* host, const std::string& recipient);
void WriteSocketReport(const CSocketException& error, const std::string& mailFile, const char* host,
                       const std::string& recipient);

}  // namespace kelpd::smtp
