// The local delivery agent inside the real kelpd, run with "-debug" on a
// temporary mail tree: mailbox files, their Received headers, the helper
// script, the file lock shared with other programs, forwarding and the error
// directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "mail/Mail.h"
#include "mail/Srs.h"
#include "platform/FileLock.h"
#include "support/MailParts.h"
#include "support/ServiceTree.h"
#include "support/WaitFor.h"

namespace kelpd::testing {
namespace {

using namespace std::chrono_literals;

ServiceTreeOptions LocalOptions() {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {};
  options.debug_mode = true;
  return options;
}

class LocalDeliveryIntegration : public ::testing::Test {
 protected:
  LocalDeliveryIntegration() : tree(LocalOptions()) {}
  void SetUp() override {
    ::setenv("MAILCONFIGDIR", tree.config_dir().c_str(), 1);
    ::setenv("MAILLOCKDIR", tree.lock_dir().c_str(), 1);
    tree.WriteList("domains", "example.org\n");
    tree.WriteList("backupdomains", "");
    tree.WriteList("aliases", "fwd@example.org:\tdave@remote.example\n");
    tree.WriteList("filters", "cheap pills\n");
  }
  void TearDown() override {
    tree.Stop(5000ms);
    ::unsetenv("MAILCONFIGDIR");
    ::unsetenv("MAILLOCKDIR");
    ::unsetenv("TZ");
  }

  void Start(std::vector<std::string> settings = {}) {
    settings.insert(settings.begin(), "AutoTransport:\t0");
    tree.WriteConfiguration(settings);
    std::string error;
    ASSERT_TRUE(tree.Start(&error)) << error;
    ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  }

  static bool WaitForFile(const std::string& path, std::chrono::milliseconds limit = 30s) {
    return WaitFor([&] { return FileExists(path); }, limit);
  }

