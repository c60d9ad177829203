// The lifecycle of the real kelpd binary: start-up sequence and its fatal
// conditions, the workers it starts and stops, list reloads while it runs,
// configuration restarts, pause and continue, and the hourly mode. Debug
// mode is read from standard error; service mode from syslog datagrams and
// status notifications that the test receives on sockets of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"
#include "support/PeerProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using kelpd::platform::UniqueFd;
using kelpd::testing::PeerProcess;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kLaunching[] = "Zelvane Mail Delivery Agent 4.00.4759.1 launching...";
constexpr char kLaunched[] = "Zelvane Mail Delivery Agent launched and fully operational";
constexpr char kRestarted[] = "Zelvane Mail Delivery Agent restarted and fully operational";

// Sets environment variables for one test (kelpd inherits them) and puts
// the old values back.
class ScopedEnv {
 public:
  ~ScopedEnv() {
    for (auto& [name, old] : saved_) {
      if (old.first)
        ::setenv(name.c_str(), old.second.c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    if (saved_.count(name)) return;
    const char* v = std::getenv(name.c_str());
    saved_[name] = {v != nullptr, v != nullptr ? v : ""};
  }
  std::map<std::string, std::pair<bool, std::string>> saved_;
};

// Collects datagrams of one socket on a thread of its own.
class DatagramSink {
 public:
  // A UDP socket on 127.0.0.1 (port 0: any), or a unix datagram socket at path.
  static std::unique_ptr<DatagramSink> Udp() {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return nullptr;
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    auto sink = std::unique_ptr<DatagramSink>(new DatagramSink(std::move(fd)));
    sink->port_ = ntohs(addr.sin_port);
    return sink;
  }
  static std::unique_ptr<DatagramSink> Unix(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return nullptr;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return nullptr;
    return std::unique_ptr<DatagramSink>(new DatagramSink(std::move(fd)));
  }
  ~DatagramSink() {
    done_ = true;
    if (reader_.joinable()) reader_.join();
  }

  int port() const { return port_; }
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  explicit DatagramSink(UniqueFd fd) : fd_(std::move(fd)) {
    reader_ = std::thread([this] {
      char buf[2048];
      while (!done_) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.emplace_back(buf, static_cast<size_t>(n));
      }
    });
  }

  UniqueFd fd_;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

// A configuration directory, a mail tree and a lock directory, and kelpd
// running on them.
class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = dir_.MakeDir("config");
    for (const char* d : {"queue", "spool", "error", "outgoing", "filtered", "lock"})
      dir_.MakeDir(d);
    dir_.MakeDir("spool/Alice");
    dir_.MakeDir("spool/bob");
    settings_ = {{"QueueDir", dir_.Join("queue")},     {"SpoolDir", dir_.Join("spool")},
                 {"ErrorDir", dir_.Join("error")},     {"OutgoingDir", dir_.Join("outgoing")},
                 {"FilterDir", dir_.Join("filtered")}, {"AutoTransport", "1"},
                 {"AutoTransport.Threads", "2"},       {"MaskFile", dir_.Join("config/mask")}};
    WriteConfigFile("domains", "example.com\n");
    WriteConfigFile("backupdomains", "backup.org\n");
    WriteConfigFile("aliases", "info: alice\nx@elsewhere.org: bob\n");
    WriteConfigFile("filters", "cheap pills\n");
    WriteConfigFile("smarthosts", "remote.org: relay.example.net\n");
    WriteConfigFile("mask", "alice: a@example.com\n");
    env_.Set("MAILCONFIGDIR", config_);
    env_.Set("MAILLOCKDIR", dir_.Join("lock"));
    env_.Unset("NOTIFY_SOCKET");
  }
  void TearDown() override { kelpd_.Stop(2000ms); }

