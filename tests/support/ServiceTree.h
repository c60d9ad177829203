// A complete mail tree for system tests of the real kelpd binary: the
// configuration directory with its lists, the queue, spool, error, outgoing
// and filter directories and the lock directory, all in one temporary
// directory. kelpd runs as a child process, by default in service mode
// (stdin is no terminal), where SIGTERM stops it, SIGHUP restarts its
// configuration and SIGUSR1/SIGUSR2 pause and continue it; its syslog
// datagrams are sent to a loopback port of the tree and collected there. In
// debug mode (-debug) SIGINT stops it and the log is its standard error.
//
//   ServiceTree tree({.users = {"alice"}});
//   tree.QueueMail("1.eml", "X-Envelope-From: a@b.test\r\n...");
//   ASSERT_TRUE(tree.Start(&error)) << error;
//   ASSERT_TRUE(tree.WaitQueueEmpty(std::chrono::seconds(30)));
//   EXPECT_EQ(tree.MailboxFiles("alice").size(), 1u);
//
// Unit tests that only need the directories (no process) use the tree
// without starting it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/PeerProcess.h"
#include "support/TempDir.h"

namespace kelpd::testing {

struct ServiceTreeOptions {
  // The kelpd binary to run (integration tests pass KELPD_BINARY).
  std::string binary;
  std::vector<std::string> users = {"alice", "bob"};
  std::vector<std::string> domains = {"local.kelpd.test"};
  // The lists' file contents, written as they are.
  std::string aliases;
  std::string filters;
  std::string smarthosts;
  std::string backupdomains;
  // "Key: value" lines appended to kelpd.cfg after the directories.
  std::vector<std::string> settings;
  bool debug_mode = false;
  // Environment of kelpd beyond MAILCONFIGDIR, MAILLOCKDIR and PATH (the
  // tree's): "NAME=value" entries, which win over those, and names taken out
  // of the inherited environment (MAILCONFIGDIR or MAILLOCKDIR named here
  // are not set at all). NOTIFY_SOCKET is always taken out unless notify.
  std::vector<std::string> environment;
  std::vector<std::string> unset_environment;
  // Command line arguments after the program's name ("-debug" follows them
  // in debug mode).
  std::vector<std::string> arguments;
  // A pseudo-terminal as standard input instead of a pipe.
  bool terminal_input = false;
  // A status notification socket ("notify" in the tree) named to kelpd in
  // NOTIFY_SOCKET when it runs in service mode; its messages are collected.
  bool notify = false;
};

// Process figures read from /proc/<pid>/status and /proc/<pid>/fd.
struct ProcessFigures {
  long peak_rss_kb = -1;  // VmHWM
  long rss_kb = -1;       // VmRSS
  int threads = -1;
  int descriptors = -1;
  // For diagnostics: each thread's name, and each descriptor's target.
  std::string thread_names;
  std::string descriptor_targets;
};
ProcessFigures ReadProcessFigures(pid_t pid);

// The names in dir (dot files left out), sorted.
std::vector<std::string> ListNames(const std::string& dir);

class ServiceTree {
 public:
  explicit ServiceTree(ServiceTreeOptions options = {});
  ~ServiceTree();
  ServiceTree(const ServiceTree&) = delete;
  ServiceTree& operator=(const ServiceTree&) = delete;

  // The options; changes count from the next Start (or configuration write).
  ServiceTreeOptions& options() { return options_; }

  std::string root() const { return dir_.path(); }
  std::string config_dir() const { return dir_.Join("config"); }
  std::string queue_dir() const { return dir_.Join("queue"); }
  std::string spool_dir() const { return dir_.Join("spool"); }
  std::string error_dir() const { return dir_.Join("error"); }
  std::string outgoing_dir() const { return dir_.Join("outgoing"); }
  std::string filter_dir() const { return dir_.Join("filtered"); }
  std::string lock_dir() const { return dir_.Join("lock"); }

