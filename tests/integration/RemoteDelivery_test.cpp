// Remote delivery end to end: the real kelpd in debug mode sends the files of
// its outgoing directory to a private MTA, to the scripted SMTP peer and to
// smtp-sink on loopback ports, with a test auto-responder on PATH that
// records its arguments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ScriptedSmtpServer.h"
#include "support/PeerProcess.h"
#include "support/PostfixInstance.h"
#include "support/TempDir.h"

namespace {

using kelpd::testing::FileExists;
using kelpd::testing::PeerProcess;
using kelpd::testing::PostfixInstance;
using kelpd::testing::PostfixOptions;
using kelpd::testing::ReadFile;
using kelpd::testing::ReplyLines;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
using Settings = std::map<std::string, std::string>;

std::string MailText(const std::string& sender, const std::string& recipient,
                     const std::string& id) {
  return "X-Envelope-From: <" + sender + ">\r\nX-Envelope-To: <" + recipient +
         ">\r\nMessage-ID: <" + id + ">\r\nFrom: <" + sender + ">\r\nTo: <" + recipient +
         ">\r\nSubject: remote " + id + "\r\n\r\nbody of " + id + "\r\n";
}

// A mail tree of its own and one kelpd -debug on it.
class RemoteTree {
 public:
  explicit RemoteTree(std::map<std::string, std::string> settings = {}) {
    for (const char* d : {"config", "lock", "queue", "spool", "error", "outgoing", "filtered"})
      dir_.MakeDir(d);
    dir_.MakeDir("bin");
    // The test auto-responder: one line per run with its arguments.
    dir_.WriteFile("bin/autoresp.exe",
                   "#!/bin/sh\necho \"$*\" >> " + dir_.Join("autoresp.log") + "\n");
    std::filesystem::permissions(dir_.Join("bin/autoresp.exe"), std::filesystem::perms::owner_all);
    std::map<std::string, std::string> cfg = {
        {"QueueDir", dir_.Join("queue")},     {"SpoolDir", dir_.Join("spool")},
        {"ErrorDir", dir_.Join("error")},     {"OutgoingDir", dir_.Join("outgoing")},
        {"FilterDir", dir_.Join("filtered")}, {"AutoTransport", "1"},
        {"AutoTransport.Threads", "2"},       {"TimeOut", "60"}};
    for (auto& [k, v] : settings) cfg[k] = v;
    std::string text;
    for (auto& [k, v] : cfg) text += k + ":\t" + v + "\n";
    dir_.WriteFile("config/kelpd.cfg", text);
    dir_.WriteFile("config/domains", "local.example\n");
    dir_.WriteFile("config/backupdomains", "");
    dir_.WriteFile("config/aliases", "");
    dir_.WriteFile("config/filters", "");
    dir_.WriteFile("config/smarthosts", "");
  }
  ~RemoteTree() { kelpd_.Stop(); }

