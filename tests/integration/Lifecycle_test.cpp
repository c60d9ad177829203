// The lifecycle of the real kelpd binary: start-up sequence and its fatal
// conditions, the workers it starts and stops, list reloads while it runs,
// configuration restarts, pause and continue, and the hourly mode. Debug
// mode is read from standard error; service mode from syslog datagrams and
// status notifications that the tree receives on sockets of its own.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/ServiceTree.h"
#include "support/WaitFor.h"

namespace {

namespace fs = std::filesystem;
using kelpd::testing::ReadFile;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using kelpd::testing::WaitFor;
using namespace std::chrono_literals;

constexpr char kLaunching[] = "Zelvane Mail Delivery Agent 4.00.4759.1 launching...";
constexpr char kLaunched[] = "Zelvane Mail Delivery Agent launched and fully operational";
constexpr char kRestarted[] = "Zelvane Mail Delivery Agent restarted and fully operational";

// A configuration directory, a mail tree and a lock directory, and kelpd
// running on them. Service mode reports to the tree's notification socket and
// logs to its syslog receiver.
class LifecycleTest : public ::testing::Test {
 protected:
  LifecycleTest() { NewTree(); }
  void TearDown() override { tree_->process().Stop(2000ms); }

  // A fresh tree: two mailbox directories that are no users yet, the lists
  // and the masquerading file.
  void NewTree() {
    ServiceTreeOptions options;
    options.binary = KELPD_BINARY;
    options.users = {};
    options.domains = {"example.com"};
    options.backupdomains = "backup.org\n";
    options.aliases = "info: alice\nx@elsewhere.org: bob\n";
    options.filters = "cheap pills\n";
    options.smarthosts = "remote.org: relay.example.net\n";
    options.notify = true;
    tree_.reset();
    tree_ = std::make_unique<ServiceTree>(options);
    config_ = tree_->config_dir();
    fs::create_directories(tree_->spool_dir() + "/Alice");
    fs::create_directories(tree_->spool_dir() + "/bob");
    WriteConfigFile("mask", "alice: a@example.com\n");
    settings_ = {
        {"AutoTransport", "1"}, {"AutoTransport.Threads", "2"}, {"MaskFile", config_ + "/mask"}};
  }
  std::string Join(const std::string& name) const { return tree_->root() + "/" + name; }
  void WriteConfigFile(const std::string& name, const std::string& text) {
    tree_->WriteFile("config/" + name, text);
  }
  void WriteSettings() {
    std::vector<std::string> lines;
    for (const auto& [key, value] : settings_) lines.push_back(key + ": " + value);
    tree_->WriteConfiguration(lines);
  }
  // Rewrites a file so that its time stamp is sure to move on.
  // One change the service can see: the new text with its later time is
  // renamed into place, so that a pass of the run loop between the write and
  // the time change can't count them as two edits.
  void EditConfigFile(const std::string& name, const std::string& text) {
    std::string path = config_ + "/" + name;
    WriteConfigFile(name + ".edit", text);
    fs::last_write_time(path + ".edit", fs::last_write_time(path + ".edit") + 2s);
    fs::rename(path + ".edit", path);
  }

  void StartDebug() {
    tree_->options().debug_mode = true;
    WriteSettings();
    std::string error;
    ASSERT_TRUE(tree_->Start(&error)) << error;
  }
  // Service mode: standard input is a pipe.
  void StartService() {
    tree_->options().debug_mode = false;
    WriteSettings();
    std::string error;
    ASSERT_TRUE(tree_->Start(&error)) << error;
  }
  std::string Stderr() { return tree_->process().Stderr(); }

  // The texts of the console lines so far, as "level: text".
  std::vector<std::string> ConsoleLines() {
    static const std::regex line(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \[[0-9A-F]{4,}\] (.*)$)");
    std::vector<std::string> out;
    std::string all = Stderr();
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
    for (const std::string& d : tree_->SyslogDatagrams()) {
      std::smatch m;
      if (std::regex_match(d, m, datagram))
        out.push_back(std::string(kNames[std::stoi(m[1]) % 8]) + ": " + m[2].str());
    }
    return out;
  }

