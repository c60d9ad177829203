#include "local/LocalAgent.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "mail/Srs.h"
#include "platform/FileLock.h"
#include "platform/LocalTime.h"
#include "support/LocalTestFixture.h"

namespace kelpd::testing {
namespace {

class LocalAgentTest : public LocalDeliveryTest {
 protected:
  // The mailbox file of one copy as the store writes it (date masked).
  std::string MailboxCopy(const std::string& host, const std::string& recipient,
                          const std::string& to, const std::string& subject,
                          const std::string& id) {
    return "Return-Path: <carol@remote.example>\r\nReceived: by " + host +
           " (Zelvane Mail Delivery Agent 4.00.4759.1)\r\n\twith KMTP for <" + recipient +
           ">; DATE\r\nReceived: from client.remote.example by mx.example.org\r\nMessage-ID: <" +
           id + ">\r\nFrom: <carol@remote.example>\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\nHello there.\r\n";
  }
};

class LocalAgentSyncTest : public LocalAgentTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(LocalAgentSyncTest, TwoLocalRecipientsGetACopyEachWithTheirOwnReceivedHeader) {
  ::setenv("KELPD_LOCAL_SYNC", GetParam(), 1);
  tree.AddUser("alice");
  tree.AddUser("bob", "# bob's settings\nNextUID:\t5\n");
  LoadDirectoryData();
  tree.QueueMail("m1.eml", QueuedMail("carol@remote.example", "alice@example.org, bob@example.org",
                                      "Hello", "m1@remote.example"));
  CLocalAgent agent(Published());
  ::unsetenv("KELPD_LOCAL_SYNC");
  ASSERT_TRUE(agent.RunOnePass());

