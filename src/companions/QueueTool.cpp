#include "companions/QueueTool.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/Clock.h"
#include "base/Paths.h"
#include "companions/FailureNotice.h"
#include "companions/QueueFile.h"
#include "companions/SysExits.h"
#include "config/ConfigMap.h"
#include "config/FileFinder.h"
#include "config/Settings.h"
#include "mail/ByteSource.h"
#include "mail/Mail.h"
#include "mail/QueueControl.h"
#include "platform/AccessCheck.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/ServiceFiles.h"
#include "platform/StopSignal.h"

namespace kelpd::companions {

namespace {

constexpr char kProgram[] = "kelpd-queue";
constexpr size_t kMaxShownReport = 64 * 1024;
// How long flush waits for the service to take its request.
constexpr int kFlushWaitMs = 10000;
constexpr int kFlushPollMs = 100;

const char kUsage[] =
    "usage: kelpd-queue [-c <config file>] [command]\n"
    "  list [--json]          every waiting mail (the default command)\n"
    "  show <name>            envelope, header and failure report of one mail\n"
    "  flush                  the running service tries all deferred mail now\n"
    "  requeue <name>...      moves mail from the error or filter directory to the queue\n"
    "  delete <name>...       removes mail (and its failure report) from any directory\n"
    "  stats [--prometheus] [-o <file>]\n"
    "                         counts, oldest age, and the service's delivery figures\n"
    "                         (-o: written whole into file instead of standard output)\n";

// Outside text shown in a terminal: control bytes become '?'.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7f) {
      // Bytes beyond ASCII are not known to be UTF-8: each stands for itself.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool Exists(const std::string& path) {
  int err = 0;
  return platform::PathExists(path, &err);
}

// The last non-empty line of a failure report, or empty.
std::string LastReportLine(const std::string& report_path) {
  std::string text;
  if (!platform::ReadWholeFile(report_path, kMaxShownReport * 16, text).ok()) return std::string();
  size_t end = text.size();
  while (end > 0) {
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' '))
      --end;
    size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    if (end > start) return text.substr(start, end - start);
    end = start;
  }
  return std::string();
}

// Whether a delivery thread holds the mail's delivery claim now.
bool ClaimHeld(const std::string& path) {
  platform::NamedLock claim(kelpd::mail::DeliveryClaimName(path));
  return claim.Lock(0) == platform::LockResult::kTimeout;
}

void ReadEnvelope(QueuedMail& mail) {
  CFileSource file;
  if (!file.Open(mail.path).ok()) return;
  CMail parsed;
  if (!parsed.ReadFrom(file, true)) return;
  mail.sender = parsed.GetSender();
  CStringListEx recipients = parsed.m_recipients;
  for (auto pos = recipients.GetHeadPosition(); pos;)
    mail.recipients.push_back(recipients.GetNext(pos));
}

// A name as given on the command line: a bare "*.eml" file name (".eml" is
// added when missing).
bool BareName(std::string name, std::string& out) {
  if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    return false;
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".eml") != 0) name += ".eml";
  out = name;
  return true;
}

struct Located {
  std::string directory;
  std::string path;
};

std::vector<Located> Locate(const QueueDirectories& dirs, const std::string& name) {
  std::vector<Located> found;
  const std::pair<const char*, const std::string*> all[] = {{"queue", &dirs.queue},
                                                            {"outgoing", &dirs.outgoing},
                                                            {"error", &dirs.error},
                                                            {"filter", &dirs.filter}};
  for (const auto& [label, dir] : all) {
    const std::string path = MakePath(*dir, name);
    if (Exists(path)) found.push_back(Located{label, path});
  }
  return found;
}

struct Outcome {
  int code = kExitOk;
  void Worse(int c) {
    if (code == kExitOk) code = c;
  }
};

