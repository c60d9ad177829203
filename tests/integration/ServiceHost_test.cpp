// The service host of the real kelpd binary: command line, install and
// removal of the unit, debug mode, service mode with status notifications.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/ServiceTree.h"
#include "support/TempDir.h"

namespace {

using kelpd::testing::ReadFile;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using kelpd::testing::TempDir;
using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;

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

// kelpd on a tree of its own that it can start on, with the test's command
// line. Its environment names MAILCONFIGDIR only when env does (the tree's
// own directory otherwise serves only a start), and never KELPD_UNIT_DIR
// from outside.
ServiceTreeOptions HostOptions(const std::vector<std::string>& args = {}) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {};
  options.domains = {"example.com"};
  options.arguments = args;
  return options;
}

void SetEnvironment(ServiceTree& tree, const Env& env, bool own_config) {
  tree.options().environment.clear();
  for (const auto& [name, value] : env) tree.options().environment.push_back(name + "=" + value);
  tree.options().unset_environment = {"KELPD_UNIT_DIR"};
  if (env.count("MAILCONFIGDIR") == 0 && !own_config)
    tree.options().unset_environment.push_back("MAILCONFIGDIR");
}

// Runs kelpd to its end.
struct Result {
  int exit_code;
  std::string out, err;
};
Result RunKelpd(ServiceTree& tree, const std::vector<std::string>& args, const Env& env) {
  tree.options().arguments = args;
  SetEnvironment(tree, env, false);
  std::string error;
  EXPECT_TRUE(tree.Start(&error)) << error;
  const int code = tree.process().WaitExit(10s);
  EXPECT_NE(code, -1);
  EXPECT_TRUE(tree.process().WaitOutputEnd(10s));
  return {code, tree.process().Stdout(), tree.process().Stderr()};
}

// Starts kelpd on its tree (MAILCONFIGDIR its configuration directory).
void Start(ServiceTree& tree, const Env& env = {}) {
  SetEnvironment(tree, env, true);
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
}

std::string ProgramPath() {
  char real[PATH_MAX];
  return ::realpath(KELPD_BINARY, real) ? real : KELPD_BINARY;
}

