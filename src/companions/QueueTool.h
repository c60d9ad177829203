// kelpd-queue: what waits in the service's directories, and the few things an
// administrator does with it.
//
//   kelpd-queue [-c <file>] [list] [--json]   every mail of the queue,
//                                              outgoing, error and filter
//                                              directories
//   kelpd-queue show <name>                    envelope, header and report
//   kelpd-queue flush                          a new retry cycle at once
//   kelpd-queue requeue <name>...              error/filter -> queue
//   kelpd-queue delete <name>...               removes a mail and its report
//   kelpd-queue stats [--prometheus] [-o file] counts, oldest age, figures
//
// Mail files are read without their lock (they appear whole); requeue and
// delete take the mail's named lock, leave alone a mail whose delivery claim
// a delivery thread holds, never replace a file, and say per name what they
// did. The configuration is found as kelpd-submit finds it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "companions/Submit.h"
#include "config/Settings.h"

namespace kelpd::companions {

// One mail file found in one of the directories.
struct QueuedMail {
  std::string name;
  std::string directory;  // "queue", "outgoing", "error", "filter"
  std::string path;
  int64_t age_seconds = 0;
  uint64_t size = 0;
  std::string sender;
  std::vector<std::string> recipients;
  // Outgoing mail: "new", "deferred" (a failure report lies beside it) or
  // "held" (a delivery thread works on it); other directories: empty.
  std::string state;
  std::string last_error;  // the last line of the failure report, if any
};

// The directories kelpd.cfg names; the tool looks in the queue, outgoing,
// error and filter directories.
using QueueDirectories = kelpd::config::Settings::Directories;

// Every "*.eml" file of the four directories, each directory's files in
// name order; now is the present time in seconds since 1970.
std::vector<QueuedMail> ListQueuedMail(const QueueDirectories& dirs, int64_t now);

// Text for a terminal, or one JSON object a line.
std::string FormatMailTable(const std::vector<QueuedMail>& mails);
std::string FormatMailJson(const std::vector<QueuedMail>& mails);

// "5s", "12m", "3h", "2d".
std::string FormatAge(int64_t seconds);

// The whole program after main.
int RunQueueTool(const std::vector<std::string>& args, ProgramOutput& output);

}  // namespace kelpd::companions