  ServiceTree tree;
};

TEST_F(LocalDeliveryIntegration, TwoRecipientsGetTheirOwnCopyAndTheScriptRunsInTheMailbox) {
  const std::string alice = tree.AddUser("Alice");
  const std::string bob = tree.AddUser("bob", "NextUID:\t7\n");
  tree.QueueMail("../spool/bob/7.eml", "older");
  const std::string script = tree.root() + "/spool/Alice/onarrival.cmd";
  {
    std::string text = "#!/bin/sh\necho \"$(pwd) $1\" >> " + tree.root() + "/script.out\n";
    FILE* f = std::fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    ::chmod(script.c_str(), 0755);
  }
  ::setenv("TZ", "Asia/Kolkata", 1);
  Start({"Scripts.Execution.Parallel:\t0"});
  tree.QueueMail("m1.eml", QueuedMail("carol@remote.example", "alice@example.org, bob@example.org",
                                      "Hello", "m1@remote.example"));
  ASSERT_TRUE(WaitForFile(bob + "/8.eml")) << tree.Log();
  ASSERT_TRUE(WaitForFile(alice + "/1.eml"));
  EXPECT_TRUE(WaitFor([&] { return !FileExists(tree.queue_dir() + "/m1.eml"); }, 30s));

  const std::string a = ReadFile(alice + "/1.eml");
  const std::string b = ReadFile(bob + "/8.eml");
  const std::string rest =
      ">; DATE\r\nReceived: from client.remote.example by mx.example.org\r\nMessage-ID: "
      "<m1@remote.example>\r\nFrom: <carol@remote.example>\r\nTo: alice@example.org, "
      "bob@example.org\r\nSubject: Hello\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\nHello "
      "there.\r\n";
  const size_t by = a.find("Received: by ");
  ASSERT_NE(by, std::string::npos) << a;
  const std::string host = a.substr(by + 13, a.find(' ', by + 13) - by - 13);
  const std::string head = "Return-Path: <carol@remote.example>\r\nReceived: by " + host +
                           " (Zelvane Mail Delivery Agent 4.00.4759.1)\r\n\twith KMTP for <";
  EXPECT_EQ(MaskReceivedDates(a), head + "alice@example.org" + rest);
  EXPECT_EQ(MaskReceivedDates(b), head + "bob@example.org" + rest);
  EXPECT_NE(a.find(" +0530\r\nReceived: from"), std::string::npos) << a;
  EXPECT_EQ(ReadFile(bob + "/7.eml"), "older");
  EXPECT_NE(ReadFile(bob + "/config").find("NextUID:9"), std::string::npos);

  EXPECT_EQ(ReadFile(tree.root() + "/script.out"), alice + " " + alice + "/1.eml\n");
  EXPECT_TRUE(tree.WaitForLog("postprocessing-script for \"" + alice + "/1.eml\" finished", 30s))
      << tree.Log();
  EXPECT_NE(tree.Log().find("info: mail <m1@remote.example> from <carol@remote.example> to "
                            "<alice@example.org> saved in <alice>"),
            std::string::npos)
      << tree.Log();
}

TEST_F(LocalDeliveryIntegration, FileLockedByAnotherProgramWaitsForItsRelease) {
  const std::string alice = tree.AddUser("alice");
  Start();
  const std::string path = tree.queue_dir() + "/held.eml";
  platform::NamedLock held(CMail::LockNameOf(path));
  ASSERT_EQ(held.Lock(0), platform::LockResult::kAcquired);
  tree.QueueMail("held.eml", QueuedMail("carol@remote.example", "alice@example.org", "Hi", "h@x"));
  // The agent waits up to 10 s for the lock before it gives up for this pass.
  ASSERT_TRUE(tree.WaitForLog(
      "warning: Looks like lock on file \"" + path + "\" failed, retrying later!", 20s))
      << tree.Log();
  EXPECT_TRUE(FileExists(path));
  EXPECT_FALSE(FileExists(alice + "/1.eml"));
  held.Unlock();
  ASSERT_TRUE(WaitForFile(alice + "/1.eml", 20s)) << tree.Log();
  EXPECT_NE(ReadFile(alice + "/1.eml").find("Subject: Hi\r\n"), std::string::npos);
}

TEST_F(LocalDeliveryIntegration, ForwardingFilteringAndTheErrorDirectory) {
  tree.AddUser("alice");
  Start({"SRS.Domain:\tsrs.example.org", "SRS.Challenge:\ts3cret"});
  const std::string unknown =
      QueuedMail("carol@remote.example", "nobody@example.org", "Who", "n@remote.example");
  tree.QueueMail("unknown.eml", unknown);
  tree.QueueMail("fwd.eml", QueuedMail("carol@remote.example", "fwd@example.org", "Fwd", "f@x"));
  tree.QueueMail("spam.eml", QueuedMail("carol@remote.example", "alice@example.org",
                                        "Cheap Pills today", "s@x"));
  ASSERT_TRUE(WaitForFile(tree.error_dir() + "/unknown.eml")) << tree.Log();
  EXPECT_EQ(ReadFile(tree.error_dir() + "/unknown.eml"), unknown);
  EXPECT_TRUE(
      tree.WaitForLog("error: recipient in mail <n@remote.example> from "
                      "<carol@remote.example> to <nobody@example.org> not valid",
                      30s));
  EXPECT_TRUE(WaitFor([&] { return ListNames(tree.queue_dir()).empty(); }, 30s));

  const std::vector<std::string> out = ListNames(tree.outgoing_dir());
  ASSERT_EQ(out.size(), 1u);
  const std::string copy = ReadFile(tree.outgoing_dir() + "/" + out[0]);
  EXPECT_EQ(copy.rfind("X-Envelope-From: " +
                           SrsRewrite("carol@remote.example", "srs.example.org", "s3cret") +
                           "\r\nX-Envelope-To: dave@remote.example\r\n",
                       0),
            0u)
      << copy;
  EXPECT_NE(copy.find("\r\nX-Resent-For: fwd@example.org\r\n"), std::string::npos);

  EXPECT_EQ(ListNames(tree.filter_dir()).size(), 1u);
  EXPECT_EQ(ListNames(tree.spool_dir() + "/alice"),
            (std::vector<std::string>{"config", "password"}));
  EXPECT_TRUE(tree.WaitForLog(
      "warning: mail <s@x> from <carol@remote.example> to <alice@example.org> has been "
      "filtered due to \"cheap pills\"",
      30s));
}

}  // namespace
}  // namespace kelpd::testing