  // Whether text is among lines from index from on.
  static bool Has(const std::vector<std::string>& lines, const std::string& text, size_t from) {
    return std::find(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end(),
                     text) != lines.end();
  }
  bool WaitConsole(const std::string& text, std::chrono::milliseconds timeout = 30s) {
    return WaitFor([&] { return Has(ConsoleLines(), text, 0); }, timeout);
  }
  bool WaitSyslog(const std::string& text, std::chrono::milliseconds timeout = 30s) {
    return WaitSyslogAfter(0, text, timeout);
  }
  // Waits for text among the syslog lines from index from on.
  bool WaitSyslogAfter(size_t from, const std::string& text,
                       std::chrono::milliseconds timeout = 30s) {
    return WaitFor([&] { return Has(SyslogLines(), text, from); }, timeout);
  }
  bool WaitNotify(const std::string& text, size_t after, std::chrono::milliseconds timeout = 30s) {
    return WaitFor([&] { return Has(tree_->NotifyMessages(), text, after); }, timeout);
  }
  // Waits until the count of lines starting with prefix has moved from before.
  template <typename Lines>
  int CountAfterChange(Lines lines, const std::string& prefix, int before) {
    WaitFor([&] { return Count(lines(), prefix) != before; }, 30s);
    return Count(lines(), prefix);
  }

  // The error lines, without the one a worker gets when it takes over a
  // second to end (a busy machine can do that; the service waits on and says
  // so), which is no fault of what the tests look at.
  static int Errors(const std::vector<std::string>& lines) {
    return Count(lines, "error:") - Count(lines, "error: WaitForSingleObject timed out");
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
    tree_->Signal(SIGINT);
    int code = tree_->process().WaitExit(30s);
    // The output is collected by a reader thread: wait for its last line.
    EXPECT_TRUE(WaitConsole("info: Zelvane Mail Delivery Agent shut down", 30s));
    return code;
  }

  std::unique_ptr<ServiceTree> tree_;
  std::string config_;
  std::map<std::string, std::string> settings_;
};

const char kId[] = R"(\(id [0-9A-F]{4,}\))";

TEST_F(LifecycleTest, StartsInOrderAndStopsLocalAgentThenThreadsThenRemoteAgent) {
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << Stderr();
  std::string pid_file = config_ + "/Kelpd.pid";
  EXPECT_EQ(ReadFile(pid_file), std::to_string(tree_->KelpdPid()));
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
  EXPECT_EQ(Errors(ConsoleLines()), 0) << Stderr();

  EXPECT_EQ(StopDebug(), 0);
  EXPECT_TRUE(InOrder(ConsoleLines(),
                      {"info: Zelvane Mail Delivery Agent 4\\.00\\.4759\\.1 shutting down\\.\\.\\.",
                       std::string("info: local delivery agent ") + kId + " stopped",
                       std::string("info: remote delivery thread 1 ") + kId + " stopped",
                       std::string("info: remote delivery thread 2 ") + kId + " stopped",
                       "info: remote delivery threads stopped",
                       std::string("info: remote delivery agent ") + kId + " stopped",
                       "info: Zelvane Mail Delivery Agent shut down"}));
  EXPECT_EQ(Count(ConsoleLines(), "warning:"), 0) << Stderr();
  EXPECT_FALSE(fs::exists(pid_file));
}

TEST_F(LifecycleTest, FatalStartConditionsEndTheStartWithTheirMessage) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string message;
  };
  std::vector<Case> cases = {
      {"MAILCONFIGDIR unset", [this] { tree_->options().unset_environment = {"MAILCONFIGDIR"}; },
       "error: could not load configuration"},
      {"QueueDir a plain file",
       [this] { tree_->SetDirectory("QueueDir", tree_->WriteFile("plain", "x")); },
       "error: invalid QueueDir, \"ROOT/plain\" is missing or no directory"},
      {"OutgoingDir missing", [this] { tree_->SetDirectory("OutgoingDir", Join("none")); },
       "error: invalid OutgoingDir, \"ROOT/none\" is missing or no directory"},
      {"domains missing", [this] { fs::remove(config_ + "/domains"); },
       "error: could not load 'domains'-file"},
      {"aliases missing", [this] { fs::remove(config_ + "/aliases"); },
       "error: could not load 'aliases'-file"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case has a tree of its own: ROOT stands for its directory.
    const size_t root = c.message.find("ROOT");
    if (root != std::string::npos) c.message.replace(root, 4, tree_->root());
    c.arrange();
    StartDebug();
    EXPECT_EQ(tree_->process().WaitExit(20s), 1);
    // The output is collected by a reader thread: wait until it has it all.
    EXPECT_TRUE(WaitConsole(c.message)) << Stderr();
    auto lines = ConsoleLines();
    ASSERT_FALSE(lines.empty()) << Stderr();
    EXPECT_EQ(lines.back(), c.message) << Stderr();
    EXPECT_EQ(Count(lines, "info: local delivery agent"), 0);
    NewTree();
  }
}

