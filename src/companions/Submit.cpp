#include "companions/Submit.h"

#include <cstdlib>
#include <set>

#include "base/Environment.h"
#include "base/Text.h"
#include "companions/HeaderText.h"
#include "companions/QueueFile.h"
#include "companions/SysExits.h"
#include "config/ConfigMap.h"
#include "mail/Address.h"
#include "platform/LocalTime.h"

namespace text = kelpd::text;

namespace kelpd::companions {

namespace {

constexpr char kProgram[] = "kelpd-submit";

// The value of an option given either joined ("-fADDR") or as the next
// argument ("-f ADDR").
bool OptionValue(const std::vector<std::string>& args, size_t& i, std::string& value,
                 std::string& error) {
  const std::string& arg = args[i];
  if (arg.size() > 2) {
    value = arg.substr(2);
    return true;
  }
  if (i + 1 >= args.size()) {
    error = std::string(kProgram) + ": option " + arg + " needs a value";
    return false;
  }
  value = args[++i];
  return true;
}

std::string Fail(ProgramOutput& output, const std::string& message) {
  output.err += std::string(kProgram) + ": " + message + "\n";
  return message;
}

// Adds the addresses of value to recipients, skipping ones already there
// (compared without regard to case). False with bad set to the first address
// that is no valid address.
bool AddRecipients(std::string_view value, std::vector<std::string>& recipients,
                   std::set<std::string>& seen, std::string& bad) {
  for (std::string& address : SplitAddressList(value)) {
    if (!IsValidAddress(address)) {
      bad = address;
      return false;
    }
    if (seen.insert(text::ToLowerCopy(address)).second) recipients.push_back(std::move(address));
  }
  return true;
}

std::string DefaultSender(const CConfigMap& config) {
  std::string user;
  if (!kelpd::base::EnvValue("LOGNAME", user) && !kelpd::base::EnvValue("USER", user))
    return std::string();
  return user + "@" + LocalHostName(config);
}

}  // namespace

const char* SubmitUsage() {
  return "usage: kelpd-submit [-f SENDER] [-t] [-v] [-c CONFIG] [-q QUEUEDIR] [--] [RECIPIENT...]\n"
         "Reads one message from standard input and puts it into the queue directory of the\n"
         "mail delivery agent, as the suite's SMTP receiver does.\n"
         "  -f SENDER   envelope sender; -f '' or -f '<>' is the null sender\n"
         "              (default: $LOGNAME@FQDN of kelpd.cfg or the host name)\n"
         "  -t          take the recipients from the To, Cc and Bcc headers as well\n"
         "  -v          print the path of the queued file\n"
         "  -c CONFIG   configuration file (default kelpd.cfg in $MAILCONFIGDIR, else\n"
         "              /etc/zelvane); its QueueDir names the queue directory\n"
         "  -q DIR      queue directory (no configuration file is read)\n"
         "  -i          accepted and ignored: a line of a single '.' never ends the input\n"
         "Recipients may also be given as comma-separated lists. Bcc header lines are\n"
         "never passed on. Exit codes: 0 queued, 64 bad command line or no recipients,\n"
         "65 bad address in the message, 73 queue directory missing, 74 read or write\n"
         "error, 75 file lock busy (try again), 78 configuration file unreadable.\n";
}

bool ParseSubmitArgs(const std::vector<std::string>& args, SubmitOptions& options,
                     std::string& error) {
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    if (arg == "-h" || arg == "--help" || arg == "-?") {
      options.help = true;
    } else if (arg == "-t") {
      options.from_headers = true;
    } else if (arg == "-v") {
      options.verbose = true;
    } else if (arg == "-i" || arg == "-oi") {
      // A lone "." never ends the input here; accepted for callers used to it.
    } else if (arg.compare(0, 2, "-f") == 0) {
      if (!OptionValue(args, i, options.sender, error)) return false;
      options.sender_given = true;
    } else if (arg.compare(0, 2, "-c") == 0) {
      if (!OptionValue(args, i, options.config_name, error)) return false;
    } else if (arg.compare(0, 2, "-q") == 0) {
      if (!OptionValue(args, i, options.queue_dir, error)) return false;
    } else {
      error = std::string(kProgram) + ": unknown option " + arg;
      return false;
    }
  }
  for (; i < args.size(); ++i) options.recipients.push_back(args[i]);
  return true;
}

