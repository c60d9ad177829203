#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/StopSignal.h"
#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs argv to its end with standard output on a pipe; returns the output.
std::string RunForOutput(std::vector<std::string> argv, ChildProcess* child,
                         const std::string& working_dir = "") {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  SpawnOptions options;
  options.argv = std::move(argv);
  options.working_dir = working_dir;
  options.stdout_fd = fds[1];
  int error = 0;
  EXPECT_TRUE(child->Start(options, &error)) << error;
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  EXPECT_EQ(child->Wait(10000), ChildProcess::WaitResult::kExited);
  return out;
}

// The state letter of /proc/<pid>/stat, or 0 when the process is gone.
char ProcessState(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  return stat[close + 2];
}

TEST(ChildProcess, ExitCodesAndSignals) {
  ChildProcess child;
  int error = 0;
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "exit 7"}, &error));
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.Wait(10000), ChildProcess::WaitResult::kExited);
  EXPECT_FALSE(child.running());
  EXPECT_EQ(child.exit_code(), 7);
  EXPECT_EQ(child.term_signal(), 0);

  ASSERT_TRUE(child.Start({"/bin/true"}, &error));
  EXPECT_EQ(child.Wait(-1), ChildProcess::WaitResult::kExited);
  EXPECT_EQ(child.exit_code(), 0);

  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "kill -TERM $$"}, &error));
  EXPECT_EQ(child.Wait(10000), ChildProcess::WaitResult::kExited);
  EXPECT_EQ(child.exit_code(), -1);
  EXPECT_EQ(child.term_signal(), SIGTERM);
  // Nothing left to wait for.
  EXPECT_EQ(child.Wait(0), ChildProcess::WaitResult::kError);
}

