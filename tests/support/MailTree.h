// A complete mail tree in a temporary directory for delivery tests: the
// configuration directory (MAILCONFIGDIR), the lock directory (MAILLOCKDIR)
// and the queue, spool, error, outgoing and filter directories.
#pragma once

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kelpd::testing {

class MailTree {
 public:
  MailTree();

  const std::string& root() const { return tmp_.path(); }
  std::string config, lock, queue, spool, error, outgoing, filtered;

  // The "kelpd.cfg" lines naming the five directories.
  std::string DirectoryLines() const;
  // Writes a file of the configuration directory.
  void WriteConfigFile(const std::string& name, const std::string& contents) const;
  // Makes the mailbox directory dir_name with its "password" file and, unless
  // settings is null, its "config" file.
  std::string AddUser(const std::string& dir_name, const char* settings = "NextUID:\t1\n") const;
  // Writes a queued mail file as the suite's receiver does: under a name no
  // scan matches, then renamed into place. Returns its path.
  std::string Queue(const std::string& name, const std::string& contents) const;

 private:
  TempDir tmp_;
};

// The names in dir (dot files left out), sorted.
std::vector<std::string> ListNames(const std::string& dir);

// A queued mail file: the two envelope lines, a small header and body.
std::string QueuedMail(const std::string& from, const std::string& to, const std::string& subject,
                       const std::string& message_id, const std::string& body = "Hello there.\r\n");

// text with the date at the end of every "Received: by" header (the text
// behind its "; ") replaced by "DATE".
std::string MaskReceivedDates(const std::string& text);

}  // namespace kelpd::testing