  void WriteConfigFile(const std::string& name, const std::string& text) {
    dir_.WriteFile("config/" + name, text);
  }
  void WriteSettings() {
    std::string text;
    for (const auto& [key, value] : settings_) text += key + ": " + value + "\n";
    WriteConfigFile("kelpd.cfg", text);
  }
  // Rewrites a file so that its time stamp is sure to move on.
  // One change the service can see: the new text with its later time is
  // renamed into place, so that a pass of the run loop between the write and
  // the time change can't count them as two edits.
  void EditConfigFile(const std::string& name, const std::string& text) {
    std::string path = dir_.Join("config/" + name);
    WriteConfigFile(name + ".edit", text);
    fs::last_write_time(path + ".edit", fs::last_write_time(path + ".edit") + 2s);
    fs::rename(path + ".edit", path);
  }

  void StartDebug() {
    WriteSettings();
    std::string error;
    ASSERT_TRUE(kelpd_.Start({KELPD_BINARY, "-debug"}, &error)) << error;
  }
  // Service mode: standard input is a pipe, status reports go to the test's
  // notification socket and the log to its syslog receiver.
  void StartService() {
    syslog_ = DatagramSink::Udp();
    ASSERT_TRUE(syslog_);
    notify_ = DatagramSink::Unix(dir_.Join("notify"));
    ASSERT_TRUE(notify_);
    settings_["LogHost"] = "127.0.0.1";
    settings_["LogPort"] = std::to_string(syslog_->port());
    WriteSettings();
    env_.Set("NOTIFY_SOCKET", dir_.Join("notify"));
    std::string error;
    ASSERT_TRUE(kelpd_.Start({KELPD_BINARY}, &error)) << error;
  }

  // The texts of the console lines so far, as "level: text".
  std::vector<std::string> ConsoleLines() {
    static const std::regex line(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \[[0-9A-F]{4,}\] (.*)$)");
    std::vector<std::string> out;
    std::string all = kelpd_.Stderr();
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find('\n', start);
      if (end == std::string::npos) break;
      std::smatch m;
      std::string text = all.substr(start, end - start);
      if (std::regex_match(text, m, line)) out.push_back(m[1]);
      start = end + 1;
    }
    return out;
  }
  // The texts of the syslog datagrams so far (main log, info as "info: ").
  std::vector<std::string> SyslogLines() {
    static const std::regex datagram(R"(^<(\d+)> \[[0-9A-F]{4,}\] Kelpd: (.*)$)");
    static const char* kNames[] = {"emergency", "alert",  "critical", "error",
                                   "warning",   "notice", "info",     "debug"};
    std::vector<std::string> out;
    for (const std::string& d : syslog_->Messages()) {
      std::smatch m;
      if (std::regex_match(d, m, datagram))
        out.push_back(std::string(kNames[std::stoi(m[1]) % 8]) + ": " + m[2].str());
    }
    return out;
  }

  template <typename Source>
  bool WaitForLine(Source source, const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    do {
      for (const std::string& l : (this->*source)())
        if (l == text) return true;
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
  }
  bool WaitConsole(const std::string& text, std::chrono::milliseconds timeout = 30s) {
    return WaitForLine(&LifecycleTest::ConsoleLines, text, timeout);
  }
  bool WaitSyslog(const std::string& text, std::chrono::milliseconds timeout = 30s) {
    return WaitForLine(&LifecycleTest::SyslogLines, text, timeout);
  }
  // Waits for text among the syslog lines from index from on.
  bool WaitSyslogAfter(size_t from, const std::string& text,
                       std::chrono::milliseconds timeout = 30s) {
    auto deadline = Clock::now() + timeout;
    do {
      auto lines = SyslogLines();
      for (size_t i = from; i < lines.size(); ++i)
        if (lines[i] == text) return true;
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
  }
  bool WaitNotify(const std::string& text, size_t after, std::chrono::milliseconds timeout = 30s) {
    auto deadline = Clock::now() + timeout;
    do {
      auto messages = notify_->Messages();
      for (size_t i = after; i < messages.size(); ++i)
        if (messages[i] == text) return true;
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
  }

  static int Count(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const std::string& l : lines)
      if (l.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
  }
  // Whether expected appear in lines in this order (other lines between).
  static ::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                            const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& want : expected) {
      std::regex pattern(want);
      while (at < lines.size() && !std::regex_match(lines[at], pattern)) ++at;
      if (at == lines.size()) {
        std::string all;
        for (const std::string& l : lines) all += "  " + l + "\n";
        return ::testing::AssertionFailure() << "missing or out of order: " << want << "\n" << all;
      }
      ++at;
    }
    return ::testing::AssertionSuccess();
  }

  // Ctrl+C in debug mode: the stop sequence, exit code 0.
  int StopDebug() {
    ::kill(kelpd_.pid(), SIGINT);
    int code = kelpd_.WaitExit(30s);
    // The output is collected by a reader thread: wait for its last line.
    EXPECT_TRUE(WaitConsole("info: Zelvane Mail Delivery Agent shut down", 5s));
    return code;
  }

  TempDir dir_;
  std::string config_;
  std::map<std::string, std::string> settings_;
  ScopedEnv env_;
  PeerProcess kelpd_;
  std::unique_ptr<DatagramSink> syslog_;
  std::unique_ptr<DatagramSink> notify_;
};

