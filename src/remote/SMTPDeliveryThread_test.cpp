#include "remote/SMTPDeliveryThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "config/Configuration.h"
#include "fakes/ScriptedSmtpServer.h"
#include "local/DirectoryData.h"
#include "log/Log.h"
#include "mail/Mail.h"
#include "platform/FileLock.h"
#include "remote/RemoteAgent.h"
#include "smtp/ConsoleOutput.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using kelpd::testing::FileExists;
using kelpd::testing::LogCapture;
using kelpd::testing::ReadFile;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Answers one SMTP session; RCPT gets rcpt.
void Serve(ScriptedConnection& c, const std::string& rcpt = "250 ok") {
  kelpd::testing::SmtpScript script;
  script.greeting = "220 scripted";
  script.ehlo = {"250-scripted", "250 SIZE"};
  script.replies["RCPT"] = rcpt;
  kelpd::testing::ServeScript(c, script);
}

class TrafficCapture : public CLogTarget {
 public:
  explicit TrafficCapture(std::vector<std::string>* lines, std::mutex* m) : lines_(lines), m_(m) {}
  void Write(int, const char* text) override {
    std::lock_guard<std::mutex> lock(*m_);
    lines_->push_back(text);
  }

 private:
  std::vector<std::string>* lines_;
  std::mutex* m_;
};

constexpr char kMail[] =
    "X-Envelope-From: <alice@local.example>\r\n"
    "X-Envelope-To: <bob@remote.example>\r\n"
    "Message-ID: <id7@local.example>\r\n"
    "Subject: test\r\n"
    "\r\n"
    "hello\r\n";

// A delivery thread whose delivered files refuse to go.
class StickyDeliveryThread : public CSMTPDeliveryThread {
 public:
  using CSMTPDeliveryThread::CSMTPDeliveryThread;

 protected:
  kelpd::platform::FileResult RemoveMailFile(const std::string&) override {
    return kelpd::platform::FileResult::FromErrno(EACCES);
  }
};

class DeliveryThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("MAILLOCKDIR", dir_.Join("locks").c_str(), 1);
    ::setenv("MAILCONFIGDIR", dir_.path().c_str(), 1);
    saved_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir_.MakeDir("bin") + ":" + saved_path_).c_str(), 1);
    // The auto-responder of the test records its arguments, one per line.
    dir_.WriteFile("bin/autoresp.exe",
                   "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " +
                       dir_.Join("autoresp.log") + "\necho --- >> " + dir_.Join("autoresp.log") +
                       "\n");
    std::filesystem::permissions(dir_.Join("bin/autoresp.exe"), std::filesystem::perms::owner_all);
    ResetConfigForTests();
    ResetDirectoryDataForTests();
    settings_.dirs.outgoing = dir_.MakeDir("outgoing");
    settings_.dirs.error = dir_.MakeDir("error");
    store_.Publish(settings_);
    Domains().AddTail("local.example");
    kelpd::smtp::CaptureConsoleForTests(&out_, &err_);
    TrafficLog().SetTarget(std::make_unique<TrafficCapture>(&traffic_, &traffic_mutex_));
    agent_ = std::make_unique<CRemoteAgent>(store_);
  }
  void TearDown() override {
    thread_.reset();
    agent_.reset();
    TrafficLog().ClearTarget();
    kelpd::smtp::CaptureConsoleForTests(nullptr, nullptr);
    ResetDirectoryDataForTests();
    ResetConfigForTests();
    ::setenv("PATH", saved_path_.c_str(), 1);
    ::unsetenv("MAILLOCKDIR");
    ::unsetenv("MAILCONFIGDIR");
  }
  template <typename T = CSMTPDeliveryThread>
  void MakeThread() {
    store_.Publish(settings_);
    thread_ = std::make_unique<T>(agent_.get(), store_);
    thread_->m_nSessionTimeOut = 5;
    thread_->SetClockForTests([this] { return now_(); });
  }
  // Puts a mail into the outgoing directory and takes it from the agent as a
  // delivery thread would.
  std::string Take(const std::string& name, const std::string& text = kMail) {
    std::string path = dir_.WriteFile("outgoing/" + name, text);
    agent_->ScanOutgoing();
    std::string got;
    EXPECT_TRUE(agent_->GetNextNewFile(got) || agent_->GetNextRetryFile(got));
    EXPECT_EQ(got, name);
    thread_->m_strFileName = name;
    thread_->m_strMailFile = path;
    return path;
  }
  std::vector<std::string> Autoresp() {
    std::vector<std::string> runs;
    std::string text = ReadFile(dir_.Join("autoresp.log"));
    std::string run;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      std::string word = text.substr(pos, end - pos);
      pos = end + 1;
      if (word == "---") {
        runs.push_back(run);
        run.clear();
      } else {
        run += (run.empty() ? "" : " ") + word;
      }
    }
    return runs;
  }
  std::function<int64_t()> now_ = [] { return static_cast<int64_t>(std::time(nullptr)); };

  TempDir dir_;
  kelpd::config::Settings settings_;  // published by MakeThread
  kelpd::config::SettingsStore store_;
  std::string saved_path_;
  std::string out_, err_;
  std::vector<std::string> traffic_;
  std::mutex traffic_mutex_;
  std::unique_ptr<CRemoteAgent> agent_;
  std::unique_ptr<CSMTPDeliveryThread> thread_;
  LogCapture log_;
};