TEST(ServiceHost, UsageText) {
  TempDir dir;
  ServiceTree tree(HostOptions());
  Result r = RunKelpd(tree, {"-?"}, {{"MAILCONFIGDIR", dir.path()}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, "");
}

TEST(ServiceHost, InstallAndUninstall) {
  TempDir dir;
  ServiceTree tree(HostOptions());
  std::string units = dir.MakeDir("units");
  std::string config = dir.MakeDir("config");
  std::map<std::string, std::string> env = {{"KELPD_UNIT_DIR", units}, {"MAILCONFIGDIR", config}};

  Result r = RunKelpd(tree, {"-INSTALL"}, env);
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

  r = RunKelpd(tree, {"-install"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Unable to install Zelvane Mail Delivery Agent. Service is already installed. "
            "Code = 17\n");

  r = RunKelpd(tree, {"-Uninstall"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent removed.\n");
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Kelpd.service"));

  r = RunKelpd(tree, {"-uninstall"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Unable to remove Zelvane Mail Delivery Agent. You have no priviledges or the service "
            "is not installed. Code = 2\n");
}

TEST(ServiceHost, InstallAnAdditionalCopy) {
  TempDir dir;
  ServiceTree tree(HostOptions());
  std::string units = dir.MakeDir("units");
  std::map<std::string, std::string> env = {{"KELPD_UNIT_DIR", units},
                                            {"MAILCONFIGDIR", dir.Join("my config")}};
  Result r = RunKelpd(tree, {"-install", "Kelpd2", "Relay 100% #2", "-c relayd2.cfg"}, env);
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
  r = RunKelpd(tree, {"-install", "Kelpd3", "Third"}, env);
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent installed.\n");
  EXPECT_TRUE(kelpd::testing::FileExists(units + "/Kelpd.service"));
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Kelpd3.service"));

  // Removal messages carry the default display name.
  r = RunKelpd(tree, {"-uninstall", "Kelpd2"}, env);
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent removed.\n");
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Kelpd2.service"));
  EXPECT_TRUE(kelpd::testing::FileExists(units + "/Kelpd.service"));

  // Without MAILCONFIGDIR the unit names the default directory.
  r = RunKelpd(tree, {"-uninstall"}, {{"KELPD_UNIT_DIR", units}});
  EXPECT_EQ(r.out, "Zelvane Mail Delivery Agent removed.\n");
  r = RunKelpd(tree, {"-install"}, {{"KELPD_UNIT_DIR", units}});
  EXPECT_NE(ReadFile(units + "/Kelpd.service").find("\nEnvironment=MAILCONFIGDIR=/etc/zelvane\n"),
            std::string::npos);
}

TEST(ServiceHost, InstallFailuresLeaveNothingBehind) {
  TempDir dir;
  ServiceTree tree(HostOptions());
  std::map<std::string, std::string> env = {{"KELPD_UNIT_DIR", dir.Join("missing")},
                                            {"MAILCONFIGDIR", dir.path()}};
  Result r = RunKelpd(tree, {"-install"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "Unable to install Zelvane Mail Delivery Agent. Could not open the service control "
            "manager. Code = 2\n");

  // A line break in a display name would inject unit settings.
  std::string units = dir.MakeDir("units");
  env["KELPD_UNIT_DIR"] = units;
  r = RunKelpd(tree, {"-install", "Evil", "Name\nExecStartPre=/bin/false", "x"}, env);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "Unable to install Name\nExecStartPre=/bin/false. Could not create the service "
            "entry. Code = 22\n");
  EXPECT_FALSE(kelpd::testing::FileExists(units + "/Evil.service"));
}

TEST(ServiceHost, DebugModeStopsOnInterrupt) {
  ServiceTree tree(HostOptions({"-debug"}));
  Start(tree);
  ASSERT_TRUE(tree.process().WaitForStderr("fully operational\n", 10s));
  tree.Signal(SIGINT);
  EXPECT_EQ(tree.process().WaitExit(10s), 0);
  std::string err = tree.process().Stderr();
  EXPECT_NE(err.find("info: Zelvane Mail Delivery Agent 4.00.4759.1 launching...\n"),
            std::string::npos)
      << err;
  size_t down = err.find("info: Zelvane Mail Delivery Agent 4.00.4759.1 shutting down...\n");
  EXPECT_NE(down, std::string::npos) << err;
  EXPECT_NE(err.find("info: Zelvane Mail Delivery Agent shut down\n", down), std::string::npos)
      << err;
}

TEST(ServiceHost, DebugModeLeavesTerminateToItsDefault) {
  ServiceTree tree(HostOptions({"-DEBUG"}));
  Start(tree);
  ASSERT_TRUE(tree.process().WaitForStderr("launching...\n", 10s));
  tree.Signal(SIGTERM);
  EXPECT_EQ(tree.process().WaitExit(10s), 128 + SIGTERM);
  EXPECT_EQ(tree.process().Stderr().find("shutting down"), std::string::npos);
}

TEST(ServiceHost, ServiceModeNotifiesTheManager) {
  ServiceTreeOptions options = HostOptions();
  options.notify = true;
  ServiceTree tree(options);
  Start(tree);
  EXPECT_EQ(tree.NextNotify(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=1000000");
  // The application's own start-up reports, one between each of its steps.
  std::string next = tree.NextNotify();
  int reports = 0;
  for (; next == "STATUS=starting\nEXTEND_TIMEOUT_USEC=1000000"; next = tree.NextNotify())
    ++reports;
  EXPECT_GE(reports, 1);
  EXPECT_EQ(next, "READY=1\nSTATUS=running");

  tree.Signal(SIGUSR1);
  EXPECT_EQ(tree.NextNotify(), "STATUS=pausing\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_EQ(tree.NextNotify(), "STATUS=paused");
  tree.Signal(SIGUSR2);
  EXPECT_EQ(tree.NextNotify(), "STATUS=continuing\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_EQ(tree.NextNotify(), "READY=1\nSTATUS=running");
  // Ready again only once the restart is over: one report, after it.
  tree.Signal(SIGHUP);
  EXPECT_EQ(tree.NextNotify(), "RELOADING=1");
  EXPECT_EQ(tree.NextNotify(), "READY=1\nSTATUS=running");

  tree.Signal(SIGTERM);
  EXPECT_EQ(tree.NextNotify(), "STOPPING=1\nEXTEND_TIMEOUT_USEC=1000000");
  // The application's reports between the workers it stops.
  next = tree.NextNotify();
  reports = 0;
  for (; next == "STOPPING=1\nEXTEND_TIMEOUT_USEC=2000000"; next = tree.NextNotify()) ++reports;
  EXPECT_GE(reports, 1);
  EXPECT_EQ(next, "STATUS=stopped");
  EXPECT_EQ(tree.process().WaitExit(10s), 0);
  // No console in service mode.
  EXPECT_EQ(tree.process().Stdout(), "");
}

TEST(ServiceHost, FromATerminalWithoutManagerTheDispatcherFails) {
  ServiceTreeOptions options = HostOptions();
  options.terminal_input = true;
  ServiceTree tree(options);
  Start(tree, {{"MAILCONFIGDIR", tree.root()}});
  EXPECT_EQ(tree.process().WaitExit(10s), 1);
  EXPECT_TRUE(std::regex_match(
      tree.process().Stderr(),
      std::regex("StartServiceCtrlDispatcher failed in Common\\\\Service:[0-9]+ with "
                 "error 25\n")))
      << tree.process().Stderr();
}

TEST(ServiceHost, WithoutTerminalItRunsAsAService) {
  // Parameters such as "-c" also start the service.
  ServiceTree tree(HostOptions({"-c", "other.cfg"}));
  const std::string config = tree.config_dir() + "/kelpd.cfg";
  tree.WriteList("other.cfg", ReadFile(config));
  std::filesystem::remove(config);
  Start(tree);
  ASSERT_TRUE(tree.WaitOperational(10s)) << tree.Log();  // runs until stopped
  tree.Signal(SIGINT);
  EXPECT_EQ(tree.process().WaitExit(10s), 0);
  EXPECT_EQ(tree.process().Stderr(), "");
}

}  // namespace
