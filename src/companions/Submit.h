// kelpd-submit: puts one mail into the queue directory as the suite's SMTP
// receiver would, so that the delivery agent takes it over.
//
// The message comes from standard input. The queued file opens with the
// envelope lines ("X-Envelope-From", then "X-Envelope-To" with every
// recipient, separated by ", "), followed by the message with CR LF line ends
// and every lone "." line doubled, as the suite stores mail. A message without
// a header section gets an empty line after the envelope lines, so none of its
// text is taken for a header; a message without "From" (when the sender is
// not null), "Date" or "Message-ID" gets one. Bcc lines are never passed on.
// The file is written under its named lock, under a temporary name, synced,
// and linked to a new unique "*.eml" name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelpd::companions {

struct SubmitOptions {
  bool help = false;
  bool sender_given = false;
  std::string sender;                   // as given to -f
  bool from_headers = false;            // -t
  bool verbose = false;                 // -v: print the queued file's path
  std::string config_name;              // -c, default "kelpd.cfg" under $MAILCONFIGDIR
  std::string queue_dir;                // -q
  std::vector<std::string> recipients;  // remaining arguments, as given
};

// The largest message taken from standard input.
constexpr size_t kMaxSubmitBytes = size_t{256} << 20;

// Parses the arguments after the program name. False with a message in error
// when the command line is wrong.
bool ParseSubmitArgs(const std::vector<std::string>& args, SubmitOptions& options,
                     std::string& error);

const char* SubmitUsage();

// What a run writes: text for standard output and for standard error.
struct ProgramOutput {
  std::string out;
  std::string err;
};

// Queues message (the bytes read from standard input) as options say; returns
// the exit code (SysExits.h). queued_path receives the file's path.
int Submit(const SubmitOptions& options, std::string_view message, ProgramOutput& output,
           std::string* queued_path = nullptr);

// The whole program after main: parses args, reads standard input through
// read_input (called only when a mail is to be queued; returns false on a read
// error or when the input exceeds kMaxSubmitBytes) and submits.
int RunSubmit(const std::vector<std::string>& args, bool (*read_input)(std::string&, std::string&),
              ProgramOutput& output);

}  // namespace kelpd::companions