  // Rewrites kelpd.cfg (the directories, then settings). Directories may be
  // moved elsewhere (e.g. onto a small file system) before a start.
  void WriteConfiguration(const std::vector<std::string>& settings);
  void SetDirectory(const std::string& key, const std::string& path);
  void WriteList(const std::string& name, const std::string& contents) const;
  // Any file below the tree's root (parents are made); returns its path.
  std::string WriteFile(const std::string& name, const std::string& contents) const {
    return dir_.WriteFile(name, contents);
  }
  // A mailbox: its directory, "password" (which makes it a user) and, unless
  // settings is null, its "config". Returns the mailbox directory.
  std::string AddUser(const std::string& name, const char* settings = "NextUID:\t1\n") const;
  // A program of the test's own that kelpd finds first on PATH (a script,
  // e.g. a recording auto-responder). Returns its path.
  std::string InstallProgram(const std::string& name, const std::string& script);

  // Writes a queued mail file whole: under a name the agent ignores, then
  // renamed to name (which should end in ".eml"). Returns its path.
  std::string QueueMail(const std::string& name, const std::string& contents) const;
  // The same into any directory (e.g. the outgoing one); returns the path.
  std::string PlaceMail(const std::string& dir, const std::string& name,
                        const std::string& contents) const;

  // Starts kelpd with MAILCONFIGDIR and MAILLOCKDIR of this tree.
  // wrapper (e.g. strace and its options) is put in front of the command.
  [[nodiscard]] bool Start(std::string* error, const std::vector<std::string>& wrapper = {});
  // Waits for the line that ends a successful start-up.
  bool WaitOperational(std::chrono::milliseconds timeout);
  // kelpd's own process id (not the wrapper's); -1 when not running.
  pid_t KelpdPid();
  bool Running();
  // Sends sig to kelpd itself.
  void Signal(int sig);
  // SIGKILL to kelpd and everything it started; waits until they are gone.
  void Kill();
  // The stop control (SIGTERM, SIGINT in debug mode) and the exit code
  // (128 + signal when killed), -1 on time-out (kelpd is then killed).
  int Stop(std::chrono::milliseconds timeout);
  PeerProcess& process() { return process_; }
  // Everything kelpd logged over all its runs in this tree (syslog
  // datagrams, one a line, or standard error in debug mode).
  std::string Log();
  bool WaitForLog(const std::string& needle, std::chrono::milliseconds timeout);
  // How often needle occurs in Log().
  int CountInLog(const std::string& needle);
  // The syslog datagrams received so far (service mode), one an entry.
  std::vector<std::string> SyslogDatagrams();
  // The status notifications received so far, and the next one not yet
  // taken by NextNotify (empty when none comes within timeout).
  std::vector<std::string> NotifyMessages();
  std::string NextNotify(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Regular "*.eml" files of a directory (names only, sorted).
  static std::vector<std::string> EmlFiles(const std::string& dir);
  std::vector<std::string> MailboxFiles(const std::string& user) const;
  // All mailbox files of all users, as full paths.
  std::vector<std::string> AllMailboxFiles() const;
  // Polls until the queue directory holds no "*.eml" file.
  bool WaitQueueEmpty(std::chrono::milliseconds timeout) const;

 private:
  std::string ConfigText(const std::vector<std::string>& settings) const;
  void CollectSyslog();

  ServiceTreeOptions options_;
  TempDir dir_;
  std::map<std::string, std::string> dirs_;
  std::string bin_dir_;
  PeerProcess process_;
  std::string earlier_log_;
  // The syslog receiver of service mode.
  int syslog_fd_ = -1;
  int syslog_port_ = 0;
  std::atomic<bool> syslog_stop_{false};
  std::mutex syslog_mutex_;
  std::string syslog_;
  std::vector<std::string> syslog_datagrams_;
  int notify_fd_ = -1;
  std::vector<std::string> notify_;
  size_t notify_taken_ = 0;
  size_t operational_seen_ = 0;
  std::thread syslog_thread_;
};

}  // namespace kelpd::testing