  void SmartHosts(const std::string& text) { dir_.WriteFile("config/smarthosts", text); }
  std::string Outgoing(const std::string& name, const std::string& text) {
    std::string tmp = dir_.WriteFile("outgoing/." + name + ".tmp", text);
    std::filesystem::rename(tmp, dir_.Join("outgoing/" + name));
    return dir_.Join("outgoing/" + name);
  }
  bool Start() {
    ::setenv("MAILCONFIGDIR", dir_.Join("config").c_str(), 1);
    ::setenv("MAILLOCKDIR", dir_.Join("lock").c_str(), 1);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    ::setenv("PATH", (dir_.Join("bin") + ":" + path).c_str(), 1);
    std::string error;
    bool ok = kelpd_.Start({KELPD_BINARY, "-debug"}, &error);
    ::setenv("PATH", path.c_str(), 1);
    ::unsetenv("MAILCONFIGDIR");
    ::unsetenv("MAILLOCKDIR");
    return ok && Wait("fully operational", 30s);
  }
  bool Wait(const std::string& text, std::chrono::milliseconds timeout) {
    return kelpd_.WaitForStderr(text, timeout) || kelpd_.WaitForStdout(text, 0ms);
  }
  int Count(const std::string& text) const {
    std::string all = kelpd_.Stderr();
    int n = 0;
    for (size_t p = all.find(text); p != std::string::npos; p = all.find(text, p + 1)) ++n;
    return n;
  }
  // Ends kelpd with Ctrl+C and waits for its shutdown.
  void Stop() {
    ::kill(kelpd_.pid(), SIGINT);
    kelpd_.WaitExit(10s);
  }
  std::string Log() const { return kelpd_.Stderr(); }
  std::string Autoresp() const { return ReadFile(dir_.Join("autoresp.log")); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  PeerProcess kelpd_;
};

// A peer that answers refusals without the MTA's usual pause.
PostfixOptions QuickRefusals() {
  PostfixOptions options;
  options.extra_main_cf = {"smtpd_error_sleep_time = 0", "smtpd_soft_error_limit = 1000"};
  return options;
}

class RemoteDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = PostfixInstance::MissingPrerequisite();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
};

TEST_F(RemoteDeliveryTest, HostWithoutCredentialsGetsPlainSessionAndTrafficLine) {
  PostfixOptions options;
  options.starttls = true;
  options.auth = true;
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  RemoteTree tree;
  tree.SmartHosts("*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path = tree.Outgoing(
      "a1.eml", MailText("alice@local.example", "bob@remote.example", "a1@local.example"));
  tree.Outgoing("a1.eml.err", "old report");
  ASSERT_TRUE(tree.Start()) << tree.Log();
  ASSERT_TRUE(mta.WaitForDelivered(1, 30s)) << mta.Log() << tree.Log();
  ASSERT_TRUE(tree.Wait("Traffic: L, alice@local.example, R, bob@remote.example, ", 30s))
      << tree.Log();
  auto got = mta.Delivered();
  EXPECT_EQ(got[0].sender, "alice@local.example");
  EXPECT_EQ(got[0].recipient, "bob@remote.example");
  EXPECT_THAT(got[0].data, HasSubstr("with ESMTP id"));  // neither TLS nor AUTH
  EXPECT_THAT(got[0].content, HasSubstr("body of a1@local.example"));
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(FileExists(path + ".err"));
  EXPECT_EQ(tree.Count("successfully delivered mail from <alice@local.example> "
                       "to <bob@remote.example>"),
            1);
}

TEST_F(RemoteDeliveryTest, HostWithCredentialsUsesStartTlsAndAuth) {
  PostfixOptions options;
  options.starttls = true;
  options.auth = true;
  options.require_auth_to_relay = true;
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  RemoteTree tree;
  // The password holds ':' and '@'.
  tree.SmartHosts(std::string("*:\t") + kelpd::testing::kPeerUser + ":" +
                  kelpd::testing::kPeerPassword + "@127.0.0.1:" + std::to_string(mta.port()) +
                  "\n");
  tree.Outgoing("c1.eml",
                MailText("alice@local.example", "bob@remote.example", "c1@local.example"));
  ASSERT_TRUE(tree.Start()) << tree.Log();
  ASSERT_TRUE(mta.WaitForDelivered(1, 30s)) << mta.Log() << tree.Log();
  EXPECT_THAT(mta.Delivered()[0].data, HasSubstr("with ESMTPSA id"));
  EXPECT_THAT(tree.Log(), Not(HasSubstr(kelpd::testing::kPeerPassword)));
}

TEST_F(RemoteDeliveryTest, RejectedRecipientIsReturnedThroughTheResponder) {
  PostfixInstance mta(QuickRefusals());
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  RemoteTree tree(Settings{{"Postmaster", "pm@local.example"}, {"Bounce.Attachment", "1"}});
  tree.SmartHosts("*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path = tree.Outgoing(
      "r1.eml",
      MailText("alice@local.example", kelpd::testing::kRejectRecipient, "r1@local.example"));
  ASSERT_TRUE(tree.Start()) << tree.Log();
  ASSERT_TRUE(tree.Wait("permanently failed with error 19. I am giving up!", 30s)) << tree.Log();
  for (int i = 0; i < 600 && tree.Autoresp().find("-to") == std::string::npos; ++i)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(tree.Autoresp(), path + " -t " + path + ".err -b full -ib -s -k -o\n" + path + " -t " +
                                 path + ".err -b header -ib -s -to pm@local.example -o\n");
  EXPECT_THAT(ReadFile(path + ".err"), HasSubstr("permanent fatal errors"));
  // Given up: held, so it is not tried again in this run.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(tree.Count("trying to connect to 127.0.0.1"), 1);
}

TEST_F(RemoteDeliveryTest, DeferredMailIsRetriedInTheNextCycle) {
  PostfixInstance mta(QuickRefusals());
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  // A cycle as often as the scan allows (more than 0 minutes since the last).
  RemoteTree tree(Settings{{"AutoTransRetry", "0"}});
  tree.SmartHosts("*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path = tree.Outgoing(
      "d1.eml",
      MailText("alice@local.example", kelpd::testing::kDeferRecipient, "d1@local.example"));
  ASSERT_TRUE(tree.Start()) << tree.Log();
  const std::string deferred =
      "Delivering \"" + path + "\" temporarily failed with error 9. I will retry later!";
  for (int i = 0; i < 1500 && tree.Count(deferred) < 2; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_GE(tree.Count(deferred), 2) << tree.Log();
  EXPECT_THAT(ReadFile(path + ".err"), HasSubstr("continuous fatal errors"));
  EXPECT_EQ(tree.Autoresp(), "");
}

TEST_F(RemoteDeliveryTest, TemporaryFailureOfAnOldMailGivesItUp) {
  PostfixInstance mta(QuickRefusals());
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  // Older than 0 minutes once a second has passed; reports disabled.
  RemoteTree tree(
      Settings{{"AutoTransRetry", "0"}, {"AutoTransTime", "0"}, {"Bounce.Disable", "1"}});
  tree.SmartHosts("*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path = tree.Outgoing(
      "d1.eml",
      MailText("alice@local.example", kelpd::testing::kDeferRecipient, "d1@local.example"));
  ASSERT_TRUE(tree.Start()) << tree.Log();
  ASSERT_TRUE(tree.Wait(
      "Delivering \"" + path + "\" failed for 0 minutes with error 9. I am giving up!", 30s))
      << tree.Log();
  // The log line comes just before the deletes.
  for (int i = 0; i < 1500 && FileExists(path + ".err"); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(FileExists(path + ".err"));
  EXPECT_EQ(tree.Autoresp(), "");
}

TEST_F(RemoteDeliveryTest, EightThreadsDeliverEachMailOnce) {
  PostfixInstance mta;
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  RemoteTree tree(Settings{{"AutoTransport.Threads", "8"}});
  tree.SmartHosts("*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  constexpr int kMails = 40;
  for (int i = 0; i < kMails; ++i)
    tree.Outgoing("m" + std::to_string(i) + ".eml",
                  MailText("alice@local.example", "r" + std::to_string(i) + "@remote.example",
                           "m" + std::to_string(i) + "@local.example"));
  ASSERT_TRUE(tree.Start()) << tree.Log();
  ASSERT_TRUE(mta.WaitForDelivered(kMails, 30s)) << tree.Log();
  std::this_thread::sleep_for(1500ms);
  auto got = mta.Delivered();
  std::set<std::string> recipients;
  for (auto& m : got) recipients.insert(m.recipient);
  EXPECT_EQ(got.size(), static_cast<size_t>(kMails));
  EXPECT_EQ(recipients.size(), static_cast<size_t>(kMails));
  EXPECT_EQ(tree.Count("remote delivery thread (id "), 8);
}

TEST_F(RemoteDeliveryTest, BrokenFileGoesToTheErrorDirectory) {
  RemoteTree tree;
  tree.Outgoing("b1.eml", "Subject: no envelope\r\n\r\nbody\r\n");
  ASSERT_TRUE(tree.Start()) << tree.Log();
  ASSERT_TRUE(tree.Wait("sending mail 'b1.eml' failed", 30s)) << tree.Log();
  EXPECT_EQ(tree.Count("failed with error 29"), 1);
  for (int i = 0; i < 1500 && !FileExists(tree.dir().Join("error/b1.eml")); ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(FileExists(tree.dir().Join("error/b1.eml")));
  EXPECT_FALSE(FileExists(tree.dir().Join("outgoing/b1.eml")));
}

TEST_F(RemoteDeliveryTest, StopDuringADeliveryAbortsIt) {
  ScriptedSmtpServer silent([](ScriptedConnection& c, int) { c.Silence(15000); });
  ScriptedSmtpServer second([](ScriptedConnection& c, int) { c.Send("220 x\r\n"); });
  RemoteTree tree(Settings{{"AutoTransport.Threads", "1"}});
  tree.SmartHosts("*:\t127.0.0.1:" + std::to_string(silent.port()) +
                  ", 127.0.0.1:" + std::to_string(second.port()) + "\n");
  tree.Outgoing("s1.eml",
                MailText("alice@local.example", "bob@remote.example", "s1@local.example"));
  ASSERT_TRUE(tree.Start()) << tree.Log();
  for (int i = 0; i < 1500 && silent.Connections() == 0; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(silent.Connections(), 1);
  tree.Stop();
  EXPECT_EQ(tree.Count("\" aborted, thread has been shut down."), 1) << tree.Log();
  EXPECT_TRUE(FileExists(tree.dir().Join("error/s1.eml")));
  EXPECT_EQ(second.Connections(), 0);
}

}  // namespace
