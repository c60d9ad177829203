#include "remote/RemoteAgent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace {

using kelpd::testing::TempDir;

class RemoteAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.dirs.outgoing = dir_.path();
    settings_.remote.retry = {5 * 60, 30 * 60};
    store_.Publish(settings_);
    agent_ = std::make_unique<CRemoteAgent>(store_);
    agent_->SetClockForTests([this] { return now_; });
  }
  void TearDown() override { agent_.reset(); }
  void Mail(const std::string& name, const std::string& body = "X-Envelope-To: <a@b>\r\n\r\nx") {
    dir_.WriteFile(name, body);
  }
  std::string New() {
    std::string name;
    return agent_->GetNextNewFile(name) ? name : std::string();
  }
  std::string Retry() {
    std::string name;
    return agent_->GetNextRetryFile(name) ? name : std::string();
  }

  TempDir dir_;
  kelpd::config::Settings settings_;
  kelpd::config::SettingsStore store_;
  int64_t now_ = 1'700'000'000;
  std::unique_ptr<CRemoteAgent> agent_;
};

TEST_F(RemoteAgentTest, ReadsTheOutgoingDirectoryAtConstruction) {
  EXPECT_EQ(agent_->m_strOutgoingDir, dir_.path());
  EXPECT_EQ(agent_->m_tLastCycle, 0);
}

TEST_F(RemoteAgentTest, ScanAddsNonEmptyMailFilesOnce) {
  Mail("a.eml");
  Mail("b.EmL");  // the suffix in any case
  Mail("empty.eml", "");
  Mail("note.txt");
  Mail("a.eml.err");
  dir_.MakeDir("dir.eml");
  EXPECT_EQ(agent_->ScanOutgoing(), 2);
  EXPECT_EQ(agent_->ScanOutgoing(), 0);
  std::set<std::string> got{New(), New()};
  EXPECT_EQ(got, (std::set<std::string>{"a.eml", "b.EmL"}));
  EXPECT_EQ(New(), "");
  // Held names are not added again although they are still in the directory.
  EXPECT_EQ(agent_->ScanOutgoing(), 0);
  // The empty file is picked up once it has content.
  Mail("empty.eml");
  EXPECT_EQ(agent_->ScanOutgoing(), 1);
  EXPECT_EQ(New(), "empty.eml");
}

TEST_F(RemoteAgentTest, TellsWhichMailsMayHaveAFailureReport) {
  // Reports listed before and after their mails, and one whose mail is gone.
  for (const char* name : {"a.eml", "a.eml.err", "b.eml", "c.eml.err", "c.eml", "gone.eml.err"})
    Mail(name);
  ASSERT_EQ(agent_->ScanOutgoing(), 3);
  std::map<std::string, bool> reports;
  for (int i = 0; i < 3; ++i) {
    std::string name;
    bool report = false;
    ASSERT_TRUE(agent_->GetNextNewFile(name, &report));
    reports[name] = report;
  }
  EXPECT_EQ(reports,
            (std::map<std::string, bool>{{"a.eml", true}, {"b.eml", false}, {"c.eml", true}}));
  // A deferred attempt has left one.
  agent_->DeferFile("b.eml");
  now_ += 3600;
  agent_->ScanOutgoing();
  std::string name;
  bool report = false;
  ASSERT_TRUE(agent_->GetNextRetryFile(name, &report));
  EXPECT_EQ(name, "b.eml");
  EXPECT_TRUE(report);
}

TEST_F(RemoteAgentTest, NamesAreCaseSensitive) {
  Mail("m.eml");
  ASSERT_EQ(agent_->ScanOutgoing(), 1);
  agent_->ReleaseFile("M.eml");  // another name: nothing happens
  EXPECT_EQ(New(), "m.eml");
  agent_->ReleaseFile("M.eml");
  EXPECT_EQ(agent_->GetCounts().active, 1u);
  agent_->ReleaseFile("m.eml");
  EXPECT_EQ(agent_->GetCounts().active, 0u);
}

TEST_F(RemoteAgentTest, NewFilesAreHandedOutFirstInFirstOut) {
  Mail("1.eml");
  agent_->ScanOutgoing();
  Mail("2.eml");
  agent_->ScanOutgoing();
  Mail("3.eml");
  agent_->ScanOutgoing();
  EXPECT_EQ(New(), "1.eml");
  EXPECT_EQ(New(), "2.eml");
  EXPECT_EQ(New(), "3.eml");
}