void Requeue(const QueueDirectories& dirs, const std::string& name, ProgramOutput& output,
             Outcome& outcome) {
  std::vector<Located> found = Locate(dirs, name);
  auto it = std::find_if(found.begin(), found.end(), [](const Located& l) {
    return l.directory == "error" || l.directory == "filter";
  });
  if (it == found.end()) {
    output.err += Printable(name) + ": not in the error or filter directory\n";
    outcome.Worse(kExitNoInput);
    return;
  }
  platform::NamedLock lock(CMail::LockNameOf(it->path));
  platform::FileResult err;
  if (LockMailFile(lock, err) != MailLockResult::kAcquired) {
    output.err += Printable(name) + ": locked by another program, left alone\n";
    outcome.Worse(kExitTempFail);
    return;
  }
  const std::string to = MakePath(dirs.queue, name);
  err = platform::MoveFileNoReplace(it->path, to);
  if (!err.ok()) {
    if (err.AlreadyExists())
      output.err +=
          Printable(name) + ": a mail of that name is in the queue directory, left alone\n";
    else
      output.err +=
          Printable(name) + ": could not be moved: " + platform::ErrnoText(err.error()) + "\n";
    outcome.Worse(err.AlreadyExists() ? kExitCantCreat : kExitIoErr);
    return;
  }
  // The report belongs to the attempt that failed; the mail starts afresh.
  const bool report = platform::RemoveFile(it->path + ".err").ok();
  output.out += Printable(name) + ": moved from the " + it->directory +
                " directory to the queue directory" +
                (report ? ", its failure report removed" : "") + "\n";
}

void Delete(const QueueDirectories& dirs, const std::string& name, ProgramOutput& output,
            Outcome& outcome) {
  std::vector<Located> found = Locate(dirs, name);
  if (found.empty()) {
    output.err += Printable(name) + ": no such mail\n";
    outcome.Worse(kExitNoInput);
    return;
  }
  for (const Located& l : found) {
    const std::string where = Printable(name) + " (" + l.directory + ")";
    // The claim first: while this holds it, no delivery thread starts on
    // the mail; when a thread holds it, the mail is in delivery.
    platform::NamedLock claim(kelpd::mail::DeliveryClaimName(l.path));
    if (claim.Lock(0) == platform::LockResult::kTimeout) {
      output.err += where + ": held by a delivery thread, left alone\n";
      outcome.Worse(kExitTempFail);
      continue;
    }
    platform::NamedLock lock(CMail::LockNameOf(l.path));
    platform::FileResult err;
    if (LockMailFile(lock, err) != MailLockResult::kAcquired) {
      output.err += where + ": locked by another program, left alone\n";
      outcome.Worse(kExitTempFail);
      continue;
    }
    err = platform::RemoveFile(l.path);
    if (!err.ok()) {
      output.err += where + ": could not be removed: " + platform::ErrnoText(err.error()) + "\n";
      outcome.Worse(kExitIoErr);
      continue;
    }
    const bool report = platform::RemoveFile(l.path + ".err").ok();
    output.out += where + ": deleted" + (report ? ", with its failure report" : "") + "\n";
  }
}

int Show(const QueueDirectories& dirs, const std::string& name, ProgramOutput& output) {
  std::vector<Located> found = Locate(dirs, name);
  if (found.empty()) {
    output.err += Printable(name) + ": no such mail\n";
    return kExitNoInput;
  }
  int code = kExitOk;
  for (const Located& l : found) {
    CMail mail;
    std::string raw;
    platform::FileResult err;
    const ReadResult read = ReadMailFile(l.path, kMaxSubmitBytes, mail, raw, err);
    if (read != ReadResult::kRead) {
      output.err +=
          Printable(name) + " (" + l.directory + "): " +
          (read == ReadResult::kLockTimeout ? "locked by another program" : "could not be read") +
          "\n";
      code = read == ReadResult::kLockTimeout ? kExitTempFail : kExitNoInput;
      continue;
    }
    output.out += "file:        " + Printable(l.path) + "\n";
    output.out += "directory:   " + l.directory + "\n";
    if (l.directory == "outgoing")
      output.out += std::string("in delivery: ") + (ClaimHeld(l.path) ? "yes" : "no") + "\n";
    output.out += "sender:      <" + Printable(mail.GetSender()) + ">\n";
    CStringListEx recipients = mail.m_recipients;
    for (auto pos = recipients.GetHeadPosition(); pos;)
      output.out += "recipient:   <" + Printable(recipients.GetNext(pos)) + ">\n";
    output.out += "\n";
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) end = raw.find("\n\n");
    std::string header = raw.substr(0, end == std::string::npos ? raw.size() : end);
    size_t start = 0;
    while (start < header.size()) {
      size_t nl = header.find('\n', start);
      if (nl == std::string::npos) nl = header.size();
      std::string line = header.substr(start, nl - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      output.out += Printable(line) + "\n";
      start = nl + 1;
    }
    std::string report;
    if (platform::ReadWholeFile(l.path + ".err", kMaxShownReport, report).ok()) {
      output.out += "\nfailure report:\n";
      size_t s = 0;
      while (s < report.size()) {
        size_t nl = report.find('\n', s);
        if (nl == std::string::npos) nl = report.size();
        std::string line = report.substr(s, nl - s);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        output.out += Printable(line) + "\n";
        s = nl + 1;
      }
    }
  }
  return code;
}

