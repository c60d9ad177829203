// Crash safety of the whole service: a load of mails for local users, for
// aliases that forward to remote addresses, for remote recipients through a
// smarthost (a private instance of the system's MTA) and mails that must
// fail, while kelpd is killed with SIGKILL at random moments and started
// again, and stopped with SIGTERM in the middle of the load. At the end every
// mail is accounted for: in a mailbox, accepted by the MTA, in the error
// directory, returned to its sender, or still waiting. None may be lost and
// no stored copy may be cut short; duplicates are counted with their places.
//
// The CI run is short; bench/crash_safety.sh sets KELPD_CRASH_MAILS (default
// 300) and KELPD_CRASH_KILLS (default 4) higher.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/EnvNumber.h"
#include "support/PostfixInstance.h"
#include "support/ServiceTree.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using kelpd::testing::DeliveredMessage;
using kelpd::testing::PostfixInstance;
using kelpd::testing::PostfixOptions;
using kelpd::testing::ReadFile;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;

constexpr char kDomain[] = "local.kelpd.test";

using kelpd::testing::EnvNumber;

enum class Kind { kLocal, kAliasLocal, kAliasRemote, kRemote, kFailLocal, kFailRemote };
constexpr int kKinds = 6;

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kLocal:
      return "local";
    case Kind::kAliasLocal:
      return "alias-local";
    case Kind::kAliasRemote:
      return "alias-remote";
    case Kind::kRemote:
      return "remote";
    case Kind::kFailLocal:
      return "fail-local";
    case Kind::kFailRemote:
      return "fail-remote";
  }
  return "?";
}

std::string Recipient(Kind kind, int i) {
  switch (kind) {
    case Kind::kLocal:
      return std::string("alice@") + kDomain;
    case Kind::kAliasLocal:
      return std::string("robert@") + kDomain;
    case Kind::kAliasRemote:
      return "fwd" + std::to_string(i % 7) + "@" + kDomain;
    case Kind::kRemote:
      return "r" + std::to_string(i) + "@remote.kelpd.test";
    case Kind::kFailLocal:
      return std::string("nobody@") + kDomain;
    case Kind::kFailRemote:
      return kelpd::testing::kRejectRecipient;
  }
  return {};
}

// One mail of the load; its marker is in the subject, the Message-ID and
// the body, which ends with a trailer that shows the copy is whole.
std::string MailText(int i, Kind kind) {
  std::string id = std::to_string(i);
  std::string text = "X-Envelope-From: sender@" + std::string(kDomain) +
                     "\r\nX-Envelope-To: " + Recipient(kind, i) + "\r\nFrom: sender@" + kDomain +
                     "\r\nSubject: crash-mail-" + id + "-x\r\nMessage-ID: <crash-mail-" + id +
                     "-x@" + kDomain + ">\r\n\r\n" + "crash-mail-" + id + "-x\r\n";
  // Bodies of a few kilobytes, some bigger, so that kills hit writes too.
  size_t lines = 20 + (i * 37) % 200;
  for (size_t l = 0; l < lines; ++l)
    text += "line " + std::to_string(l) + " of a body of some length\r\n";
  text += "trailer-" + id + "-end\r\n";
  return text;
}

// The mail numbers named in a text, each once.
std::set<int> MarkersIn(const std::string& text) {
  static const std::regex marker("crash-mail-([0-9]+)-x");
  std::set<int> ids;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), marker);
       it != std::sregex_iterator(); ++it)
    ids.insert(std::stoi((*it)[1].str()));
  return ids;
}

struct Place {
  std::string where;
  bool whole;
};

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = PostfixInstance::MissingPrerequisite();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
};

