// Remote delivery end to end: the real kelpd in debug mode sends the files of
// its outgoing directory to a private MTA, to the scripted SMTP peer and to
// smtp-sink on loopback ports, with a test auto-responder on PATH that
// records its arguments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ScriptedSmtpServer.h"
#include "support/PostfixInstance.h"
#include "support/ServiceTree.h"
#include "support/WaitFor.h"

namespace {

using kelpd::testing::FileExists;
using kelpd::testing::PostfixInstance;
using kelpd::testing::PostfixOptions;
using kelpd::testing::ReadFile;
using kelpd::testing::ReplyLines;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::ServiceTree;
using kelpd::testing::WaitFor;
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

// A tree of its own for each test, kelpd in debug mode.
kelpd::testing::ServiceTreeOptions RemoteOptions(const Settings& settings = {}) {
  Settings cfg = {{"AutoTransport", "1"}, {"AutoTransport.Threads", "2"}, {"TimeOut", "60"}};
  for (const auto& [k, v] : settings) cfg[k] = v;
  kelpd::testing::ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {};
  options.domains = {"local.example"};
  options.debug_mode = true;
  for (const auto& [k, v] : cfg) options.settings.push_back(k + ":\t" + v);
  return options;
}

// Starts kelpd with the test auto-responder on PATH, which records each
// run's arguments in a line of "autoresp.log", and waits for the start-up.
bool Started(ServiceTree& tree) {
  tree.InstallProgram("autoresp.exe",
                      "#!/bin/sh\necho \"$*\" >> " + tree.root() + "/autoresp.log\n");
  std::string error;
  return tree.Start(&error) && tree.WaitOperational(30s);
}

std::string AutorespRuns(const ServiceTree& tree) {
  return ReadFile(tree.root() + "/autoresp.log");
}

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

TEST_F(RemoteDeliveryTest, HostWithoutCredentialsGetsTlsWithoutAuthAndTrafficLine) {
  PostfixOptions options;
  options.starttls = true;
  options.auth = true;
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  ServiceTree tree(RemoteOptions());
  tree.WriteList("smarthosts", "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path =
      tree.PlaceMail(tree.outgoing_dir(), "a1.eml",
                     MailText("alice@local.example", "bob@remote.example", "a1@local.example"));
  tree.PlaceMail(tree.outgoing_dir(), "a1.eml.err", "old report");
  ASSERT_TRUE(Started(tree)) << tree.Log();
  ASSERT_TRUE(mta.WaitForDelivered(1, 30s)) << mta.Log() << tree.Log();
  ASSERT_TRUE(tree.WaitForLog("Traffic: L, alice@local.example, R, bob@remote.example, ", 30s))
      << tree.Log();
  auto got = mta.Delivered();
  EXPECT_EQ(got[0].sender, "alice@local.example");
  EXPECT_EQ(got[0].recipient, "bob@remote.example");
  EXPECT_THAT(got[0].data, HasSubstr("with ESMTPS id"));  // TLS where offered, no AUTH
  EXPECT_THAT(got[0].content, HasSubstr("body of a1@local.example"));
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(FileExists(path + ".err"));
  EXPECT_EQ(tree.CountInLog("successfully delivered mail from <alice@local.example> "
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
  ServiceTree tree(RemoteOptions());
  // The password holds ':' and '@'.
  tree.WriteList("smarthosts", std::string("*:\t") + kelpd::testing::kPeerUser + ":" +
                                   kelpd::testing::kPeerPassword +
                                   "@127.0.0.1:" + std::to_string(mta.port()) + "\n");
  tree.PlaceMail(tree.outgoing_dir(), "c1.eml",
                 MailText("alice@local.example", "bob@remote.example", "c1@local.example"));
  ASSERT_TRUE(Started(tree)) << tree.Log();
  ASSERT_TRUE(mta.WaitForDelivered(1, 30s)) << mta.Log() << tree.Log();
  EXPECT_THAT(mta.Delivered()[0].data, HasSubstr("with ESMTPSA id"));
  EXPECT_THAT(tree.Log(), Not(HasSubstr(kelpd::testing::kPeerPassword)));
}

TEST_F(RemoteDeliveryTest, RejectedRecipientIsReturnedThroughTheResponder) {
  PostfixInstance mta(QuickRefusals());
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  ServiceTree tree(
      RemoteOptions(Settings{{"Postmaster", "pm@local.example"}, {"Bounce.Attachment", "1"}}));
  tree.WriteList("smarthosts", "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path = tree.PlaceMail(
      tree.outgoing_dir(), "r1.eml",
      MailText("alice@local.example", kelpd::testing::kRejectRecipient, "r1@local.example"));
  ASSERT_TRUE(Started(tree)) << tree.Log();
  ASSERT_TRUE(tree.WaitForLog("permanently failed with error 19. I am giving up!", 30s))
      << tree.Log();
  WaitFor([&] { return AutorespRuns(tree).find("-to") != std::string::npos; }, 30s);
  EXPECT_EQ(AutorespRuns(tree), path + " -t " + path + ".err -b full -ib -s -k -o\n" + path +
                                    " -t " + path +
                                    ".err -b header -ib -s -to pm@local.example -o\n");
  EXPECT_THAT(ReadFile(path + ".err"), HasSubstr("permanent fatal errors"));
  // Given up: held, so it is not tried again in this run.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(tree.CountInLog("trying to connect to 127.0.0.1"), 1);
}

TEST_F(RemoteDeliveryTest, DeferredMailIsRetriedInTheNextCycle) {
  PostfixInstance mta(QuickRefusals());
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  // A cycle as often as the scan allows (more than 0 minutes since the last).
  ServiceTree tree(RemoteOptions(Settings{{"AutoTransRetry", "0"}}));
  tree.WriteList("smarthosts", "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path = tree.PlaceMail(
      tree.outgoing_dir(), "d1.eml",
      MailText("alice@local.example", kelpd::testing::kDeferRecipient, "d1@local.example"));
  ASSERT_TRUE(Started(tree)) << tree.Log();
  const std::string deferred =
      "Delivering \"" + path + "\" temporarily failed with error 9. I will retry later!";
  EXPECT_TRUE(WaitFor([&] { return tree.CountInLog(deferred) >= 2; }, 6s)) << tree.Log();
  EXPECT_THAT(ReadFile(path + ".err"), HasSubstr("continuous fatal errors"));
  EXPECT_EQ(AutorespRuns(tree), "");
}

TEST_F(RemoteDeliveryTest, TemporaryFailureOfAnOldMailGivesItUp) {
  PostfixInstance mta(QuickRefusals());
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  // Older than 0 minutes once a second has passed; reports disabled.
  ServiceTree tree(RemoteOptions(
      Settings{{"AutoTransRetry", "0"}, {"AutoTransTime", "0"}, {"Bounce.Disable", "1"}}));
  tree.WriteList("smarthosts", "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  std::string path = tree.PlaceMail(
      tree.outgoing_dir(), "d1.eml",
      MailText("alice@local.example", kelpd::testing::kDeferRecipient, "d1@local.example"));
  ASSERT_TRUE(Started(tree)) << tree.Log();
  ASSERT_TRUE(tree.WaitForLog(
      "Delivering \"" + path + "\" failed for 0 minutes with error 9. I am giving up!", 30s))
      << tree.Log();
  // The log line comes just before the deletes.
  EXPECT_TRUE(WaitFor([&] { return !FileExists(path + ".err"); }, 30s));
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(AutorespRuns(tree), "");
}

TEST_F(RemoteDeliveryTest, EightThreadsDeliverEachMailOnce) {
  PostfixInstance mta;
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  ServiceTree tree(RemoteOptions(Settings{{"AutoTransport.Threads", "8"}}));
  tree.WriteList("smarthosts", "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  constexpr int kMails = 40;
  for (int i = 0; i < kMails; ++i)
    tree.PlaceMail(tree.outgoing_dir(), "m" + std::to_string(i) + ".eml",
                   MailText("alice@local.example", "r" + std::to_string(i) + "@remote.example",
                            "m" + std::to_string(i) + "@local.example"));
  ASSERT_TRUE(Started(tree)) << tree.Log();
  ASSERT_TRUE(mta.WaitForDelivered(kMails, 30s)) << tree.Log();
  std::this_thread::sleep_for(1500ms);
  auto got = mta.Delivered();
  std::set<std::string> recipients;
  for (auto& m : got) recipients.insert(m.recipient);
  EXPECT_EQ(got.size(), static_cast<size_t>(kMails));
  EXPECT_EQ(recipients.size(), static_cast<size_t>(kMails));
  EXPECT_EQ(tree.CountInLog("remote delivery thread (id "), 8);
}

TEST_F(RemoteDeliveryTest, BrokenFileGoesToTheErrorDirectory) {
  ServiceTree tree(RemoteOptions());
  tree.PlaceMail(tree.outgoing_dir(), "b1.eml", "Subject: no envelope\r\n\r\nbody\r\n");
  ASSERT_TRUE(Started(tree)) << tree.Log();
  ASSERT_TRUE(tree.WaitForLog("sending mail 'b1.eml' failed", 30s)) << tree.Log();
  EXPECT_EQ(tree.CountInLog("failed with error 29"), 1);
  EXPECT_TRUE(WaitFor([&] { return FileExists(tree.error_dir() + "/b1.eml"); }, 30s));
  EXPECT_FALSE(FileExists(tree.outgoing_dir() + "/b1.eml"));
}

// The stop ends the session with the silent host and comes before the next
// host: nothing was sent, so the mail stays for the next start.
TEST_F(RemoteDeliveryTest, StopBetweenHostsLeavesTheMailForTheNextStart) {
  ScriptedSmtpServer silent([](ScriptedConnection& c, int) { c.Silence(15000); });
  ScriptedSmtpServer second([](ScriptedConnection& c, int) { c.Send("220 x\r\n"); });
  ServiceTree tree(RemoteOptions(Settings{{"AutoTransport.Threads", "1"}}));
  tree.WriteList("smarthosts", "*:\t127.0.0.1:" + std::to_string(silent.port()) +
                                   ", 127.0.0.1:" + std::to_string(second.port()) + "\n");
  tree.PlaceMail(tree.outgoing_dir(), "s1.eml",
                 MailText("alice@local.example", "bob@remote.example", "s1@local.example"));
  ASSERT_TRUE(Started(tree)) << tree.Log();
  WaitFor([&] { return silent.Connections() != 0; }, 30s);
  ASSERT_EQ(silent.Connections(), 1);
  tree.Stop(10s);
  EXPECT_EQ(tree.CountInLog("\" stopped before a host was tried; the mail stays in the outgoing "
                            "directory for the next start."),
            1)
      << tree.Log();
  EXPECT_EQ(tree.CountInLog("\" aborted, thread has been shut down."), 0);
  EXPECT_TRUE(FileExists(tree.outgoing_dir() + "/s1.eml"));
  EXPECT_FALSE(FileExists(tree.error_dir() + "/s1.eml"));
  EXPECT_EQ(second.Connections(), 0);
}

// Mails waiting for the same smarthost go over one connection, one after
// another (RSET before each further mail); each is logged once as if it had
// a session of its own, and a refused recipient fails only its own mail.
TEST_F(RemoteDeliveryTest, WaitingMailsForOneSmarthostShareAConnection) {
  PostfixInstance mta(QuickRefusals());
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  ServiceTree tree(RemoteOptions(Settings{{"AutoTransport.Threads", "1"}}));
  tree.WriteList("smarthosts", "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n");
  constexpr int kMails = 6;
  const std::string refused = kelpd::testing::kRejectRecipient;
  for (int i = 1; i <= kMails; ++i) {
    const std::string id = "r" + std::to_string(i);
    const std::string to = i == 3 ? refused : "rcpt" + std::to_string(i) + "@remote.example";
    tree.PlaceMail(tree.outgoing_dir(), id + ".eml",
                   MailText("alice@local.example", to, id + "@local.example"));
  }
  ASSERT_TRUE(Started(tree)) << tree.Log();
  ASSERT_TRUE(mta.WaitForDelivered(kMails - 1, 30s)) << mta.Log() << tree.Log();
  ASSERT_TRUE(tree.WaitForLog("permanently failed with error", 30s)) << tree.Log();
  for (int i = 1; i <= kMails; ++i) {
    if (i == 3) continue;
    const std::string to = "rcpt" + std::to_string(i) + "@remote.example";
    ASSERT_TRUE(tree.WaitForLog("Traffic: L, alice@local.example, R, " + to + ", ", 30s))
        << tree.Log();
    EXPECT_EQ(
        tree.CountInLog("successfully delivered mail from <alice@local.example> to <" + to + ">"),
        1);
    EXPECT_EQ(tree.CountInLog("Traffic: L, alice@local.example, R, " + to + ", "), 1);
    EXPECT_FALSE(FileExists(tree.outgoing_dir() + "/r" + std::to_string(i) + ".eml"));
  }
  EXPECT_EQ(mta.Delivered().size(), static_cast<size_t>(kMails - 1));
  EXPECT_EQ(tree.CountInLog("permanently failed with error"), 1);
  EXPECT_THAT(ReadFile(tree.outgoing_dir() + "/r3.eml.err"), HasSubstr(refused));
  EXPECT_LT(tree.CountInLog("trying to connect to 127.0.0.1"), kMails) << tree.Log();
}

}  // namespace