TEST_F(RemoteAgentTest, DeferredFileWaitsForTheNextCycle) {
  Mail("d.eml");
  agent_->ScanOutgoing();  // first scan opens a cycle at now_
  EXPECT_EQ(agent_->m_tLastCycle, now_);
  ASSERT_EQ(New(), "d.eml");
  EXPECT_TRUE(agent_->DeferFile("d.eml"));
  EXPECT_EQ(agent_->GetCounts().deferred, 1u);
  EXPECT_EQ(agent_->GetCounts().active, 0u);

  now_ += 300;  // exactly the minimum: not yet
  agent_->ScanOutgoing();
  EXPECT_EQ(Retry(), "");
  now_ += 1;
  EXPECT_EQ(agent_->ScanOutgoing(), 0);  // still deferred: not new again
  EXPECT_EQ(Retry(), "d.eml");
  EXPECT_EQ(agent_->GetCounts().active, 1u);
}

TEST_F(RemoteAgentTest, WaitingNewMailPutsTheCycleOffUntilTheMaximum) {
  Mail("d.eml");
  agent_->ScanOutgoing();
  ASSERT_EQ(New(), "d.eml");
  agent_->DeferFile("d.eml");
  Mail("n1.eml");
  now_ += 301;
  agent_->ScanOutgoing();  // new mail was not waiting before the scan: cycle
  EXPECT_EQ(agent_->GetCounts().retry, 1u);
  ASSERT_EQ(Retry(), "d.eml");
  agent_->DeferFile("d.eml");
  const int64_t cycle = agent_->m_tLastCycle;

  now_ = cycle + 1000;  // n1 still waits
  agent_->ScanOutgoing();
  EXPECT_EQ(agent_->GetCounts().deferred, 1u);
  now_ = cycle + 1801;
  agent_->ScanOutgoing();
  EXPECT_EQ(agent_->GetCounts().deferred, 0u);
  EXPECT_EQ(agent_->GetCounts().retry, 1u);
  // A retry file goes out only when no new file is waiting.
  EXPECT_EQ(New(), "n1.eml");
  EXPECT_EQ(Retry(), "d.eml");
}

TEST_F(RemoteAgentTest, SettingsAreReadOnEveryScan) {
  Mail("d.eml");
  agent_->ScanOutgoing();
  ASSERT_EQ(New(), "d.eml");
  agent_->DeferFile("d.eml");
  now_ += 61;
  agent_->ScanOutgoing();
  EXPECT_EQ(agent_->GetCounts().deferred, 1u);
  settings_.remote.retry.min_seconds = 60;  // as a restart publishes it
  store_.Publish(settings_);
  agent_->ScanOutgoing();
  EXPECT_EQ(agent_->GetCounts().retry, 1u);
}

TEST_F(RemoteAgentTest, AFreshAgentTreatsWaitingFilesAsNew) {
  Mail("d.eml");
  agent_->ScanOutgoing();
  ASSERT_EQ(New(), "d.eml");
  agent_->DeferFile("d.eml");
  agent_ = std::make_unique<CRemoteAgent>(store_);
  agent_->SetClockForTests([this] { return now_; });
  EXPECT_EQ(agent_->ScanOutgoing(), 1);
  EXPECT_EQ(New(), "d.eml");
}

TEST_F(RemoteAgentTest, ReleaseAndDeferOfUnheldNames) {
  agent_->ReleaseFile("none.eml");
  EXPECT_TRUE(agent_->DeferFile("none.eml"));  // appended all the same
  EXPECT_EQ(agent_->GetCounts().deferred, 1u);
  // A deferred name is in a list: the scan leaves it alone.
  Mail("none.eml");
  EXPECT_EQ(agent_->ScanOutgoing(), 0);
}

TEST_F(RemoteAgentTest, AnAbandonedNameStaysHeld) {
  Mail("x.eml");
  agent_->ScanOutgoing();
  ASSERT_EQ(New(), "x.eml");
  // Neither released nor deferred (given up with a report).
  EXPECT_EQ(agent_->ScanOutgoing(), 0);
  EXPECT_EQ(agent_->GetCounts().active, 1u);
}