const char kId[] = R"(\(id [0-9A-F]{4,}\))";

TEST_F(LifecycleTest, StartsInOrderAndStopsLocalAgentThenThreadsThenRemoteAgent) {
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << kelpd_.Stderr();
  std::string pid_file = config_ + "/Kelpd.pid";
  EXPECT_EQ(ReadFile(pid_file), std::to_string(kelpd_.pid()));
  EXPECT_TRUE(InOrder(
      ConsoleLines(),
      {std::string("info: ") + kLaunching, "info: loading configuration file kelpd\\.cfg\\.\\.\\.",
       "info: creating user-list\\.\\.\\.", "info: loading 'domains'-file\\.\\.\\.",
       "info: loading 'backupdomains'-file\\.\\.\\.", "info: loading 'aliases'-file\\.\\.\\.",
       "info: number of faulty aliases: 1", "info: preresolving aliases\\.\\.\\.",
       "info: loading 'filters'-file\\.\\.\\.", "info: loading optional 'smarthosts'-file\\.\\.\\.",
       "info: loading masquerading-file\\.\\.\\.",
       std::string("info: local delivery agent ") + kId + " started",
       std::string("info: remote agent thread ") + kId + " started",
       std::string("info: remote delivery thread 1 ") + kId + " started",
       std::string("info: remote delivery thread 2 ") + kId + " started",
       "info: remote delivery threads started", std::string("info: ") + kLaunched}));
  EXPECT_EQ(Count(ConsoleLines(), "error:"), 0) << kelpd_.Stderr();

  EXPECT_EQ(StopDebug(), 0);
  EXPECT_TRUE(InOrder(ConsoleLines(),
                      {"info: Zelvane Mail Delivery Agent 4\\.00\\.4759\\.1 shutting down\\.\\.\\.",
                       std::string("info: local delivery agent ") + kId + " stopped",
                       std::string("info: remote delivery thread 1 ") + kId + " stopped",
                       std::string("info: remote delivery thread 2 ") + kId + " stopped",
                       "info: remote delivery threads stopped",
                       std::string("info: remote delivery agent ") + kId + " stopped",
                       "info: Zelvane Mail Delivery Agent shut down"}));
  EXPECT_EQ(Count(ConsoleLines(), "warning:"), 0) << kelpd_.Stderr();
  EXPECT_FALSE(fs::exists(pid_file));
}