TEST_F(DeliveryThreadTest, DeliveredMailIsReleasedAndLogged) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) { Serve(c); });
  SmartHosts().SetString("*", "127.0.0.1:" + std::to_string(server.port()));
  MakeThread();
  std::string path = Take("d1.eml");
  EXPECT_TRUE(thread_->DeliverOne());
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(agent_->GetCounts().active, 0u);
  EXPECT_EQ(log_.Count("successfully delivered mail from <alice@local.example> to "
                       "<bob@remote.example> (" +
                       std::to_string(sizeof kMail - 1) + " bytes)"),
            1);
  std::lock_guard<std::mutex> lock(traffic_mutex_);
  EXPECT_THAT(traffic_, ElementsAre("Traffic: L, alice@local.example, R, bob@remote.example, " +
                                    std::to_string(sizeof kMail - 1)));
}

TEST_F(DeliveryThreadTest, TrafficLoggingOffWritesNoLine) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) { Serve(c); });
  SmartHosts().SetString("*", "127.0.0.1:" + std::to_string(server.port()));
  settings_.log.traffic = false;
  MakeThread();
  Take("d1.eml");
  EXPECT_TRUE(thread_->DeliverOne());
  std::lock_guard<std::mutex> lock(traffic_mutex_);
  EXPECT_TRUE(traffic_.empty());
}

TEST_F(DeliveryThreadTest, DeliveredFileThatCannotBeDeletedStaysHeld) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) { Serve(c); });
  SmartHosts().SetString("*", "127.0.0.1:" + std::to_string(server.port()));
  MakeThread<StickyDeliveryThread>();
  std::string path = Take("d1.eml");
  EXPECT_TRUE(thread_->DeliverOne());
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(log_.Count("could not remove file \"" + path + "\", cause=5 error=13"), 1);
  // Still held: the next scans don't hand it out again.
  EXPECT_EQ(agent_->ScanOutgoing(), 0);
  EXPECT_EQ(agent_->GetCounts().active, 1u);
}

TEST_F(DeliveryThreadTest, TemporaryFailureDefersUntilTheMailIsTooOld) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) { Serve(c, "450 later"); }, 2);
  SmartHosts().SetString("*", "127.0.0.1:" + std::to_string(server.port()));
  MakeThread();
  const int64_t created = std::time(nullptr);
  now_ = [created] { return created + 119 * 60; };
  std::string path = Take("t1.eml");
  EXPECT_TRUE(thread_->DeliverOne());
  EXPECT_EQ(agent_->GetCounts().deferred, 1u);
  EXPECT_EQ(log_.Count("Delivering \"" + path +
                       "\" temporarily failed with error 9. I will retry later!"),
            1);
  EXPECT_TRUE(FileExists(path + ".err"));

  agent_ = std::make_unique<CRemoteAgent>(store_);
  MakeThread();
  now_ = [created] { return created + 121 * 60 + 5; };
  Take("t1.eml");
  EXPECT_TRUE(thread_->DeliverOne());
  EXPECT_EQ(log_.Count("Delivering \"" + path +
                       "\" failed for 120 minutes with error 9. I am giving up!"),
            1);
  EXPECT_THAT(Autoresp(), ElementsAre(path + " -t " + path + ".err -ib -s -o"));
  EXPECT_EQ(agent_->GetCounts().active, 1u);  // held after a give-up
}

