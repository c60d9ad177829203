// The whole service under a mixed load for a while: local, aliased and
// remote mail (through a smarthost to the MTA's smtp-sink) and mail that
// must fail, with list reloads, configuration restarts (SIGHUP) and pauses
// (SIGUSR1/SIGUSR2) on the way. Reports throughput, peak memory, descriptors
// and threads, and where every mail ended; none may be lost.
//
// KELPD_SOAK_SECONDS sets the time under load (CI: 15; bench/soak.sh: 600).
// KELPD_LEAK_DELIVERIES sets the deliveries of the descriptor and thread
// check (CI: 300; bench/leak_check.sh: 10000).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/EnvNumber.h"
#include "support/ServiceTree.h"
#include "support/SettledFigures.h"
#include "support/SmtpSink.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using kelpd::testing::ProcessFigures;
using kelpd::testing::ReadProcessFigures;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using kelpd::testing::SettledFigures;
using kelpd::testing::SmtpSink;
using kelpd::testing::StartedFigures;

constexpr char kDomain[] = "local.kelpd.test";

using kelpd::testing::EnvNumber;

enum Kind { kLocal, kAlias, kRemote, kFail, kKinds };

std::string Mail(int i, Kind kind) {
  std::string to;
  switch (kind) {
    case kLocal:
      to = std::string(i % 2 ? "alice@" : "bob@") + kDomain;
      break;
    case kAlias:
      to = std::string("team@") + kDomain;
      break;
    case kRemote:
      to = "r" + std::to_string(i) + "@remote.kelpd.test";
      break;
    default:
      to = std::string("nobody@") + kDomain;
      break;
  }
  std::string text = "X-Envelope-From: sender@" + std::string(kDomain) +
                     "\r\nX-Envelope-To: " + to + "\r\nSubject: soak " + std::to_string(i) +
                     "\r\n\r\n";
  for (int l = 0; l < 10 + i % 50; ++l) text += "soak body line " + std::to_string(l) + "\r\n";
  return text;
}

ServiceTreeOptions Options(int sink_port) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice", "bob", "sender"};
  options.aliases = "team@" + std::string(kDomain) + ":\talice\n";
  options.smarthosts = "*:\t127.0.0.1:" + std::to_string(sink_port) + "\n";
  options.settings = {"AutoTransport:\t1", "AutoTransport.Threads:\t4", "AutoTransRetry:\t0",
                      "UseTLS:\t0",        "FQDN:\tkelpd.kelpd.test",   "TrafficLogging:\t1"};
  return options;
}

struct Places {
  size_t mailbox = 0, error = 0, queue = 0, outgoing = 0;
  long sink = 0;
};

Places Count(ServiceTree& tree, SmtpSink& sink) {
  Places p;
  p.mailbox = tree.AllMailboxFiles().size();
  p.error = ServiceTree::EmlFiles(tree.error_dir()).size();
  p.queue = ServiceTree::EmlFiles(tree.queue_dir()).size();
  p.outgoing = ServiceTree::EmlFiles(tree.outgoing_dir()).size();
  p.sink = sink.MessageCount();
  return p;
}

bool WaitDrained(ServiceTree& tree, std::chrono::seconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ServiceTree::EmlFiles(tree.queue_dir()).empty() &&
        ServiceTree::EmlFiles(tree.outgoing_dir()).empty())
      return true;
    std::this_thread::sleep_for(200ms);
  }
  return false;
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = SmtpSink::MissingPrerequisite();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
};