int Flush(const QueueDirectories& dirs, ProgramOutput& output) {
  const std::string request = MakePath(dirs.outgoing, kelpd::mail::kRetryRequestName);
  const platform::FileResult err =
      platform::WriteFileWhole(request, {"retry now\n"}, {.replace = true});
  if (!err.ok()) {
    output.err += std::string(kProgram) + ": could not write \"" + Printable(request) +
                  "\": " + platform::ErrnoText(err.error()) + "\n";
    return kExitCantCreat;
  }
  for (int waited = 0; waited < kFlushWaitMs; waited += kFlushPollMs) {
    if (!Exists(request)) {
      output.out += "the service started a new retry cycle\n";
      return kExitOk;
    }
    platform::SleepFor(kFlushPollMs);
  }
  output.err += std::string(kProgram) +
                ": the service did not take the request within 10 s (not running, paused, or "
                "without remote delivery); it stays and is taken at the service's next scan\n";
  return kExitUnavailable;
}

struct DirectoryFigures {
  const char* label;
  size_t mails = 0;
  uint64_t bytes = 0;
  int64_t oldest = 0;
};

struct ServiceFigures {
  bool running = false;
  int64_t started = 0;
  uint64_t delivered = 0;
  uint64_t failed = 0;
};

ServiceFigures ReadServiceFigures(const QueueDirectories& dirs) {
  ServiceFigures figures;
  CConfigMap map;
  if (!map.Load(MakePath(dirs.outgoing, kelpd::mail::kDeliveryFiguresName))) return figures;
  const int pid = map.GetInt("pid", 0);
  figures.running = pid > 0 && platform::ProcessExists(static_cast<uint32_t>(pid));
  figures.started = std::strtoll(map.GetString("started", "0").c_str(), nullptr, 10);
  figures.delivered = std::strtoull(map.GetString("delivered", "0").c_str(), nullptr, 10);
  figures.failed = std::strtoull(map.GetString("failed", "0").c_str(), nullptr, 10);
  return figures;
}

int Stats(const QueueDirectories& dirs, bool prometheus, int64_t now, ProgramOutput& output) {
  std::vector<QueuedMail> mails = ListQueuedMail(dirs, now);
  DirectoryFigures figures[] = {{"queue"}, {"outgoing"}, {"error"}, {"filter"}};
  size_t deferred = 0, held = 0;
  for (const QueuedMail& m : mails) {
    for (DirectoryFigures& f : figures) {
      if (m.directory != f.label) continue;
      ++f.mails;
      f.bytes += m.size;
      f.oldest = std::max(f.oldest, m.age_seconds);
    }
    deferred += m.state == "deferred";
    held += m.state == "held";
  }
  const ServiceFigures service = ReadServiceFigures(dirs);
  char line[256];
  if (!prometheus) {
    output.out += "DIRECTORY   MAILS        BYTES  OLDEST\n";
    for (const DirectoryFigures& f : figures) {
      std::snprintf(line, sizeof line, "%-9s %7zu %12" PRIu64 "  %s\n", f.label, f.mails, f.bytes,
                    f.mails == 0 ? "-" : FormatAge(f.oldest).c_str());
      output.out += line;
    }
    std::snprintf(line, sizeof line, "outgoing: %zu deferred, %zu in delivery\n", deferred, held);
    output.out += line;
    if (service.running) {
      std::snprintf(line, sizeof line,
                    "service: running for %s; since its start %" PRIu64 " delivered, %" PRIu64
                    " failed\n",
                    FormatAge(now - service.started).c_str(), service.delivered, service.failed);
      output.out += line;
    } else {
      output.out += "service: not running (or without remote delivery)\n";
    }
    return kExitOk;
  }
  auto metric = [&output](const char* name, const char* type, const char* help) {
    output.out +=
        std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  metric("kelpd_queue_mails", "gauge", "Mail files waiting, by directory.");
  for (const DirectoryFigures& f : figures) {
    std::snprintf(line, sizeof line, "kelpd_queue_mails{directory=\"%s\"} %zu\n", f.label, f.mails);
    output.out += line;
  }
  metric("kelpd_queue_bytes", "gauge", "Bytes of the mail files waiting, by directory.");
  for (const DirectoryFigures& f : figures) {
    std::snprintf(line, sizeof line, "kelpd_queue_bytes{directory=\"%s\"} %" PRIu64 "\n", f.label,
                  f.bytes);
    output.out += line;
  }
  metric("kelpd_queue_oldest_age_seconds", "gauge",
         "Age of the oldest mail file, by directory (0 when empty).");
  for (const DirectoryFigures& f : figures) {
    std::snprintf(line, sizeof line,
                  "kelpd_queue_oldest_age_seconds{directory=\"%s\"} %" PRId64 "\n", f.label,
                  f.oldest);
    output.out += line;
  }
  metric("kelpd_outgoing_deferred", "gauge", "Outgoing mails waiting for a retry cycle.");
  output.out += "kelpd_outgoing_deferred " + std::to_string(deferred) + "\n";
  metric("kelpd_up", "gauge", "1 when the service is running with remote delivery.");
  output.out += std::string("kelpd_up ") + (service.running ? "1" : "0") + "\n";
  if (service.running) {
    metric("kelpd_start_time_seconds", "gauge", "When the service started, seconds since 1970.");
    output.out += "kelpd_start_time_seconds " + std::to_string(service.started) + "\n";
    metric("kelpd_delivered_total", "counter",
           "Outgoing mails delivered since the service started.");
    output.out += "kelpd_delivered_total " + std::to_string(service.delivered) + "\n";
    metric("kelpd_failed_total", "counter",
           "Outgoing mails given up or moved to the error directory since the service started.");
    output.out += "kelpd_failed_total " + std::to_string(service.failed) + "\n";
  }
  return kExitOk;
}

}  // namespace

