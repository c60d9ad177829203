// Child processes of the test peers: one-shot tools (openssl, saslpasswd2, the
// MTA's control command, a scripted SMTP client) and long-running servers whose
// output the test reads while they run.
//
// Every child runs in a process group of its own, so that stopping it also ends
// whatever it started. Descriptors are close-on-exec; the child gets only its
// three standard streams.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

namespace kelpd::testing {

struct ToolResult {
  // Exit code, 128 + signal number when killed by a signal, -1 when it could
  // not be started or did not end in time.
  int exit_code = -1;
  bool timed_out = false;
  // Standard output and standard error, interleaved as they arrived.
  std::string output;
};

// Runs argv (argv[0] is looked up in PATH when it has no '/'), writes input to
// its standard input, then closes it. A tool that is still running at the
// time-out is killed with its process group. Never goes through a shell.
ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input = {},
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A long-running child with its standard input open for writing and its
// standard output and standard error collected by a reader thread.
class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts argv; false (with the reason in *error) when it cannot be started.
  // A stopped object may be started again (its collected output is dropped).
  // With terminal_input, standard input is a pseudo-terminal.
  [[nodiscard]] bool Start(const std::vector<std::string>& argv, std::string* error,
                           bool terminal_input = false);

  pid_t pid() const { return pid_; }
  // Whether the child has not yet ended (reaps it when it has).
  bool Running();
  // Writes all of data to the child's standard input.
  bool WriteInput(std::string_view data);
  void CloseInput();

  std::string Stdout() const;
  std::string Stderr() const;
  // The last max_bytes of the standard output (cheap for long-running counters).
  std::string StdoutTail(size_t max_bytes) const;
  // Waits until the collected standard output (or error) contains needle.
  bool WaitForStdout(std::string_view needle, std::chrono::milliseconds timeout) const;
  bool WaitForStderr(std::string_view needle, std::chrono::milliseconds timeout) const;
  // Waits for the child to end, and briefly for the reader to collect its
  // last output; its exit code (128 + signal when killed), or -1 when it is
  // still running at the time-out.
  int WaitExit(std::chrono::milliseconds timeout);
  // Waits until both output streams are closed (the child and whatever
  // inherited them have ended) and everything is collected.
  bool WaitOutputEnd(std::chrono::milliseconds timeout) const;

  // Ends the child and its process group: SIGTERM, up to grace to end, then
  // SIGKILL. Reaps it and stops the reader thread. Safe to call twice.
  void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

 private:
  void ReadLoop();
  bool WaitFor(const std::string& stream, std::string_view needle,
               std::chrono::milliseconds timeout) const;
  bool Reap(bool block);

  pid_t pid_ = -1;
  pid_t group_ = -1;
  int exit_code_ = -1;
  platform::UniqueFd stdin_;
  platform::UniqueFd stdout_;
  platform::UniqueFd stderr_;
  platform::UniqueFd wake_read_;
  platform::UniqueFd wake_write_;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string out_;
  std::string err_;
  bool reader_done_ = false;
};

// Waits up to timeout for the process (not necessarily a child) to be gone.
bool WaitProcessGone(pid_t pid, std::chrono::milliseconds timeout);
// Whether any process still belongs to the process group pgid.
bool ProcessGroupAlive(pid_t pgid);
// Sends SIGKILL to the process group and waits up to timeout until it is empty.
void KillProcessGroup(pid_t pgid, std::chrono::milliseconds timeout);

}  // namespace kelpd::testing