TEST_F(DeliveryThreadTest, PermanentFailureWithPostmasterRunsTheResponderTwice) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) { Serve(c, "550 no"); });
  SmartHosts().SetString("*", "127.0.0.1:" + std::to_string(server.port()));
  settings_.bounce.postmaster_copy = "pm@local.example";
  settings_.bounce.attach = true;
  settings_.bounce.bulk = false;
  MakeThread();
  std::string path = Take("p1.eml");
  EXPECT_TRUE(thread_->DeliverOne());
  EXPECT_EQ(
      log_.Count("Delivering \"" + path + "\" permanently failed with error 19. I am giving up!"),
      1);
  EXPECT_THAT(Autoresp(),
              ElementsAre(path + " -t " + path + ".err -b full -s -k -o",
                          path + " -t " + path + ".err -b header -s -to " + "pm@local.example -o"));
}

TEST_F(DeliveryThreadTest, BounceDisableDeletesMailAndReport) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) { Serve(c, "550 no"); });
  SmartHosts().SetString("*", "127.0.0.1:" + std::to_string(server.port()));
  settings_.bounce.disable = true;
  MakeThread();
  std::string path = Take("b1.eml");
  EXPECT_TRUE(thread_->DeliverOne());
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(FileExists(path + ".err"));
  EXPECT_TRUE(Autoresp().empty());
}

TEST_F(DeliveryThreadTest, FileWithoutRecipientIsAFault) {
  MakeThread();
  std::string path = Take("x.eml", "Subject: no envelope\r\n\r\nbody\r\n");
  EXPECT_FALSE(thread_->DeliverOne());
  EXPECT_EQ(log_.Count("Delivering \"" + path + "\" failed with error 29"), 1);
}

