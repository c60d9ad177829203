// The service in unkind surroundings: a log pipe whose reader goes away, and
// a descriptor limit too small for the delivery threads asked for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/ServiceTree.h"

namespace {

using namespace std::chrono_literals;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;

ServiceTreeOptions DebugTree() {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice"};
  options.debug_mode = true;
  return options;
}

// Waits (bounded) for the child to end; SIGKILL when it does not.
int WaitChild(pid_t pid, std::chrono::seconds limit) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  return status;
}

// As in "kelpd -debug 2>&1 | head -3": the log's reader leaves after the
// start, and the service goes on delivering and stops with its full stop
// sequence (exit code 0) rather than being ended by the broken pipe.
TEST(ServiceSurroundings, ALogPipeWhoseReaderLeftDoesNotEndTheService) {
  ServiceTree tree(DebugTree());
  // Everything the child needs is made before the fork.
  std::string config = "MAILCONFIGDIR=" + tree.config_dir();
  std::string locks = "MAILLOCKDIR=" + tree.lock_dir();
  std::string path = "PATH=/usr/bin:/bin";
  char* envp[] = {config.data(), locks.data(), path.data(), nullptr};
  char* argv[] = {const_cast<char*>(KELPD_BINARY), const_cast<char*>("-debug"), nullptr};
  int log_pipe[2];
  ASSERT_EQ(::pipe2(log_pipe, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(log_pipe[1], 1);
    ::dup2(log_pipe[1], 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(argv[0], argv, envp);
    ::_exit(121);
  }
  ::close(log_pipe[1]);
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (seen.find("fully operational") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    struct pollfd p {
      log_pipe[0], POLLIN, 0
    };
    if (::poll(&p, 1, 1000) != 1) continue;
    char buf[4096];
    const ssize_t n = ::read(log_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  ::close(log_pipe[0]);
  ASSERT_NE(seen.find("fully operational"), std::string::npos) << seen;

  tree.QueueMail("1.eml",
                 "X-Envelope-From: a@remote.kelpd.test\r\nX-Envelope-To: alice@local.kelpd.test\r\n"
                 "\r\nbody\r\n");
  EXPECT_TRUE(tree.WaitQueueEmpty(30s));
  EXPECT_EQ(tree.MailboxFiles("alice").size(), 1u);
  ::kill(pid, SIGINT);
  const int status = WaitChild(pid, 30s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// Thousands of delivery threads asked for under a limit of 256 descriptors:
// the count is cut to what the limit allows, with a warning, and the
// service runs and stops normally.
TEST(ServiceSurroundings, DeliveryThreadsAreBoundByTheDescriptorLimit) {
  if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no prlimit";
  ServiceTreeOptions options = DebugTree();
  options.settings = {"AutoTransport.Threads:\t5000"};
  ServiceTree tree(options);
  std::string error;
  ASSERT_TRUE(tree.Start(&error, {"/usr/bin/prlimit", "--nofile=256:256"})) << error;
  ASSERT_TRUE(tree.WaitOperational(60s)) << tree.Log().substr(0, 20000);
  const std::string log = tree.Log();
  EXPECT_NE(log.find("AutoTransport.Threads 5000 is more than the descriptor limit 256 allows; "
                     "starting 24 remote delivery threads"),
            std::string::npos)
      << log.substr(0, 20000);
  EXPECT_NE(log.find("remote delivery thread 24 (id"), std::string::npos);
  EXPECT_EQ(log.find("remote delivery thread 25 (id"), std::string::npos);
  EXPECT_EQ(tree.Stop(60s), 0) << tree.Log().substr(0, 20000);
}

}  // namespace