TEST_F(CrashSafety, KilledAndRestartedUnderLoadLosesNoMail) {
  const int mails = static_cast<int>(EnvNumber("KELPD_CRASH_MAILS", 300));
  const int kills = static_cast<int>(EnvNumber("KELPD_CRASH_KILLS", 4));
  std::mt19937 random(static_cast<unsigned>(EnvNumber("KELPD_CRASH_SEED", 4759)));

  PostfixInstance mta;
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;

  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice", "bob", "sender"};
  options.aliases = "robert@" + std::string(kDomain) + ":\tbob\n";
  for (int k = 0; k < 7; ++k)
    options.aliases += "fwd" + std::to_string(k) + "@" + kDomain + ":\tforward" +
                       std::to_string(k) + "@remote.kelpd.test\n";
  options.smarthosts = "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n";
  options.settings = {"AutoTransport:\t1",
                      "AutoTransport.Threads:\t4",
                      "AutoTransRetry:\t0",
                      "UseTLS:\t0",
                      "FQDN:\tkelpd.kelpd.test",
                      "Bounce.Attachment:\t1",
                      "Scripts.Execution.Parallel:\t0"};
  ServiceTree tree(options);

  std::vector<Kind> kinds(mails);
  for (int i = 0; i < mails; ++i) kinds[i] = static_cast<Kind>(i % kKinds);

  // Rounds: each queues its share of the load, starts kelpd and kills it at
  // a random moment; one round in the middle ends with SIGTERM instead.
  int next = 0;
  const int rounds = kills + 1;
  int sigterm_round = rounds / 2;
  double longest_stop = 0;
  for (int round = 0; round < rounds; ++round) {
    // A third of the round's share waits in the queue at the start, the rest
    // arrives in small batches while kelpd works; the kill (or stop) comes
    // after a random batch, so that it hits reading, storing, sending and
    // the end of a pass alike.
    int share = (mails - next) / (rounds - round);
    int up_front = share / 3;
    for (int n = 0; n < up_front; ++n, ++next)
      tree.QueueMail("load-" + std::to_string(next) + ".eml", MailText(next, kinds[next]));
    ASSERT_TRUE(tree.Start(&error)) << error;
    ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log().substr(0, 20000);
    const int batches = std::max(1, (share - up_front + 4) / 5);
    std::uniform_int_distribution<int> kill_after(0, batches - 1);
    std::uniform_int_distribution<int> delay_ms(0, 150);
    const int kill_batch = kill_after(random);
    for (int b = 0; b < batches; ++b) {
      for (int n = 0; n < 5 && next < mails && n + up_front + b * 5 < share; ++n, ++next)
        tree.QueueMail("load-" + std::to_string(next) + ".eml", MailText(next, kinds[next]));
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
      if (b != kill_batch) continue;
      if (round == sigterm_round) {
        auto begin = std::chrono::steady_clock::now();
        int code = tree.Stop(90s);
        longest_stop =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        EXPECT_EQ(code, 0) << "SIGTERM in the middle of the load";
      } else {
        tree.Kill();
      }
    }
  }
  ASSERT_EQ(next, mails);

  // Let the last run finish the work.
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log().substr(0, 20000);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60 + mails / 10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ServiceTree::EmlFiles(tree.queue_dir()).empty() &&
        ServiceTree::EmlFiles(tree.outgoing_dir()).empty())
      break;
    std::this_thread::sleep_for(500ms);
  }
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(tree.Stop(90s), 0);

  // Accounting: the places each mail reached.
  std::map<int, std::vector<Place>> places;
  auto take = [&](const std::string& where, const std::string& text) {
    for (int id : MarkersIn(text)) {
      bool whole = text.find("trailer-" + std::to_string(id) + "-end") != std::string::npos;
      places[id].push_back({where, whole});
    }
  };
  for (const std::string& path : tree.AllMailboxFiles()) {
    std::string user = fs::path(path).parent_path().filename().string();
    take("mailbox " + user, ReadFile(path));
  }
  for (const DeliveredMessage& message : mta.Delivered())
    take("mta " + message.recipient, message.content);
  for (const std::string& name : ServiceTree::EmlFiles(tree.error_dir()))
    take("error", ReadFile(tree.error_dir() + "/" + name));
  for (const std::string& name : ServiceTree::EmlFiles(tree.queue_dir()))
    take("waiting in queue", ReadFile(tree.queue_dir() + "/" + name));
  for (const std::string& name : ServiceTree::EmlFiles(tree.outgoing_dir()))
    take("waiting in outgoing", ReadFile(tree.outgoing_dir() + "/" + name));

  int lost = 0, duplicated = 0, cut = 0, waiting = 0;
  std::map<std::string, int> duplicate_reasons;
  for (int i = 0; i < mails; ++i) {
    const auto& found = places[i];
    std::string kind = KindName(kinds[i]);
    if (found.empty()) {
      ++lost;
      ADD_FAILURE() << "mail " << i << " (" << kind << ") is lost";
      continue;
    }
    for (const Place& place : found) {
      if (place.where.rfind("waiting", 0) == 0) ++waiting;
      // A returned mail is attached to the failure notice, which may carry
      // only its header; every other copy must be whole.
      if (!place.whole && !(kinds[i] == Kind::kFailRemote && place.where == "mailbox sender")) {
        ++cut;
        ADD_FAILURE() << "mail " << i << " (" << kind << ") is cut short in " << place.where;
      }
    }
    if (found.size() > 1) {
      ++duplicated;
      std::string where;
      for (const Place& place : found) where += place.where + "; ";
      duplicate_reasons[std::string(kind) + ": " + where]++;
    }
  }
  std::printf("crash safety: %d mails, %d kills and one SIGTERM (stop took %.2f s)\n", mails, kills,
              longest_stop);
  std::printf("  lost %d, cut short %d, still waiting %d, duplicated %d\n", lost, cut, waiting,
              duplicated);
  for (const auto& [reason, count] : duplicate_reasons)
    std::printf("  duplicate x%d: %s\n", count, reason.c_str());
  // Leftovers of interrupted writes never carry the mail name pattern.
  int temporaries = 0;
  for (auto it = fs::recursive_directory_iterator(tree.root());
       it != fs::recursive_directory_iterator(); ++it) {
    std::string name = it->path().filename().string();
    if (it->is_regular_file() && name.find(".tmp") != std::string::npos) {
      if (temporaries++ < 5) std::printf("  left behind: %s\n", it->path().c_str());
    }
  }
  std::printf("  temporary files left behind: %d\n", temporaries);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(cut, 0);
  EXPECT_LT(longest_stop, 65.0);
}

}  // namespace