int Submit(const SubmitOptions& options, std::string_view message, ProgramOutput& output,
           std::string* queued_path) {
  // The configuration is read unless -q names the queue directory; it also
  // gives the host name for a default sender and a Message-ID.
  CConfigMap config;
  std::string queue_dir = options.queue_dir;
  if (queue_dir.empty()) {
    const std::string config_path =
        ConfigFilePath(options.config_name.empty() ? kConfigFileName : options.config_name);
    if (!config.Load(config_path)) {
      Fail(output, "could not load configuration \"" + config_path + "\"");
      return kExitConfig;
    }
    queue_dir = QueueDirOf(config);
  }

  std::string sender;
  if (options.sender_given) {
    sender = NormalizeAddress(options.sender);
    if (!sender.empty() && !IsValidAddress(sender)) {
      Fail(output, "bad sender address \"" + options.sender + "\"");
      return kExitUsage;
    }
  } else {
    sender = DefaultSender(config);
    if (sender.empty()) {
      Fail(output, "no sender known: give one with -f");
      return kExitUsage;
    }
  }

  std::vector<std::string> recipients;
  std::set<std::string> seen;
  std::string bad;
  for (const std::string& arg : options.recipients) {
    // An argument that names nobody ("<>", a lone quote) is as wrong as a bad
    // address: whoever typed it meant someone.
    if (SplitAddressList(arg).empty() && !text::Trim(arg).empty()) bad = arg;
    if (!bad.empty() || !AddRecipients(arg, recipients, seen, bad)) {
      Fail(output, "bad recipient address \"" + bad + "\"");
      return kExitUsage;
    }
  }

  const std::string queued = ToQueuedForm(message);
  size_t body_start = 0;
  const std::vector<RawHeader> headers = ScanHeaderSection(queued, &body_start);
  bool has_date = false, has_message_id = false, has_from = false;
  for (const RawHeader& h : headers) {
    has_date |= text::EqualsNoCase(h.name, "Date");
    has_message_id |= text::EqualsNoCase(h.name, "Message-ID");
    has_from |= text::EqualsNoCase(h.name, "From");
    if (options.from_headers &&
        (text::EqualsNoCase(h.name, "To") || text::EqualsNoCase(h.name, "Cc") ||
         text::EqualsNoCase(h.name, "Bcc"))) {
      if (!AddRecipients(h.value, recipients, seen, bad)) {
        Fail(output, "bad recipient address \"" + bad + "\" in the " + h.name + " header");
        return kExitDataErr;
      }
    }
  }
  if (recipients.empty()) {
    Fail(output, "no recipients");
    return kExitUsage;
  }

  if (!IsDirectory(queue_dir)) {
    Fail(output, "queue directory \"" + queue_dir + "\" is missing or no directory");
    return kExitCantCreat;
  }

  // The file: envelope, the sender's header lines without Bcc (blind copies
  // stay blind whichever way the recipients were given), the fields a mail
  // must carry when the sender left them out, an empty line, the body.
  std::string file = EnvelopeLines(sender, recipients);
  for (const RawHeader& h : headers) {
    if (text::EqualsNoCase(h.name, "Bcc")) continue;
    file.append(queued, h.begin, h.end - h.begin);
  }
  if (!has_from && !sender.empty()) file += "From: <" + sender + ">\r\n";
  if (!has_date) file += "Date: " + platform::FormatMailDate(platform::LocalTimeNow()) + "\r\n";
  if (!has_message_id) file += "Message-ID: <" + NewMessageId(LocalHostName(config)) + ">\r\n";
  std::string_view rest = std::string_view(queued).substr(body_start);
  if (rest.substr(0, 2) != "\r\n") file += "\r\n";
  file.append(rest);

  std::string path;
  platform::FileResult err;
  switch (QueueText(queue_dir, file, path, err)) {
    case QueueWriteResult::kWritten:
      break;
    case QueueWriteResult::kLockTimeout:
      Fail(output, "the lock of \"" + path + "\" stayed busy; try again later");
      return kExitTempFail;
    default:
      Fail(output, "could not write \"" + path + "\": " + platform::ErrnoText(err.error()));
      return kExitIoErr;
  }
  if (options.verbose) output.out += path + "\n";
  if (queued_path != nullptr) *queued_path = path;
  return kExitOk;
}

int RunSubmit(const std::vector<std::string>& args, bool (*read_input)(std::string&, std::string&),
              ProgramOutput& output) {
  SubmitOptions options;
  std::string error;
  if (!ParseSubmitArgs(args, options, error)) {
    output.err += error + "\n" + SubmitUsage();
    return kExitUsage;
  }
  if (options.help) {
    output.out += SubmitUsage();
    return kExitOk;
  }
  std::string message;
  if (!read_input(message, error)) {
    Fail(output, error);
    return kExitIoErr;
  }
  return Submit(options, message, output);
}

}  // namespace kelpd::companions