TEST_F(LifecycleTest, MissingFilterDirOnlyWarnsAndAutoTransportOffStartsNoRemoteWorkers) {
  tree_->SetDirectory("FilterDir", Join("no-filter-dir"));
  settings_["AutoTransport"] = "0";
  fs::remove(config_ + "/filters");
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << Stderr();
  auto lines = ConsoleLines();
  EXPECT_EQ(Count(lines, "warning: invalid FilterDir, \"" + Join("no-filter-dir") +
                             "\" is missing or no directory"),
            1);
  EXPECT_EQ(Count(lines, "info: could not load 'filters'-file"), 1);
  EXPECT_EQ(Count(lines, "info: remote"), 0);
  EXPECT_EQ(StopDebug(), 0);
  lines = ConsoleLines();
  EXPECT_EQ(Count(lines, "info: remote"), 0) << Stderr();
  EXPECT_EQ(Errors(lines), 0) << Stderr();
  EXPECT_EQ(lines.back(), "info: Zelvane Mail Delivery Agent shut down");
}

TEST_F(LifecycleTest, DeliveryThreadCountFollowsTheSetting) {
  for (auto [setting, expected] :
       std::vector<std::pair<const char*, int>>{{"0", 1}, {"1", 1}, {"-5", 1}, {"10", 10}}) {
    SCOPED_TRACE(setting);
    settings_["AutoTransport.Threads"] = setting;
    StartDebug();
    ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << Stderr();
    auto lines = ConsoleLines();
    int started = 0;
    const std::regex numbered(std::string("info: remote delivery thread \\d+ ") + kId + " started");
    for (const std::string& l : lines) started += std::regex_match(l, numbered) ? 1 : 0;
    EXPECT_EQ(started, expected) << Stderr();
    EXPECT_TRUE(InOrder(lines, {"info: remote delivery thread " + std::to_string(expected) + " " +
                                kId + " started"}));
    EXPECT_EQ(StopDebug(), 0);
    tree_->process().Stop();
  }
}

TEST_F(LifecycleTest, EditedAliasesReloadDomainsUserListAndAliasesInThatOrder) {
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << Stderr();
  const int before = Count(ConsoleLines(), "info: preresolving aliases...");
  EditConfigFile("aliases", "info: alice\nsales: bob\n");
  ASSERT_TRUE(WaitConsole("info: preresolving aliases..."));
  EXPECT_EQ(
      CountAfterChange([this] { return ConsoleLines(); }, "info: preresolving aliases...", before),
      before + 1);
  EXPECT_EQ(Errors(ConsoleLines()), 0) << Stderr();

  // Now each of the three fails, which shows the order of the reloads.
  fs::remove(config_ + "/domains");
  fs::create_directory(config_ + "/domains");
  fs::rename(tree_->spool_dir(), Join("spool-away"));
  fs::remove(config_ + "/aliases");
  fs::create_directory(config_ + "/aliases");
  ASSERT_TRUE(WaitConsole("error: could not reload 'aliases'-file")) << Stderr();
  EXPECT_TRUE(
      InOrder(ConsoleLines(),
              {"error: could not reload 'domains'-file", "error: could not reload user-list",
               "error: could not reload 'aliases'-file", "info: preresolving aliases\\.\\.\\."}));
  EXPECT_EQ(StopDebug(), 0);
}

TEST_F(LifecycleTest, OnlyAPasswordFileInANewMailboxRebuildsTheUserList) {
  StartDebug();
  ASSERT_TRUE(WaitConsole(std::string("info: ") + kLaunched)) << Stderr();
  const int before = Count(ConsoleLines(), "info: preresolving aliases...");
  tree_->WriteFile("spool/bob/1.eml", "mail");
  tree_->WriteFile("spool/carol/notes", "no password yet");
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(Count(ConsoleLines(), "info: preresolving aliases..."), before);
  tree_->WriteFile("spool/carol/password", "secret");
  EXPECT_EQ(
      CountAfterChange([this] { return ConsoleLines(); }, "info: preresolving aliases...", before),
      before + 1);
  EXPECT_EQ(StopDebug(), 0);
}