namespace {

// The unnamed files (written, not yet linked) that pid holds open below dir.
int UnnamedFilesOpen(pid_t pid, const std::string& dir) {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = fs::read_symlink(entry.path(), ec).string();
    if (target.rfind(dir, 0) == 0 && target.ends_with(" (deleted)")) ++count;
  }
  return count;
}

// Killed after a group's copies are written and synced but before any is
// named: nothing of them is visible, and the next run delivers every copy
// exactly once and whole.
TEST(CrashBeforeNaming, KilledBetweenWritesAndNamesLeavesNothingVisibleAndLosesNothing) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice", "bob"};
  options.aliases = "away@" + std::string(kDomain) + ":\tsomeone@remote.kelpd.test\n";
  options.settings = {"AutoTransport:\t0"};
  options.environment = {"KELPD_TEST_HOLD_BEFORE_NAMING=1"};
  ServiceTree tree(options);
  constexpr int kMails = 20;
  for (int i = 0; i < kMails; ++i) {
    std::string text = MailText(i, Kind::kLocal);
    const std::string to = "X-Envelope-To: alice@" + std::string(kDomain);
    text.replace(text.find(to), to.size(),
                 to + ", bob@" + kDomain + ", away@" + std::string(kDomain));
    tree.QueueMail("m" + std::to_string(i) + ".eml", text);
  }
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitForLog("holding ", 30s)) << tree.Log();
  EXPECT_GT(UnnamedFilesOpen(tree.KelpdPid(), tree.spool_dir()), 0);
  EXPECT_GT(UnnamedFilesOpen(tree.KelpdPid(), tree.outgoing_dir()), 0);
  tree.Kill();
  EXPECT_TRUE(tree.AllMailboxFiles().empty());
  EXPECT_TRUE(ServiceTree::EmlFiles(tree.outgoing_dir()).empty());
  EXPECT_EQ(ServiceTree::EmlFiles(tree.queue_dir()).size(), static_cast<size_t>(kMails));

  tree.options().environment.clear();
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitQueueEmpty(60s)) << tree.Log();
  EXPECT_EQ(tree.Stop(30s), 0);
  std::map<std::string, std::multiset<int>> found;
  auto take = [&](const std::string& where, const std::string& text) {
    for (int id : MarkersIn(text)) {
      EXPECT_NE(text.find("trailer-" + std::to_string(id) + "-end"), std::string::npos)
          << "mail " << id << " cut short in " << where;
      found[where].insert(id);
    }
  };
  for (const std::string& path : tree.AllMailboxFiles())
    take(fs::path(path).parent_path().filename().string(), ReadFile(path));
  for (const std::string& name : ServiceTree::EmlFiles(tree.outgoing_dir()))
    take("outgoing", ReadFile(tree.outgoing_dir() + "/" + name));
  for (const std::string where : {"alice", "bob", "outgoing"}) {
    EXPECT_EQ(found[where].size(), static_cast<size_t>(kMails)) << where;
    for (int i = 0; i < kMails; ++i) EXPECT_EQ(found[where].count(i), 1u) << where << " " << i;
  }
}

}  // namespace