TEST_F(LifecycleTest, FatalStartConditionsEndTheStartWithTheirMessage) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string message;
  };
  std::vector<Case> cases = {
      {"MAILCONFIGDIR unset", [this] { env_.Unset("MAILCONFIGDIR"); },
       "error: could not load configuration"},
      {"QueueDir a plain file", [this] { settings_["QueueDir"] = dir_.WriteFile("plain", "x"); },
       "error: invalid QueueDir, \"" + dir_.Join("plain") + "\" is missing or no directory"},
      {"OutgoingDir missing", [this] { settings_["OutgoingDir"] = dir_.Join("none"); },
       "error: invalid OutgoingDir, \"" + dir_.Join("none") + "\" is missing or no directory"},
      {"domains missing", [this] { fs::remove(config_ + "/domains"); },
       "error: could not load 'domains'-file"},
      {"aliases missing", [this] { fs::remove(config_ + "/aliases"); },
       "error: could not load 'aliases'-file"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    StartDebug();
    EXPECT_EQ(kelpd_.WaitExit(20s), 1);
    // The output is collected by a reader thread: wait until it has it all.
    EXPECT_TRUE(WaitConsole(c.message)) << kelpd_.Stderr();
    auto lines = ConsoleLines();
    ASSERT_FALSE(lines.empty()) << kelpd_.Stderr();
    EXPECT_EQ(lines.back(), c.message) << kelpd_.Stderr();
    EXPECT_EQ(Count(lines, "info: local delivery agent"), 0);
    kelpd_.Stop();
    env_.Set("MAILCONFIGDIR", config_);
    SetUp();
  }
}

TEST_F(LifecycleTest, MissingFilterDirOnlyWarnsAndAutoTransportOffStartsNoRemoteWorkers) {
  settings_["FilterDir"] = dir_.Join("no-filter-dir");
  settings_["AutoTransport"] = "0";
  fs::remove(config_ + "/filters");
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << kelpd_.Stderr();
  auto lines = ConsoleLines();
  EXPECT_EQ(Count(lines, "warning: invalid FilterDir, \"" + dir_.Join("no-filter-dir") +
                             "\" is missing or no directory"),
            1);
  EXPECT_EQ(Count(lines, "info: could not load 'filters'-file"), 1);
  EXPECT_EQ(Count(lines, "info: remote"), 0);
  EXPECT_EQ(StopDebug(), 0);
  lines = ConsoleLines();
  EXPECT_EQ(Count(lines, "info: remote"), 0) << kelpd_.Stderr();
  EXPECT_EQ(Count(lines, "error:"), 0) << kelpd_.Stderr();
  EXPECT_EQ(lines.back(), "info: Zelvane Mail Delivery Agent shut down");
}

TEST_F(LifecycleTest, DeliveryThreadCountFollowsTheSetting) {
  for (auto [setting, expected] :
       std::vector<std::pair<const char*, int>>{{"0", 1}, {"1", 1}, {"-5", 1}, {"10", 10}}) {
    SCOPED_TRACE(setting);
    settings_["AutoTransport.Threads"] = setting;
    StartDebug();
    ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << kelpd_.Stderr();
    auto lines = ConsoleLines();
    int started = 0;
    const std::regex numbered(std::string("info: remote delivery thread \\d+ ") + kId + " started");
    for (const std::string& l : lines) started += std::regex_match(l, numbered) ? 1 : 0;
    EXPECT_EQ(started, expected) << kelpd_.Stderr();
    EXPECT_TRUE(InOrder(lines, {"info: remote delivery thread " + std::to_string(expected) + " " +
                                kId + " started"}));
    EXPECT_EQ(StopDebug(), 0);
    kelpd_.Stop();
  }
}

TEST_F(LifecycleTest, EditedAliasesReloadDomainsUserListAndAliasesInThatOrder) {
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << kelpd_.Stderr();
  const int before = Count(ConsoleLines(), "info: preresolving aliases...");
  EditConfigFile("aliases", "info: alice\nsales: bob\n");
  ASSERT_TRUE(WaitConsole("info: preresolving aliases..."));
  for (int i = 0; i < 600 && Count(ConsoleLines(), "info: preresolving aliases...") == before; ++i)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Count(ConsoleLines(), "info: preresolving aliases..."), before + 1);
  EXPECT_EQ(Count(ConsoleLines(), "error:"), 0) << kelpd_.Stderr();

  // Now each of the three fails, which shows the order of the reloads.
  fs::remove(config_ + "/domains");
  fs::create_directory(config_ + "/domains");
  fs::rename(dir_.Join("spool"), dir_.Join("spool-away"));
  fs::remove(config_ + "/aliases");
  fs::create_directory(config_ + "/aliases");
  ASSERT_TRUE(WaitConsole("error: could not reload 'aliases'-file")) << kelpd_.Stderr();
  EXPECT_TRUE(
      InOrder(ConsoleLines(),
              {"error: could not reload 'domains'-file", "error: could not reload user-list",
               "error: could not reload 'aliases'-file", "info: preresolving aliases\\.\\.\\."}));
  EXPECT_EQ(StopDebug(), 0);
}

