#include "support/PeerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace kelpd::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  platform::UniqueFd read;
  platform::UniqueFd write;
};

// A pseudo-terminal: the child's end as read, the test's end as write.
bool MakeTerminal(Pipe* p) {
  p->write.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!p->write || ::grantpt(p->write.get()) != 0 || ::unlockpt(p->write.get()) != 0) return false;
  const char* name = ::ptsname(p->write.get());
  if (name == nullptr) return false;
  p->read.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  return static_cast<bool>(p->read);
}

bool MakePipe(Pipe* p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  p->read.Reset(fds[0]);
  p->write.Reset(fds[1]);
  return true;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Spawns argv in a new process group with the given standard streams. The
// child gets the default disposition of every signal the test process may have
// changed (SIGPIPE above all) and an empty signal mask.
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err, std::string* error) {
  if (argv.empty()) {
    *error = "empty command";
    return -1;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, sig);
  }
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// write() to a child's standard input without the test process dying of
// SIGPIPE when the child has already ended: the signal is blocked in this
// thread for the call, and one it raised is taken off again.
ssize_t WriteToChild(int fd, const char* data, size_t size) {
  sigset_t pipe_only, old_mask;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
  ssize_t put = ::write(fd, data, size);
  int saved = errno;
  if (put < 0 && errno == EPIPE) {
    const timespec zero{0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &zero) == SIGPIPE) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  errno = saved;
  return put;
}

}  // namespace

ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input,
                   std::chrono::milliseconds timeout) {
  ToolResult result;
  Pipe in, out;
  if (!MakePipe(&in) || !MakePipe(&out)) {
    result.output = "pipe failed";
    return result;
  }
  std::string error;
  pid_t pid = Spawn(argv, in.read.get(), out.write.get(), out.write.get(), &error);
  in.read.Reset();
  out.write.Reset();
  if (pid < 0) {
    result.output = error;
    return result;
  }
  SetNonBlocking(in.write.get());
  size_t written = 0;
  if (input.empty()) in.write.Reset();

  const auto deadline = Clock::now() + timeout;
  // After the tool has ended, its output is read until end of file, but a
  // daemon it left behind may hold the pipe open: give that a short grace.
  auto drain_deadline = Clock::time_point::max();
  bool exited = false;
  int status = 0;
  while (true) {
    if (!exited) {
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        exited = true;
        drain_deadline = Clock::now() + std::chrono::milliseconds(500);
      }
    }
    auto now = Clock::now();
    if (!out.read && exited) break;
    if (now >= drain_deadline) break;
    if (now >= deadline) {
      result.timed_out = true;
      break;
    }
    pollfd fds[2];
    nfds_t n = 0;
    if (out.read) fds[n++] = {out.read.get(), POLLIN, 0};
    if (in.write) fds[n++] = {in.write.get(), POLLOUT, 0};
    ::poll(fds, n, 20);
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == out.read.get()) {
        char buf[4096];
        ssize_t got = ::read(out.read.get(), buf, sizeof buf);
        if (got > 0) {
          result.output.append(buf, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          out.read.Reset();
        }
      } else if (fds[i].fd == in.write.get()) {
        ssize_t put = WriteToChild(in.write.get(), input.data() + written, input.size() - written);
        if (put > 0) written += static_cast<size_t>(put);
        if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
          in.write.Reset();
        }
      }
    }
  }
  if (result.timed_out) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    result.output += "\n[killed after time-out]\n";
    return result;
  }
  result.exit_code = exited ? ExitCodeOf(status) : -1;
  return result;
}

PeerProcess::~PeerProcess() { Stop(); }

bool PeerProcess::Start(const std::vector<std::string>& argv, std::string* error,
                        bool terminal_input) {
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    out_.clear();
    err_.clear();
    reader_done_ = false;
    exit_code_ = -1;
  }
  Pipe in, out, err, wake;
  if (!(terminal_input ? MakeTerminal(&in) : MakePipe(&in)) || !MakePipe(&out) || !MakePipe(&err) ||
      !MakePipe(&wake)) {
    *error = "pipe failed";
    return false;
  }
  pid_ = Spawn(argv, in.read.get(), out.write.get(), err.write.get(), error);
  if (pid_ < 0) return false;
  group_ = pid_;
  stdin_ = std::move(in.write);
  stdout_ = std::move(out.read);
  stderr_ = std::move(err.read);
  wake_read_ = std::move(wake.read);
  wake_write_ = std::move(wake.write);
  reader_ = std::thread([this] { ReadLoop(); });
  return true;
}