TEST_F(Soak, MixedLoadWithReloadsRestartsAndPauses) {
  const int seconds = static_cast<int>(EnvNumber("KELPD_SOAK_SECONDS", 15));
  SmtpSink sink;
  std::string error;
  ASSERT_TRUE(sink.Start(&error)) << error;
  ServiceTree tree(Options(sink.port()));
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  const pid_t pid = tree.KelpdPid();
  const ProcessFigures start = StartedFigures(tree, 30s);
  ASSERT_GT(start.threads, 0) << tree.Log();

  // The feeder keeps at most a few hundred files waiting, so that the load
  // follows the service's pace, and stops at the end of the time.
  int fed[kKinds] = {0, 0, 0, 0};
  int total = 0;
  ProcessFigures peak = start;
  int reloads = 0, restarts = 0, pauses = 0;
  auto begin = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::steady_clock::now() - begin; };
  auto next_reload = 7s, next_restart = 23s, next_pause = 13s;
  while (elapsed() < std::chrono::seconds(seconds)) {
    if (ServiceTree::EmlFiles(tree.queue_dir()).size() < 200) {
      for (int n = 0; n < 20; ++n, ++total) {
        Kind kind = static_cast<Kind>(total % 10 < 4   ? kLocal
                                      : total % 10 < 5 ? kAlias
                                      : total % 10 < 9 ? kRemote
                                                       : kFail);
        tree.QueueMail("soak-" + std::to_string(total) + ".eml", Mail(total, kind));
        fed[kind]++;
      }
    }
    if (elapsed() > next_reload) {
      tree.WriteList("aliases", "team@" + std::string(kDomain) + ":\t" +
                                    (reloads % 2 ? "alice" : "bob") + "\n# reload " +
                                    std::to_string(reloads) + "\n");
      ++reloads;
      next_reload += 7s;
    }
    if (elapsed() > next_restart) {
      tree.Signal(SIGHUP);
      ++restarts;
      next_restart += 23s;
    }
    if (elapsed() > next_pause) {
      tree.Signal(SIGUSR1);
      std::this_thread::sleep_for(2s);
      tree.Signal(SIGUSR2);
      ++pauses;
      next_pause += 13s;
    }
    ProcessFigures now = ReadProcessFigures(pid);
    ASSERT_GT(now.threads, 0) << "kelpd died:\n" << tree.Log().substr(0, 20000);
    peak.peak_rss_kb = std::max(peak.peak_rss_kb, now.peak_rss_kb);
    peak.descriptors = std::max(peak.descriptors, now.descriptors);
    peak.threads = std::max(peak.threads, now.threads);
    std::this_thread::sleep_for(200ms);
  }
  const double load_seconds = std::chrono::duration<double>(elapsed()).count();
  EXPECT_TRUE(WaitDrained(tree, std::chrono::seconds(120))) << tree.Log().substr(0, 20000);
  const double drained_seconds = std::chrono::duration<double>(elapsed()).count();
  const ProcessFigures end = SettledFigures(tree, start, 30s);
  Places places = Count(tree, sink);
  EXPECT_EQ(tree.Stop(90s), 0);

  std::printf(
      "soak: %.0f s under load, %d mails fed (%d local, %d aliased, %d remote, %d failing)\n",
      load_seconds, total, fed[kLocal], fed[kAlias], fed[kRemote], fed[kFail]);
  std::printf("  %d list reloads, %d configuration restarts, %d pauses\n", reloads, restarts,
              pauses);
  std::printf("  throughput %.1f mails/s (all delivered after %.0f s)\n", total / drained_seconds,
              drained_seconds);
  std::printf(
      "  peak RSS %ld kB (start %ld kB); descriptors start %d, peak %d, end %d; threads "
      "start %d, peak %d, end %d\n",
      peak.peak_rss_kb, start.peak_rss_kb, start.descriptors, peak.descriptors, end.descriptors,
      start.threads, peak.threads, end.threads);
  std::printf(
      "  final places: mailboxes %zu, accepted by the MTA %ld, error %zu, waiting in "
      "queue %zu, waiting in outgoing %zu\n",
      places.mailbox, places.sink, places.error, places.queue, places.outgoing);
  const long accounted =
      static_cast<long>(places.mailbox + places.error + places.queue + places.outgoing) +
      places.sink;
  EXPECT_EQ(places.mailbox, static_cast<size_t>(fed[kLocal] + fed[kAlias]));
  // A remote delivery cut off by a configuration restart goes to the error
  // directory, as a delivery stopped by shutdown does.
  EXPECT_LE(places.sink, fed[kRemote]);
  EXPECT_GE(places.error, static_cast<size_t>(fed[kFail]));
  std::printf("  remote mails moved to the error directory by restarts: %ld\n",
              static_cast<long>(places.error) - fed[kFail]);
  EXPECT_EQ(accounted, total) << "lost or duplicated mail";
  EXPECT_EQ(end.descriptors, start.descriptors)
      << start.descriptor_targets << " -> " << end.descriptor_targets;
  EXPECT_EQ(end.threads, start.threads) << start.thread_names << " -> " << end.thread_names;
}

// After many deliveries the service holds the descriptors and threads it
// held at the start.
TEST_F(Soak, DescriptorsAndThreadsAfterManyDeliveries) {
  const int deliveries = static_cast<int>(EnvNumber("KELPD_LEAK_DELIVERIES", 300));
  SmtpSink sink;
  std::string error;
  ASSERT_TRUE(sink.Start(&error)) << error;
  ServiceTree tree(Options(sink.port()));
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  const ProcessFigures start = StartedFigures(tree, 30s);
  ASSERT_GT(start.threads, 0) << tree.Log();
  int queued = 0;
  auto begin = std::chrono::steady_clock::now();
  while (queued < deliveries) {
    if (ServiceTree::EmlFiles(tree.queue_dir()).size() < 300) {
      for (int n = 0; n < 50 && queued < deliveries; ++n, ++queued)
        tree.QueueMail("leak-" + std::to_string(queued) + ".eml",
                       Mail(queued, queued % 2 ? kLocal : kRemote));
    }
    std::this_thread::sleep_for(50ms);
    ASSERT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60 + deliveries / 5));
  }
  ASSERT_TRUE(WaitDrained(tree, std::chrono::seconds(120))) << tree.Log().substr(0, 20000);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const ProcessFigures end = SettledFigures(tree, start, 30s);
  Places places = Count(tree, sink);
  std::printf(
      "%d deliveries in %.1f s: descriptors %d -> %d, threads %d -> %d, RSS %ld -> %ld kB "
      "(peak %ld kB)\n",
      deliveries, seconds, start.descriptors, end.descriptors, start.threads, end.threads,
      start.rss_kb, end.rss_kb, end.peak_rss_kb);
  EXPECT_EQ(places.mailbox + static_cast<size_t>(places.sink), static_cast<size_t>(deliveries));
  EXPECT_EQ(end.descriptors, start.descriptors)
      << start.descriptor_targets << " -> " << end.descriptor_targets;
  EXPECT_EQ(end.threads, start.threads) << start.thread_names << " -> " << end.thread_names;
  EXPECT_EQ(tree.Stop(60s), 0);
}

}  // namespace
