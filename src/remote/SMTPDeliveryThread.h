// CSMTPDeliveryThread: one of the remote delivery threads. It takes file
// names from the remote agent, delivers each file by SMTP (SendMail) and
// decides what becomes of it: delivered (the file is gone), deferred to the
// next retry cycle, given up (the auto-responder returns it with its failure
// report to the sender, or both are deleted when reports are disabled), or
// moved to the error directory. It logs the outcome and writes the traffic
// line of a delivered mail.
//
// Thread safety: the object belongs to its own thread once started; the
// application sets m_strHeloName, m_strInterface and m_nSessionTimeOut before
// Start. The agent is shared and does its own locking.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "config/Settings.h"
#include "smtp/SMTPClientThread.h"

class CRemoteAgent;

class CSMTPDeliveryThread : public CSMTPClientThread {
 public:
  // agent is not owned and may be null (the thread then ends at once).
  // Takes the directories and the session settings from settings now, the
  // time-out when it starts and the rest for each mail; takes the
  // application's smarthost, masquerading and backup-domain tables for
  // routing. settings must outlive the thread.
  CSMTPDeliveryThread(CRemoteAgent* agent, const kelpd::config::SettingsStore& settings);
  ~CSMTPDeliveryThread() override;

  // Delivers m_strMailFile (bare name m_strFileName). True when the file
  // needs nothing more from the loop (delivered, deferred, given up with a
  // report, or left for the next scan), false when the loop must move it to
  // the error directory.
  bool DeliverOne();
  // Has the auto-responder return the mail at path with its report
  // "<path>.err" to the sender, or deletes both when "Bounce.Disable" is on.
  // False when the mail file could not be deleted.
  bool GiveUp(const std::string& path);

  // Replaces the clock (seconds since 1970) that the age test reads (tests).
  void SetClockForTests(kelpd::base::Clock clock) { clock_ = std::move(clock); }

  CRemoteAgent* m_pAgent;
  std::string m_strFileName;
  std::string m_strErrorDir;
  std::string m_strOutgoingDir;

 protected:
  void Run() override;

 private:
  // Moves the current file to the error directory and releases its name; a
  // failed move is logged and keeps the name held.
  void MoveToErrorDir();

  const kelpd::config::SettingsStore& settings_;
  kelpd::base::Clock clock_;
};

namespace kelpd::remote {

// The locality letter of the traffic line: 'L' for an address whose domain
// (after the first '@') is a local domain, or for a non-empty address
// without '@'; 'R' otherwise.
char Locality(const std::string& address,
              const std::function<bool(const std::string&)>& is_local_domain);

// The auto-responder runs for a given-up mail, in the order to run, each as
// the words of its command line
//   autoresp.exe "<mail>" -t "<report>" [-b full|header] [-ib] -s [-k | -to <copy>] -o
// (the paths are one word each, whatever they hold).
std::vector<std::vector<std::string>> AutoResponderRuns(const std::string& mail_path,
                                                        const std::string& report_path,
                                                        const std::string& postmaster_copy,
                                                        bool attach, bool bulk);

}  // namespace kelpd::remote