TEST_F(DeliveryThreadTest, LoopMovesBrokenFilesAsideAndKeepsTakenNames) {
  dir_.WriteFile("error/dup.eml", "already here");
  dir_.WriteFile("outgoing/dup.eml", "Subject: no envelope\r\n\r\nbody\r\n");
  dir_.WriteFile("outgoing/x.eml", "Subject: no envelope\r\n\r\nbody\r\n");
  agent_->ScanOutgoing();
  MakeThread();
  ASSERT_TRUE(thread_->Start());
  for (int i = 0;
       i < 1000 && (log_.Count("sending mail '") < 2 || log_.Count("CFileException") < 1); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(thread_->Stop(3000));
  EXPECT_EQ(log_.Count("sending mail 'x.eml' failed"), 1);
  EXPECT_EQ(log_.Count("sending mail 'dup.eml' failed"), 1);
  EXPECT_EQ(ReadFile(dir_.Join("error/x.eml")), "Subject: no envelope\r\n\r\nbody\r\n");
  EXPECT_EQ(ReadFile(dir_.Join("error/dup.eml")), "already here");
  EXPECT_TRUE(FileExists(dir_.Join("outgoing/dup.eml")));
  EXPECT_EQ(log_.Count("CFileException in Kelpd\\SMTPDeliveryThread:75, "
                       "cause=1 error=17 file=\"" +
                       dir_.Join("outgoing/dup.eml") + "\""),
            1);
  // x.eml was released, dup.eml stays held.
  EXPECT_EQ(agent_->GetCounts().active, 1u);
  EXPECT_EQ(log_.Count("remote delivery thread (id "), 2);
}

// The stop ends the session with the silent host; nothing was sent, so the
// mail stays where it is for the next start instead of going aside.
TEST_F(DeliveryThreadTest, StopBetweenHostsLeavesTheMailForTheNextStart) {
  ScriptedSmtpServer silent([](ScriptedConnection& c, int) { c.Silence(10000); });
  ScriptedSmtpServer second([](ScriptedConnection& c, int) { Serve(c); });
  SmartHosts().SetString("*", "127.0.0.1:" + std::to_string(silent.port()) +
                                  ",127.0.0.1:" + std::to_string(second.port()));
  dir_.WriteFile("outgoing/s1.eml", kMail);
  agent_->ScanOutgoing();
  MakeThread();
  ASSERT_TRUE(thread_->Start());
  for (int i = 0; i < 1000 && silent.Connections() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(thread_->Stop(3000));
  EXPECT_EQ(second.Connections(), 0);
  EXPECT_EQ(log_.Count("Delivering \"" + dir_.Join("outgoing/s1.eml") +
                       "\" stopped before a host was tried; the mail stays in the outgoing "
                       "directory"),
            1);
  EXPECT_TRUE(FileExists(dir_.Join("outgoing/s1.eml")));
  EXPECT_FALSE(FileExists(dir_.Join("error/s1.eml")));
  EXPECT_EQ(agent_->GetCounts().active, 0u);  // the name was released
}

TEST_F(DeliveryThreadTest, IdleThreadAsksTheAgentEvery750Ms) {
  MakeThread();
  ASSERT_TRUE(thread_->Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // idle by now
  dir_.WriteFile("outgoing/late.eml", "Subject: no envelope\r\n\r\nbody\r\n");
  agent_->ScanOutgoing();
  const auto start = std::chrono::steady_clock::now();
  while (log_.Count("sending mail 'late.eml' failed") == 0 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(thread_->Stop(2000));
  EXPECT_EQ(log_.Count("sending mail 'late.eml' failed"), 1);
  EXPECT_LT(waited, std::chrono::milliseconds(1400));  // one poll of 750 ms and the work
}

TEST_F(DeliveryThreadTest, NullAgentEndsTheThreadAtOnce) {
  thread_ = std::make_unique<CSMTPDeliveryThread>(nullptr, store_);
  ASSERT_TRUE(thread_->Start());
  // The body ends on its own, without a stop request.
  for (int i = 0; i < 1000 && !thread_->HasEnded(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(thread_->HasEnded());
  EXPECT_EQ(log_.Count("RemoteAgent-pointer was NULL at Kelpd\\SMTPDeliveryThread:34"), 1);
}

TEST_F(DeliveryThreadTest, LockedFileIsLeftForTheNextScan) {
  MakeThread();
  std::string path = Take("l1.eml");
  kelpd::platform::NamedLock lock(CMail::LockNameOf(path));
  ASSERT_EQ(lock.Lock(1000), kelpd::platform::LockResult::kAcquired);
  const int saved = CMail::LockWaitMs();
  CMail::SetLockWaitMs(50);
  EXPECT_TRUE(thread_->DeliverOne());
  CMail::SetLockWaitMs(saved);
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(agent_->GetCounts().active, 0u);
  EXPECT_EQ(log_.Count("Looks like lock on file \"" + path + "\" failed, retrying later!"), 1);
  lock.Unlock();
  EXPECT_EQ(agent_->ScanOutgoing(), 1);
}

// Only a lock not obtained in time waits for the next scan: a file too short
// to be a mail, or one whose lock can't be taken at all, never gets better.
TEST_F(DeliveryThreadTest, FilesThatCanNeverBeReadAreBroken) {
  MakeThread();
  {
    SCOPED_TRACE("two bytes");
    std::string path = Take("t1.eml", "\r\n");
    EXPECT_FALSE(thread_->DeliverOne());
    EXPECT_FALSE(thread_->MailFileBusy());
    EXPECT_EQ(log_.Count("mail file \"" + path + "\" is empty or could not be read, it is broken"),
              1);
  }
  {
    SCOPED_TRACE("lock directory unusable");
    Take("t2.eml");
    ::setenv("MAILLOCKDIR", dir_.WriteFile("not-a-directory", "").c_str(), 1);
    EXPECT_FALSE(thread_->DeliverOne());
    EXPECT_FALSE(thread_->MailFileBusy());
  }
  EXPECT_EQ(log_.Count("Looks like lock on file"), 0);
}

TEST(DeliveryHelpers, LocalityAndTimeOutAndCommands) {
  auto local = [](const std::string& d) { return d == "local.example"; };
  EXPECT_EQ(kelpd::remote::Locality("a@local.example", local), 'L');
  EXPECT_EQ(kelpd::remote::Locality("a@remote.example", local), 'R');
  EXPECT_EQ(kelpd::remote::Locality("a@b@local.example", local), 'R');
  EXPECT_EQ(kelpd::remote::Locality("bare", local), 'L');
  EXPECT_EQ(kelpd::remote::Locality("", local), 'R');
  using Words = std::vector<std::string>;
  EXPECT_THAT(kelpd::remote::AutoResponderRuns("/o/a \"b.eml", "/o/a \"b.eml.err", "", true, true),
              ElementsAre(Words{"autoresp.exe", "/o/a \"b.eml", "-t", "/o/a \"b.eml.err", "-b",
                                "full", "-ib", "-s", "-o"}));
  EXPECT_THAT(kelpd::remote::AutoResponderRuns("m", "r", "pm@x", false, false),
              ElementsAre(Words{"autoresp.exe", "m", "-t", "r", "-s", "-k", "-o"},
                          Words{"autoresp.exe", "m", "-t", "r", "-s", "-to", "pm@x", "-o"}));
}

}  // namespace