TEST(ChildProcess, ProgramThatCannotBeStarted) {
  testing::TempDir dir;
  ChildProcess child;
  int error = 0;
  EXPECT_FALSE(child.Start({dir.Join("missing")}, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(child.running());

  std::string script = dir.WriteFile("not-executable", "#!/bin/sh\nexit 0\n");
  EXPECT_FALSE(child.Start({script}, &error));
  EXPECT_EQ(error, EACCES);

  // A bad working directory fails the start as well.
  SpawnOptions options;
  options.argv = {"/bin/true"};
  options.working_dir = dir.Join("no-such-dir");
  EXPECT_FALSE(child.Start(options, &error));
  EXPECT_EQ(error, ENOENT);

  EXPECT_FALSE(child.Start(SpawnOptions{}, &error));
  EXPECT_EQ(error, EINVAL);
  // The program name is never looked up in PATH.
  EXPECT_FALSE(child.Start({"true"}, &error));
}

TEST(ChildProcess, KilledWithItsGroupAfterTheLimit) {
  testing::TempDir dir;
  std::string pid_file = dir.Join("grandchild");
  ChildProcess child;
  int error = 0;
  // The shell starts a grandchild in its group and waits for it.
  ASSERT_TRUE(child.Start(
      std::vector<std::string>{"/bin/sh", "-c", "sleep 30 & echo $! > " + pid_file + "; wait"},
      &error));
  auto start = Clock::now();
  EXPECT_EQ(child.Wait(300), ChildProcess::WaitResult::kTimeout);
  EXPECT_GE(MsSince(start), 250);
  EXPECT_TRUE(child.running());
  int grandchild = 0;
  for (int i = 0; i < 1000 && grandchild == 0; ++i) {
    std::ifstream in(pid_file);
    in >> grandchild;
    if (grandchild == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(grandchild, 0);
  const auto kill_start = Clock::now();  // the children would sleep for 30 s
  EXPECT_TRUE(child.Kill());
  EXPECT_FALSE(child.running());
  EXPECT_EQ(child.term_signal(), SIGKILL);
  EXPECT_LT(MsSince(kill_start), 5000);
  // The grandchild got the kill too (gone, or a zombie of its new parent).
  char state = 'R';
  for (int i = 0; i < 1000; ++i) {
    state = ProcessState(grandchild);
    if (state == 0 || state == 'Z') break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(state == 0 || state == 'Z') << state;
  EXPECT_FALSE(child.Kill());
}

TEST(ChildProcess, WaitWakesOnTheStopRequest) {
  StopSignal stop;
  SetCurrentStopSignal(&stop);
  ChildProcess child;
  int error = 0;
  ASSERT_TRUE(child.Start({"/bin/sleep", "30"}, &error));
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.Raise();
  });
  auto start = Clock::now();
  EXPECT_EQ(child.Wait(-1), ChildProcess::WaitResult::kStopped);
  EXPECT_LT(MsSince(start), 5000);
  raiser.join();
  SetCurrentStopSignal(nullptr);
  EXPECT_TRUE(child.running());
  EXPECT_TRUE(child.Kill());
}

TEST(ChildProcess, EachArgumentArrivesWhole) {
  ChildProcess child;
  std::string out = RunForOutput({"/bin/sh", "-c", "printf '[%s]\\n' \"$#\" \"$@\"", "sh",
                                  "two words", "\"quoted\"", "", "it's $HOME; `x`"},
                                 &child);
  EXPECT_EQ(out, "[4]\n[two words]\n[\"quoted\"]\n[]\n[it's $HOME; `x`]\n");
  EXPECT_EQ(child.exit_code(), 0);
}

TEST(ChildProcess, ChildEnvironmentIsClean) {
  testing::TempDir dir;
  // A descriptor of ours, close-on-exec, at a number the shell and ls do not use.
  int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 57);
  ASSERT_EQ(high, 57);
  // A signal blocked here must not stay blocked in the child.
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &set, &old);

  ChildProcess child;
  std::string out = RunForOutput(
      {"/bin/sh", "-c",
       "ls /proc/$$/fd | tr '\\n' ' '; echo; readlink /proc/$$/fd/0; pwd; "
       "while read -r l; do case $l in SigBlk*) echo \"$l\";; esac; done < /proc/$$/status; "
       "ps -o pgid= -p $$ 2>/dev/null || "
       "cut -d' ' -f5 /proc/$$/stat; echo $$"},
      &child, dir.path());
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(high);
  ::close(fd);

  std::istringstream lines(out);
  std::string fds, stdin_target, cwd, sigblk, pgid, pid;
  std::getline(lines, fds);
  std::getline(lines, stdin_target);
  std::getline(lines, cwd);
  std::getline(lines, sigblk);
  std::getline(lines, pgid);
  std::getline(lines, pid);
  EXPECT_EQ((" " + fds).find(" 57 "), std::string::npos) << fds;
  EXPECT_EQ(stdin_target, "/dev/null");
  char real[PATH_MAX];
  ASSERT_NE(::realpath(dir.path().c_str(), real), nullptr);
  EXPECT_EQ(cwd, real);
  EXPECT_EQ(sigblk, "SigBlk:\t0000000000000000");
  // Its own process group.
  EXPECT_EQ(std::stoi(pgid), std::stoi(pid));
}

TEST(ChildProcess, ChildNotWaitedForLeavesNoZombie) {
  int pid = 0;
  {
    ChildProcess child;
    int error = 0;
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", "sleep 0.2"}, &error));
    pid = child.pid();
  }  // destroyed while running: the reaper takes over
  ChildProcess detached;
  int error = 0;
  ASSERT_TRUE(detached.Start({"/bin/true"}, &error));
  int pid2 = detached.pid();
  detached.Detach();
  EXPECT_FALSE(detached.running());
  auto start = Clock::now();
  while ((ProcessState(pid) != 0 || ProcessState(pid2) != 0) && MsSince(start) < 5000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ProcessState(pid), 0);
  EXPECT_EQ(ProcessState(pid2), 0);
}

}  // namespace
}  // namespace kelpd::platform