std::vector<QueuedMail> ListQueuedMail(const QueueDirectories& dirs, int64_t now) {
  std::vector<QueuedMail> mails;
  const std::pair<const char*, const std::string*> all[] = {{"queue", &dirs.queue},
                                                            {"outgoing", &dirs.outgoing},
                                                            {"error", &dirs.error},
                                                            {"filter", &dirs.filter}};
  for (const auto& [label, dir] : all) {
    std::vector<QueuedMail> here;
    CFileFinder finder(MakePath(*dir, "*.eml"));
    while (finder.FindNext()) {
      if (finder.IsDirectory()) continue;
      QueuedMail mail;
      mail.name = finder.GetFileName();
      mail.directory = label;
      mail.path = finder.GetFilePath();
      mail.size = finder.GetFileSize();
      platform::FileAge age;
      if (platform::GetFileAge(mail.path, age).ok())
        mail.age_seconds = std::max<int64_t>(0, now - age.created);
      ReadEnvelope(mail);
      mail.last_error = LastReportLine(mail.path + ".err");
      if (mail.directory == "outgoing") {
        mail.state = ClaimHeld(mail.path)                                     ? "held"
                     : !mail.last_error.empty() || Exists(mail.path + ".err") ? "deferred"
                                                                              : "new";
      }
      here.push_back(std::move(mail));
    }
    std::sort(here.begin(), here.end(),
              [](const QueuedMail& a, const QueuedMail& b) { return a.name < b.name; });
    for (QueuedMail& m : here) mails.push_back(std::move(m));
  }
  return mails;
}

std::string FormatAge(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return std::to_string(seconds) + "s";
  if (seconds < 2 * 3600) return std::to_string(seconds / 60) + "m";
  if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds / 86400) + "d";
}

std::string FormatMailTable(const std::vector<QueuedMail>& mails) {
  if (mails.empty()) return "no mail waiting\n";
  size_t width = 4;
  for (const QueuedMail& m : mails) width = std::max(width, std::min<size_t>(m.name.size(), 48));
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %-8s  %5s  %9s  %-8s  %s\n", static_cast<int>(width),
                "NAME", "DIR", "AGE", "SIZE", "STATE", "SENDER -> RECIPIENTS");
  out += line;
  for (const QueuedMail& m : mails) {
    std::string recipients;
    for (const std::string& r : m.recipients) recipients += (recipients.empty() ? "" : ", ") + r;
    std::snprintf(line, sizeof line, "%-*s  %-8s  %5s  %9" PRIu64 "  %-8s  ",
                  static_cast<int>(width), Printable(m.name).c_str(), m.directory.c_str(),
                  FormatAge(m.age_seconds).c_str(), m.size,
                  m.state.empty() ? "-" : m.state.c_str());
    out += line;
    out += "<" + Printable(m.sender) + "> -> " + Printable(recipients) + "\n";
    if (!m.last_error.empty()) out += "    last error: " + Printable(m.last_error) + "\n";
  }
  return out;
}

