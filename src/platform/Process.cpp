#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/StopSignal.h"

extern char** environ;

namespace kelpd::platform {

namespace {

int PidfdOpen(int pid) {
  // pidfds are always close-on-exec.
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Collects the exit status of children nobody waits for any more. One thread
// for the process, started with the first detached child; it wakes when one of
// the children's pidfds turns readable, and at least once a second for
// children without one.
class Reaper {
 public:
  static Reaper& Instance() {
    // Never destroyed: the thread runs until the process ends.
    static Reaper* reaper = new Reaper;
    return *reaper;
  }

  void Add(int pid, UniqueFd pidfd) {
    std::lock_guard<std::mutex> lock(mutex_);
    children_.push_back(Child{pid, std::move(pidfd)});
    if (!started_) {
      started_ = true;
      std::thread(&Reaper::Loop, this).detach();
    } else {
      uint64_t one = 1;
      (void)!::write(wake_.get(), &one, sizeof one);
    }
  }

 private:
  struct Child {
    int pid;
    UniqueFd pidfd;
  };

  Reaper() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  void Loop() {
    std::vector<struct pollfd> fds;
    for (;;) {
      fds.clear();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        fds.push_back({wake_.get(), POLLIN, 0});
        for (const Child& c : children_) fds.push_back({c.pidfd.get(), POLLIN, 0});
      }
      int r = ::poll(fds.data(), fds.size(), 1000);
      if (r > 0 && (fds[0].revents & POLLIN)) {
        uint64_t value;
        (void)!::read(wake_.get(), &value, sizeof value);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < children_.size();) {
        int status;
        pid_t done = ::waitpid(children_[i].pid, &status, WNOHANG);
        if (done == children_[i].pid || (done < 0 && errno == ECHILD)) {
          children_[i] = std::move(children_.back());
          children_.pop_back();
        } else {
          ++i;
        }
      }
    }
  }

  std::mutex mutex_;
  std::vector<Child> children_;  // guarded by mutex_
  bool started_ = false;         // guarded by mutex_
  UniqueFd wake_;
};

// posix_spawn's attribute and file-action objects, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  bool attr_ok = false;
  bool actions_ok = false;
  ~SpawnSetup() {
    if (actions_ok) posix_spawn_file_actions_destroy(&actions);
    if (attr_ok) posix_spawnattr_destroy(&attr);
  }
};

}  // namespace

ChildProcess::~ChildProcess() { Detach(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      exit_code_(other.exit_code_),
      term_signal_(other.term_signal_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Detach();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
    exit_code_ = other.exit_code_;
    term_signal_ = other.term_signal_;
  }
  return *this;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return path;
  std::string joined(cwd);
  ::free(cwd);
  if (joined.empty() || joined.back() != '/') joined += '/';
  return joined + path;
}

bool ChildProcess::Start(const SpawnOptions& options, int* error) {
  int unused;
  if (error == nullptr) error = &unused;
  *error = 0;
  if (running()) {
    *error = EBUSY;
    return false;
  }
  if (options.argv.empty() || options.argv[0].empty()) {
    *error = EINVAL;
    return false;
  }
  std::vector<char*> argv;
  argv.reserve(options.argv.size() + 1);
  for (const std::string& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  SpawnSetup setup;
  int rc = posix_spawnattr_init(&setup.attr);
  if (rc != 0) {
    *error = rc;
    return false;
  }
  setup.attr_ok = true;
  rc = posix_spawn_file_actions_init(&setup.actions);
  if (rc != 0) {
    *error = rc;
    return false;
  }
  setup.actions_ok = true;

  // The child starts with no signal blocked (the service blocks its control
  // signals in every thread) and every signal at its default action, in a
  // group of its own so that a kill reaches what it starts in turn.
  sigset_t empty, all;
  sigemptyset(&empty);
  sigfillset(&all);
  rc = posix_spawnattr_setsigmask(&setup.attr, &empty);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attr, &all);
  if (rc == 0) rc = posix_spawnattr_setpgroup(&setup.attr, 0);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(
        &setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  if (rc == 0) {
    rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (rc == 0 && options.stdout_fd >= 0) {
    rc = posix_spawn_file_actions_adddup2(&setup.actions, options.stdout_fd, 1);
  }
  if (rc == 0 && options.stderr_fd >= 0) {
    rc = posix_spawn_file_actions_adddup2(&setup.actions, options.stderr_fd, 2);
  }
  if (rc == 0 && !options.working_dir.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&setup.actions, options.working_dir.c_str());
  }
  if (rc != 0) {
    *error = rc;
    return false;
  }

  pid_t pid = -1;
  // glibc reports a failed exec (missing program, no permission, bad working
  // directory) as the result of posix_spawn itself.
  // The exec happens after the change of directory: a relative program path
  // is resolved here first.
  const std::string program =
      options.working_dir.empty() ? options.argv[0] : AbsolutePath(options.argv[0]);
  rc = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
  if (rc != 0) {
    *error = rc;
    return false;
  }
  pid_ = pid;
  exit_code_ = -1;
  term_signal_ = 0;
  // The child cannot be reaped by anyone else before this: only children
  // started here are ever waited for, and this one is still tracked.
  pidfd_.Reset(PidfdOpen(pid));
  return true;
}

bool ChildProcess::Start(std::vector<std::string> argv, int* error) {
  SpawnOptions options;
  options.argv = std::move(argv);
  return Start(options, error);
}

bool ChildProcess::Reap(bool block) {
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == 0) return false;
  if (done < 0) {  // reaped elsewhere: the status is lost
    exit_code_ = -1;
    term_signal_ = 0;
  } else if (WIFEXITED(status)) {
    exit_code_ = WEXITSTATUS(status);
    term_signal_ = 0;
  } else {
    exit_code_ = -1;
    term_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  pid_ = -1;
  pidfd_.Reset();
  return true;
}

ChildProcess::WaitResult ChildProcess::Wait(int timeout_ms) {
  if (!running()) return WaitResult::kError;
  if (Reap(false)) return WaitResult::kExited;
  if (pidfd_.valid()) {
    switch (WaitFd(pidfd_.get(), POLLIN, timeout_ms)) {
      case platform::WaitResult::kReady:
        return Reap(true) ? WaitResult::kExited : WaitResult::kError;
      case platform::WaitResult::kTimeout:
        return WaitResult::kTimeout;
      case platform::WaitResult::kStopped:
        return WaitResult::kStopped;
      case platform::WaitResult::kError:
        return WaitResult::kError;
    }
    return WaitResult::kError;
  }
  // Without a pidfd: look every 20 ms.
  constexpr int kStep = 20;
  int waited = 0;
  for (;;) {
    if (Reap(false)) return WaitResult::kExited;
    if (timeout_ms >= 0 && waited >= timeout_ms) return WaitResult::kTimeout;
    int step = timeout_ms < 0 ? kStep : std::min(kStep, timeout_ms - waited);
    if (SleepFor(step) == platform::WaitResult::kStopped) return WaitResult::kStopped;
    waited += step;
  }
}

bool ChildProcess::Kill() {
  if (!running()) return false;
  // The child is not reaped yet, so its pid (and group id) cannot have been
  // given to another process.
  if (::kill(-pid_, SIGKILL) != 0) ::kill(pid_, SIGKILL);
  Reap(true);
  return true;
}

void ChildProcess::Detach() {
  if (!running()) return;
  if (!Reap(false)) Reaper::Instance().Add(pid_, std::move(pidfd_));
  pid_ = -1;
  pidfd_.Reset();
}

}  // namespace kelpd::platform
