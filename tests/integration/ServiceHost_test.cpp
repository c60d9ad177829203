// The service host of the real kelpd binary: command line, install and
// removal of the unit, debug mode, service mode with status notifications.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace {

using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

constexpr char kUsage[] =
    "Zelvane Mail Delivery Agent 4.00.4759.1\n"
    "------------------------------\n"
    "\n"
    "Usage: kelpd -install|-uninstall|-debug [<shortname> <displayname> <params>] \n"
    "\n"
    "  -install [<shortname> <displayname> <params>]:\n"
    "      Installs the service with its default name and settings, if no further\n"
    "      parameters are given. If you want to install an additional copie of the\n"
    "      service, use the following parameters:\n"
    "      <shortname>:\n"
    "          short service name (e.g. \"Kelpd2\")\n"
    "      <displayname>:\n"
    "          displayer service name (e.g. \"Zelvane Mail Delivery Agent #2\")\n"
    "      <params>:\n"
    "          additional service starting parameters (e.g. \"-c relayd2.cfg\" for an\n"
    "          alternate configuration-file)\n"
    "\n"
    "  -uninstall [<shortname>]:\n"
    "      Uninstalls the service with its default name, if no further parameters\n"
    "      are given. If you want to uninstall an additional copie of the service,\n"
    "      use the following parameter:\n"
    "      <shortname>:\n"
    "          short service name (e.g. \"Kelpd2\")\n"
    "\n"
    "  -debug:\n"
    "      run as console application for debugging purposes\n"
    "\n";

enum class Stdin { kDevNull, kTerminal };

