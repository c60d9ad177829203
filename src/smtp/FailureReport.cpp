#include "smtp/FailureReport.h"

#include <cstdio>

#include "base/Environment.h"
#include "config/ConfigMap.h"
#include "config/Settings.h"
#include "mail/Mail.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/HostLookup.h"
#include "smtp/ConsoleOutput.h"

namespace kelpd::smtp {
namespace {

constexpr char kSmtpSource[] = "SMTPc\\SMTPClient";
constexpr char kSocketSource[] = "Common\\SocketException";

std::string Header(const std::string& sender) {
  return "X-Envelope-From: <>\n"
         "From: \"Mail Delivery Subsystem\" <" +
         sender +
         ">\n"
         "Subject: Returned mail: see transcript for details\n"
         "Content-Type: text/plain\n"
         "\n";
}

std::string ArrivalLines(const Arrival* arrival, const std::string& message_id) {
  if (arrival == nullptr) return std::string();
  return "The original message was received at " + arrival->date + "\nfrom " + arrival->host +
         "\nwith id <" + message_id + ">\n\n";
}

// What a report needs of the mail: its Received values and message id.
struct MailFacts {
  bool loaded = false;
  CStringListEx received;
  std::string message_id;
};

MailFacts ReadMailFacts(const std::string& mailFile) {
  MailFacts facts;
  CMail mail;
  platform::FileResult error;
  if (!mail.Load(mailFile, error, true)) return facts;
  facts.loaded = true;
  facts.received = mail.m_received;
  facts.message_id = mail.GetMessageID();
  return facts;
}

// Writes the report whole under "<mailFile>.err"; on a file error, the line on
// standard error names source and line of the caller.
void WriteReportFile(const std::string& mailFile, const std::string& text, const char* source,
                     int line) {
  std::string path = mailFile + ".err";
  std::string file_text = ToTextMode(text);
  // It holds the SMTP transcript of the mail: as private as the mail.
  const platform::FileResult error = platform::WriteFileWhole(
      path, {file_text},
      {.replace = true, .new_mode = static_cast<int>(kelpd::config::MailFileMode())});
  if (error.ok()) return;
  char buf[64];
  std::snprintf(buf, sizeof buf, " cause=%d error=%d\n", error.cause(), error.error());
  WriteStderr(std::string("CFileException in ") + source + ":" + std::to_string(line) +
              ", file=" + path + buf);
}

}  // namespace

std::optional<Arrival> ArrivalFromReceived(const std::string& received) {
  size_t semicolon = received.rfind(';');
  size_t open = received.find('(');
  if (semicolon == std::string::npos || open == std::string::npos) return std::nullopt;
  size_t close = received.find(')', open + 1);
  if (close == std::string::npos) return std::nullopt;
  Arrival arrival;
  // The character after ';' (normally a blank) is skipped.
  size_t date_start = semicolon + 2;
  arrival.date = date_start < received.size() ? received.substr(date_start) : std::string();
  arrival.host = received.substr(open + 1, close - open - 1);
  return arrival;
}

std::optional<std::string> ChooseReceivedForSmtpReport(const CStringListEx& received) {
  if (received.IsEmpty()) return std::nullopt;
  for (const std::string& value : received)
    if (value.find("from ") != std::string::npos) return value;
  return received.GetTail();
}

std::string ToTextMode(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string ReportSender() {
  // A private map, loaded afresh: the report shows the postmaster address of
  // the configuration file as it is now, without touching the service's own
  // configuration object.
  CConfigMap config;
  if (config.LoadFromEnvDir("kelpd.cfg", kelpd::base::kConfigDirVariable)) {
    const std::string from = kelpd::config::LoadSettings(config).bounce.report_sender;
    if (!from.empty()) return from;
  }
  std::optional<std::string> host = platform::HostName();
  if (!host) return "postmaster@unknown";
  std::optional<std::string> canonical = platform::CanonicalName(*host);
  return "postmaster@" + (canonical && !canonical->empty() ? *canonical : *host);
}

std::string BuildSmtpReport(ReportKind kind, const CStringListEx& lines, const char* host,
                            const std::string& recipient, const std::string& sender,
                            const Arrival* arrival, const std::string& message_id) {
  std::string text = Header(sender) + ArrivalLines(arrival, message_id);
  text += kind == ReportKind::kTemporary
              ? "\t----- The following addresses had continuous fatal errors -----\n"
              : "\t----- The following addresses had permanent fatal errors -----\n";
  text += recipient + "\n\n\t----- Transcript of session follows -----\n";
  if (host != nullptr) text += ".... while talking to " + std::string(host) + ":\n\n";
  // Transcript lines carry their own line ends.
  for (const std::string& line : lines) text += line;
  return text;
}

std::string BuildSocketReport(const std::string& error_text, const char* host,
                              const std::string& recipient, const std::string& sender,
                              const Arrival* arrival, const std::string& message_id) {
  std::string text = Header(sender) + ArrivalLines(arrival, message_id);
  text += "\t----- The following addresses had permanent fatal errors -----\n";
  text += recipient + "\n\t(reason: " + error_text + ")\n\n";
  text += "\t----- Transcript of session follows -----\n";
  text += ".... while talking to " + std::string(host != nullptr ? host : "") + ":\n\n";
  text += error_text + "\n";
  return text;
}

void WriteSmtpReport(ReportKind kind, const CStringListEx& lines, const std::string& mailFile,
                     const char* host, const std::string& recipient) {
  MailFacts facts = ReadMailFacts(mailFile);
  std::optional<Arrival> arrival;
  if (std::optional<std::string> value = ChooseReceivedForSmtpReport(facts.received))
    arrival = ArrivalFromReceived(*value);
  std::string text = BuildSmtpReport(kind, lines, host, recipient, ReportSender(),
                                     arrival ? &*arrival : nullptr, facts.message_id);
  WriteReportFile(mailFile, text, kSmtpSource, __LINE__);
}

void WriteSocketReport(const CSocketException& error, const std::string& mailFile, const char* host,
                       const std::string& recipient) {
  MailFacts facts = ReadMailFacts(mailFile);
  std::optional<Arrival> arrival;
  if (!facts.received.IsEmpty()) arrival = ArrivalFromReceived(facts.received.GetHead());
  std::string text = BuildSocketReport(error.GetErrorText(), host, recipient, ReportSender(),
                                       arrival ? &*arrival : nullptr, facts.message_id);
  WriteReportFile(mailFile, text, kSocketSource, __LINE__);
}

}  // namespace kelpd::smtp