  const std::string to = "alice@example.org, bob@example.org";
  EXPECT_EQ(
      MaskReceivedDates(ReadFile(tree.spool_dir() + "/alice/1.eml")),
      MailboxCopy(agent.GetHostName(), "alice@example.org", to, "Hello", "m1@remote.example"));
  EXPECT_EQ(MaskReceivedDates(ReadFile(tree.spool_dir() + "/bob/5.eml")),
            MailboxCopy(agent.GetHostName(), "bob@example.org", to, "Hello", "m1@remote.example"));
  EXPECT_EQ(ListNames(tree.spool_dir() + "/alice"),
            (std::vector<std::string>{"1.eml", "config", "password"}));
  EXPECT_EQ(NextUid(tree.spool_dir() + "/alice"), 2);
  EXPECT_EQ(NextUid(tree.spool_dir() + "/bob"), 6);
  EXPECT_NE(ReadFile(tree.spool_dir() + "/bob/config").find("# bob's settings"), std::string::npos);
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
  EXPECT_TRUE(ListNames(tree.error_dir()).empty());
  EXPECT_EQ(log.Count("mail <m1@remote.example> from <carol@remote.example> to "
                      "<alice@example.org> saved in <alice>"),
            1);
  EXPECT_EQ(log.Count("to <bob@example.org> saved in <bob>"), 1);
  EXPECT_EQ(agent.ProcessedCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothSyncModes, LocalAgentSyncTest, ::testing::Values("pass", "file"));

TEST_F(LocalAgentTest, EmptyQueueIsASuccessfulQuietPassAndAMissingOneFails) {
  LoadDirectoryData();
  CLocalAgent agent(Published());
  EXPECT_TRUE(agent.RunOnePass());
  EXPECT_TRUE(log.Lines().empty()) << log.All();

  settings.dirs.queue = tree.root() + "/no-such-queue";
  CLocalAgent lost(Published());
  EXPECT_FALSE(lost.RunOnePass());
}

TEST_F(LocalAgentTest, ThreadLogsItsStartAndStopAndEndsWithoutTheQueueDirectory) {
  LoadDirectoryData();
  {
    CLocalAgent agent(Published());
    ASSERT_TRUE(agent.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(agent.Stop(5000));
  }
  ASSERT_EQ(log.Lines().size(), 2u) << log.All();
  EXPECT_NE(log.Lines()[0].text.find("local delivery agent (id "), std::string::npos);
  EXPECT_NE(log.Lines()[0].text.find(") started"), std::string::npos);
  EXPECT_NE(log.Lines()[1].text.find(") stopped"), std::string::npos);

  log.Clear();
  settings.dirs.queue = tree.root() + "/no-such-queue";
  CLocalAgent lost(Published());
  ASSERT_TRUE(lost.Start());
  for (int i = 0; i < 500 && log.Count("couldn't find QueueDir") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(lost.Stop(5000));
  EXPECT_EQ(log.Count("couldn't find QueueDir"), 1);
  EXPECT_EQ(log.Count("stopped"), 0);
}

TEST_F(LocalAgentTest, ZeroLengthFileIsNeverPickedUp) {
  tree.AddUser("alice");
  LoadDirectoryData();
  tree.QueueMail("empty.eml", "");
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(ListNames(tree.queue_dir()), (std::vector<std::string>{"empty.eml"}));
  EXPECT_TRUE(log.Lines().empty()) << log.All();
}

TEST_F(LocalAgentTest, LockedFileStaysWithTheWarningAndIsDeliveredOnceReleased) {
  tree.AddUser("alice");
  LoadDirectoryData();
  const std::string path = tree.QueueMail(
      "locked.eml", QueuedMail("carol@remote.example", "alice@example.org", "Hi", "l@x"));
  CLocalAgent agent(Published());
  {
    platform::NamedLock held(CMail::LockNameOf(path));
    ASSERT_EQ(held.Lock(0), platform::LockResult::kAcquired);
    ASSERT_TRUE(agent.RunOnePass());
    EXPECT_EQ(log.Count("Looks like lock on file \"" + path + "\" failed, retrying later!\n"), 1)
        << log.All();
    EXPECT_EQ(ListNames(tree.queue_dir()), (std::vector<std::string>{"locked.eml"}));
    EXPECT_EQ(ListNames(tree.spool_dir() + "/alice").size(), 2u);
  }
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
  EXPECT_NE(ReadFile(tree.spool_dir() + "/alice/1.eml").find("Subject: Hi\r\n"), std::string::npos);
}

TEST_F(LocalAgentTest, DirectoryWithCapitalsReceivesMailForTheLowerCaseUser) {
  tree.AddUser("Alice");
  LoadDirectoryData();
  tree.QueueMail("m.eml", QueuedMail("carol@remote.example", "alice@example.org", "Hi", "a@x"));
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(ListNames(tree.spool_dir() + "/Alice"),
            (std::vector<std::string>{"1.eml", "config", "password"}));
  EXPECT_EQ(log.Count("to <alice@example.org> saved in <alice>"), 1) << log.All();
}

TEST_F(LocalAgentTest, AliasToARemoteAddressGoesOutWithResentForAndARewrittenSender) {
  tree.AddUser("alice");
  tree.WriteList("aliases", "fwd@example.org:\tdave@remote.example\n");
  LoadDirectoryData();
  settings.local.srs_domain = "srs.example.org";
  settings.local.srs_challenge = "s3cret";
  const std::string queued =
      QueuedMail("carol@remote.example", "fwd@example.org", "Fwd", "f@remote.example");
  tree.QueueMail("f.eml", queued);
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());

  const std::vector<std::string> out = ListNames(tree.outgoing_dir());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 25u);  // 14 time digits, 3 of milliseconds, 4 of counter, ".eml"
  const std::string srs = SrsRewrite("carol@remote.example", "srs.example.org", "s3cret");
  ASSERT_NE(srs, "carol@remote.example");
  EXPECT_EQ(MaskReceivedDates(ReadFile(tree.outgoing_dir() + "/" + out[0])),
            "X-Envelope-From: " + srs + "\r\nX-Envelope-To: dave@remote.example\r\nReceived: by " +
                agent.GetHostName() +
                " (Zelvane Mail Delivery Agent 4.00.4759.1)\r\n\twith KMTP for "
                "<fwd@example.org>; DATE\r\nReceived: from client.remote.example by "
                "mx.example.org\r\nMessage-ID: <f@remote.example>\r\nFrom: "
                "<carol@remote.example>\r\nTo: fwd@example.org\r\nSubject: Fwd\r\nDate: Mon, 1 "
                "Jan 2024 10:00:00 +0000\r\nX-Resent-For: fwd@example.org\r\n\r\nHello "
                "there.\r\n");
  EXPECT_EQ(log.Count("mail <f@remote.example> from <" + srs +
                      "> to <dave@remote.example> saved in outgoing"),
            1)
      << log.All();
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
}

TEST_F(LocalAgentTest, NullSenderIsNeverRewritten) {
  tree.WriteList("aliases", "fwd@example.org:\tdave@remote.example\n");
  LoadDirectoryData();
  settings.local.srs_domain = "srs.example.org";
  settings.local.srs_challenge = "s3cret";
  tree.QueueMail("b.eml", QueuedMail("", "fwd@example.org", "Bounce", "b@x"));
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  const std::vector<std::string> out = ListNames(tree.outgoing_dir());
  ASSERT_EQ(out.size(), 1u);
  const std::string copy = ReadFile(tree.outgoing_dir() + "/" + out[0]);
  EXPECT_EQ(copy.rfind("X-Envelope-From: \r\nX-Envelope-To: dave@remote.example\r\n", 0), 0u)
      << copy;
  EXPECT_NE(copy.find("\r\nX-Resent-For: fwd@example.org\r\n"), std::string::npos);
}

TEST_F(LocalAgentTest, DirectRemoteRecipientHasNoResentFor) {
  LoadDirectoryData();
  tree.QueueMail("r.eml", QueuedMail("carol@remote.example", "dave@remote.example", "Out", "o@x"));
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  const std::vector<std::string> out = ListNames(tree.outgoing_dir());
  ASSERT_EQ(out.size(), 1u);
  const std::string copy = ReadFile(tree.outgoing_dir() + "/" + out[0]);
  EXPECT_EQ(copy.rfind("X-Envelope-From: carol@remote.example\r\nX-Envelope-To: "
                       "dave@remote.example\r\n",
                       0),
            0u);
  EXPECT_EQ(copy.find("X-Resent-For"), std::string::npos);
}

TEST_F(LocalAgentTest, UnknownLocalRecipientSendsTheWholeFileToTheErrorDirectory) {
  tree.AddUser("alice");
  LoadDirectoryData();
  const std::string queued = QueuedMail(
      "carol@remote.example", "alice@example.org, nobody@example.org", "Hi", "u@remote.example");
  tree.QueueMail("u.eml", queued);
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(log.Count("recipient in mail <u@remote.example> from <carol@remote.example> to "
                      "<nobody@example.org> not valid"),
            1)
      << log.All();
  EXPECT_EQ(log.Count("delivering mail 'u.eml' failed, placing in error"), 1);
  EXPECT_EQ(ReadFile(tree.error_dir() + "/u.eml"), queued);
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
  // The copy stored before the failure stays.
  EXPECT_EQ(ListNames(tree.spool_dir() + "/alice").size(), 3u);
}

TEST_F(LocalAgentTest, MailWithoutRecipientsGoesToTheErrorDirectory) {
  LoadDirectoryData();
  const std::string queued = "From: <carol@remote.example>\r\nSubject: none\r\n\r\nBody\r\n";
  tree.QueueMail("n.eml", queued);
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(log.Count("no receivers found in mail"), 1);
  EXPECT_EQ(ReadFile(tree.error_dir() + "/n.eml"), queued);
}

TEST_F(LocalAgentTest, MissingAccountSettingsSendTheMailToTheErrorDirectory) {
  tree.AddUser("erin", nullptr);
  LoadDirectoryData();
  const std::string queued =
      QueuedMail("carol@remote.example", "erin@example.org", "Hi", "e@remote.example");
  tree.QueueMail("e.eml", queued);
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(
      log.Count("couldn't load account config: " + tree.spool_dir() + "/erin/config (error=2)"), 1)
      << log.All();
  EXPECT_EQ(ReadFile(tree.error_dir() + "/e.eml"), queued);
  EXPECT_EQ(ListNames(tree.spool_dir() + "/erin"), (std::vector<std::string>{"password"}));
}

TEST_F(LocalAgentTest, FilteredMailIsStoredOnceInTheFilterDirectoryAndNowhereElse) {
  tree.AddUser("alice");
  tree.AddUser("bob");
  tree.WriteList("filters", "Buy Cheap\n");
  LoadDirectoryData();
  tree.QueueMail("s.eml", QueuedMail("carol@remote.example", "alice@example.org, bob@example.org",
                                     "BUY CHEAP pills", "s@remote.example"));
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  const std::vector<std::string> filtered = ListNames(tree.filter_dir());
  ASSERT_EQ(filtered.size(), 1u);
  EXPECT_EQ(filtered[0].size(), 26u);  // four digits of milliseconds
  EXPECT_EQ(ReadFile(tree.filter_dir() + "/" + filtered[0]),
            "X-Envelope-From: carol@remote.example\r\nX-Envelope-To: alice@example.org\r\n"
            "Received: from client.remote.example by mx.example.org\r\nMessage-ID: "
            "<s@remote.example>\r\nFrom: <carol@remote.example>\r\nTo: alice@example.org, "
            "bob@example.org\r\nSubject: BUY CHEAP pills\r\nDate: Mon, 1 Jan 2024 10:00:00 "
            "+0000\r\n\r\nHello there.\r\n");
  EXPECT_EQ(ListNames(tree.spool_dir() + "/alice").size(), 2u);
  EXPECT_EQ(ListNames(tree.spool_dir() + "/bob").size(), 2u);
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
  EXPECT_EQ(log.Count("mail <s@remote.example> from <carol@remote.example> to "
                      "<alice@example.org> has been filtered due to \"buy cheap\""),
            1)
      << log.All();
}

TEST_F(LocalAgentTest, FileThatCannotBeMovedStaysAndOnlyTheMoveIsRetried) {
  LoadDirectoryData();
  const std::string missing = tree.root() + "/error-later";
  settings.dirs.error = missing;
  const std::string queued = "Subject: no recipients\r\n\r\nBody\r\n";
  const std::string path = tree.QueueMail("x.eml", queued);
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(log.Count("CFileException in Kelpd\\LocalAgent:"), 1) << log.All();
  EXPECT_EQ(log.Count("cause=2 error=2 file=\"" + path + "\""), 1) << log.All();
  EXPECT_EQ(ListNames(tree.queue_dir()), (std::vector<std::string>{"x.eml"}));

  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(log.Count("no receivers found in mail"), 1) << log.All();
  EXPECT_EQ(log.Count("delivering mail 'x.eml' failed"), 1);
  EXPECT_EQ(log.Count("CFileException in Kelpd\\LocalAgent:"), 2);

  std::filesystem::create_directory(missing);
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(log.Count("no receivers found in mail"), 1);
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
  EXPECT_EQ(ReadFile(missing + "/x.eml"), queued);
}

TEST_F(LocalAgentTest, MoveToTheErrorDirectoryNeverReplacesAFile) {
  LoadDirectoryData();
  tree.QueueMail("x.eml", "Subject: first\r\n\r\nBody\r\n");
  {
    std::FILE* f = std::fopen((tree.error_dir() + "/x.eml").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("older mail", f);
    std::fclose(f);
  }
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(ReadFile(tree.error_dir() + "/x.eml"), "older mail");
  EXPECT_EQ(ReadFile(tree.error_dir() + "/x_1.eml"), "Subject: first\r\n\r\nBody\r\n");
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
}

// An agent whose generated names all carry one fixed time.
class FixedClockAgent : public CLocalAgent {
 public:
  using CLocalAgent::CLocalAgent;

 protected:
  platform::LocalTime NameTime() const override {
    platform::LocalTime t;
    t.year = 2024;
    t.month = 2;
    t.day = 29;
    t.hour = 23;
    t.minute = 59;
    t.second = 58;
    t.millisecond = 7;
    return t;
  }
};

TEST_F(LocalAgentTest, TakenGeneratedNamesTakeTheNextCounterValue) {
  tree.WriteList("filters", "spam\n");
  LoadDirectoryData();
  // The first mail uses counter 0 for its filter-style name and 1 for its
  // copy; the second mail 2 (filter style, diverted) and so on.
  tree.QueueMail("a.eml", QueuedMail("carol@remote.example", "dave@remote.example", "Out", "o@x"));
  for (const char* taken : {"/outgoing/20240229235958007"
                            "0001.eml",
                            "/outgoing/20240229235958007"
                            "0002.eml",
                            "/filtered/20240229235958"
                            "0007"
                            "0004.eml"}) {
    std::FILE* f = std::fopen((tree.root() + taken).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("taken", f);
    std::fclose(f);
  }
  FixedClockAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(ListNames(tree.outgoing_dir()),
            (std::vector<std::string>{"202402292359580070001.eml", "202402292359580070002.eml",
                                      "202402292359580070003.eml"}));
  EXPECT_EQ(ReadFile(tree.outgoing_dir() + "/202402292359580070001.eml"), "taken");
  EXPECT_EQ(ReadFile(tree.outgoing_dir() + "/202402292359580070002.eml"), "taken");
  EXPECT_NE(ReadFile(tree.outgoing_dir() + "/202402292359580070003.eml")
                .find("X-Envelope-To: dave@remote.example\r\n"),
            std::string::npos);

  tree.QueueMail("b.eml", QueuedMail("carol@remote.example", "dave@remote.example", "spam", "s@x"));
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(ListNames(tree.filter_dir()),
            (std::vector<std::string>{"2024022923595800070004.eml", "2024022923595800070005.eml"}));
  EXPECT_EQ(ReadFile(tree.filter_dir() + "/2024022923595800070004.eml"), "taken");
  EXPECT_NE(ReadFile(tree.filter_dir() + "/2024022923595800070005.eml").find("Subject: spam\r\n"),
            std::string::npos);
}

// A named lock held elsewhere is a passing condition: the mailbox store does
// not need the mail file's lock under the account lock, an outgoing copy whose
// lock stays busy leaves the queue file for a later pass, and neither moves
// the mail aside. A file of two bytes is broken once its lock is held.
TEST_F(LocalAgentTest, BusyLocksLeaveMailQueuedAndTinyFilesAreBroken) {
  tree.AddUser("alice");
  LoadDirectoryData();
  tree.QueueMail("a.eml", QueuedMail("carol@remote.example",
                                     "alice@example.org, dave@remote.example", "Hi", "a@x"));
  tree.QueueMail("tiny.eml", "x\n");
  FixedClockAgent agent(Published());
  {
    // Counter 0 names the filter-style copy, 1 alice's and 2 dave's.
    platform::NamedLock mailbox_file("1");
    platform::NamedLock outgoing_file("202402292359580070002");
    ASSERT_EQ(mailbox_file.Lock(0), platform::LockResult::kAcquired);
    ASSERT_EQ(outgoing_file.Lock(0), platform::LockResult::kAcquired);
    ASSERT_TRUE(agent.RunOnePass());
    EXPECT_EQ(ListNames(tree.spool_dir() + "/alice"),
              (std::vector<std::string>{"1.eml", "config", "password"}));
    EXPECT_EQ(ListNames(tree.queue_dir()), (std::vector<std::string>{"a.eml"}));
    EXPECT_EQ(ListNames(tree.error_dir()), (std::vector<std::string>{"tiny.eml"}));
    EXPECT_EQ(log.Count("Looks like lock on file \"" + tree.queue_dir() + "/a.eml\""), 1)
        << log.All();
    EXPECT_EQ(log.Count("delivering mail 'tiny.eml' failed, placing in error"), 1) << log.All();
  }
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
  EXPECT_EQ(ListNames(tree.error_dir()), (std::vector<std::string>{"tiny.eml"}));
  EXPECT_EQ(ListNames(tree.outgoing_dir()).size(), 1u);
}

// A crash in the middle of a long pass re-delivers only the files handled
// since the last group was deleted, not the whole pass: the queue shrinks
// while the pass is still running. The new-mail script, waited for after
// each store, records how many queue files are left at that moment.
TEST_F(LocalAgentTest, LongPassDeletesHandledFilesInGroups) {
  const std::string dir = tree.AddUser("alice");
  const std::string record = tree.root() + "/left.txt";
  const std::string script = dir + "/onarrival.cmd";
  {
    std::FILE* f = std::fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "#!/bin/sh\nset -- '%s'/*.eml\necho $# >> '%s'\n", tree.queue_dir().c_str(),
                 record.c_str());
    std::fclose(f);
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  settings.service.scripts_parallel = false;
  LoadDirectoryData();
  constexpr int kGroup = CLocalAgent::kDeleteGroup;
  constexpr int kMails = 3 * kGroup + 10;
  for (int i = 0; i < kMails; ++i) {
    tree.QueueMail("m" + std::to_string(i) + ".eml",
                   QueuedMail("carol@remote.example", "alice@example.org", "group",
                              "g" + std::to_string(i) + "@remote.example"));
  }
  CLocalAgent agent(Published());
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_TRUE(ListNames(tree.queue_dir()).empty());
  std::FILE* f = std::fopen(record.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::vector<int> left;
  for (int n; std::fscanf(f, "%d", &n) == 1;) left.push_back(n);
  std::fclose(f);
  ASSERT_EQ(left.size(), static_cast<size_t>(kMails)) << log.All();
  // Every file still waiting at a store was handled less than a group ago
  // or not yet at all.
  for (size_t i = 0; i < left.size(); ++i)
    EXPECT_LE(left[i], kMails - static_cast<int>(i) + kGroup) << "at store " << i + 1;
  EXPECT_LT(left.back(), kGroup + 1);
}

}  // namespace
// The agent keeps a mailbox's settings between passes, but a change to the
// settings file counts from the next copy on.
TEST_F(LocalAgentTest, AChangedMailboxSettingsFileCountsForTheNextCopy) {
  const std::string dir = tree.AddUser("alice");
  LoadDirectoryData();
  CLocalAgent agent(Published());
  tree.QueueMail("1.eml", QueuedMail("carol@remote.example", "alice@example.org", "One", "1@x"));
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(ReadFile(dir + "/1.eml").rfind("Return-Path: <carol@remote.example>\r\n", 0), 0u);
  tree.AddUser("alice", "NextUID:\t7\nSaveEnvelope:\t1\n");
  tree.QueueMail("2.eml", QueuedMail("carol@remote.example", "alice@example.org", "Two", "2@x"));
  ASSERT_TRUE(agent.RunOnePass());
  EXPECT_EQ(ReadFile(dir + "/7.eml").rfind("X-Envelope-From: carol@remote.example\r\n", 0), 0u)
      << ReadFile(dir + "/7.eml");
}

}  // namespace kelpd::testing
