#include "local/MailboxStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/ConfigMap.h"
#include "core/Thread.h"
#include "platform/FileLock.h"
#include "platform/LocalTime.h"
#include "support/LocalTestFixture.h"

namespace kelpd::testing {
namespace {

class MailboxStoreTest : public LocalDeliveryTest {
 protected:
  // A copy for alice as the agent hands it to the store.
  CMail AliceCopy() {
    const std::string path = tree.QueueMail(
        "q.eml", QueuedMail("carol@remote.example", "alice@example.org", "Hi", "q@remote.example"));
    CMail mail;
    platform::FileResult err;
    EXPECT_TRUE(mail.Load(path, err, false));
    mail.AddReceived("by host (test)");
    return mail;
  }

  static constexpr char kRest[] =
      "Received: by host (test)\r\nReceived: from client.remote.example by mx.example.org\r\n"
      "Message-ID: <q@remote.example>\r\nFrom: <carol@remote.example>\r\nTo: "
      "alice@example.org\r\nSubject: Hi\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\nHello "
      "there.\r\n";
};

TEST_F(MailboxStoreTest, TakenNumberIsPassedOverAndNextUidFollowsTheOneUsed) {
  const std::string dir = tree.AddUser("alice", "NextUID:\t7\n");
  tree.QueueMail("../spool/alice/7.eml", "an older mail");
  LoadDirectoryData();
  CMail mail = AliceCopy();
  ASSERT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
            StoreResult::kStored);
  EXPECT_EQ(ReadFile(dir + "/7.eml"), "an older mail");
  EXPECT_EQ(ReadFile(dir + "/8.eml"),
            std::string("Return-Path: <carol@remote.example>\r\n") + kRest);
  EXPECT_EQ(NextUid(dir), 9);
  EXPECT_EQ(log.Count("mail <q@remote.example> from <carol@remote.example> to "
                      "<alice@example.org> saved in <alice>"),
            1)
      << log.All();
}

TEST_F(MailboxStoreTest, WithoutNextUidTheFirstMailIsNumberOne) {
  const std::string dir = tree.AddUser("alice", "# no number yet\n");
  LoadDirectoryData();
  CMail mail = AliceCopy();
  ASSERT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
            StoreResult::kStored);
  EXPECT_EQ(ListNames(dir), (std::vector<std::string>{"1.eml", "config", "password"}));
  EXPECT_EQ(NextUid(dir), 2);
}

TEST_F(MailboxStoreTest, NextUidIsOneUnsigned32BitNumber) {
  struct Case {
    const char* stored;
    const char* file;
    const char* next;
    int warnings;
  };
  for (const Case& c : {Case{"2147483647", "2147483647.eml", "2147483648", 0},
                        Case{"4294967295", "4294967295.eml", "0", 0}, Case{"-5", "1.eml", "2", 1},
                        Case{"seven", "1.eml", "2", 1}, Case{"4294967296", "1.eml", "2", 1}}) {
    log.Clear();
    const std::string dir =
        tree.AddUser("alice", ("NextUID:\t" + std::string(c.stored) + "\n").c_str());
    LoadDirectoryData();
    CMail mail = AliceCopy();
    ASSERT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
              StoreResult::kStored);
    EXPECT_EQ(ListNames(dir), (std::vector<std::string>{c.file, "config", "password"})) << c.stored;
    CConfigMap account;
    ASSERT_TRUE(account.Load(dir + "/config"));
    EXPECT_EQ(account.GetString("NextUID"), c.next) << c.stored;
    EXPECT_EQ(log.Count("which is no number; starting at 1"), c.warnings) << log.All();
    std::filesystem::remove_all(dir);
  }
}