TEST_F(RemoteAgentTest, ManyThreadsNeverShareAName) {
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) Mail("m" + std::to_string(i) + ".eml");
  ASSERT_EQ(agent_->ScanOutgoing(), kFiles);
  std::vector<std::vector<std::string>> taken(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, &taken, t] {
      std::string name;
      while (agent_->GetNextNewFile(name)) {
        taken[t].push_back(name);
        if (taken[t].size() % 2)
          agent_->ReleaseFile(name);
        else
          agent_->DeferFile(name);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  size_t total = 0;
  for (auto& v : taken) {
    total += v.size();
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(total, static_cast<size_t>(kFiles));
  EXPECT_EQ(all.size(), static_cast<size_t>(kFiles));
  auto c = agent_->GetCounts();
  EXPECT_EQ(c.active, 0u);
  EXPECT_EQ(c.new_files, 0u);
}

TEST_F(RemoteAgentTest, ReleasedNamesAreFoundAgainAndHeldOnesAreNot) {
  // Enough names for the name table to grow several times; releases in a
  // scattered order leave holes all over it.
  constexpr int kFiles = 3000;
  for (int i = 0; i < kFiles; ++i) Mail("r" + std::to_string(i) + ".eml");
  ASSERT_EQ(agent_->ScanOutgoing(), kFiles);
  std::vector<std::string> taken;
  for (std::string name; agent_->GetNextNewFile(name);) taken.push_back(name);
  ASSERT_EQ(taken.size(), static_cast<size_t>(kFiles));
  std::set<std::string> released;
  for (size_t i = 0; i < taken.size(); ++i) {
    const size_t pick = (i * 7919) % taken.size();
    if (pick % 3 == 0) {
      agent_->ReleaseFile(taken[pick]);
      released.insert(taken[pick]);
    } else if (pick % 3 == 1) {
      agent_->DeferFile(taken[pick]);
    }
  }
  const auto held = agent_->GetCounts();
  EXPECT_EQ(held.active + held.deferred + released.size(), static_cast<size_t>(kFiles));
  EXPECT_EQ(agent_->ScanOutgoing(), static_cast<int>(released.size()));
  std::set<std::string> again;
  for (std::string name; agent_->GetNextNewFile(name);) again.insert(name);
  EXPECT_EQ(again, released);
  // A name deferred while it waits in another list moves; it is never in two.
  Mail("late.eml");
  ASSERT_EQ(agent_->ScanOutgoing(), 1);
  agent_->DeferFile("late.eml");
  const auto c = agent_->GetCounts();
  EXPECT_EQ(c.new_files, 0u);
  EXPECT_EQ(c.deferred, held.deferred + 1);
}

TEST_F(RemoteAgentTest, ScanOfManyWaitingFilesStaysFast) {
  constexpr int kFiles = 20000;
  for (int i = 0; i < kFiles; ++i) Mail("f" + std::to_string(i) + ".eml");
  ASSERT_EQ(agent_->ScanOutgoing(), kFiles);
  // With linear look-ups each later scan would need 2 * 10^8 comparisons.
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(agent_->ScanOutgoing(), 0);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  EXPECT_LT(ms, 3000);
}

TEST_F(RemoteAgentTest, ThreadLogsItsStartAndStopAndPicksUpFiles) {
  kelpd::testing::LogCapture log;
  Mail("t.eml");
  ASSERT_TRUE(agent_->Start());
  std::string name;
  for (int i = 0; i < 1000 && !agent_->GetNextNewFile(name); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(name, "t.eml");
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(agent_->Stop(1500));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
  EXPECT_EQ(log.Count("remote delivery agent (id "), 2);
  EXPECT_EQ(log.Count(") started"), 1);
  EXPECT_EQ(log.Count(") stopped"), 1);
}

TEST_F(RemoteAgentTest, AnIdleDeliveryThreadWakesWhenAFileArrives) {
  kelpd::testing::LogCapture log;
  ASSERT_TRUE(agent_->Start());
  std::atomic<bool> woken{false};
  // Far longer than any wait below: only the agent's signal ends it early.
  std::thread idle([this, &woken] {
    agent_->WaitForFiles(60'000);
    woken = true;
  });
  Mail("w.eml");
  EXPECT_TRUE(kelpd::testing::WaitFor([&] { return woken.load(); }, std::chrono::seconds(30)));
  idle.join();
  EXPECT_EQ(New(), "w.eml");
  EXPECT_TRUE(agent_->Stop(5000));
}

}  // namespace