TEST_F(LifecycleTest, OnlyAPasswordFileInANewMailboxRebuildsTheUserList) {
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << kelpd_.Stderr();
  const int before = Count(ConsoleLines(), "info: preresolving aliases...");
  dir_.WriteFile("spool/bob/1.eml", "mail");
  dir_.MakeDir("spool/carol");
  dir_.WriteFile("spool/carol/notes", "no password yet");
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(Count(ConsoleLines(), "info: preresolving aliases..."), before);
  dir_.WriteFile("spool/carol/password", "secret");
  for (int i = 0; i < 200 && Count(ConsoleLines(), "info: preresolving aliases...") == before; ++i)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Count(ConsoleLines(), "info: preresolving aliases..."), before + 1);
  EXPECT_EQ(StopDebug(), 0);
}

TEST_F(LifecycleTest, HangupRestartsWithAFreshConfigurationAndKeepsTheOldOneWhenMissing) {
  settings_["AutoTransport.Threads"] = "3";
  StartService();
  ASSERT_TRUE(WaitNotify("READY=1\nSTATUS=running", 0)) << kelpd_.Stderr();
  ASSERT_TRUE(WaitSyslog("info: remote delivery threads started")) << kelpd_.Stderr();
  size_t notes = notify_->Messages().size();
  size_t logged = SyslogLines().size();
  ::kill(kelpd_.pid(), SIGHUP);
  ASSERT_TRUE(WaitSyslogAfter(logged, std::string("info: ") + kRestarted)) << kelpd_.Stderr();
  auto lines = SyslogLines();
  lines.erase(lines.begin(), lines.begin() + static_cast<long>(logged));
  EXPECT_TRUE(InOrder(
      lines,
      {"info: Zelvane Mail Delivery Agent 4\\.00\\.4759\\.1 restarting\\.\\.\\.",
       std::string("info: local delivery agent ") + kId + " stopped",
       "info: remote delivery threads stopped",
       std::string("info: remote delivery agent ") + kId + " stopped",
       "info: loading configuration file kelpd\\.cfg\\.\\.\\.",
       "info: configuring logging\\.\\.\\.", "info: checking directories\\.\\.\\.",
       "info: creating user-list\\.\\.\\.", "info: loading 'domains'-file\\.\\.\\.",
       "info: loading 'backupdomains'-file\\.\\.\\.", "info: loading 'aliases'-file\\.\\.\\.",
       "info: number of faulty aliases: 1", "info: preresolving aliases\\.\\.\\.",
       "info: loading 'filters'-file\\.\\.\\.", "info: loading optional 'smarthosts'-file\\.\\.\\.",
       std::string("info: local delivery agent ") + kId + " started",
       std::string("info: remote agent thread ") + kId + " started",
       std::string("info: remote delivery thread 3 ") + kId + " started",
       std::string("info: ") + kRestarted}));
  EXPECT_TRUE(WaitNotify("RELOADING=1", notes));
  EXPECT_TRUE(WaitNotify("READY=1", notes));

  // Without the file, the settings in memory stay: three threads, and the
  // log still reaches this test's receiver.
  fs::remove(config_ + "/kelpd.cfg");
  logged = SyslogLines().size();
  ::kill(kelpd_.pid(), SIGHUP);
  ASSERT_TRUE(WaitSyslogAfter(logged, std::string("info: ") + kRestarted));
  lines = SyslogLines();
  lines.erase(lines.begin(), lines.begin() + static_cast<long>(logged));
  EXPECT_TRUE(InOrder(lines, {"error: could not load configuration",
                              std::string("info: remote delivery thread 3 ") + kId + " started",
                              std::string("info: ") + kRestarted}));

  ::kill(kelpd_.pid(), SIGTERM);
  EXPECT_EQ(kelpd_.WaitExit(30s), 0);
  EXPECT_TRUE(WaitSyslog("info: Zelvane Mail Delivery Agent shut down"));
}

