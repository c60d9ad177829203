#include "companions/Autoresp.h"

#include "companions/AutoReply.h"
#include "companions/FailureNotice.h"
#include "companions/SysExits.h"
#include "mail/Address.h"

namespace kelpd::companions {

namespace {

constexpr char kProgram[] = "autoresp.exe";

bool NextValue(const std::vector<std::string>& args, size_t& i, std::string& value,
               std::string& error) {
  if (i + 1 >= args.size()) {
    error = std::string(kProgram) + ": option " + args[i] + " needs a value";
    return false;
  }
  value = args[++i];
  return true;
}

}  // namespace

const char* AutorespUsage() {
  return "usage: autoresp.exe MAIL -t REPORT [-b full|-b header] [-ib] [-s] [-k | -to ADDRESS] -o\n"
         "       autoresp.exe MAIL -t TEMPLATE -o OUTPUT [-k] [-s]\n"
         "\n"
         "Returning a given-up mail (run by the delivery threads; -o without a value):\n"
         "  Queues a failure notice in the queue directory (QueueDir of kelpd.cfg in\n"
         "  $MAILCONFIGDIR) for the envelope sender of MAIL. The notice has the null\n"
         "  sender, comes from the report's sender, and carries the text of the failure\n"
         "  report REPORT.\n"
         "  -b full     attach the returned mail whole (message/rfc822)\n"
         "  -b header   attach its header only (text/rfc822-headers)\n"
         "  -ib         no notice for mail with \"Precedence: bulk\", \"list\" or \"junk\"\n"
         "  -k          keep MAIL and REPORT (a second run follows); without it both are\n"
         "              removed once the notice is safely queued, or when none is due\n"
         "  -to ADDRESS send the notice to ADDRESS instead (the postmaster's copy)\n"
         "  Mail with the null sender never gets a notice.\n"
         "\n"
         "Auto-reply of a mailbox (run by the mailbox store; -o with a value):\n"
         "  Writes a reply to the sender of MAIL as a queued mail file at OUTPUT: null\n"
         "  envelope sender, \"Auto-Submitted: auto-replied\", In-Reply-To and References of\n"
         "  the original. A first template line \"Subject: ...\" gives the subject, the rest\n"
         "  of TEMPLATE is the text. No reply to the null sender, list or mail system\n"
         "  addresses, mail marked bulk, list or auto-submitted, or to a sender who got a\n"
         "  reply from this mailbox within the last 24 hours (kept in the file\n"
         "  \"autoresp.sent\" of the directory of MAIL). MAIL itself is never removed.\n"
         "\n"
         "  -s          silent: nothing on standard output (errors go to standard error)\n"
         "Exit codes: 0 done (also when no notice or reply was due), 64 bad command line,\n"
         "66 MAIL or TEMPLATE unreadable, 73 queue directory missing or OUTPUT exists,\n"
         "74 write error, 75 lock busy, 78 configuration unreadable.\n";
}

bool ParseAutorespArgs(const std::vector<std::string>& args, AutorespOptions& options,
                       std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help" || arg == "-?") {
      options.help = true;
    } else if (arg == "-t") {
      if (!NextValue(args, i, options.templ, error)) return false;
    } else if (arg == "-b") {
      std::string kind;
      if (!NextValue(args, i, kind, error)) return false;
      if (kind == "full") {
        options.attach = Attachment::kFull;
      } else if (kind == "header") {
        options.attach = Attachment::kHeader;
      } else {
        error = std::string(kProgram) + ": -b takes \"full\" or \"header\", not \"" + kind + "\"";
        return false;
      }
    } else if (arg == "-ib") {
      options.ignore_bulk = true;
    } else if (arg == "-s") {
      options.silent = true;
    } else if (arg == "-k") {
      options.keep = true;
    } else if (arg == "-to") {
      std::string value;
      if (!NextValue(args, i, value, error)) return false;
      options.to = NormalizeAddress(value);
      if (!IsValidAddress(options.to)) {
        error = std::string(kProgram) + ": bad address \"" + value + "\" after -to";
        return false;
      }
    } else if (arg == "-o") {
      options.output_given = true;
      // The value is the next word unless that is the next option: the
      // return-mail command line ends in a bare "-o".
      if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-')
        options.output = args[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      error = std::string(kProgram) + ": unknown option " + arg;
      return false;
    } else if (options.mail.empty()) {
      options.mail = arg;
    } else {
      error = std::string(kProgram) + ": more than one mail file (\"" + arg + "\")";
      return false;
    }
  }
  if (options.help) return true;
  if (options.mail.empty()) {
    error = std::string(kProgram) + ": no mail file given";
  } else if (options.templ.empty()) {
    error = std::string(kProgram) + ": -t is missing";
  } else if (!options.output_given) {
    error = std::string(kProgram) + ": -o is missing";
  } else if (!options.output.empty() &&
             (options.attach != Attachment::kNone || !options.to.empty())) {
    error = std::string(kProgram) + ": -b and -to apply only to returned mail (-o without a value)";
  }
  return error.empty();
}

int RunAutoresp(const std::vector<std::string>& args, ProgramOutput& output) {
  AutorespOptions options;
  std::string error;
  if (!ParseAutorespArgs(args, options, error)) {
    output.err += error + "\n" + AutorespUsage();
    return kExitUsage;
  }
  if (options.help) {
    output.out += AutorespUsage();
    return kExitOk;
  }
  return options.output.empty() ? ReturnMail(options, output) : AutoReply(options, output);
}

}  // namespace kelpd::companions