// Mail files are private unless "MailFileMode" widens them, whatever the
// umask; the account settings keep their owner, group and mode when the
// store writes the next number, and no temporary file is left beside them.
TEST_F(MailboxStoreTest, FileModesAndTheSettingsFilesOwnership) {
  const mode_t old_umask = ::umask(022);
  const std::string dir = tree.AddUser("alice");
  const std::string config = dir + "/config";
  ASSERT_EQ(::chown(config.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(config.c_str(), 0660), 0);
  LoadDirectoryData();
  CMail mail = AliceCopy();
  ASSERT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
            StoreResult::kStored);
  // The mode is the published one at the moment of the store.
  auto publish_mode = [](const char* text) {
    Config().SetString("MailFileMode", text);
    kelpd::config::ServiceSettings().Publish(kelpd::config::LoadSettings(Config()));
  };
  publish_mode("0660");
  ASSERT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
            StoreResult::kStored);
  publish_mode("0x1ff");  // not octal: the default
  ASSERT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
            StoreResult::kStored);
  ::umask(old_umask);
  struct stat st {};
  for (const auto& [name, mode] : {std::pair{"1.eml", 0600u}, {"2.eml", 0660u}, {"3.eml", 0600u}}) {
    ASSERT_EQ(::stat((dir + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << name;
  }
  ASSERT_EQ(::stat(config.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(NextUid(dir), 4);
  EXPECT_EQ(ListNames(dir),
            (std::vector<std::string>{"1.eml", "2.eml", "3.eml", "config", "password"}));
}

TEST_F(MailboxStoreTest, ReplyOrEnvelopeSettingWritesTheEnvelopeLines) {
  const std::string envelope =
      "X-Envelope-From: carol@remote.example\r\nX-Envelope-To: alice@example.org\r\n";
  for (const char* account : {"RunReply:\t1\nRunReplyTemplate:\t\n", "SaveEnvelope:\t1\n"}) {
    const std::string dir = tree.AddUser("alice", account);
    LoadDirectoryData();
    CMail mail = AliceCopy();
    ASSERT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
              StoreResult::kStored);
    EXPECT_EQ(ReadFile(dir + "/1.eml"), envelope + kRest) << account;
    std::filesystem::remove_all(dir);
  }
  // No responder ran: nothing appeared in the queue but the test's own file.
  EXPECT_EQ(ListNames(tree.queue_dir()), (std::vector<std::string>{"q.eml"}));
}

TEST_F(MailboxStoreTest, MissingSettingsFailWithTheirLine) {
  tree.AddUser("alice", nullptr);
  LoadDirectoryData();
  CMail mail = AliceCopy();
  EXPECT_EQ(StoreInMailbox(mail, "alice", "r.eml", tree.spool_dir(), tree.queue_dir(), settings),
            StoreResult::kFailed);
  EXPECT_EQ(
      log.Count("couldn't load account config: " + tree.spool_dir() + "/alice/config (error=2)"), 1)
      << log.All();
}

TEST_F(MailboxStoreTest, StoreWaitsForTheAccountLockAndGivesUpOnlyOnStop) {
  const std::string dir = tree.AddUser("alice");
  LoadDirectoryData();
  CMail mail = AliceCopy();
  platform::NamedLock account(AccountLockName(dir + "/config"));
  ASSERT_EQ(account.Lock(0), platform::LockResult::kAcquired);

  class StoreThread : public CThread {
   public:
    StoreThread(CMail& m, const std::string& spool, const std::string& queue)
        : mail_(m), spool_(spool), queue_(queue) {}
    void Run() override {
      result = StoreInMailbox(mail_, "alice", "r.eml", spool_, queue_, kelpd::config::Settings{});
    }
    std::atomic<StoreResult> result{StoreResult::kFailed};
    std::atomic<bool> done{false};

   private:
    CMail& mail_;
    std::string spool_, queue_;
  };
  {
    StoreThread waiting(mail, tree.spool_dir(), tree.queue_dir());
    ASSERT_TRUE(waiting.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(waiting.HasEnded());
    ASSERT_TRUE(waiting.Stop(5000));
    EXPECT_EQ(waiting.result.load(), StoreResult::kStopped);
    EXPECT_EQ(ListNames(dir).size(), 2u);
  }
  {
    StoreThread waiting(mail, tree.spool_dir(), tree.queue_dir());
    ASSERT_TRUE(waiting.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(waiting.HasEnded());
    account.Unlock();
    for (int i = 0; i < 1000 && !waiting.HasEnded(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(waiting.result.load(), StoreResult::kStored);
    EXPECT_TRUE(waiting.Stop(5000));
  }
  EXPECT_EQ(ListNames(dir), (std::vector<std::string>{"1.eml", "config", "password"}));
}

TEST_F(MailboxStoreTest, AccountLockNameIsTheTailOfThePathWithForwardSlashes) {
  EXPECT_EQ(AccountLockName("c:\\mail\\spool\\alice\\config"), "c:/mail/spool/alice/config");
  const std::string longer = "/" + std::string(300, 'd') + "/config";
  EXPECT_EQ(AccountLockName(longer), longer.substr(longer.size() - 259));
}

class ReceivedHeaderTest : public LocalDeliveryTest {
 protected:
  void TearDown() override {
    ::unsetenv("TZ");
    ::tzset();
    LocalDeliveryTest::TearDown();
  }
  static platform::LocalTime In(const char* zone, time_t t) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    return platform::LocalTimeOf(t);
  }
};

TEST_F(ReceivedHeaderTest, NamesTheRecipientUnlessSwitchedOff) {
  const platform::LocalTime t = In("UTC", 1704103200);  // 2024-01-01 10:00:00 UTC, a Monday
  std::string text;
  BuildReceivedHeader(t, "mx.example.org", "alice@example.org", true, text);
  EXPECT_EQ(text,
            "by mx.example.org (Zelvane Mail Delivery Agent 4.00.4759.1)\r\n\twith KMTP for "
            "<alice@example.org>; Mon, 1 Jan 2024 10:00:00 +0000");
  BuildReceivedHeader(t, "mx.example.org", "alice@example.org", false, text);
  EXPECT_EQ(text,
            "by mx.example.org (Zelvane Mail Delivery Agent 4.00.4759.1)\r\n\twith KMTP; Mon, 1 "
            "Jan 2024 10:00:00 +0000");
}

TEST_F(ReceivedHeaderTest, DateCarriesTheZoneOffsetWithDaylightSavingTime) {
  std::string text;
  BuildReceivedHeader(In("Asia/Kolkata", 1704103200), "h", "a@b", true, text);
  EXPECT_EQ(text.substr(text.find("; ")), "; Mon, 1 Jan 2024 15:30:00 +0530");
  BuildReceivedHeader(In("Europe/Berlin", 1720000000), "h", "a@b", true, text);  // July
  EXPECT_EQ(text.substr(text.find("; ")), "; Wed, 3 Jul 2024 11:46:40 +0200");
  BuildReceivedHeader(In("America/St_Johns", 1704103200), "h", "a@b", true, text);
  EXPECT_EQ(text.substr(text.find("; ")), "; Mon, 1 Jan 2024 06:30:00 -0330");
}

}  // namespace
}  // namespace kelpd::testing
