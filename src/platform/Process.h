// Child processes: started from an argument vector (never through a shell),
// waited for with a limit that also wakes on the calling worker's stop
// request, killed with everything they started.
//
// The child runs in its own process group, with standard input from
// /dev/null, an empty signal mask and every signal at its default action.
// Standard output and error are inherited unless the caller names other
// descriptors. Descriptors of the service are all close-on-exec, so nothing
// else reaches the child.
//
// A child that is not waited for to its end (the object is destroyed or
// Detach is called first) is handed to a reaper thread that collects its exit
// status when it ends, so no zombie remains. Only children started here are
// ever reaped; SIGCHLD keeps its default disposition.
#pragma once

#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

// path joined to the process's working directory when it is relative, so
// that it names the same file after a child changes its directory; unchanged
// when it is absolute or the working directory can't be read.
std::string AbsolutePath(const std::string& path);

struct SpawnOptions {
  // argv[0] is the program: a path, used as it is (no search of PATH). A
  // relative one is taken relative to the caller's working directory, not
  // the child's.
  std::vector<std::string> argv;
  // The child's working directory; empty keeps the caller's.
  std::string working_dir;
  // Descriptors that become the child's standard output and error; -1 keeps
  // the caller's.
  int stdout_fd = -1;
  int stderr_fd = -1;
};

class ChildProcess {
 public:
  enum class WaitResult { kExited, kTimeout, kStopped, kError };

  ChildProcess() = default;
  ~ChildProcess();  // Detach()
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program. False with *error set to the errno value when it could
  // not be started (also when the program does not exist or is not executable).
  bool Start(const SpawnOptions& options, int* error);
  // The same with only an argument vector (other options at their defaults).
  bool Start(std::vector<std::string> argv, int* error);

  bool running() const { return pid_ > 0; }
  int pid() const { return pid_; }

  // Waits until the child ends (kExited: exit_code() is set and the child is
  // reaped), timeout_ms passes (-1: no limit), or the calling thread's stop
  // signal is raised. The child keeps running after kTimeout and kStopped.
  WaitResult Wait(int timeout_ms);

  // Sends SIGKILL to the child's process group and reaps the child.
  // False when it was not running.
  bool Kill();

  // Stops tracking the child; the reaper collects it when it ends.
  void Detach();

  // After kExited: the exit status of a normal end, or -1 when the child was
  // ended by a signal (term_signal() then names it).
  int exit_code() const { return exit_code_; }
  int term_signal() const { return term_signal_; }

 private:
  bool Reap(bool block);

  int pid_ = -1;
  UniqueFd pidfd_;
  int exit_code_ = -1;
  int term_signal_ = 0;
};

}  // namespace kelpd::platform