// One kelpd process with its standard output and error in files.
class Kelpd {
 public:
  Kelpd(const TempDir& dir, std::vector<std::string> args, std::map<std::string, std::string> env,
        Stdin stdin_kind = Stdin::kDevNull)
      : out_path_(dir.Join("stdout." + std::to_string(++counter_))),
        err_path_(dir.Join("stderr." + std::to_string(counter_))) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      if (name == "NOTIFY_SOCKET" || name == "KELPD_UNIT_DIR" || name == "MAILCONFIGDIR") continue;
      env_strings.push_back(entry);
    }
    for (const auto& [name, value] : env) env_strings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    args.insert(args.begin(), KELPD_BINARY);
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    int master = -1;
    std::string slave_name;
    if (stdin_kind == Stdin::kTerminal) {
      master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      EXPECT_GE(master, 0);
      EXPECT_EQ(::grantpt(master), 0);
      EXPECT_EQ(::unlockpt(master), 0);
      slave_name = ::ptsname(master);
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      int in = stdin_kind == Stdin::kTerminal ? ::open(slave_name.c_str(), O_RDWR | O_NOCTTY)
                                              : ::open("/dev/null", O_RDONLY);
      int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) ::_exit(120);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(121);
    }
    if (master >= 0) master_ = master;
  }
  ~Kelpd() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }

  void Signal(int sig) { ::kill(pid_, sig); }

  // Waits up to timeout_ms for the end; false when it is still running.
  bool Wait(int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t r = ::waitpid(pid_, &status_, WNOHANG);
      if (r == pid_) {
        waited_ = true;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Waits until standard error contains text.
  bool WaitForStderr(const std::string& text, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Stderr().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  int ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  int TermSignal() const { return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }
  std::string Stdout() const { return ReadFile(out_path_); }
  std::string Stderr() const { return ReadFile(err_path_); }

 private:
  static inline int counter_ = 0;
  std::string out_path_, err_path_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool waited_ = false;
  int master_ = -1;
};

// Runs kelpd to its end.
struct Result {
  int exit_code;
  std::string out, err;
};
Result RunKelpd(const TempDir& dir, std::vector<std::string> args,
                std::map<std::string, std::string> env) {
  Kelpd k(dir, std::move(args), std::move(env));
  EXPECT_TRUE(k.Wait());
  return {k.ExitCode(), k.Stdout(), k.Stderr()};
}

// A notification socket at a path in the test's directory.
class NotifyReceiver {
 public:
  explicit NotifyReceiver(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    EXPECT_LT(path.size(), sizeof addr.sun_path);
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  }
  ~NotifyReceiver() { ::close(fd_); }
  const std::string& path() const { return path_; }
  std::string Next(int timeout_ms = 5000) {
    struct pollfd p {
      fd_, POLLIN, 0
    };
    if (::poll(&p, 1, timeout_ms) != 1) return "";
    char buf[1024];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// The environment of a kelpd that starts: a configuration file named
// config_name with the mail directories, the lists it must load, and its own
// lock directory, all inside dir.
std::map<std::string, std::string> StartableTree(const TempDir& dir,
                                                 const std::string& config_name = "kelpd.cfg") {
  std::string cfg;
  for (const char* name : {"queue", "spool", "error", "outgoing", "filtered"}) {
    std::string path = dir.MakeDir(std::string("mail/") + name);
    std::string key = name;
    key[0] = static_cast<char>(key[0] - 'a' + 'A');
    if (key == "Filtered") key = "Filter";
    cfg += key + "Dir: " + path + "\n";
  }
  dir.WriteFile("config/" + config_name, cfg);
  dir.WriteFile("config/domains", "example.com\n");
  dir.WriteFile("config/aliases", "");
  return {{"MAILCONFIGDIR", dir.Join("config")}, {"MAILLOCKDIR", dir.MakeDir("lock")}};
}

std::string ProgramPath() {
  char real[PATH_MAX];
  return ::realpath(KELPD_BINARY, real) ? real : KELPD_BINARY;
}

TEST(ServiceHost, UsageText) {
  TempDir dir;
  Result r = RunKelpd(dir, {"-?"}, {{"MAILCONFIGDIR", dir.path()}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, "");
}

TEST(ServiceHost, InstallAndUninstall) {
  TempDir dir;
  std::string units = dir.MakeDir("units");
  std::string config = dir.MakeDir("config");
  std::map<std::string, std::string> env = {{"KELPD_UNIT_DIR", units}, {"MAILCONFIGDIR", config}};

  Result r = RunKelpd(dir, {"-INSTALL"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent installed.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFile(units + "/Kelpd.service"),
            "[Unit]\n"
            "Description=Zelvane Mail Delivery Agent\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=\"" +
                ProgramPath() +
                "\"\n"
                "ExecReload=/bin/kill -HUP $MAINPID\n"
                "Environment=MAILCONFIGDIR=" +
                config +
                "\n"
                "StandardOutput=null\n"
                "TimeoutStopSec=300\n"
                "KillMode=process\n"
                "\n"
                "[Install]\n"
                "WantedBy=multi-user.target\n");

  r = RunKelpd(dir, {"-install"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Unable to install Zelvane Mail Delivery Agent. Service is already installed. "
            "Code = 17\n");

  r = RunKelpd(dir, {"-Uninstall"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent removed.\n");
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Kelpd.service"));

  r = RunKelpd(dir, {"-uninstall"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Unable to remove Zelvane Mail Delivery Agent. You have no priviledges or the service "
            "is not installed. Code = 2\n");
}

TEST(ServiceHost, InstallAnAdditionalCopy) {
  TempDir dir;
  std::string units = dir.MakeDir("units");
  std::map<std::string, std::string> env = {{"KELPD_UNIT_DIR", units},
                                            {"MAILCONFIGDIR", dir.Join("my config")}};
  Result r = RunKelpd(dir, {"-install", "Kelpd2", "Relay 100% #2", "-c relayd2.cfg"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Relay 100% #2 installed.\n");
  std::string unit = ReadFile(units + "/Kelpd2.service");
  EXPECT_NE(unit.find("\nDescription=Relay 100%% #2\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nExecStart=\"" + ProgramPath() + "\" -c relayd2.cfg\n"), std::string::npos)
      << unit;
  // A value with a blank is quoted as one assignment.
  EXPECT_NE(unit.find("\nEnvironment=\"MAILCONFIGDIR=" + dir.Join("my config") + "\"\n"),
            std::string::npos)
      << unit;

  // Only a short name and a display name: the defaults for all three.
  r = RunKelpd(dir, {"-install", "Kelpd3", "Third"}, env);
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent installed.\n");
  EXPECT_TRUE(kelpd::testing::FileExists(units + "/Kelpd.service"));
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Kelpd3.service"));

  // Removal messages carry the default display name.
  r = RunKelpd(dir, {"-uninstall", "Kelpd2"}, env);
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent removed.\n");
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Kelpd2.service"));
  EXPECT_TRUE(kelpd::testing::FileExists(units + "/Kelpd.service"));

  // Without MAILCONFIGDIR the unit names the default directory.
  r = RunKelpd(dir, {"-uninstall"}, {{"KELPD_UNIT_DIR", units}});
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent removed.\n");
  r = RunKelpd(dir, {"-install"}, {{"KELPD_UNIT_DIR", units}});
  EXPECT_NE(ReadFile(units + "/Kelpd.service").find("\nEnvironment=MAILCONFIGDIR=/etc/zelvane\n"),
            std::string::npos);
}

TEST(ServiceHost, InstallFailuresLeaveNothingBehind) {
  TempDir dir;
  std::map<std::string, std::string> env = {{"KELPD_UNIT_DIR", dir.Join("missing")},
                                            {"MAILCONFIGDIR", dir.path()}};
  Result r = RunKelpd(dir, {"-install"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "Unable to install Zelvane Mail Delivery Agent. Could not open the service control "
            "manager. Code = 2\n");

  // A line break in a display name would inject unit settings.
  std::string units = dir.MakeDir("units");
  env["KELPD_UNIT_DIR"] = units;
  r = RunKelpd(dir, {"-install", "Evil", "Name\nExecStartPre=/bin/false", "x"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "Unable to install Name\nExecStartPre=/bin/false. Could not create the service "
            "entry. Code = 22\n");
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Evil.service"));
}

TEST(ServiceHost, DebugModeStopsOnInterrupt) {
  TempDir dir;
  Kelpd k(dir, {"-debug"}, StartableTree(dir));
  ASSERT_TRUE(k.WaitForStderr("fully operational\n"));
  k.Signal(SIGINT);
  ASSERT_TRUE(k.Wait());
  EXPECT_EQ(k.ExitCode(), 0);
  std::string err = k.Stderr();
  EXPECT_NE(err.find("info: Zelvane Mail Delivery Agent 4.00.4759.1 launching...\n"),
            std::string::npos)
      << err;
  size_t down = err.find("info: Zelvane Mail Delivery Agent 4.00.4759.1 shutting down...\n");
  EXPECT_NE(down, std::string::npos) << err;
  EXPECT_NE(err.find("info: Zelvane Mail Delivery Agent shut down\n", down), std::string::npos)
      << err;
}

TEST(ServiceHost, DebugModeLeavesTerminateToItsDefault) {
  TempDir dir;
  Kelpd k(dir, {"-DEBUG"}, StartableTree(dir));
  ASSERT_TRUE(k.WaitForStderr("launching...\n"));
  k.Signal(SIGTERM);
  ASSERT_TRUE(k.Wait());
  EXPECT_EQ(k.TermSignal(), SIGTERM);
  EXPECT_EQ(k.Stderr().find("shutting down"), std::string::npos);
}

TEST(ServiceHost, ServiceModeNotifiesTheManager) {
  TempDir dir;
  NotifyReceiver manager(dir.Join("notify"));
  auto env = StartableTree(dir);
  env["NOTIFY_SOCKET"] = manager.path();
  Kelpd k(dir, {}, env);
  EXPECT_EQ(manager.Next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=1000000");
  // The application's own start-up reports, one between each of its steps.
  std::string next = manager.Next();
  int reports = 0;
  for (; next == "STATUS=starting\nEXTEND_TIMEOUT_USEC=1000000"; next = manager.Next()) ++reports;
  EXPECT_GE(reports, 1);
  EXPECT_EQ(next, "READY=1\nSTATUS=running");

  k.Signal(SIGUSR1);
  EXPECT_EQ(manager.Next(), "STATUS=pausing\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_EQ(manager.Next(), "STATUS=paused");
  k.Signal(SIGUSR2);
  EXPECT_EQ(manager.Next(), "STATUS=continuing\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=running");
  // Ready again only once the restart is over: one report, after it.
  k.Signal(SIGHUP);
  EXPECT_EQ(manager.Next(), "RELOADING=1");
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=running");

  k.Signal(SIGTERM);
  EXPECT_EQ(manager.Next(), "STOPPING=1\nEXTEND_TIMEOUT_USEC=1000000");
  // The application's reports between the workers it stops.
  next = manager.Next();
  reports = 0;
  for (; next == "STOPPING=1\nEXTEND_TIMEOUT_USEC=2000000"; next = manager.Next()) ++reports;
  EXPECT_GE(reports, 1);
  EXPECT_EQ(next, "STATUS=stopped");
  ASSERT_TRUE(k.Wait());
  EXPECT_EQ(k.ExitCode(), 0);
  // No console in service mode.
  EXPECT_EQ(k.Stdout(), "");
}

TEST(ServiceHost, FromATerminalWithoutManagerTheDispatcherFails) {
  TempDir dir;
  Kelpd k(dir, {}, {{"MAILCONFIGDIR", dir.path()}}, Stdin::kTerminal);
  ASSERT_TRUE(k.Wait());
  EXPECT_EQ(k.ExitCode(), 1);
  EXPECT_TRUE(std::regex_match(
      k.Stderr(), std::regex("StartServiceCtrlDispatcher failed in Common\\\\Service:[0-9]+ with "
                             "error 25\n")))
      << k.Stderr();
}

TEST(ServiceHost, WithoutTerminalItRunsAsAService) {
  TempDir dir;
  // Parameters such as "-c" also start the service.
  Kelpd k(dir, {"-c", "other.cfg"}, StartableTree(dir, "other.cfg"));
  EXPECT_FALSE(k.Wait(500));  // runs until stopped
  k.Signal(SIGINT);
  ASSERT_TRUE(k.Wait());
  EXPECT_EQ(k.ExitCode(), 0);
  EXPECT_EQ(k.Stderr(), "");
}

}  // namespace