std::string FormatMailJson(const std::vector<QueuedMail>& mails) {
  std::string out;
  for (const QueuedMail& m : mails) {
    out += "{\"name\":" + JsonString(m.name) + ",\"directory\":" + JsonString(m.directory) +
           ",\"age_seconds\":" + std::to_string(m.age_seconds) +
           ",\"size\":" + std::to_string(m.size) + ",\"sender\":" + JsonString(m.sender) +
           ",\"recipients\":[";
    for (size_t i = 0; i < m.recipients.size(); ++i)
      out += (i == 0 ? "" : ",") + JsonString(m.recipients[i]);
    out += "],\"state\":" + JsonString(m.state) + ",\"last_error\":" + JsonString(m.last_error) +
           "}\n";
  }
  return out;
}

int RunQueueTool(const std::vector<std::string>& args, ProgramOutput& output) {
  std::string config_name = kConfigFileName;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-c" && i + 1 < args.size()) {
      config_name = args[++i];
    } else if (args[i] == "-h" || args[i] == "--help" || args[i] == "help") {
      output.out += kUsage;
      return kExitOk;
    } else {
      rest.push_back(args[i]);
    }
  }
  const std::string command = rest.empty() ? "list" : rest[0];
  std::vector<std::string> operands(rest.empty() ? rest.end() : rest.begin() + 1, rest.end());
  auto has_flag = [&operands](const char* flag) {
    return std::find(operands.begin(), operands.end(), flag) != operands.end();
  };
  auto usage_error = [&output](const std::string& why) {
    output.err += std::string(kProgram) + ": " + why + "\n" + kUsage;
    return kExitUsage;
  };

  CConfigMap config;
  const std::string config_path = ConfigFilePath(config_name);
  if (!config.Load(config_path)) {
    output.err += std::string(kProgram) + ": could not load the configuration \"" +
                  Printable(config_path) + "\"\n";
    return kExitConfig;
  }
  const QueueDirectories dirs = kelpd::config::LoadSettings(config).dirs;
  const int64_t now = kelpd::base::NowSeconds();

  if (command == "list") {
    for (const std::string& o : operands)
      if (o != "--json") return usage_error("unknown option \"" + Printable(o) + "\"");
    std::vector<QueuedMail> mails = ListQueuedMail(dirs, now);
    output.out += has_flag("--json") ? FormatMailJson(mails) : FormatMailTable(mails);
    return kExitOk;
  }
  if (command == "stats") {
    std::string file;
    for (size_t i = 0; i < operands.size(); ++i) {
      if (operands[i] == "-o" && i + 1 < operands.size())
        file = operands[++i];
      else if (operands[i] != "--prometheus")
        return usage_error("unknown option \"" + Printable(operands[i]) + "\"");
    }
    ProgramOutput figures;
    const int code = Stats(dirs, has_flag("--prometheus"), now, figures);
    if (file.empty()) {
      output.out += figures.out;
      return code;
    }
    // Whole, so that a collector reading the directory never sees a part.
    const platform::FileResult err =
        platform::WriteFileWhole(file, {figures.out}, {.replace = true});
    if (!err.ok()) {
      output.err += std::string(kProgram) + ": could not write \"" + Printable(file) +
                    "\": " + platform::ErrnoText(err.error()) + "\n";
      return kExitCantCreat;
    }
    return code;
  }
  if (command == "flush") {
    if (!operands.empty()) return usage_error("flush takes no operand");
    return Flush(dirs, output);
  }
  if (command == "show" || command == "requeue" || command == "delete") {
    if (operands.empty()) return usage_error(command + " needs a mail name");
    if (command == "show" && operands.size() != 1) return usage_error("show takes one mail name");
    Outcome outcome;
    for (const std::string& given : operands) {
      std::string name;
      if (!BareName(given, name)) {
        output.err += Printable(given) + ": not a mail file name\n";
        outcome.Worse(kExitUsage);
        continue;
      }
      if (command == "show") return Show(dirs, name, output);
      if (command == "requeue")
        Requeue(dirs, name, output, outcome);
      else
        Delete(dirs, name, output, outcome);
    }
    return outcome.code;
  }
  return usage_error("unknown command \"" + Printable(command) + "\"");
}

}  // namespace kelpd::companions