TEST_F(LifecycleTest, HangupDoesNothingWhenConfigRestartsAreNotAllowed) {
  settings_["AllowConfigRestart"] = "0";
  StartService();
  ASSERT_TRUE(WaitSyslog(std::string("info: ") + kLaunched)) << kelpd_.Stderr();
  size_t logged = SyslogLines().size();
  ::kill(kelpd_.pid(), SIGHUP);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(SyslogLines().size(), logged);
  EXPECT_TRUE(kelpd_.Running());
  ::kill(kelpd_.pid(), SIGTERM);
  EXPECT_EQ(kelpd_.WaitExit(30s), 0);
}

TEST_F(LifecycleTest, PauseIdlesTheRunLoopUntilContinue) {
  StartService();
  ASSERT_TRUE(WaitNotify("READY=1\nSTATUS=running", 0)) << kelpd_.Stderr();
  ASSERT_TRUE(WaitSyslog(std::string("info: ") + kLaunched));
  const int before = Count(SyslogLines(), "info: preresolving aliases...");
  size_t notes = notify_->Messages().size();
  ::kill(kelpd_.pid(), SIGUSR1);
  ASSERT_TRUE(WaitNotify("STATUS=paused", notes));
  EditConfigFile("aliases", "info: bob\n");
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(Count(SyslogLines(), "info: preresolving aliases..."), before);
  notes = notify_->Messages().size();
  ::kill(kelpd_.pid(), SIGUSR2);
  ASSERT_TRUE(WaitNotify("READY=1\nSTATUS=running", notes));
  for (int i = 0; i < 200 && Count(SyslogLines(), "info: preresolving aliases...") == before; ++i)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Count(SyslogLines(), "info: preresolving aliases..."), before + 1);
  ::kill(kelpd_.pid(), SIGTERM);
  EXPECT_EQ(kelpd_.WaitExit(30s), 0);
}

TEST_F(LifecycleTest, HourlyModeRunsTheScriptAtOnceAndNeverReloadsLists) {
  settings_["AutoTransport"] = "0";
  settings_["HourlyCleanup"] = "1";
  settings_["Scripts.Execution.Parallel"] = "0";
  std::string script = dir_.WriteFile("outgoing/onarrival.cmd",
                                      "#!/bin/sh\necho \"run:$#:$1:$(pwd)\" >> runs.txt\n");
  fs::permissions(script, fs::perms::owner_all);
  StartDebug();
  ASSERT_TRUE(WaitConsole("info: postprocessing-script for \"\" finished")) << kelpd_.Stderr();
  const int before = Count(ConsoleLines(), "info: preresolving aliases...");
  EditConfigFile("aliases", "info: bob\n");
  std::this_thread::sleep_for(2500ms);
  auto lines = ConsoleLines();
  EXPECT_EQ(Count(lines, "info: preresolving aliases..."), before);
  EXPECT_TRUE(InOrder(lines, {"info: postprocessing-script for \"\" started",
                              "info: postprocessing-script for \"\" finished"}));
  // Once, unless the test happened to straddle the start of an hour's minute.
  EXPECT_LE(Count(lines, "info: postprocessing-script for \"\" started"), 1);
  EXPECT_EQ(ReadFile(dir_.Join("outgoing/runs.txt")),
            "run:1::" + fs::canonical(dir_.Join("outgoing")).string() + "\n");
  EXPECT_EQ(StopDebug(), 0);
}

}  // namespace