void PeerProcess::ReadLoop() {
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[3] = {{out_open ? stdout_.get() : -1, POLLIN, 0},
                     {err_open ? stderr_.get() : -1, POLLIN, 0},
                     {wake_read_.get(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;  // Stop() asked the reader to end
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      if (got <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(got));
      }
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  reader_done_ = true;
  changed_.notify_all();
}

bool PeerProcess::Reap(bool block) {
  if (pid_ < 0) return true;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (r == pid_) {
    exit_code_ = ExitCodeOf(status);
    pid_ = -1;
    return true;
  }
  if (r < 0 && errno == ECHILD) {
    pid_ = -1;
    return true;
  }
  return false;
}

bool PeerProcess::Running() { return !Reap(false); }

bool PeerProcess::WriteInput(std::string_view data) {
  while (!data.empty() && stdin_) {
    ssize_t put = WriteToChild(stdin_.get(), data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(put));
  }
  return data.empty();
}

void PeerProcess::CloseInput() { stdin_.Reset(); }

std::string PeerProcess::Stdout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::string PeerProcess::StdoutTail(size_t max_bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_.size() <= max_bytes ? out_ : out_.substr(out_.size() - max_bytes);
}

std::string PeerProcess::Stderr() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

bool PeerProcess::WaitFor(const std::string& stream, std::string_view needle,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return stream.find(needle) != std::string::npos || reader_done_;
  }) && stream.find(needle) != std::string::npos;
}

bool PeerProcess::WaitForStdout(std::string_view needle, std::chrono::milliseconds timeout) const {
  return WaitFor(out_, needle, timeout);
}

bool PeerProcess::WaitForStderr(std::string_view needle, std::chrono::milliseconds timeout) const {
  return WaitFor(err_, needle, timeout);
}

int PeerProcess::WaitExit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!Reap(false)) {
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The reader may not yet have taken the child's last output from the
  // pipes; callers read Stdout and Stderr next. A grandchild that keeps the
  // pipes open does not hold this up for long.
  WaitOutputEnd(std::chrono::milliseconds(2000));
  return exit_code_;
}

bool PeerProcess::WaitOutputEnd(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return reader_done_; });
}

void PeerProcess::Stop(std::chrono::milliseconds grace) {
  stdin_.Reset();
  if (pid_ > 0) {
    ::kill(-group_, SIGTERM);
    if (WaitExit(grace) < 0 && pid_ > 0) {
      ::kill(-group_, SIGKILL);
      Reap(true);
    }
  }
  if (group_ > 0) {
    // Whatever the child started in its group goes with it.
    KillProcessGroup(group_, std::chrono::milliseconds(2000));
    group_ = -1;
  }
  if (reader_.joinable()) {
    {
      // The child is gone: let the reader take what is left in the pipes,
      // unless something the child left behind still holds them open.
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(200), [&] { return reader_done_; });
    }
    char c = 0;
    if (wake_write_) (void)!::write(wake_write_.get(), &c, 1);
    reader_.join();
  }
  stdout_.Reset();
  stderr_.Reset();
  wake_read_.Reset();
  wake_write_.Reset();
}

bool WaitProcessGone(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    // A zombie that nobody reaps counts as gone: it holds no port and runs no code.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!stat || !std::getline(stat, line)) return true;
    auto close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ProcessGroupAlive(pid_t pgid) {
  if (pgid <= 0) return false;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return ::kill(-pgid, 0) == 0;
  bool alive = false;
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // Fields after the command name: state, ppid, pgrp.
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    long ppid = 0, pgrp = 0;
    if (!(rest >> state >> ppid >> pgrp)) continue;
    if (pgrp == pgid && state != "Z") {
      alive = true;
      break;
    }
  }
  ::closedir(dir);
  return alive;
}

void KillProcessGroup(pid_t pgid, std::chrono::milliseconds timeout) {
  if (pgid <= 0) return;
  const auto deadline = Clock::now() + timeout;
  while (ProcessGroupAlive(pgid)) {
    ::kill(-pgid, SIGKILL);
    if (Clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kelpd::testing
