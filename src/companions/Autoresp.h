// autoresp.exe: the auto-responder the service runs, in its two roles.
//
// Returning a given-up mail (the remote delivery threads):
//   autoresp.exe MAIL -t REPORT [-b full|-b header] [-ib] -s [-k | -to ADDRESS] -o
// queues a failure notice for the mail's envelope sender (or ADDRESS) in the
// queue directory. Auto-reply for a mailbox (the mailbox store):
//   autoresp.exe MAIL -t TEMPLATE -o OUTPUT -k -s
// writes a reply to the mail's sender as a queued mail file at OUTPUT. The two
// are told apart by whether -o has an argument.
#pragma once

#include <string>
#include <vector>

#include "companions/Submit.h"  // ProgramOutput

namespace kelpd::companions {

enum class Attachment { kNone, kFull, kHeader };

struct AutorespOptions {
  bool help = false;
  std::string mail;                       // the mail file
  std::string templ;                      // -t: the failure report, or the reply template
  Attachment attach = Attachment::kNone;  // -b full | -b header
  bool ignore_bulk = false;               // -ib: no notice for mail marked bulk
  bool silent = false;                    // -s: nothing on standard output
  bool keep = false;                      // -k: leave the mail (and report) in place
  std::string to;                         // -to: the notice goes to this address
  bool output_given = false;              // -o
  std::string output;                     // the argument of -o: auto-reply mode
};

// Parses the arguments after the program name; false with a message in error.
// "-o" takes the next argument as its value unless that begins with "-".
bool ParseAutorespArgs(const std::vector<std::string>& args, AutorespOptions& options,
                       std::string& error);

const char* AutorespUsage();

// The whole program after main; returns the exit code (SysExits.h).
int RunAutoresp(const std::vector<std::string>& args, ProgramOutput& output);

}  // namespace kelpd::companions