TEST_F(LifecycleTest, HangupRestartsWithAFreshConfigurationAndKeepsTheOldOneWhenMissing) {
  settings_["AutoTransport.Threads"] = "3";
  StartService();
  ASSERT_TRUE(WaitNotify("READY=1\nSTATUS=running", 0)) << Stderr();
  ASSERT_TRUE(WaitSyslog("info: remote delivery threads started")) << Stderr();
  size_t notes = tree_->NotifyMessages().size();
  size_t logged = SyslogLines().size();
  settings_["AutoTransport.Threads"] = "4";  // the restart takes the edited file
  WriteSettings();
  tree_->Signal(SIGHUP);
  ASSERT_TRUE(WaitSyslogAfter(logged, std::string("info: ") + kRestarted)) << Stderr();
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
       std::string("info: remote delivery thread 4 ") + kId + " started",
       std::string("info: ") + kRestarted}));
  EXPECT_TRUE(WaitNotify("RELOADING=1", notes));
  EXPECT_TRUE(WaitNotify("READY=1\nSTATUS=running", notes + 1));

  // Without the file, the settings in memory stay: four threads, and the
  // log still reaches this test's receiver.
  fs::remove(config_ + "/kelpd.cfg");
  logged = SyslogLines().size();
  tree_->Signal(SIGHUP);
  ASSERT_TRUE(WaitSyslogAfter(logged, std::string("info: ") + kRestarted));
  lines = SyslogLines();
  lines.erase(lines.begin(), lines.begin() + static_cast<long>(logged));
  EXPECT_TRUE(InOrder(lines, {"error: could not load configuration",
                              std::string("info: remote delivery thread 4 ") + kId + " started",
                              std::string("info: ") + kRestarted}));

  tree_->Signal(SIGTERM);
  EXPECT_EQ(tree_->process().WaitExit(30s), 0);
  EXPECT_TRUE(WaitSyslog("info: Zelvane Mail Delivery Agent shut down"));
}

TEST_F(LifecycleTest, HangupDoesNothingWhenConfigRestartsAreNotAllowed) {
  settings_["AllowConfigRestart"] = "0";
  StartService();
  ASSERT_TRUE(WaitSyslog(std::string("info: ") + kLaunched)) << Stderr();
  size_t logged = SyslogLines().size();
  tree_->Signal(SIGHUP);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(SyslogLines().size(), logged);
  EXPECT_TRUE(tree_->Running());
  tree_->Signal(SIGTERM);
  EXPECT_EQ(tree_->process().WaitExit(30s), 0);
}

TEST_F(LifecycleTest, PauseIdlesTheRunLoopUntilContinue) {
  StartService();
  ASSERT_TRUE(WaitNotify("READY=1\nSTATUS=running", 0)) << Stderr();
  ASSERT_TRUE(WaitSyslog(std::string("info: ") + kLaunched));
  const int before = Count(SyslogLines(), "info: preresolving aliases...");
  size_t notes = tree_->NotifyMessages().size();
  tree_->Signal(SIGUSR1);
  ASSERT_TRUE(WaitNotify("STATUS=paused", notes));
  EditConfigFile("aliases", "info: bob\n");
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(Count(SyslogLines(), "info: preresolving aliases..."), before);
  notes = tree_->NotifyMessages().size();
  tree_->Signal(SIGUSR2);
  ASSERT_TRUE(WaitNotify("READY=1\nSTATUS=running", notes));
  EXPECT_EQ(
      CountAfterChange([this] { return SyslogLines(); }, "info: preresolving aliases...", before),
      before + 1);
  tree_->Signal(SIGTERM);
  EXPECT_EQ(tree_->process().WaitExit(30s), 0);
}

TEST_F(LifecycleTest, HourlyModeRunsTheScriptAtOnceAndNeverReloadsLists) {
  settings_["AutoTransport"] = "0";
  settings_["HourlyCleanup"] = "1";
  settings_["Scripts.Execution.Parallel"] = "0";
  std::string script = tree_->WriteFile("outgoing/onarrival.cmd",
                                        "#!/bin/sh\necho \"run:$#:$1:$(pwd)\" >> runs.txt\n");
  fs::permissions(script, fs::perms::owner_all);
  StartDebug();
  ASSERT_TRUE(WaitConsole("info: postprocessing-script for \"\" finished")) << Stderr();
  const int before = Count(ConsoleLines(), "info: preresolving aliases...");
  EditConfigFile("aliases", "info: bob\n");
  std::this_thread::sleep_for(2500ms);
  auto lines = ConsoleLines();
  EXPECT_EQ(Count(lines, "info: preresolving aliases..."), before);
  EXPECT_TRUE(InOrder(lines, {"info: postprocessing-script for \"\" started",
                              "info: postprocessing-script for \"\" finished"}));
  // Once, unless the test happened to straddle the start of an hour's minute.
  EXPECT_LE(Count(lines, "info: postprocessing-script for \"\" started"), 1);
  EXPECT_EQ(ReadFile(tree_->outgoing_dir() + "/runs.txt"),
            "run:1::" + fs::canonical(tree_->outgoing_dir()).string() + "\n");
  EXPECT_EQ(StopDebug(), 0);
}

}  // namespace
